// Workstation and project configuration: values, defaults and errors that name the file.
#include <fcntl.h>
#include <sys/stat.h>

#include "config/ws_config.h"
#include "common_fixture.h"

using Config = WsTemp;

TEST_F(Config, DefaultsAndFoldersRelativeToTheWorkstationFolder) {
    write(path("workstation.json"), R"({"currentProject": "DEMO", "controlBus": "udp:127.0.0.1:47110"})");
    ws::Workstation w;
    std::string err;
    ASSERT_TRUE(ws::load_workstation(w, err)) << err;
    EXPECT_EQ(w.currentProject, "DEMO");
    EXPECT_EQ(w.projectsDir, dir + "/projects");
    EXPECT_EQ(w.logDir, dir + "/log");
    EXPECT_FALSE(w.vrecTest);
}

TEST_F(Config, WorkstationErrorsNameTheFile) {
    const std::string file = path("workstation.json");
    ws::Workstation w;
    std::string err;
    EXPECT_FALSE(ws::load_workstation(w, err));
    EXPECT_EQ(err, "cannot read " + file);
    write(file, "{ nope");
    EXPECT_FALSE(ws::load_workstation(w, err));
    EXPECT_EQ(err.rfind(file + ": malformed JSON", 0), 0u) << err;
    write(file, R"({"vrecTest": "yes"})");
    EXPECT_FALSE(ws::load_workstation(w, err));
    EXPECT_EQ(err, file + ": \"vrecTest\" has the wrong type");
}

TEST_F(Config, ProjectStationsAndTheirErrors) {
    write(path("workstation.json"), R"({"projectsDir": "p"})");
    ::mkdir(path("p").c_str(), 0755);
    ::mkdir(path("p/DEMO").c_str(), 0755);
    ::mkdir(path("p/DEMO/SYSTEM").c_str(), 0755);
    const std::string sys = path("p/DEMO/SYSTEM/sysconfig.json");
    write(sys, R"({"stations": [{"name": "FCS0101", "number": 1, "apcs": true,
                    "areas": [{"number": 1, "name": "AREA01"}], "ioBusTypes": [1, 2]}]})");
    ws::Project p;
    std::string err;
    ASSERT_TRUE(ws::load_project("DEMO", false, p, err)) << err;
    ASSERT_NE(p.find("FCS0101"), nullptr);
    EXPECT_TRUE(p.find("FCS0101")->apcs);
    EXPECT_EQ(p.find("FCS0101")->areas.at(0).name, "AREA01");
    EXPECT_EQ(p.find("FCS0102"), nullptr);

    const std::pair<const char*, std::string> bad[] = {
        {R"({"stations": [{"name": "FCS0101", "number": 0}]})", "station FCS0101: number must be 1 to 255"},
        {R"({"stations": [{"name": "FCS0101", "number": 4294967297}]})", "\"number\" has the wrong type"},  // not 1
        {R"({"stations": [{"name": "FCS0101", "number": 1.5}]})", "\"number\" has the wrong type"},
        {R"({"stations": [{"name": "FCS0101", "number": 1, "ioBusTypes": [1, -1]}]})", "\"ioBusTypes\" has the wrong type"},
        {R"({"stations": [{"name": "FCS0101", "number": 1, "areas": [3]}]})", "station FCS0101: an area entry is not an object"},
        {R"({"stations": [{"number": 3}]})", "missing \"name\""},
    };
    for (const auto& [text, want] : bad) {
        write(sys, text);
        EXPECT_FALSE(ws::load_project("DEMO", false, p, err));
        EXPECT_EQ(err, sys + ": " + want);
    }
    EXPECT_FALSE(ws::load_project("DEMO", true, p, err));  // no equalization project
    EXPECT_EQ(err, "cannot read " + path("p/DEMO/EQLZ/SYSTEM/sysconfig.json"));
    EXPECT_FALSE(ws::load_project("../DEMO", false, p, err));
}

// A configuration read before is handed out again only while the file is unchanged: a change
// of the same size within the same time stamp, or with its time stamp set back, is seen.
TEST_F(Config, ReadAgainOnlyWhileUnchangedEvenWithinOneTimeStamp) {
    write(path("workstation.json"), R"({"projectsDir": "p"})");
    ::mkdir(path("p").c_str(), 0755);
    ::mkdir(path("p/DEMO").c_str(), 0755);
    ::mkdir(path("p/DEMO/SYSTEM").c_str(), 0755);
    const std::string sys = path("p/DEMO/SYSTEM/sysconfig.json");
    auto station = [&] {
        ws::Project p;
        std::string err;
        EXPECT_TRUE(ws::load_project("DEMO", false, p, err)) << err;
        return p.stations.empty() ? std::string() : p.stations[0].name;
    };
    const timespec old[2] = {{1700000000, 0}, {1700000000, 0}};
    for (bool settled : {false, true}) {
        SCOPED_TRACE(settled ? "an old time stamp" : "a recent time stamp");
        write(sys, R"({"stations": [{"name": "FCS0101", "number": 1}]})");
        if (settled) ::utimensat(AT_FDCWD, sys.c_str(), old, 0);
        EXPECT_EQ(station(), "FCS0101");
        EXPECT_EQ(station(), "FCS0101");
        struct stat before {};
        ::stat(sys.c_str(), &before);
        write(sys, R"({"stations": [{"name": "FCS0102", "number": 1}]})");
        const timespec same[2] = {before.st_atim, before.st_mtim};
        ::utimensat(AT_FDCWD, sys.c_str(), same, 0);
        EXPECT_EQ(station(), "FCS0102");
    }
}
