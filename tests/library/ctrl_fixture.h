// A sample workstation in a temporary folder, the message lines of the save, a string table
// with one recognisable text per id, and an in-process control-bus device that answers the
// generation query.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "LdTuSaveCtrl.h"
#include "ZclNthmi/zcl_host.h"
#include "failpoint/failpoint.h"
#include "home_fixture.h"
#include "libqvecommon/qvecommon_host.h"
#include "libqveldtusave.h"
#include "port/port_host.h"
#include "core/station.h"
#include "sample.h"

namespace ctrl_test {

namespace fs = std::filesystem;

// 2026-01-01 00:00:00 UTC, the time every line of these tests carries.
constexpr const char* kFixedTime = "1767225600";
constexpr const char* kTimeText = "Thu Jan  1 00:00:00 2026";
constexpr std::uint64_t kStamp = 1767225600;

// Every id the save control loads gets the text "T<id>".
inline std::map<unsigned, std::string> test_strings() {
    std::map<unsigned, std::string> t;
    for (unsigned id : {5989u, 6037u, 6038u, 6039u, 7171u, 7172u, 7173u, 7174u, 7175u, 7179u, 7180u, 7181u, 7182u,
                        7185u, 7186u, 7187u, 7209u, 7210u, 7220u, 7221u, 4107u, 7176u, 7178u, 7183u, 7184u, 7204u})
        t[id] = "T" + std::to_string(id);
    return t;
}

class CtrlSave : public hometest::HomeTest {
protected:
    void SetUp() override {
        SetUpHome(test_strings());
        setenv("TUSAVE_FIXED_TIME", kFixedTime, 1);
        setenv("TZ", "UTC", 1);
        tzset();
        port::set_application({"tusave-test", [this] { ++cursorBegin_; }, [this] { ++cursorEnd_; }});
        desc_ = sample::default_description();
    }

    void TearDown() override {
        EXPECT_EQ(ws::live_allocations(), 0u) << "buffers left allocated";
        zcl::unregister_inproc("ctrl");
        HomeTest::TearDown();
    }

    // Builds the sample and points its control bus at the in-process device, which answers
    // the generation query with kStamp; save frames go to the simulator core of their station.
    void build() {
        result_ = sample::build(desc_, dir_);
        nlohmann::json ws = nlohmann::json::parse(std::ifstream(result_.workstationJson));
        ws["controlBus"] = "inproc:ctrl";
        std::ofstream(result_.workstationJson, std::ios::trunc) << ws.dump(2);
        stations_.clear();
        // A save in test mode (station under test, APCS) exchanges frames in host order.
        for (const auto& s : result_.stations) {
            fcs::Config cfg = fcs::load_config(fs::path(s.stationJsonPath).parent_path().string());
            for (const auto& d : desc_.stations)
                if (d.name == s.name && (d.underTest || d.apcs)) cfg.bigEndian = false;
            stations_[s.number] = std::make_shared<fcs::Station>(std::move(cfg));
        }
        zcl::register_inproc("ctrl", [this](std::span<const std::uint8_t> req) {
            if (req.size() >= 56 && (req[34] == 0x1F || req[34] == 0x21 || req[34] == 0x24)) {
                auto it = stations_.find(req[12] | (req[13] << 8));
                fcs::Reply r = it == stations_.end() ? fcs::Reply{} : it->second->handle(req);
                return r.frame.empty() ? std::optional<zcl::Frame>() : std::optional<zcl::Frame>(r.frame);
            }
            ++queries_;
            zcl::Frame rep(96, 0);
            for (std::size_t i = 0; i < 32 && i < req.size(); ++i) rep[i] = req[i];
            rep[64] = 0x02;  // order mark 0x0102, host order
            rep[65] = 0x01;
            for (int i = 0; i < 8; ++i) rep[72 + i] = static_cast<std::uint8_t>(kStamp >> (8 * i));
            return std::optional<zcl::Frame>(rep);
        });
    }

    unsigned save(const char* station, unsigned kind = 2, unsigned mode = 0, const char* project = "DEMO") {
        lines.clear();
        return QVELdFcsTuningParmSave("P1", "P2", project, station, kind, mode, 7);
    }

    const sample::StationResult& st(const std::string& name) const {
        for (const auto& s : result_.stations)
            if (s.name == name) return s;
        throw std::runtime_error("no station " + name);
    }

    std::vector<std::string> progress() const {
        std::vector<std::string> p;
        for (const auto& l : lines)
            if (l.rfind("PRG:", 0) == 0) p.push_back(l);
        return p;
    }

    bool has_line(const std::string& l) const { return std::find(lines.begin(), lines.end(), l) != lines.end(); }
    bool has_prefix(const std::string& p) const {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(p, 0) == 0; });
    }

    // The "TP " entries of the history log as "outcome station".
    std::vector<std::string> history() const {
        std::vector<std::string> out;
        std::ifstream in(dir_ + "/log/history.log");
        std::string line;
        while (std::getline(in, line)) {
            auto p = line.find("\tTP \t");
            if (p == std::string::npos) continue;
            std::string rest = line.substr(p + 5);
            auto t = rest.find('\t');
            out.push_back(rest.substr(0, t) + " " + (t == std::string::npos ? "" : rest.substr(t + 1)));
        }
        return out;
    }

    std::string start_line(const std::string& station) const {
        return "MSG:T6037  " + station + "   " + kTimeText;
    }
    std::string end_line(bool abort) const { return std::string("MSG:T") + (abort ? "6038" : "6039") + "  " + kTimeText; }

    // The run closed: PRG:100 then the closing line, last.
    void expect_closed(bool abort) const {
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2], "PRG:100");
        EXPECT_EQ(lines.back(), end_line(abort));
    }

    sample::Description desc_;
    sample::Result result_;
    int cursorBegin_ = 0, cursorEnd_ = 0, queries_ = 0;
    std::map<int, std::shared_ptr<fcs::Station>> stations_;
};

}  // namespace ctrl_test
