// tusave drift as a user meets it: three values changed in the running station after its last
// save are listed with both values, and nothing of the project or the workstation changes but
// the check's row in the history database; the next save records exactly those three, and
// drift then finds nothing. --all over a plant with a station that does not answer names it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "e2e_fcssim.h"
#include "history.h"
#include "libqverxeda/gen_lock.h"
#include "sample.h"

namespace {

namespace fs = std::filesystem;

class DriftE2E : public ::testing::Test {
protected:
    void Build(sample::Description d) {
        for (auto& st : d.stations) {
            st.customFolders.clear();
            st.customFiles.clear();
        }
        ASSERT_TRUE(home_.Start(d)) << "fcssim did not report its port";
        errPath_ = home_.dir + ".stderr";
    }
    void TearDown() override {
        home_.Stop();
        if (!errPath_.empty()) fs::remove(errPath_);
    }
    // Runs a program with args; stdout lines; stderr in err_, exit status in status_.
    std::vector<std::string> run(const std::string& exe, const std::string& args) {
        std::vector<std::string> lines;
        status_ = e2e::shell("TUSAVE_HOME='" + home_.dir + "' TZ=UTC '" + exe + "' " + args + " 2>'" + errPath_ + "'",
                             &lines);
        std::ifstream in(errPath_);
        err_.assign(std::istreambuf_iterator<char>(in), {});
        return lines;
    }
    std::vector<std::string> tusave(const std::string& args) {
        return run(TUSAVE_BUILD_DIR "/tools/tusave/tusave", args);
    }
    void set(const std::string& tag, const std::string& item, const std::string& value) {
        run(TUSAVE_BUILD_DIR "/station/fcssim", "set --home '" + home_.dir + "' --station FCS0101 " + tag + " " + item +
                                                    " " + value);
        ASSERT_EQ(status_, 0) << err_;
    }
    // Every file and folder under the workstation folder but the history database: its bytes
    // and modification time.
    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> m;
        const std::string history = home_.dir + "/projects/DEMO/HISTORY";
        for (auto it = fs::recursive_directory_iterator(home_.dir); it != fs::recursive_directory_iterator(); ++it) {
            const std::string p = it->path().string();
            if (p.rfind(history, 0) == 0) continue;
            struct stat st {};
            lstat(p.c_str(), &st);
            std::string v = std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
            if (it->is_regular_file()) {
                const auto bytes = e2e::read_file(p);
                v += ":" + std::string(bytes.begin(), bytes.end());
            }
            m[p] = v;
        }
        return m;
    }
    history::Database db() const {
        return history::Database::open(home_.dir + "/projects/DEMO/HISTORY/tuning.sqlite", false);
    }

    e2e::SampleHome home_;
    std::string errPath_, err_;
    int status_ = -1;
};

