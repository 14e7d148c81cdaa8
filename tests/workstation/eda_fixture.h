// A throw-away workstation folder ($TUSAVE_HOME) with one project "DEMO" and its equalization
// project, for the engineering-data service tests; write and read take paths below the folder.
#pragma once

#include "common_fixture.h"

namespace edatest {

class EdaHome : public WsTemp {
protected:
    void SetUp() override {
        WsTemp::SetUp();
        home_ = dir;
        write("workstation.json", R"({ "currentProject": "DEMO", "vrecTest": true })");
        write("projects/DEMO/SYSTEM/sysconfig.json", R"({"stations": [
            {"name": "FCS0101", "number": 1, "apcs": false, "underTest": true, "autoBackup": true,
             "areas": [{"number": 1, "name": "AREA01"}, {"number": 2, "name": "ABCDEFGHIJ"}], "ioBusTypes": [3, 5]},
            {"name": "FCS0102", "number": 12, "apcs": true}]})");
        write("projects/DEMO/EQLZ/SYSTEM/sysconfig.json",
              R"({"stations": [{"name": "FCS0201", "number": 2, "areas": [{"number": 1, "name": "EQAREA"}]}]})");
    }
    void write(const std::string& rel, const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(home_ + "/" + rel).parent_path());
        WsTemp::write(home_ + "/" + rel, text);
    }
    std::string read(const std::string& rel) const { return WsTemp::read(home_ + "/" + rel); }
    std::string top() const { return home_ + "/projects/DEMO"; }
    std::string home_;
};

}  // namespace edatest
