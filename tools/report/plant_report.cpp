// The plant report page: gathered from the history database, written as one HTML string.
#include "plant_report.h"

#include <iconv.h>
#include <nettle/base64.h>
#include <nettle/sha2.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <set>

namespace plantreport {

namespace {

constexpr std::int64_t kDay = 86400;
constexpr std::size_t kMostChanged = 10;     // items listed as the most changed of a station
constexpr std::size_t kUnsavedShown = 20;    // unsaved values listed per station (the rest counted)
constexpr std::size_t kChartsShown = 12;     // value charts per station, of its most changed items

// ---- text ---------------------------------------------------------------------------------

bool ValidUtf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t n = 0;
        if (c < 0x80) n = 0;
        else if (c >= 0xC2 && c <= 0xDF) n = 1;
        else if (c >= 0xE0 && c <= 0xEF) n = 2;
        else if (c >= 0xF0 && c <= 0xF4) n = 3;
        else return false;
        if (s.size() - i <= n) return false;
        for (std::size_t k = 1; k <= n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n + 1;
    }
    return true;
}

// The workstation's code page to UTF-8; nullopt when the bytes are not CP932 either.
std::optional<std::string> FromCp932(std::string_view s) {
    iconv_t cd = ::iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    std::string out(s.size() * 3 + 4, '\0');
    char* in = const_cast<char*>(s.data());
    std::size_t inLeft = s.size(), outLeft = out.size();
    char* o = out.data();
    const std::size_t rc = ::iconv(cd, &in, &inLeft, &o, &outLeft);
    ::iconv_close(cd);
    if (rc == static_cast<std::size_t>(-1) || inLeft != 0) return std::nullopt;
    out.resize(out.size() - outLeft);
    return out;
}

void Escape(std::string& out, std::string_view s) {
    for (const char ch : s) {
        const unsigned char c = static_cast<unsigned char>(ch);
        switch (ch) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default:
            if ((c < 0x20 && ch != '\t' && ch != '\n') || c == 0x7F) out += "\xEF\xBF\xBD";
            else out += ch;
        }
    }
}

// ---- numbers and times --------------------------------------------------------------------------