TEST_F(DriftE2E, ThreeUnsavedValuesListedNothingChangedThenSavedAndInLine) {
    Build(sample::default_description());
    const std::string save = "save --project DEMO --station FCS0101 --mode 2 --raw";
    tusave(save);
    ASSERT_EQ(status_, 0) << err_;
    set("PIC0001", "SV", "42.5");
    set("TI0002", "HH", "-7.25");
    set("FLD0009", "LEVEL", "4321");

    const auto before = snapshot();
    const nlohmann::json j = nlohmann::json::parse(
        [&] {
            std::string t;
            for (const auto& l : tusave("drift --project DEMO --station FCS0101 --json")) t += l + "\n";
            return t;
        }(),
        nullptr, false);
    EXPECT_EQ(status_, 1) << err_;
    ASSERT_TRUE(j.contains("changes")) << j.dump();
    std::set<std::string> found;
    for (const auto& c : j["changes"]) {
        EXPECT_EQ(c["kind"], "changed");
        EXPECT_TRUE(c["old"].is_string() && c["new"].is_string() && c["old"] != c["new"]) << c.dump();
        found.insert(c["tag"].get<std::string>() + " " + c["item"].get<std::string>() + " " +
                     c["new"].get<std::string>());
    }
    EXPECT_EQ(found, (std::set<std::string>{"PIC0001 SV 42.500000", "TI0002 HH -7.250000", "FLD0009 LEVEL 4321"}));
    // Not a byte nor a modification time of the project or the workstation folder moved.
    const auto after = snapshot();
    EXPECT_EQ(before.size(), after.size());
    for (const auto& [path, v] : before) {
        auto a = after.find(path);
        EXPECT_TRUE(a != after.end() && a->second == v) << path;
    }
    // The plain form: one line per value, the project's value first.
    const auto lines = tusave("drift --project DEMO --station FCS0101");
    EXPECT_EQ(status_, 1);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("PIC0001 PIDLOOP SV changed: "), std::string::npos) << lines[0];

    // The report page shows them on the station's row.
    const std::string page = home_.dir + ".html";
    tusave("report --project DEMO --out '" + page + "'");
    EXPECT_EQ(status_, 0) << err_;
    const auto html = e2e::read_file(page);
    fs::remove(page);
    const std::string text(html.begin(), html.end());
    const std::size_t row = text.find("<tr data-station=\"FCS0101\"");
    ASSERT_NE(row, std::string::npos);
    EXPECT_NE(text.substr(row, text.find("</tr>", row) - row).find("data-v=\"3\">3</td>"), std::string::npos);

    // While a save holds the station, the check is refused and says by whom.
    {
        setenv("TUSAVE_HOME", home_.dir.c_str(), 1);
        std::unique_ptr<eda::HeldGenLock> held;
        std::string error;
        ASSERT_EQ(eda::HeldGenLock::take("DEMO", "FCS0101", held, error), 0u) << error;
        tusave("drift --project DEMO --station FCS0101");
        EXPECT_EQ(status_, 2);
        EXPECT_NE(err_.find("is locked for generation by pid " + std::to_string(getpid())), std::string::npos) << err_;
        unsetenv("TUSAVE_HOME");
    }

    // The save right after is not refused (the lock was given back) and records the three.
    tusave(save);
    ASSERT_EQ(status_, 0) << err_;
    EXPECT_EQ(db().saves("FCS0101").front().valuesChanged, 3);
    tusave("drift --project DEMO --station FCS0101");
    EXPECT_EQ(status_, 0) << err_;

    // Each check is recorded; the last found nothing.
    const auto checks = db().last_drift_checks(2);
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_EQ(checks[0].station, "FCS0101");
    EXPECT_EQ(checks[0].differences, 0);
    EXPECT_EQ(checks[0].result, 0u);
    EXPECT_FALSE(checks[0].projectTpSha256.empty());
    EXPECT_EQ(db().drift_values(checks[0].id - 3).size(), 3u);
}

TEST_F(DriftE2E, AllOverEightStationsOneAbsentGivesTheTableAndNamesIt) {
    sample::Description d = sample::default_description();
    d.stations.resize(1);
    d.stations[0].blocks = 16;
    for (int n = 2; n <= 8; ++n) {
        sample::Station s = d.stations[0];
        s.name = "FCS010" + std::to_string(n);
        s.number = n;
        d.stations.push_back(s);
    }
    Build(d);
    // FCS0105 is not served: its memory is taken away before fcssim starts again.
    home_.sim.reset();
    fs::rename(home_.dir + "/fcs/FCS0105", home_.dir + "/FCS0105.away");
    home_.sim = std::make_unique<e2e::Fcssim>(home_.dir);
    ASSERT_FALSE(home_.sim->device().empty());
    std::ofstream(home_.result->workstationJson)
        << R"({"currentProject": "DEMO", "controlBus": ")" << home_.sim->device() << "\"}";
    tusave("save --project DEMO --station FCS0103 --mode 2 --raw");
    ASSERT_EQ(status_, 0) << err_;

    const auto lines = tusave("drift --all --project DEMO --jobs 4");
    EXPECT_EQ(status_, 2);
    EXPECT_NE(err_.find("tusave drift --all: 1 of 8 station(s) could not be checked: FCS0105"), std::string::npos)
        << err_;
    auto head = std::find_if(lines.begin(), lines.end(), [](const auto& l) { return l.rfind("station ", 0) == 0; });
    ASSERT_GE(lines.end() - head, 9);
    for (int n = 1; n <= 8; ++n) {
        const std::string& row = head[n];
        const std::string name = "FCS010" + std::to_string(n);
        SCOPED_TRACE(row);
        EXPECT_EQ(row.rfind(name + " ", 0), 0u);
        // FCS0103 was saved just now; the others never were, so all their values are unsaved.
        if (n == 5) EXPECT_NE(row.find("failed"), std::string::npos);
        else if (n == 3) EXPECT_NE(row.find("in line with the project"), std::string::npos);
        else EXPECT_NE(row.find("unsaved values"), std::string::npos);
    }
    EXPECT_EQ(db().last_drift_checks(2).size(), 8u);
}

}  // namespace
