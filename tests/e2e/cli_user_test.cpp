// tusave as a newcomer meets it: lines that reach a pipe as they are made, Ctrl-C during a save,
// a failure line that names the thing and the remedy for each common mistake, usage errors,
// lines that a name from a project file cannot forge, a station value changed with fcssim set.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "e2e_fcssim.h"
#include "libqverxeda.h"
#include "sample.h"
#include "tusave_results.h"

namespace {

namespace fs = std::filesystem;
const std::string kTusave = TUSAVE_BUILD_DIR "/tools/tusave/tusave";
const std::string kFcssim = TUSAVE_BUILD_DIR "/station/fcssim";

// A program run with its stdout on a pipe read line by line, its stderr in a file.
class Proc {
public:
    Proc(const std::vector<std::string>& args, const std::vector<std::string>& env, const std::string& errPath) {
        int fds[2];
        if (pipe(fds) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
            dup2(fds[1], 1);
            const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(err, 2);
            close(fds[0]);
            close(fds[1]);
            std::vector<char*> argv;
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        out_ = fds[0];
    }
    ~Proc() {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            Wait();
        }
        if (out_ >= 0) close(out_);
    }
    // The next line of stdout; false at its end or after timeoutMs.
    bool Line(std::string& line, int timeoutMs = 60000) {
        for (;;) {
            if (auto nl = buf_.find('\n'); nl != std::string::npos) {
                line = buf_.substr(0, nl);
                buf_.erase(0, nl + 1);
                return true;
            }
            pollfd p{out_, POLLIN, 0};
            char b[4096];
            if (poll(&p, 1, timeoutMs) != 1) return false;
            const ssize_t n = read(out_, b, sizeof b);
            if (n <= 0) return false;
            buf_.append(b, static_cast<std::size_t>(n));
        }
    }
    bool Running() const { return waitpid(pid_, nullptr, WNOHANG) == 0; }
    void Signal(int sig) { kill(pid_, sig); }
    int Wait() {
        std::string l;
        while (Line(l)) {
        }
        int st = 0;
        waitpid(pid_, &st, 0);
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 256 + WTERMSIG(st);
        return status_;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    int status_ = -1;
    std::string buf_;
};

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> v;
    for (std::string l; std::getline(in, l);) v.push_back(l);
    return v;
}

std::map<std::string, std::vector<std::uint8_t>> Files(const std::string& dir) {
    std::map<std::string, std::vector<std::uint8_t>> m;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) m[e.path().string()] = e2e::read_file(e.path().string());
    return m;
}

class CliUser : public ::testing::Test {
protected:
    void Start(const sample::Description& d, const std::string& scenario = "") {
        home_.Stop();
        ASSERT_TRUE(home_.Start(d));
        if (!scenario.empty()) {
            std::ofstream(home_.dir + "/scenario.json") << scenario;
            home_.sim = std::make_unique<e2e::Fcssim>(home_.dir, home_.dir + "/scenario.json");
            ASSERT_FALSE(home_.sim->device().empty());
            SetBus(home_.sim->device());
        }
    }
    void SetBus(const std::string& device) {
        std::ofstream(home_.result->workstationJson)
            << R"({"currentProject": "DEMO", "controlBus": ")" << device << "\"}";
    }
    std::vector<std::string> Env(const std::string& extra = "") const {
        std::vector<std::string> e{"TUSAVE_HOME=" + home_.dir, "TUSAVE_FIXED_TIME=1767225600", "TZ=UTC"};
        if (!extra.empty()) e.push_back(extra);
        return e;
    }
    std::string ErrPath() const { return home_.dir + "/stderr.txt"; }
    // Runs tusave to its end: exit status, stdout lines; stderr lines in err_.
    int Tusave(std::vector<std::string> args, const std::string& extraEnv = "") {
        args.insert(args.begin(), kTusave);
        Proc r(args, Env(extraEnv), ErrPath());
        lines_.clear();
        for (std::string l; r.Line(l);) lines_.push_back(l);
        const int st = r.Wait();
        err_ = ReadLines(ErrPath());
        return st;
    }
    std::string Err() const {
        std::string s;
        for (const std::string& l : err_) s += l + "\n";
        return s;
    }

    e2e::SampleHome home_;
    std::vector<std::string> lines_, err_;
};

