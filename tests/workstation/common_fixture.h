// Fixture of the workstation tests: a fresh $TUSAVE_HOME per test, failpoints reset.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "failpoint/failpoint.h"
#include "project_files.h"

class WsTemp : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tusave-ws-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
        ::setenv("TUSAVE_HOME", dir.c_str(), 1);
        failpoint::reset();
    }
    void TearDown() override {
        failpoint::reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }
    static void write(const std::string& p, const std::string& content) { std::ofstream(p, std::ios::binary) << content; }
    static std::string read(const std::string& p) { return project_files::read_text(p); }
    static mode_t mode_of(const std::string& p) {
        struct stat st{};
        ::stat(p.c_str(), &st);
        return st.st_mode & 07777;
    }
    std::string dir;
};
