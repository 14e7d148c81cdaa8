// The station tool backup step against the sample's custom folders and the real backup tool,
// which logs every run it received; the tool program's own argument checks and I/O errors.
#include <unistd.h>

#include <cerrno>

#include "../workstation/common_fixture.h"
#include "LdTuSaveCtrl.h"
#include "ctrl_fixture.h"
#include "image_fixture.h"
#include "port.h"
#include "tusave_bytes.h"

namespace {

namespace fs = std::filesystem;
using ctrl_test::CtrlSave;

const std::string kTool = std::string(TUSAVE_BUILD_DIR) + "/tools/shgsave/shgsave";
constexpr const char* kDevice = "udp:127.0.0.1:47110";

using imgtest::read_bytes;

class ToolBackup : public CtrlSave {
protected:
    void SetUp() override {
        CtrlSave::SetUp();
        auto t = ctrl_test::test_strings();
        for (unsigned id : {4214u, 4215u, 7216u, 7217u, 7218u, 7219u, 7623u}) t[id] = "T" + std::to_string(id);
        port::set_string_table(t);
    }
    void TearDown() override {
        unsetenv("TUSAVE_FAILPOINTS");
        setenv("TUSAVE_HOME", dir_.c_str(), 1);
        CtrlSave::TearDown();
    }
    // The sample with the backup tool installed, and a context as initialisation leaves it.
    void make(bool current = true, bool apcs = false) {
        sample::BuildOptions o;
        o.tool = kTool;
        result_ = sample::build(desc_, dir_, o);
        image_ = read_bytes(st("FCS0101").databasePath);
        inf_.strStation = "FCS0101";
        ASSERT_EQ(inf_.filePath.InitProject("DEMO"), 0u);
        inf_.isCurrentProject = current ? 1 : 0;
        inf_.isAPCS = apcs ? 1 : 0;
    }
    std::uint32_t run() {
        lines.clear();
        inf_.pDbImage = image_.data();
        inf_.dbImageSize = static_cast<std::uint32_t>(image_.size());
        return LdTuSaveCtrlUpdateParmFile(&inf_);
    }
    // Entry i of the custom folder name list.
    void name(std::size_t i, const std::string& n) {
        const std::size_t off = st("FCS0101").customFolderListOffset + 8 * i;
        std::fill_n(image_.begin() + static_cast<std::ptrdiff_t>(off), 8, 0);
        std::copy(n.begin(), n.end(), image_.begin() + static_cast<std::ptrdiff_t>(off));
    }
    // The runs the tool logged: "device<TAB>numbers<TAB>file<TAB>outcome".
    std::vector<std::string> runs() const {
        std::vector<std::string> out;
        std::ifstream in(dir_ + "/log/shgsave.log");
        for (std::string l; std::getline(in, l);) out.push_back(l.substr(l.find('\t') + 1));
        return out;
    }
    // <station>/Custom/[<folder>/]<side>/<name> -> backup/shgsave/1-1/[<folder>/]<side>/<name>
    std::string copy_of(const std::string& file) const {
        return dir_ + "/backup/shgsave/1-1/" + file.substr(file.find("/Custom/") + 8);
    }
    std::string copied(const std::string& file) const {
        return std::string(kDevice) + "\t1-1\t" + file + "\tcopied to " + copy_of(file);
    }
    std::vector<std::uint8_t> image_;
    LdTuSaveCtrlInf inf_;
};

TEST_F(ToolBackup, EveryFcsFileIsCopiedOnceInListOrderSimFilesForOtherProjectsAndApcs) {
    make();
    const auto& files = st("FCS0101").toolFilesFcs;
    ASSERT_EQ(files.size(), 4u);  // the directory "x.xseg", "notes.txt", SIM and unlisted files are not
    EXPECT_NE(files[0].find("/Custom/CUSTOM01/FCS/loop 02.xseg"), std::string::npos);
    EXPECT_NE(files[2].find("/Custom/FCS/common.xseg"), std::string::npos);  // the empty entry
    EXPECT_EQ(run(), 0u);
    EXPECT_EQ(lines, (std::vector<std::string>{"MSG:T4214", "MSG:T4215"}));
    std::vector<std::string> want;
    for (const auto& f : files) {
        want.push_back(copied(f));
        EXPECT_EQ(read_bytes(copy_of(f)), read_bytes(f)) << f;
    }
    EXPECT_EQ(runs(), want);  // the path with a blank arrived as one argument
    // Same name in two folders: two copies.
    EXPECT_TRUE(fs::exists(dir_ + "/backup/shgsave/1-1/CTRLDATA/FCS/loop01.xseg"));
    EXPECT_TRUE(fs::exists(dir_ + "/backup/shgsave/1-1/CUSTOM01/FCS/loop01.xseg"));
    // The SIM files for other projects and for APCS.
    for (auto [current, apcs] : {std::pair{false, false}, {true, true}}) {
        SCOPED_TRACE(std::to_string(current) + std::to_string(apcs));
        make(current, apcs);
        fs::remove(dir_ + "/log/shgsave.log");
        EXPECT_EQ(run(), 0u);
        want.clear();
        for (const auto& f : st("FCS0101").toolFilesSim) want.push_back(copied(f));
        ASSERT_EQ(want.size(), 3u);
        EXPECT_EQ(runs(), want);
    }
}

// No station-wide I/O table, no list, StnCnstTblAdrs 0, a list outside the image, no file in the
// listed folders: no line and no run. Refused folder names are named and not searched.
TEST_F(ToolBackup, NoListOrNoFileRunsNothingAndRefusedFolderNamesAreNamed) {
    make();
    const std::vector<std::uint8_t> good = image_;
    const std::size_t io = 0x200 + tb::load_u32(&image_[0x248]) - (tb::load_u32(&image_[0x240]) - 0x100);
    for (auto [off, value] : {std::pair<std::size_t, std::uint32_t>{0x248, 0}, {io + 0x214, 0}, {0x240, 0},
                              {io + 0x214, 0xFFFFFF00u}}) {
        image_ = good;
        tb::store_u32(&image_[off], value);
        EXPECT_EQ(run(), 0u);
        EXPECT_TRUE(lines.empty()) << off;
    }
    image_ = good;
    for (std::size_t i = 0; i < 16; ++i) name(i, i == 0 ? "NOFOLDER" : "CTRLDATA");
    const std::string only = st("FCS0101").toolFilesFcs[3];   // CTRLDATA's only FCS file
    const std::string kept = dir_ + "/kept.xseg";
    fs::rename(only, kept);
    EXPECT_EQ(run(), 0u);
    EXPECT_TRUE(lines.empty());
    EXPECT_TRUE(runs().empty());
    fs::rename(kept, only);
    // Files that the refused names would reach if they were joined into paths.
    const std::string stn = result_.projectDir + "/FCS0101";
    for (const char* d : {"/x/FCS", "/Custom/a/b/FCS", "/Custom/FCS/FCS"}) {
        fs::create_directories(stn + d);
        std::ofstream(stn + d + "/evil.xseg") << "x";
    }
    const std::vector<std::string> refused = {"../x", "a/b", ".", "a\\b"};
    std::vector<std::string> want;
    for (std::size_t i = 0; i < refused.size(); ++i) name(i, refused[i]);
    for (const auto& r : refused) want.push_back("WRN:LdTuSaveCtrlUpdateParmFile:custom folder name refused:\"" + r + "\"");
    want.insert(want.end(), {"MSG:T4214", "MSG:T4215"});
    EXPECT_EQ(run(), 0u);
    EXPECT_EQ(lines, want);
    EXPECT_EQ(runs(), (std::vector<std::string>{copied(stn + "/Custom/CTRLDATA/FCS/loop01.xseg")}));
}

TEST_F(ToolBackup, ToolFailuresWarnPerFileAndTheNextFileStillRuns) {
    make();
    const auto& files = st("FCS0101").toolFilesFcs;
    const std::string args = std::string(" -h ") + kDevice + " 1-1 ";
    auto expect_each = [&](const std::string& prefix, bool withCommand) {
        std::vector<std::string> want{"MSG:T4214"};
        for (const auto& f : files) want.push_back(prefix + (withCommand ? result_.toolPath + args : "") + f);
        want.push_back("MSG:T4215");
        EXPECT_EQ(lines, want);
    };
    // The tool ends with exit code 2 for every file.
    setenv("TUSAVE_FAILPOINTS", "shgsave=2", 1);
    EXPECT_EQ(run(), 0u);
    expect_each("WRN:T7219:dwRtn=0x2:", false);
    EXPECT_EQ(runs().size(), files.size());
    unsetenv("TUSAVE_FAILPOINTS");
    fs::remove(result_.toolPath);   // the tool does not start
    EXPECT_EQ(run(), 0u);
    expect_each("WRN:T7216:0x2:shgsave ", true);
}

TEST_F(ToolBackup, NoDeviceNameOrNoToolPathRunsNothing) {
    make();
    failpoint::arm("ZclGetDeviceName", 1);
    EXPECT_EQ(run(), LDTUSAVE_E_NODEVICE);
    EXPECT_EQ(lines, (std::vector<std::string>{"WRN:T7623"}));
    // A workstation folder whose tool path does not fit the 256-byte buffer.
    const std::string longHome = dir_ + "/" + std::string(250 - dir_.size(), 'h');
    fs::create_directory_symlink(dir_, longHome);
    setenv("TUSAVE_HOME", longHome.c_str(), 1);
    EXPECT_EQ(run(), 0u);
    EXPECT_EQ(lines, (std::vector<std::string>{"MSG:T4214",
                                                LdTuSaveFormat("WRN:T7216:%#x:shgsave -h %s 1-1 ", ENAMETOOLONG, kDevice),
                                                "MSG:T4215"}));
    EXPECT_TRUE(runs().empty());
}

class Shgsave : public WsTemp {
protected:
    void SetUp() override {
        WsTemp::SetUp();
        file = path("p/FCS0101/Custom/C1/FCS/a b.xseg");
        fs::create_directories(fs::path(file).parent_path());
        write(file, "custom");
        write(path("workstation.json"), R"({"backupDir": "bk"})");
    }
    void TearDown() override {
        unsetenv("TUSAVE_FAILPOINTS");
        WsTemp::TearDown();
    }
    // Exit status of one run, -1 when it did not run.
    static int run(const std::vector<std::string>& args) {
        std::vector<std::string> argv{kTool};
        argv.insert(argv.end(), args.begin(), args.end());
        HANDLE p = nullptr;
        if (!CreateProcessV(kTool.c_str(), argv, &p)) return -1;
        DWORD code = 0;
        const bool ok = WaitForSingleObject(p, INFINITE) == WAIT_OBJECT_0 && GetExitCodeProcess(p, &code);
        CloseHandle(p);
        return ok ? static_cast<int>(code) : -1;
    }
    // The outcome field of the last log line.
    std::string outcome() const {
        std::ifstream in(path("log/shgsave.log"));
        std::string line, last;
        while (std::getline(in, line)) last = line;
        return last.substr(last.rfind('\t') + 1);
    }
    std::string file;
};

// The tool's own argument checks (a path outside the station's custom folders among them) and
// I/O errors: exit status, the outcome logged, nothing copied.
TEST_F(Shgsave, RefusedArgumentsAndIoErrorsCopyNothing) {
    const std::string dotted = path("p/FCS0101/Custom/../FCS/a b.xseg");
    const std::vector<std::vector<std::string>> usage = {
        {}, {"-x", "dev", "1-1", file}, {"-h", "", "1-1", file}, {"-h", "dev", "1-256", file},
        {"-h", "dev", "1", file}, {"-h", "dev", "1--1", file}, {"-h", "dev", "1-1", path("p/a.xseg")},
        {"-h", "dev", "1-1", dotted}, {"-h", "dev", "1-1", file, "extra"},
    };
    for (const auto& c : usage) {
        EXPECT_EQ(run(c), 2) << testing::PrintToString(c);
        EXPECT_EQ(outcome().rfind("usage error: ", 0), 0u) << outcome();
    }
    EXPECT_FALSE(fs::exists(path("bk")));
    EXPECT_EQ(run({"-h", "dev", "1-1", path("p/FCS0101/Custom/C1/FCS/none.xseg")}), 1);
    EXPECT_EQ(outcome(), "failed: cannot copy to " + path("bk/shgsave/1-1/C1/FCS/none.xseg") +
                             ": No such file or directory");
    setenv("TUSAVE_FAILPOINTS", "CopyFileA=28", 1);
    EXPECT_EQ(run({"-h", "dev", "1-1", file}), 1);
    unsetenv("TUSAVE_FAILPOINTS");
    EXPECT_FALSE(fs::exists(path("bk/shgsave/1-1/C1/FCS/a b.xseg")));
    write(path("workstation.json"), R"({"backupDir": "bk2"})");
    write(path("bk2"), "a file where the backup folder belongs");
    EXPECT_EQ(run({"-h", "dev", "1-1", file}), 1);
    EXPECT_EQ(outcome(), "failed: " + path("bk2/shgsave/1-1/C1/FCS") + ": Not a directory");
}

}  // namespace