// Against a station that delays each reply, the first progress line reaches the pipe while the
// save still runs.
TEST_F(CliUser, LinesReachAPipeAsTheyAreMade) {
    Start(sample::default_description(), R"({"rules": [{"command": "any", "delayMs": 40, "times": 0}]})");
    Proc r({kTusave, "save", "--project", "DEMO", "--station", "FCS0101"}, Env(), ErrPath());
    std::string first;
    ASSERT_TRUE(r.Line(first, 20000));
    EXPECT_EQ(first, "PRG:00");
    EXPECT_TRUE(r.Running());
    EXPECT_EQ(r.Wait(), 0);
}

// SIGINT during the edit file step of a 4000-block save: exit 130, one line with the project's
// state, the lock given back, the history log's end line, every file old or new; the next save
// brings everything into line.
TEST_F(CliUser, InterruptDuringTheEditStepLeavesEveryFileOldOrNew) {
    sample::Description d = sample::default_description();
    d.stations[0].blocks = 4000;
    Start(d);
    const sample::StationResult& st = home_.result->stations[0];
    const std::string stationDir = home_.result->projectDir + "/FCS0101";
    const auto before = Files(stationDir);

    Proc r({kTusave, "save", "--project", "DEMO", "--station", "FCS0101", "--mode", "2"}, Env(), ErrPath());
    std::string l;
    while (r.Line(l) && l != "PRG:30") {
    }
    ASSERT_EQ(l, "PRG:30");
    r.Signal(SIGINT);
    std::vector<std::string> after30;
    while (r.Line(l)) after30.push_back(l);
    EXPECT_EQ(r.Wait(), 130);
    EXPECT_TRUE(std::find(after30.begin(), after30.end(), "PRG:40") == after30.end()) << "SIGINT came too late";
    const auto errLines = ReadLines(ErrPath());
    ASSERT_EQ(errLines.size(), 1u);
    EXPECT_EQ(errLines[0], "tusave save: the save of FCS0101 interrupted by SIGINT: the project is partly updated: "
                           "run the save again");
    const auto history = ReadLines(home_.dir + "/log/history.log");
    ASSERT_FALSE(history.empty());
    EXPECT_NE(history.back().find("\tDEMO\tFCS0101\tTP \tabort\tFCS0101"), std::string::npos) << history.back();
    ASSERT_EQ(setenv("TUSAVE_HOME", home_.dir.c_str(), 1), 0);
    void* lock = nullptr;
    EXPECT_EQ(QVEEdaGenLockStation("DEMO", "FCS0101", 0, nullptr, 0, &lock), 0u);
    QVEEdaGenUnlockStation("DEMO", "FCS0101", lock);
    unsetenv("TUSAVE_HOME");
    const auto interrupted = Files(stationDir);

    ASSERT_EQ(Tusave({"save", "--project", "DEMO", "--station", "FCS0101", "--mode", "2"}), 0) << Err();
    EXPECT_GT(e2e::expect_saved_records_equal_memory(st), 0u);
    const auto good = Files(stationDir);
    std::size_t changed = 0;
    for (const auto& [path, bytes] : interrupted) {
        const auto b = before.find(path), g = good.find(path);
        const bool old = b != before.end() && b->second == bytes, now = g != good.end() && g->second == bytes;
        EXPECT_TRUE(old || now) << path;
        changed += !old;
    }
    EXPECT_GT(changed, 0u);
}

