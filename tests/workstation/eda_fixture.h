// A throw-away workstation folder ($TUSAVE_HOME) with one project "DEMO" and its
// equalization project, for the engineering-data service tests.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "failpoint/failpoint.h"

namespace edatest {

inline const char* kSysconfig = R"({
  "stations": [
    { "name": "FCS0101", "number": 1, "apcs": false, "underTest": true, "autoBackup": true,
      "areas": [ { "number": 1, "name": "AREA01" }, { "number": 2, "name": "ABCDEFGHIJ" } ],
      "ioBusTypes": [3, 5] },
    { "name": "FCS0102", "number": 12, "apcs": true }
  ]
})";

inline const char* kEqlzSysconfig = R"({
  "stations": [ { "name": "FCS0201", "number": 2, "areas": [ { "number": 1, "name": "EQAREA" } ] } ]
})";

class EdaHome : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tusave-eda-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        home_ = tmpl;
        ::setenv("TUSAVE_HOME", home_.c_str(), 1);
        write("workstation.json", R"({ "currentProject": "DEMO", "vrecTest": true })");
        write("projects/DEMO/SYSTEM/sysconfig.json", kSysconfig);
        write("projects/DEMO/EQLZ/SYSTEM/sysconfig.json", kEqlzSysconfig);
        failpoint::reset();
    }
    void TearDown() override {
        failpoint::reset();
        std::filesystem::remove_all(home_);
    }
    void write(const std::string& rel, const std::string& text) {
        const std::filesystem::path p = home_ + "/" + rel;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << text;
    }
    std::string read(const std::string& rel) const {
        std::ifstream in(home_ + "/" + rel, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    std::string top() const { return home_ + "/projects/DEMO"; }

    std::string home_;
};

}  // namespace edatest
