// A workstation folder of its own for one test: a temporary TUSAVE_HOME, failpoints reset,
// the message lines captured, a string table; everything undone when the test ends.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "failpoint/failpoint.h"
#include "libqvecommon/qvecommon_host.h"
#include "port/port_host.h"

namespace hometest {

class HomeTest : public ::testing::Test {
protected:
    // texts: the string table for the run (resource id -> text).
    void SetUpHome(const std::map<unsigned, std::string>& texts) {
        char tmpl[] = "/tmp/tusave_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        setenv("TUSAVE_HOME", dir_.c_str(), 1);
        failpoint::reset();
        port::set_string_table(texts);
        ws::set_message_sink([this](const char* line) {
            lines.emplace_back(line);
            return 0u;
        });
    }
    void TearDown() override {
        ws::set_message_sink(nullptr);
        failpoint::reset();
        unsetenv("TUSAVE_HOME");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    std::string dir_;

public:
    std::vector<std::string> lines;
};

}  // namespace hometest