// Each common mistake: the failure line names the thing that failed and what to do.
TEST_F(CliUser, EveryCommonMistakeGetsAFailureLineWithTheThingAndTheRemedy) {
    sample::Description d = sample::default_description();
    // "@" in a part of the line stands for the workstation folder of the row.
    struct Row {
        const char* name;
        std::function<void()> arrange;
        std::vector<std::string> args;
        std::string env;
        std::vector<std::string> said;   // parts of the failure line
    };
    const std::vector<std::string> save = {"save", "--project", "DEMO", "--station", "FCS0101"};
    const std::string userinst = "@/projects/DEMO/FCS0101/DB/userinst.json";
    const std::vector<Row> rows = {
        {"unknown project", [] {}, {"save", "--project", "DEMOX", "--station", "FCS0101"}, "",
         {"the project DEMOX does not exist", "(projects in @/projects: DEMO)"}},
        {"bad control bus address", [&] { SetBus("udp:127.0.0.1:notaport"); }, save, "",
         {"the control bus address \"udp:127.0.0.1:notaport\"", "\"controlBus\" in @/workstation.json",
          "udp:127.0.0.1:PORT"}},
        {"generation mismatch", [&] {
             sample::Description m = d;
             m.stations[0].memoryGenerationStamp = m.stations[0].generationStamp + 86400;
             Start(m);
         }, save, "",
         {"the station runs the generation of 2026-01-02 00:00:00 +0000",
          "the project's database file is of 2026-01-01 00:00:00 +0000", "--mode 2", "wrong places"}},
        {"damaged user instance file", [&] { std::ofstream(home_.dir + userinst.substr(1)) << "{ not json"; }, save, "",
         {"the user instance file " + userinst + " is damaged", "restore it"}},
        {"silent station", [&] { Start(d, R"({"rules": [{"command": "geninfo", "noReply": true, "times": 0}]})"); },
         save, "TUSAVE_FAILPOINTS=WaitForSingleObject=258+;WaitForMultipleObjects=258+",
         {"did not answer for station FCS0101 (number 1)", "fcssim --home @"}},
        {"simulator not running", [&] { home_.sim.reset(); }, save, "",
         {"no station listens at udp:127.0.0.1:", "\"controlBus\" in @/workstation.json", "fcssim --home @ &"}},
        {"unknown station", [] {}, {"save", "--project", "DEMO", "--station", "FCS0109"}, "",
         {"the station FCS0109 is not in the system configuration", "its stations: FCS0101, FCS0102"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Start(d);
        row.arrange();
        EXPECT_EQ(Tusave(row.args, row.env), 1);
        ASSERT_FALSE(err_.empty());
        const std::string& line = err_.back();
        EXPECT_EQ(line.rfind("tusave save: the save of ", 0), 0u) << line;
        for (std::string part : row.said) {
            if (auto at = part.find('@'); at != std::string::npos) part.replace(at, 1, home_.dir);
            EXPECT_NE(line.find(part), std::string::npos) << part << "\n" << line;
        }
        EXPECT_NE(line.find("(tusave explain 0x"), std::string::npos) << line;
    }
    // The last row's mistyped station made no station of its own in the history.
    EXPECT_FALSE(fs::exists(home_.dir + "/projects/DEMO/HISTORY/tuning.sqlite"));
}

// tusave sample --stations builds a plant that one fcssim serves whole; blocks that need more
// than 255 drawings are refused before anything is written.
TEST_F(CliUser, SamplePlantIsServedByOneFcssim) {
    Start(sample::default_description());
    const std::string plant = home_.dir + "/plant";
    ASSERT_EQ(Tusave({"sample", plant, "--stations", "3", "--blocks", "40", "--blocks-per-drawing", "8"}), 0) << Err();
    e2e::Fcssim sim(plant);
    ASSERT_FALSE(sim.device().empty());
    std::ofstream(plant + "/workstation.json") << R"({"currentProject": "DEMO", "controlBus": ")" << sim.device() << "\"}";
    EXPECT_EQ(Tusave({"save", "--project", "DEMO", "--all", "--jobs", "2"}, "TUSAVE_HOME=" + plant), 0) << Err();
    for (const char* name : {"FCS0101", "FCS0102", "FCS0103"})
        EXPECT_TRUE(fs::exists(plant + "/projects/DEMO/" + name + "/TP/tuning.tps")) << name;
    EXPECT_EQ(Tusave({"sample", home_.dir + "/wide", "--blocks", "4000", "--blocks-per-drawing", "8"}), 1);
    EXPECT_NE(Err().find("blocksPerDrawing"), std::string::npos) << Err();
    EXPECT_FALSE(fs::exists(home_.dir + "/wide"));
}

// Usage errors exit 2 naming the option; a missing workstation folder is refused before
// anything is made in it; tusave alone prints its help; fcssim's own surface.
TEST_F(CliUser, UsageErrorsNameTheOption) {
    Start(sample::default_description());
    const struct {
        std::vector<std::string> args;
        const char* named;
    } rows[] = {
        {{"save", "--project", "DEMO", "--station", "FCS0101", "--kind", "5"}, "--kind"},
        {{"save", "--project", "DEMO", "--station", "FCS0101", "--mode", "3"}, "--mode"},
        {{"save", "--project", "DEMO", "--station", "FCS0101", "--jobs", "2"}, "--jobs"},
        {{"save", "--project", "DEMO", "--all", "--summary"}, "--summary"},
        {{"history", "--project", "DEMO", "--station", "FCS0109"}, "FCS0101, FCS0102"},
        {{"diff", "--project", "DEMO", "--station", "FCS0109"}, "FCS0101, FCS0102"},
        {{"sample", home_.dir}, "--force"},
        {{"explain", "0x12345678"}, "0x12345678"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args[0] + " " + row.named);
        EXPECT_EQ(Tusave(row.args), 2);
        EXPECT_NE(Err().find(row.named), std::string::npos) << Err();
    }
    const std::string missing = home_.dir + "/nowhere";
    Proc r({kTusave, "save", "--project", "DEMO", "--station", "FCS0101"}, {"TUSAVE_HOME=" + missing}, ErrPath());
    EXPECT_EQ(r.Wait(), 2);
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_NE(ReadLines(ErrPath()).at(0).find("the workstation folder " + missing + " does not exist"),
              std::string::npos);
    EXPECT_EQ(Tusave({}), 0);
    EXPECT_FALSE(lines_.empty());
    EXPECT_EQ(Tusave({"sample", home_.dir, "--force"}), 0);

    Proc bad({kFcssim, "--no-such-option"}, {}, ErrPath());
    EXPECT_EQ(bad.Wait(), 2);
    Proc version({kFcssim, "--version"}, {}, ErrPath());
    std::string v;
    EXPECT_TRUE(version.Line(v));
    EXPECT_EQ(v.rfind("fcssim ", 0), 0u);
    EXPECT_EQ(version.Wait(), 0);
    const std::string busy = home_.sim->device();
    Proc second({kFcssim, "--home", home_.dir, "--listen", busy}, {}, ErrPath());
    EXPECT_EQ(second.Wait(), 1);
    EXPECT_NE(ReadLines(ErrPath()).at(0).find(busy + " is in use by another program"), std::string::npos);
}

// A custom file whose name holds a newline reaches a line (the backup tool fails on every
// file): in --raw output it cannot make a line of its own.
TEST_F(CliUser, ANameWithANewlineCannotForgeALine) {
    Start(sample::default_description());
    std::ofstream(home_.result->projectDir + "/FCS0101/Custom/FCS/evil\nERR:forged\nRESULT 0x00000000\n.xseg") << "x";
    for (const char* mode : {"--raw", "--summary"}) {
        SCOPED_TRACE(mode);
        Tusave({"save", "--project", "DEMO", "--station", "FCS0101", "--mode", "2", mode}, "TUSAVE_FAILPOINTS=shgsave=1");
        bool named = false;
        std::size_t results = 0;
        for (const std::string& l : lines_) {
            EXPECT_NE(l, "ERR:forged");
            EXPECT_NE(l, ".xseg");
            results += l.rfind("RESULT ", 0) == 0;
            named = named || l.find("evil\\x0aERR:forged\\x0aRESULT 0x00000000\\x0a.xseg") != std::string::npos;
        }
        EXPECT_TRUE(named);
        EXPECT_EQ(results, std::string(mode) == "--raw" ? 1u : 0u);
    }
}

// The walkthrough's step: a value changed with fcssim set in the running station is the one
// change the next save reports, and tusave diff lists it.
TEST_F(CliUser, AValueSetInTheRunningStationIsTheChangeTheSaveReports) {
    Start(sample::default_description());
    const std::vector<std::string> save = {"save", "--project", "DEMO", "--station", "FCS0101", "--mode", "2",
                                           "--summary"};
    // The first save adds every block: its report lists each value, and its count agrees.
    ASSERT_EQ(Tusave({"save", "--project", "DEMO", "--station", "FCS0101", "--mode", "2", "--json"}), 0) << Err();
    std::string text;
    for (const std::string& l : lines_) text += l + "\n";
    const nlohmann::json first = nlohmann::json::parse(text);
    const nlohmann::json& added = first["valuesChanged"]["changes"];
    EXPECT_EQ(first["valuesChanged"]["count"], added.size());
    ASSERT_FALSE(added.empty());
    EXPECT_TRUE(added[0]["new"].is_string());
    EXPECT_EQ(first["started"]["time"], "2026-01-01 00:00:00 +0000");
    Proc set({kFcssim, "set", "--home", home_.dir, "--station", "FCS0101", "PIC0001", "SV", "42.5"}, {}, ErrPath());
    std::string said;
    ASSERT_TRUE(set.Line(said)) << ReadLines(ErrPath()).at(0);
    EXPECT_EQ(set.Wait(), 0);
    EXPECT_NE(said.find("PIC0001 PIDLOOP SV: "), std::string::npos) << said;
    EXPECT_NE(said.find(" -> 42.500000"), std::string::npos) << said;
    const std::string oldValue = said.substr(said.find("SV: ") + 4, said.find(" -> ") - said.find("SV: ") - 4);
    const std::string change = "0001 PIC0001 PIDLOOP SV changed: " + oldValue + " -> 42.500000";

    ASSERT_EQ(Tusave(save, "TUSAVE_FIXED_TIME=1767225660"), 0) << Err();
    auto at = std::find_if(lines_.begin(), lines_.end(),
                           [](const std::string& l) { return l.rfind("Tuning values changed", 0) == 0; });
    ASSERT_NE(at, lines_.end());
    EXPECT_EQ(*at, "Tuning values changed since the last save: 1 (against the TP file before this save), shown by: "
                   "tusave diff --project DEMO --station FCS0101");
    EXPECT_EQ(*(at + 1), "  " + change);
    auto files = std::find_if(lines_.begin(), lines_.end(),
                              [](const std::string& l) { return l.rfind("Files written in ", 0) == 0; });
    ASSERT_NE(files, lines_.end());
    EXPECT_NE(files->find(", 4 with other bytes, "), std::string::npos) << *files;
    EXPECT_EQ(Tusave({"diff", "--project", "DEMO", "--station", "FCS0101"}), 1);
    EXPECT_EQ(lines_, std::vector<std::string>{change});

    // A missing edit file: the save says so once in its summary, and does not count the block
    // as brought into line.
    fs::remove(home_.result->projectDir + "/FCS0101/FUNCTION_BLOCK/DR0001/PIC0001.edf");
    ASSERT_EQ(Tusave(save, "TUSAVE_FIXED_TIME=1767225720"), 0) << Err();
    at = std::find_if(lines_.begin(), lines_.end(), [](const std::string& l) { return l.rfind("Saved ", 0) == 0; });
    ASSERT_NE(at, lines_.end());
    // The sample of the suite has no backup tool: its runs warn too (one warning per file).
    EXPECT_NE(at->find("Saved FCS0101 of DEMO with 5 warnings in "), std::string::npos) << *at;
    EXPECT_NE(at->find("; 44 blocks brought into their edit files, 2 passed over (edit file not found)."),
              std::string::npos) << *at;
    at = std::find(lines_.begin(), lines_.end(), "Warnings:");
    ASSERT_NE(at, lines_.end());
    EXPECT_EQ(*(at + 1), "  WRN:Edit file cannot be opened, passed over: PIC0001  (2 times)");
}

}  // namespace

