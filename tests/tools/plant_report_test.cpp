// The plant report page of a sample plant with a known history, as a browser renders it: the
// table rows and their marks, the points of a known item's chart, the script's sorting and
// filtering in place, no console message; the page is kept in the build folder
// (tests/artefacts/plant-report.html).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "history.h"
#include "plant_history.h"
#include "plant_report.h"
#include "project_files.h"

namespace {

namespace fs = std::filesystem;
using plant_history::Block;
constexpr std::int64_t kNow = 1769904000;   // 2026-02-01 00:00:00 UTC
constexpr std::int64_t kDay = 86400;

using project_files::read_text;

std::size_t Count(const std::string& s, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++n;
    return n;
}

// FCS0101: four good saves and a failed one; PIC0001 SV takes 10.5, 20.5, 15.25, 30 (three
// changes), MODE three texts, P1 changes once; its last drift check found 2 unsaved values.
// FCS0102: one save 20 days ago (stale), by a user whose name is markup. FCS0103: its last save failed. FCS0104: never saved.
std::string SamplePage(const std::string& dir) {
    history::Database db = history::Database::open(dir + "/tuning.sqlite", true);
    history::TpFile before;
    const char* sv[] = {"10.5", "20.5", "15.25", "30"};
    const char* mode[] = {"AUT", "MAN", "MAN", "CAS"};
    int k = 0;
    for (int day = 5; day >= 1; --day) {
        std::vector<Block> b = {{1, "PIC0001", "PIDLOOP", {{"SV", sv[k]}, {"MODE", mode[k]}, {"P1", k ? "2" : "1"}}},
                                {2, "FIC0002", "PIDLOOP", {{"SV", "1"}}}};
        if (day == 2) plant_history::record_save(db, "FCS0101", kNow - day * kDay, nullptr, &before, 0x20234104);
        else plant_history::record_save(db, "FCS0101", kNow - day * kDay, &b, &before, 0, "alice"), ++k;
    }
    history::DriftCheck d;
    d.station = "FCS0101", d.started = d.ended = {kNow - 3600, 0}, d.differences = 2;
    db.record_drift(d, {{1, "PIC0001", "PIDLOOP", "SV", "30", "31"}, {1, "PIC0001", "PIDLOOP", "P1", "2", "3"}});
    history::TpFile b2, b3;
    const std::vector<Block> one = {{1, "TI0001", "INDICATO", {{"HH", "5"}}}};
    plant_history::record_save(db, "FCS0102", kNow - 20 * kDay, &one, &b2, 0, "o<&>");
    plant_history::record_save(db, "FCS0103", kNow - 3 * kDay, &one, &b3);
    plant_history::record_save(db, "FCS0103", kNow - kDay, nullptr, &b3, 0x20234104);
    plantreport::Options o;
    o.project = "DEMO", o.now = kNow, o.source = "projects/DEMO/HISTORY/tuning.sqlite";
    return plantreport::build(&db, {"FCS0101", "FCS0102", "FCS0103", "FCS0104"}, o);
}

// Headless chromium with args, given up after 120 s: its exit status (124: it took too long),
// stdout in *out and stderr in *err.
int Chromium(const std::string& exe, const std::string& args, std::string* out, std::string* err, const std::string& dir) {
    const std::string o = dir + "/chromium.out", e = dir + "/chromium.err", profile = dir + "/chromium-profile";
    const int st = std::system(("timeout -k 5 120 '" + exe + "' --headless=new --no-sandbox --disable-gpu --no-first-run "
                                "--user-data-dir='" + profile + "' --enable-logging=stderr --v=0 " + args + " >'" + o +
                                "' 2>'" + e + "'").c_str());
    std::error_code ec;
    fs::remove_all(profile, ec);
    *out = read_text(o), *err = read_text(e);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

}  // namespace

TEST(PlantReport, RendersInABrowserWithRowsChartPointsAndNoConsoleMessage) {
    const std::string dir = TUSAVE_BUILD_DIR "/tests/artefacts";
    fs::create_directories(dir);
    fs::remove(dir + "/tuning.sqlite");
    const std::string page = SamplePage(dir);
    const std::string html = dir + "/plant-report.html";
    std::ofstream(html, std::ios::binary) << page;

    // Self-contained, and complete without the script: every row is in the file.
    for (const char* outside : {"http:", "https:", " src=", "<link", "url("}) EXPECT_EQ(page.find(outside), std::string::npos) << outside;
    EXPECT_EQ(Count(page, "<tr data-station="), 4u);
    EXPECT_NE(page.find("<td>o&lt;&amp;&gt;@ews01</td>"), std::string::npos);

    std::string exe;
    for (const char* c : {"/usr/bin/chromium", "/usr/bin/chromium-browser"})
        if (access(c, X_OK) == 0) exe = c;
    if (exe.empty()) GTEST_SKIP() << "chromium is not installed (scripts/setup.sh installs it)";

    std::string dom, err;
    ASSERT_EQ(Chromium(exe, "--dump-dom file://" + html, &dom, &err, dir), 0) << err;
    EXPECT_EQ(err.find(":CONSOLE"), std::string::npos) << err;

    // The rows in the project's order with their marks.
    std::vector<std::string> rows;
    const std::regex row(R"re(<tr data-station="([^"]*)" class="([^"]*)")re");
    for (std::sregex_iterator it(dom.begin(), dom.end(), row), end; it != end; ++it)
        rows.push_back((*it)[1].str() + ":" + (*it)[2].str());
    EXPECT_EQ(rows, (std::vector<std::string>{"FCS0101:attn", "FCS0102:stale attn", "FCS0103:failed attn",
                                              "FCS0104:stale attn"}));
    EXPECT_NE(dom.find("<td class=\"n\" data-v=\"2\">2</td></tr>"), std::string::npos);   // FCS0101's unsaved

    // The script ran: sort buttons in the 8 column heads, the filter shown and counting.
    EXPECT_EQ((std::vector{Count(dom, "<th") - Count(dom, "<thead"), Count(dom, "<button type=\"button\">"),
                           Count(dom, "<div id=\"filters\" class=\"filters\">"), Count(dom, "4 of 4 stations shown")}),
              (std::vector<std::size_t>{8, 8, 1, 1}));

    // PIC0001 SV: one chart with a point per value; MODE (text) and P1 (one change) have none.
    const std::size_t chart = dom.find("data-tag=\"PIC0001\" data-item=\"SV\"");
    ASSERT_NE(chart, std::string::npos);
    const std::string svChart = dom.substr(chart, dom.find("</figure>", chart) - chart);
    EXPECT_EQ((std::vector{Count(svChart, "<circle"), Count(svChart, "3 changes, 10.5 → 30"), Count(dom, "class=\"chart\"")}),
              (std::vector<std::size_t>{4, 1, 1})) << svChart;
}

// Text from names and values: markup escaped, control characters replaced, CP932 read as such.
TEST(PlantReport, HtmlText) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"a<b>&\"'", "a&lt;b&gt;&amp;&quot;&#39;"},
        {"x\x01y\x7f", "x\xEF\xBF\xBDy\xEF\xBF\xBD"},
        {"\xE6\xB8\xA9", "\xE6\xB8\xA9"},        // UTF-8 stays
        {"\x89\xB7", "\xE6\xB8\xA9"},            // CP932
        {"\xFF<", "\xEF\xBF\xBD&lt;"},           // neither
    };
    for (const auto& [in, want] : cases) EXPECT_EQ(plantreport::html_text(in), want) << in;
}
