// Reading TP files back, and their differences.
#include "tpfile.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "libqveeda.h"
#include "port.h"
#include "port/port_host.h"

namespace tpfile {

Error::Error(std::string src, int ln, const std::string& what)
    : std::runtime_error(src + (ln > 0 ? ":" + std::to_string(ln) : std::string()) + ": " + what),
      source(std::move(src)),
      line(ln) {}

namespace {

constexpr std::string_view kStart = ":::SOURCE";
constexpr std::string_view kEnd = "::::SOURCE";

bool Lead(std::string_view s, std::size_t i) {
    return i + 1 < s.size() && IsDBCSLeadByte(static_cast<BYTE>(s[i]));
}

// Splits s at every unescaped sep (a double-byte character is never a separator); the pieces
// keep their escapes.
std::vector<std::string_view> Split(std::string_view s, char sep, std::size_t max = SIZE_MAX) {
    std::vector<std::string_view> out;
    std::size_t from = 0;
    for (std::size_t i = 0; i < s.size() && out.size() + 1 < max; ++i) {
        if (Lead(s, i)) ++i;
        else if (s[i] == '\\' && i + 1 < s.size()) ++i;
        else if (s[i] == sep) {
            out.push_back(s.substr(from, i - from));
            from = i + 1;
        }
    }
    out.push_back(s.substr(from));
    return out;
}

std::string Unescape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (Lead(s, i)) {
            out += s[i++];
        } else if (s[i] == '\\' && i + 1 < s.size()) {
            ++i;
        }
        out += s[i];
    }
    return out;
}

template <class T>
bool Number(std::string_view s, T& v) {
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return ec == std::errc() && p == s.data() + s.size() && !s.empty();
}

Block ParseBlock(std::string_view line, const std::string& source, int ln) {
    auto fail = [&](const std::string& what) { return Error(source, ln, what); };
    if (line.empty() || line.back() != ';') throw fail("expected a parameter line ending in \";\"");
    line.remove_suffix(1);
    // Seven head fields, separated by ":"; the assignments follow the seventh ":".
    std::vector<std::string_view> head;
    std::size_t from = 0;
    while (head.size() < 7) {
        std::size_t colon = line.find(':', from);
        if (colon == std::string_view::npos) throw fail("expected \"<seq>:FPAR:<seq>:<location>:<tag>:<block>:<model>:\"");
        head.push_back(line.substr(from, colon - from));
        from = colon + 1;
    }
    Block b;
    int seq2 = 0;
    if (!Number(head[0], b.seq) || head[1] != "FPAR" || !Number(head[2], seq2) || seq2 != b.seq)
        throw fail("expected \"<seq>:FPAR:<seq>:\" with the same sequence number twice");
    if (!Number(head[5], b.blockNo) || b.blockNo < 1) throw fail("expected a block number in the sixth field");
    b.location = std::string(head[3]);
    b.tag = std::string(head[4]);
    b.model = std::string(head[6]);
    for (std::string_view piece : Split(line.substr(from), ',')) {
        std::vector<std::string_view> lv = Split(piece, '=', 2);
        if (lv.size() == 2 && !lv[0].empty()) {
            b.items.push_back({Unescape(lv[0]), Unescape(lv[1])});
        } else if (!b.items.empty()) {
            // A raw "," inside a value written without escapes (text as stored).
            b.items.back().value += "," + Unescape(piece);
        } else {
            throw fail("expected \"<label>=<value>\" after the head");
        }
    }
    return b;
}

}  // namespace

File parse(std::string_view text, const std::string& source) {
    std::vector<std::string_view> lines;
    for (std::size_t from = 0; from < text.size();) {
        std::size_t nl = text.find('\n', from);
        if (nl == std::string_view::npos) throw Error(source, static_cast<int>(lines.size()) + 1, "expected a line feed at the end");
        lines.push_back(text.substr(from, nl - from));
        from = nl + 1;
    }
    if (lines.empty() || lines[0] != kStart) throw Error(source, 1, "expected \":::SOURCE\"");
    if (lines.size() < 2) throw Error(source, 2, "expected the head line \"<seconds>:<time>;\"");
    File f;
    std::string_view headLine = lines[1];
    std::size_t colon = headLine.find(':');
    if (colon == std::string_view::npos || headLine.empty() || headLine.back() != ';' ||
        !Number(headLine.substr(0, colon), f.time))
        throw Error(source, 2, "expected the head line \"<seconds>:<time>;\"");
    f.timeText = std::string(headLine.substr(colon + 1, headLine.size() - colon - 2));
    std::size_t i = 2;
    for (; i < lines.size() && lines[i] != kEnd; ++i) {
        Block b = ParseBlock(lines[i], source, static_cast<int>(i) + 1);
        if (!f.blocks.empty() && b.blockNo <= f.blocks.back().blockNo)
            throw Error(source, static_cast<int>(i) + 1, "expected block numbers in ascending order");
        f.blocks.push_back(std::move(b));
    }
    if (i == lines.size()) throw Error(source, static_cast<int>(i) + 1, "expected \"::::SOURCE\"");
    if (i + 1 != lines.size()) throw Error(source, static_cast<int>(i) + 2, "expected the end of the file after \"::::SOURCE\"");
    return f;
}