namespace {

// The one table of result codes holds every code the library and the services define, and no
// other; docs/result-codes.md is what tusave explain --markdown prints from it.
TEST(ResultCodes, TheTableHoldsEveryDefinedCodeAndTheDocsAreItsPrint) {
    std::set<unsigned> defined;
    const std::regex def(R"(constexpr\s+[\w:]+\s+\w+\s*=\s*(0x[0-9A-Fa-f]+)u?;)");
    for (const char* file : {"LdLoad/libqveldtusave/LdTuSaveCtrl.h", "LdLoad/libqveldtusave/services/libqveeda.h",
                             "workstation/libqveeda/eda_status.h", "workstation/libqverxgen/inst_def.h"}) {
        std::ifstream in(std::string(TUSAVE_SOURCE_DIR) + "/" + file);
        ASSERT_TRUE(in) << file;
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        for (std::sregex_iterator it(text.begin(), text.end(), def), end; it != end; ++it)
            defined.insert(static_cast<unsigned>(std::stoul((*it)[1].str(), nullptr, 16)));
    }
    EXPECT_GE(defined.size(), 39u);
    for (unsigned code : defined) {
        const tusave_result_info* r = tusave_result_find(code);
        ASSERT_NE(r, nullptr) << std::hex << code;
        EXPECT_TRUE(*r->meaning && *r->remedy && *r->name) << r->name;
    }
    unsigned n = 0;
    const tusave_result_info* t = tusave_result_table(&n);
    for (unsigned i = 0; i < n; ++i) EXPECT_TRUE(t[i].code == 0 || defined.count(t[i].code)) << t[i].name;

    const std::string cmd = "'" + kTusave + "' explain --markdown";
    std::string printed;
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char buf[4096];
    for (std::size_t k; (k = fread(buf, 1, sizeof buf, p)) > 0;) printed.append(buf, k);
    EXPECT_EQ(pclose(p), 0);
    std::ifstream doc(TUSAVE_SOURCE_DIR "/docs/result-codes.md");
    EXPECT_EQ(printed, std::string((std::istreambuf_iterator<char>(doc)), {}))
        << "regenerate: tusave explain --markdown > docs/result-codes.md";
}

}  // namespace