std::optional<double> Number(const std::string& s) {
    if (s.empty() || s.size() > 64) return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (end != s.c_str() + s.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

std::string Int(double v) { return std::to_string(std::lround(v)); }

// "2026-01-01 09:00" in the offset of the moment.
std::string When(const history::Moment& m) { return history::moment_text(m).substr(0, 16); }
std::string Day(std::int64_t utc) { return history::moment_text(history::moment(utc)).substr(0, 10); }

std::string Age(std::int64_t seconds) {
    if (seconds < 0) seconds = 0;
    if (seconds < 3600) return std::to_string(seconds / 60) + " min";
    if (seconds < 2 * kDay) return std::to_string(seconds / 3600) + " h";
    return std::to_string(seconds / kDay) + " d";
}

std::string Code(std::uint32_t r) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08x", r);
    return b;
}

std::string Base64(const unsigned char* p, std::size_t n) {
    std::string out(BASE64_ENCODE_RAW_LENGTH(n), '\0');
    base64_encode_raw(out.data(), n, p);
    return out;
}

// ---- what is shown ------------------------------------------------------------------------------

struct Point {
    std::int64_t t;
    std::string text;
    double v = 0;
};

struct Series {
    int block = 0;
    std::string tag, model, item;
    int changes = 0;   // old and new both there and different
    bool numeric = true;
    std::vector<Point> points;
};

struct Station {
    std::string name;
    std::vector<const history::Save*> saves;   // oldest first
    const history::Save* last = nullptr;
    const history::Save* lastGood = nullptr;
    int saves30 = 0;
    std::int64_t changed30 = 0;
    std::vector<Series> items;
    const history::DriftCheck* drift = nullptr;
    bool driftCurrent = false;   // the drift check came after the last save
    std::vector<history::DriftValue> unsaved;
};

bool Stale(const Station& s, const Options& o) {
    return !s.lastGood || o.now - s.lastGood->started.utc > static_cast<std::int64_t>(o.staleDays) * kDay;
}
bool FailedLast(const Station& s) {
    return s.last && (s.last->state == history::State::Failed || s.last->state == history::State::Interrupted);
}
std::optional<std::int64_t> Unsaved(const Station& s) {
    if (!s.drift || !s.driftCurrent) return std::nullopt;
    return s.drift->differences;
}

std::string Who(const history::Save& s) {
    if (s.origin == "import") return "import";
    if (s.user.empty() && s.host.empty()) return "-";
    return s.user + "@" + s.host;
}

std::string ResultText(const history::Save& s) {
    if (s.origin == "import") return "imported";
    switch (s.state) {
    case history::State::Done: return "done";
    case history::State::Running: return "running";
    case history::State::Interrupted: return "interrupted";
    case history::State::Failed: break;
    }
    return "failed " + Code(s.result.value_or(0));
}

// ---- the page -----------------------------------------------------------------------------------

const char* const kStyle = R"(
:root{--ok:#1a7f37;--bad:#c62828;--warn:#b26a00;--mute:#667;--line:#d0d4da;--stale:#fff4d6;--fail:#fde7e7}
*{box-sizing:border-box}
body{font:15px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,"DejaVu Sans",sans-serif;margin:0 auto;max-width:1100px;padding:12px 16px;color:#1d2125;background:#fff}
h1{font-size:1.5em;margin:.2em 0}h2{font-size:1.2em;margin:1.4em 0 .4em;border-bottom:1px solid var(--line)}h3{font-size:1em;margin:.8em 0 .3em}
.sub,.note{color:var(--mute)}.sub{margin:0 0 .6em}
.counts{display:flex;flex-wrap:wrap;gap:8px;padding:0;list-style:none}.counts li{border:1px solid var(--line);border-radius:6px;padding:4px 10px}
.scroll{overflow-x:auto;-webkit-overflow-scrolling:touch}
table{border-collapse:collapse;width:100%;font-variant-numeric:tabular-nums}
th,td{border-bottom:1px solid var(--line);padding:4px 8px;text-align:left;vertical-align:top;white-space:nowrap}
th{white-space:normal;vertical-align:bottom}
td.n,th.n{text-align:right}
th button{font:inherit;font-weight:600;border:0;background:none;padding:0;cursor:pointer;color:inherit}
th[aria-sort=ascending] button::after{content:" \25B2"}th[aria-sort=descending] button::after{content:" \25BC"}
tr.stale td{background:var(--stale)}tr.failed td{background:var(--fail)}
.tag{display:inline-block;font-size:.8em;border-radius:4px;padding:0 5px;margin-left:4px;color:#fff}
.tag.stale{background:var(--warn)}.tag.failed{background:var(--bad)}.tag.unsaved{background:#6a3fb5}
.filters{display:flex;flex-wrap:wrap;gap:12px;align-items:center;margin:.4em 0}.filters input[type=search]{font:inherit;padding:3px 6px}
section.st{break-inside:avoid-page}
figure{margin:.4em 0}figcaption{font-size:.85em;color:var(--mute)}
svg{display:block;max-width:100%;height:auto}
svg text{font:10px system-ui,"DejaVu Sans",sans-serif;fill:var(--mute)}
.tl{width:100%;max-width:720px}.tl .ok{stroke:var(--ok)}.tl .bad{stroke:var(--bad)}.tl .int{stroke:var(--warn)}.tl .run{stroke:#999}
.tl path{stroke-width:2;fill:none}.axis{stroke:var(--line);stroke-width:1}
.charts{display:grid;grid-template-columns:repeat(auto-fill,minmax(220px,1fr));gap:10px}
.chart{border:1px solid var(--line);border-radius:6px;padding:4px 6px;break-inside:avoid}
.chart polyline{fill:none;stroke:#3465a4;stroke-width:1.5}.chart circle{fill:#3465a4}
ol.most,ul.unsaved{margin:.2em 0 .6em;padding-left:1.4em}
@media (max-width:600px){body{padding:8px;font-size:14px}th,td{padding:3px 5px}}
@media print{body{max-width:none;font-size:11px}.filters,noscript{display:none!important}a{color:inherit;text-decoration:none}
tr.stale td,tr.failed td{-webkit-print-color-adjust:exact;print-color-adjust:exact}.scroll{overflow:visible}h2{break-after:avoid}}
)";

// Adds sorting (a button in each column head) and filtering (by name, and the stations that
// need attention) to the plant table; without it the table is complete and in station order.
const char* const kScript = R"((function(){
var t=document.getElementById('plant'),b=t.tBodies[0],f=document.getElementById('filters'),q=document.getElementById('q'),a=document.getElementById('attention'),c=document.getElementById('shown');
f.hidden=false;
function apply(){var s=q.value.toLowerCase(),n=0;Array.prototype.forEach.call(b.rows,function(r){var on=(!s||r.getAttribute('data-station').toLowerCase().indexOf(s)>=0)&&(!a.checked||r.classList.contains('attn'));r.hidden=!on;if(on)n++;});c.textContent=n+' of '+b.rows.length+' stations shown';}
q.addEventListener('input',apply);a.addEventListener('change',apply);
Array.prototype.forEach.call(t.tHead.rows[0].cells,function(th,i){var k=document.createElement('button');k.type='button';k.textContent=th.textContent;th.textContent='';th.appendChild(k);
k.addEventListener('click',function(){var up=th.getAttribute('aria-sort')!=='ascending';Array.prototype.forEach.call(t.tHead.rows[0].cells,function(x){x.removeAttribute('aria-sort');});th.setAttribute('aria-sort',up?'ascending':'descending');
var rows=Array.prototype.slice.call(b.rows);rows.sort(function(x,y){var p=x.cells[i],r=y.cells[i],u=p.getAttribute('data-v'),v=r.getAttribute('data-v');var d=(u!==null&&v!==null)?parseFloat(u)-parseFloat(v):p.textContent.localeCompare(r.textContent);return up?d:-d;});rows.forEach(function(r){b.appendChild(r);});});});
apply();})();)";

class Page {
public:
    Page() { h_.reserve(1 << 20); }

    Page& raw(std::string_view s) {
        h_ += s;
        return *this;
    }
    Page& text(std::string_view s) {
        h_ += html_text(s);
        return *this;
    }
    Page& num(std::int64_t v) {
        h_ += std::to_string(v);
        return *this;
    }
    std::string take() { return std::move(h_); }

private:
    std::string h_;
};

// The id of a station's section: its name with anything but letters, digits, '-' and '_' as
// "_xx" (hex), so that any name makes a valid fragment.
std::string Anchor(const std::string& name) {
    std::string a = "st-";
    for (unsigned char c : name) {
        if (std::isalnum(c) || c == '-') {
            a += static_cast<char>(c);
        } else {
            char b[4];
            std::snprintf(b, sizeof b, "_%02x", c);
            a += b;
        }
    }
    return a;
}

void Table(Page& p, const std::vector<Station>& stations, const Options& o) {
    p.raw("<div id=\"filters\" class=\"filters\" hidden><label>Station <input type=\"search\" id=\"q\" "
          "placeholder=\"name\" aria-label=\"Filter stations by name\"></label><label><input type=\"checkbox\" "
          "id=\"attention\"> only stations that need attention</label><span id=\"shown\" class=\"note\"></span></div>");
    p.raw("<div class=\"scroll\"><table id=\"plant\"><thead><tr><th>Station</th><th>Last good save</th>"
          "<th class=\"n\">Age</th><th>Last result</th><th>By</th><th class=\"n\">Values changed (30&#160;d)</th>"
          "<th class=\"n\">Saves (30&#160;d)</th><th class=\"n\">Unsaved</th></tr></thead><tbody>");
    for (const Station& s : stations) {
        const bool stale = Stale(s, o), failed = FailedLast(s);
        const std::optional<std::int64_t> unsaved = Unsaved(s);
        const bool attention = stale || failed || (unsaved && *unsaved > 0) ||
                               (s.drift && s.driftCurrent && !s.drift->differences);
        p.raw("<tr data-station=\"").text(s.name).raw("\" class=\"");
        p.raw(stale ? "stale " : "").raw(failed ? "failed " : "").raw(attention ? "attn" : "").raw("\">");
        p.raw("<td><a href=\"#").raw(Anchor(s.name)).raw("\">").text(s.name).raw("</a>");
        if (failed) p.raw("<span class=\"tag failed\">failed</span>");
        if (stale) p.raw("<span class=\"tag stale\">stale</span>");
        if (unsaved && *unsaved > 0) p.raw("<span class=\"tag unsaved\">unsaved</span>");
        p.raw("</td>");
        if (s.lastGood) {
            p.raw("<td data-v=\"").num(s.lastGood->started.utc).raw("\">").text(When(s.lastGood->started)).raw("</td>");
            p.raw("<td class=\"n\" data-v=\"").num(o.now - s.lastGood->started.utc).raw("\">");
            p.text(Age(o.now - s.lastGood->started.utc)).raw("</td>");
        } else {
            p.raw("<td data-v=\"-1\">never</td><td class=\"n\" data-v=\"1e15\">-</td>");
        }
        p.raw("<td>").text(s.last ? ResultText(*s.last) : "-").raw("</td>");
        p.raw("<td>").text(s.last ? Who(*s.last) : "-").raw("</td>");
        p.raw("<td class=\"n\" data-v=\"").num(s.changed30).raw("\">").num(s.changed30).raw("</td>");
        p.raw("<td class=\"n\" data-v=\"").num(s.saves30).raw("\">").num(s.saves30).raw("</td>");
        if (unsaved) {
            p.raw("<td class=\"n\" data-v=\"").num(*unsaved).raw("\">").num(*unsaved).raw("</td>");
        } else if (s.drift && s.driftCurrent) {
            p.raw("<td class=\"n\" data-v=\"-1\">check failed</td>");
        } else {
            p.raw("<td class=\"n\" data-v=\"-2\">").raw(s.drift ? "saved since" : "not checked").raw("</td>");
        }
        p.raw("</tr>");
    }
    p.raw("</tbody></table></div>");
}

// The saves of a station over time: one bar per save, its height the values it changed (on a
// logarithmic scale, so that a first save of every value leaves the others visible); failed
// saves red, interrupted ones orange, both full height.
void Timeline(Page& p, const Station& s) {
    constexpr double W = 600, top = 6, base = 56;
    const std::int64_t t0 = s.saves.front()->started.utc, t1 = s.saves.back()->started.utc;
    const double span = std::max<std::int64_t>(1, t1 - t0);
    std::int64_t most = 1;
    int failed = 0, interrupted = 0;
    for (const history::Save* v : s.saves) {
        most = std::max<std::int64_t>(most, v->valuesChanged.value_or(0));
        failed += v->state == history::State::Failed;
        interrupted += v->state == history::State::Interrupted;
    }
    std::string ok, bad, inter, run;
    for (const history::Save* v : s.saves) {
        const double x = s.saves.size() == 1 ? W / 2 : 10 + (W - 20) * static_cast<double>(v->started.utc - t0) / span;
        const std::string at = "M" + Int(x) + " " + Int(base);
        switch (v->state) {
        case history::State::Failed: bad += at + "V" + Int(top); break;
        case history::State::Interrupted: inter += at + "V" + Int(top); break;
        case history::State::Running: run += at + "V" + Int(top); break;
        case history::State::Done: {
            const double n = static_cast<double>(v->valuesChanged.value_or(0));
            const double h = 2 + (base - top - 2) * std::log1p(n) / std::log1p(static_cast<double>(most));
            ok += at + "v-" + Int(h);
            break;
        }
        }
    }
    p.raw("<figure><svg class=\"tl\" viewBox=\"0 0 600 70\" role=\"img\" aria-label=\"");
    p.num(static_cast<std::int64_t>(s.saves.size())).raw(" saves from ").text(Day(t0)).raw(" to ").text(Day(t1));
    p.raw(", ").num(failed).raw(" failed, ").num(interrupted).raw(" interrupted\">");
    p.raw("<path class=\"axis\" d=\"M0 57H600\"/>");
    if (!ok.empty()) p.raw("<path class=\"ok\" d=\"").raw(ok).raw("\"/>");
    if (!bad.empty()) p.raw("<path class=\"bad\" d=\"").raw(bad).raw("\"/>");
    if (!inter.empty()) p.raw("<path class=\"int\" d=\"").raw(inter).raw("\"/>");
    if (!run.empty()) p.raw("<path class=\"run\" d=\"").raw(run).raw("\"/>");
    p.raw("<text x=\"0\" y=\"68\">").text(Day(t0)).raw("</text><text x=\"600\" y=\"68\" text-anchor=\"end\">");
    p.text(Day(t1)).raw("</text><text x=\"0\" y=\"8\">max ").num(most).raw(" values</text></svg>");
    p.raw("<figcaption>Saves: bar height = values changed (logarithmic)");
    if (failed) p.raw("; <span style=\"color:var(--bad)\">red: failed</span>");
    if (interrupted) p.raw("; <span style=\"color:var(--warn)\">orange: interrupted</span>");
    p.raw("</figcaption></figure>");
}

// One numeric item's value over time: a step line between the saves that recorded a value,
// a point for each, on the station's time axis.
void Chart(Page& p, const Series& x, std::int64_t t0, std::int64_t t1) {
    constexpr double L = 4, R = 156, T = 6, B = 50;   // the right margin holds the scale
    double lo = x.points.front().v, hi = lo;
    for (const Point& pt : x.points) lo = std::min(lo, pt.v), hi = std::max(hi, pt.v);
    const double span = std::max<std::int64_t>(1, t1 - t0), range = hi > lo ? hi - lo : 1;
    auto X = [&](std::int64_t t) { return L + (R - L) * static_cast<double>(t - t0) / span; };
    auto Y = [&](double v) { return B - (B - T) * (v - lo) / range; };
    std::string line, dots;
    std::string prevY;
    for (const Point& pt : x.points) {
        const std::string cx = Int(X(pt.t)), cy = Int(Y(pt.v));
        if (!prevY.empty()) line += cx + "," + prevY + " ";
        line += cx + "," + cy + " ";
        dots += "<circle cx=\"" + cx + "\" cy=\"" + cy + "\" r=\"2.5\"/>";
        prevY = cy;
    }
    line += Int(R) + "," + prevY;
    p.raw("<figure class=\"chart\" data-block=\"").num(x.block).raw("\" data-tag=\"").text(x.tag);
    p.raw("\" data-item=\"").text(x.item).raw("\"><figcaption><b>").text(x.tag).raw(" ").text(x.item);
    p.raw("</b> (block ").num(x.block).raw("): ").num(x.changes).raw(" changes, ").text(x.points.front().text);
    p.raw(" &#8594; ").text(x.points.back().text).raw("</figcaption>");
    p.raw("<svg viewBox=\"0 0 200 60\" role=\"img\" aria-label=\"").text(x.tag).raw(" ").text(x.item);
    p.raw(" from ").text(x.points.front().text).raw(" to ").text(x.points.back().text).raw("\">");
    char b[32];
    std::snprintf(b, sizeof b, "%.6g", hi);
    p.raw("<text x=\"198\" y=\"8\" text-anchor=\"end\">max ").raw(b);
    std::snprintf(b, sizeof b, "%.6g", lo);
    p.raw("</text><text x=\"198\" y=\"59\" text-anchor=\"end\">min ").raw(b).raw("</text>");
    p.raw("<polyline points=\"").raw(line).raw("\"/>").raw(dots).raw("</svg></figure>");
}

void StationSection(Page& p, const Station& s, const Options& o) {
    p.raw("<section class=\"st\" id=\"").raw(Anchor(s.name)).raw("\"><h2>").text(s.name).raw("</h2>");
    if (s.saves.empty()) {
        p.raw("<p class=\"note\">No save of this station is recorded.</p>");
    } else {
        p.raw("<p class=\"sub\">").num(static_cast<std::int64_t>(s.saves.size()))
            .raw(s.saves.size() == 1 ? " save recorded: " : " saves recorded, the last ");
        p.text(When(s.last->started)).raw(" (").text(ResultText(*s.last)).raw(", ").text(Who(*s.last)).raw(")");
        if (!s.last->reason.empty()) p.raw(": ").text(s.last->reason);
        p.raw(".");
        if (Stale(s, o))
            p.raw(" <span class=\"tag stale\">not saved for more than ").num(o.staleDays).raw(" days</span>");
        p.raw("</p>");
        Timeline(p, s);
    }
    if (s.drift) {
        p.raw("<p>Drift check ").text(When(s.drift->started)).raw(": ");
        if (!s.drift->differences) p.raw("failed: ").text(s.drift->error.empty() ? Code(s.drift->result) : s.drift->error);
        else if (*s.drift->differences == 0) p.raw("the station holds nothing unsaved");
        else p.num(*s.drift->differences).raw(" unsaved values");
        if (!s.driftCurrent) p.raw(" (saved since)");
        p.raw(".</p>");
        if (!s.unsaved.empty()) {
            p.raw("<ul class=\"unsaved\">");
            for (std::size_t i = 0; i < s.unsaved.size() && i < kUnsavedShown; ++i) {
                const history::DriftValue& v = s.unsaved[i];
                p.raw("<li>").text(v.tag).raw(" ").text(v.item).raw(": project ").text(v.projectValue.value_or("-"));
                p.raw(", station ").text(v.stationValue.value_or("-")).raw("</li>");
            }
            if (s.unsaved.size() > kUnsavedShown)
                p.raw("<li>and ").num(static_cast<std::int64_t>(s.unsaved.size() - kUnsavedShown))
                    .raw(" more: tusave drift --project ").text(o.project).raw(" --station ").text(s.name).raw("</li>");
            p.raw("</ul>");
        }
    }
    std::vector<const Series*> most;
    for (const Series& x : s.items)
        if (x.changes > 0) most.push_back(&x);
    std::stable_sort(most.begin(), most.end(), [](const Series* a, const Series* b) { return a->changes > b->changes; });
    if (!most.empty()) {
        p.raw("<h3>Most changed items</h3><ol class=\"most\">");
        for (std::size_t i = 0; i < most.size() && i < kMostChanged; ++i)
            p.raw("<li>").text(most[i]->tag).raw(" ").text(most[i]->item).raw(" (block ").num(most[i]->block)
                .raw(", ").text(most[i]->model).raw("): ").num(most[i]->changes).raw(most[i]->changes == 1 ? " change</li>" : " changes</li>");
        p.raw("</ol>");
    }
    // The most changed first; past kChartsShown the page names how many more there are.
    std::vector<const Series*> charted;
    for (const Series& x : s.items)
        if (x.changes >= 2 && x.numeric && x.points.size() >= 2) charted.push_back(&x);
    std::stable_sort(charted.begin(), charted.end(),
                     [](const Series* a, const Series* b) { return a->changes > b->changes; });
    if (!charted.empty()) {
        p.raw("<h3>Values over time</h3><div class=\"charts\">");
        for (std::size_t i = 0; i < charted.size() && i < kChartsShown; ++i)
            Chart(p, *charted[i], s.saves.front()->started.utc, s.saves.back()->started.utc);
        p.raw("</div>");
        if (charted.size() > kChartsShown)
            p.raw("<p class=\"note\">").num(static_cast<std::int64_t>(charted.size() - kChartsShown))
                .raw(" more numeric items changed at least twice; the values of one: tusave log --project ")
                .text(o.project).raw(" --station ").text(s.name).raw(" --tag TAG --item ITEM</p>");
    }
    p.raw("</section>");
}

}  // namespace

std::string html_text(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 8);
    if (ValidUtf8(s)) {
        Escape(out, s);
    } else if (const std::optional<std::string> u = FromCp932(s)) {
        Escape(out, *u);
    } else {
        // Neither: each byte that is not ASCII shows as U+FFFD.
        for (const char c : s) {
            if (static_cast<unsigned char>(c) < 0x80) Escape(out, std::string_view(&c, 1));
            else out += "\xEF\xBF\xBD";
        }
    }
    return out;
}

std::string build(const history::Database* db, const std::vector<std::string>& names, const Options& o) {
    std::vector<history::Save> saves;
    std::vector<history::ValueChange> changes;
    std::vector<history::DriftCheck> drifts;
    if (db) {
        saves = db->saves("");
        changes = db->value_changes(2);
        drifts = db->last_drift_checks(2);
    }

    std::vector<Station> stations;
    std::map<std::string, std::size_t> index;
    auto station = [&](const std::string& name) -> Station& {
        auto [it, added] = index.emplace(name, stations.size());
        if (added) {
            stations.emplace_back();
            stations.back().name = name;
        }
        return stations[it->second];
    };
    for (const std::string& n : names) station(n);
    std::set<std::string> others;   // stations the database knows that the configuration does not name
    for (const history::Save& s : saves)
        if (s.kind == 2 && !index.count(s.station)) others.insert(s.station);
    for (const std::string& n : others) station(n);

    std::map<std::int64_t, const history::Save*> byId;
    const std::int64_t since30 = o.now - 30 * kDay;
    for (auto it = saves.rbegin(); it != saves.rend(); ++it) {   // oldest first
        if (it->kind != 2) continue;
        Station& s = station(it->station);
        s.saves.push_back(&*it);
        byId[it->id] = &*it;
        s.last = &*it;
        if (it->state == history::State::Done) s.lastGood = &*it;
        if (it->started.utc >= since30 && it->origin == "save") {
            ++s.saves30;
            s.changed30 += it->valuesChanged.value_or(0);
        }
    }
    // The values each item took, save by save.
    std::map<std::tuple<int, std::string, std::string>, std::size_t> series;
    std::string current;
    for (const history::ValueChange& c : changes) {
        auto saveIt = byId.find(c.saveId);
        if (saveIt == byId.end()) continue;
        Station& s = station(c.station);
        if (c.station != current) {
            series.clear();
            current = c.station;
        }
        auto [it, added] = series.emplace(std::make_tuple(c.blockNo, c.tag, c.item), s.items.size());
        if (added) {
            s.items.emplace_back();
            s.items.back().block = c.blockNo;
            s.items.back().tag = c.tag;
            s.items.back().model = c.model;
            s.items.back().item = c.item;
        }
        Series& x = s.items[it->second];
        if (c.oldValue && c.newValue) ++x.changes;
        if (!c.newValue) continue;
        Point pt{saveIt->second->started.utc, *c.newValue};
        if (x.numeric) {
            if (const std::optional<double> v = Number(*c.newValue)) pt.v = *v;
            else x.numeric = false;
        }
        x.points.push_back(std::move(pt));
    }
    for (const history::DriftCheck& d : drifts) {
        Station& s = station(d.station);
        s.drift = &d;
        s.driftCurrent = !s.last || d.started.utc >= s.last->started.utc;
        if (s.driftCurrent && d.differences && *d.differences > 0) s.unsaved = db->drift_values(d.id);
    }

    int stale = 0, failed = 0, unsaved = 0;
    std::size_t saveCount = 0;
    for (const Station& s : stations) {
        stale += Stale(s, o);
        failed += FailedLast(s);
        unsaved += Unsaved(s).value_or(0) > 0;
        saveCount += s.saves.size();
    }

    unsigned char md[SHA256_DIGEST_SIZE];
    const std::size_t mdLen = sizeof md;
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, std::strlen(kScript), reinterpret_cast<const std::uint8_t*>(kScript));
    sha256_digest(&ctx, mdLen, md);

    Page p;
    p.raw("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
          "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">"
          "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'; "
          "script-src 'sha256-");
    p.raw(Base64(md, mdLen)).raw("'\"><title>Tuning report: ").text(o.project).raw("</title><style>").raw(kStyle);
    p.raw("</style></head><body><header><h1>Tuning report of project ").text(o.project).raw("</h1>");
    p.raw("<p class=\"sub\">Made ").text(history::moment_text(history::moment(o.now))).raw(" from ").text(o.source);
    p.raw(". Stale: no good save for more than ").num(o.staleDays).raw(" days.</p>");
    p.raw("<ul class=\"counts\"><li>").num(static_cast<std::int64_t>(stations.size())).raw(" stations</li><li>");
    p.num(static_cast<std::int64_t>(saveCount)).raw(" saves</li><li>").num(stale).raw(" stale</li><li>");
    p.num(failed).raw(" failed last save</li><li>").num(unsaved).raw(" holding unsaved values</li></ul></header>");
    p.raw("<main><h2 id=\"stations\">Stations</h2>");
    Table(p, stations, o);
    for (const Station& s : stations) StationSection(p, s, o);
    p.raw("</main><script>").raw(kScript).raw("</script></body></html>\n");
    return p.take();
}

}  // namespace plantreport