std::string read_text(const std::string& path) {
    std::string text;
    switch (const int e = port::read_regular(path.c_str(), text, kMaxFileSize)) {
    case 0: return text;
    case EINVAL: throw Error(path, 0, "not a regular file (a FIFO, device or socket is not read)");
    case EISDIR: throw Error(path, 0, "a folder, not a file");
    case EFBIG:
        throw Error(path, 0, "larger than " + std::to_string(kMaxFileSize >> 20) + " MiB, the most a TP file is read up to");
    default: throw Error(path, 0, std::string("cannot read: ") + std::strerror(e));
    }
}

File read(const std::string& path) { return parse(read_text(path), path); }

const char* kind_text(Change::Kind k) {
    switch (k) {
    case Change::Kind::Changed: return "changed";
    case Change::Kind::BlockAdded: return "block added";
    case Change::Kind::BlockRemoved: return "block removed";
    case Change::Kind::ItemAdded: return "item added";
    case Change::Kind::ItemRemoved: return "item removed";
    }
    return "";
}

std::vector<Change> diff(const File& a, const File& b) {
    std::map<int, const Block*> before, after;
    for (const Block& x : a.blocks) before[x.blockNo] = &x;
    for (const Block& x : b.blocks) after[x.blockNo] = &x;
    std::map<int, int> numbers;
    for (auto& [n, _] : before) numbers[n];
    for (auto& [n, _] : after) numbers[n];

    std::vector<Change> out;
    auto whole = [&out](Change::Kind kind, const Block& blk) {
        Change c{kind, blk.blockNo, blk.tag, blk.model, {}, {}, {}};
        out.push_back(c);
    };
    for (auto& [n, _] : numbers) {
        const Block* x = before.count(n) ? before[n] : nullptr;
        const Block* y = after.count(n) ? after[n] : nullptr;
        if (x && y && (x->tag != y->tag || x->model != y->model)) {
            whole(Change::Kind::BlockRemoved, *x);
            whole(Change::Kind::BlockAdded, *y);
            continue;
        }
        if (!y) {
            whole(Change::Kind::BlockRemoved, *x);
            continue;
        }
        if (!x) {
            whole(Change::Kind::BlockAdded, *y);
            continue;
        }
        std::map<std::string, const std::string*> old;
        for (const Item& it : x->items) old[it.label] = &it.value;
        for (const Item& it : y->items) {
            auto o = old.find(it.label);
            if (o == old.end()) {
                out.push_back({Change::Kind::ItemAdded, n, y->tag, y->model, it.label, std::nullopt, it.value});
                continue;
            }
            if (*o->second != it.value)
                out.push_back({Change::Kind::Changed, n, y->tag, y->model, it.label, *o->second, it.value});
            old.erase(o);
        }
        for (const Item& it : x->items)
            if (old.count(it.label))
                out.push_back({Change::Kind::ItemRemoved, n, x->tag, x->model, it.label, it.value, std::nullopt});
    }
    return out;
}

std::size_t changed_values(const std::vector<Change>& changes, const File& a, const File& b) {
    // Blocks are in ascending number: a block's items are found by a binary search, not a walk
    // over the file for every change.
    auto items = [](const File& f, int blockNo) -> std::size_t {
        auto it = std::lower_bound(f.blocks.begin(), f.blocks.end(), blockNo,
                                   [](const Block& x, int n) { return x.blockNo < n; });
        return it != f.blocks.end() && it->blockNo == blockNo ? it->items.size() : 0;
    };
    std::size_t n = 0;
    for (const Change& c : changes) {
        if (c.kind == Change::Kind::BlockAdded) n += items(b, c.blockNo);
        else if (c.kind == Change::Kind::BlockRemoved) n += items(a, c.blockNo);
        else ++n;
    }
    return n;
}

std::vector<Copy> archive_copies(const std::string& tpPath) {
    std::string dir = tpPath.substr(0, tpPath.find_last_of('/') == std::string::npos ? 0 : tpPath.find_last_of('/'));
    if (dir.empty()) dir = ".";
    std::vector<Copy> out;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return out;
    while (dirent* e = ::readdir(d)) {
        std::string_view name = e->d_name;
        if (name.size() != 20 || name.substr(0, 2) != "TP" || name.substr(16) != ".txt") continue;
        if (!std::all_of(name.begin() + 2, name.begin() + 16, [](char c) { return c >= '0' && c <= '9'; })) continue;
        std::string path = dir + "/" + std::string(name);
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        out.push_back({path, std::string(name)});
    }
    ::closedir(d);
    std::sort(out.begin(), out.end(), [](const Copy& x, const Copy& y) { return x.name > y.name; });
    return out;
}

std::string station_tp_path(const std::string& project, const std::string& station, bool eqlz) {
    CQVEFilePath paths;
    std::string path;
    if ((eqlz ? paths.InitEqlzProject(project.c_str()) : paths.InitProject(project.c_str())) != 0 ||
        paths.GetPath(station.c_str(), 0, 0, 0, "FCTPS", nullptr, path) != 0)
        throw Error(project + "/" + station, 0, "no TP file path for this project and station");
    return path;
}

std::string previous_copy(const std::string& tpPath, const File& tp) {
    for (const Copy& c : archive_copies(tpPath)) {
        try {
            if (read(c.path).time < tp.time) return c.path;
        } catch (const Error&) {
            // A damaged copy is passed over; history shows it.
        }
    }
    throw Error(tpPath, 0, "no archive copy of an earlier save beside it");
}

std::optional<File> station_tp_now(const std::string& project, const std::string& station, bool eqlz) {
    try {
        const std::string path = station_tp_path(project, station, eqlz);
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) return File{};
        return read(path);
    } catch (const Error&) {
        return std::nullopt;
    }
}

}  // namespace tpfile
