// Test support of the bus and upload tests: frames and upload items, a scripted in-process
// station (bustest), and a sample station's simulator core answering in its place (uptest, host
// order, virtual waits). The byte-order walk uses the image builder of image_fixture.h.
#pragma once

#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "LdTuSaveCtrl.h"
#include "ZclNthmi.h"
#include "ZclNthmi/zcl_host.h"
#include "core/station.h"
#include "home_fixture.h"
#include "image_fixture.h"
#include "libqveldc.h"
#include "libqverxgen.h"
#include "sample.h"
#include "tusave.h"

namespace bustest {

using Frame = std::vector<std::uint8_t>;

// A reply frame: 40-byte prefix with the status at 33, save header at 40 (host order), payload at 64.
inline Frame reply(std::uint8_t status, std::uint16_t result, std::vector<std::uint8_t> payload = {},
                   std::optional<std::int16_t> dataBytes = std::nullopt) {
    Frame f(64 + payload.size(), 0);
    f[33] = status;
    tb::store_u16(f.data() + 40 + 8, result);
    tb::store_u16(f.data() + 40 + 20,
                  static_cast<std::uint16_t>(dataBytes ? *dataBytes : static_cast<std::int16_t>(payload.size())));
    if (!payload.empty()) std::memcpy(f.data() + 64, payload.data(), payload.size());
    return f;
}

inline std::vector<std::uint8_t> para8(std::uint32_t first) {
    std::vector<std::uint8_t> p(8, 0);
    tb::store_u32(p.data(), first);
    return p;
}

// The one encoder of upload items (host order): the 16-byte header, then bytes of value fill.
struct ItemHdr {
    std::uint8_t dataType = 1;
    std::uint8_t recNo = 0;
    std::int16_t blockNo = 0;
    std::uint16_t first = 0, count = 0, status = 0;
};
inline std::vector<std::uint8_t> encode(const ItemHdr& h, std::uint32_t bytes, std::uint8_t fill) {
    std::vector<std::uint8_t> v(16, 0);
    v.resize(16 + bytes, fill);
    tb::store_u16(v.data(), h.status);
    v[4] = h.dataType;
    v[5] = h.recNo;
    tb::store_u16(v.data() + 6, static_cast<std::uint16_t>(h.blockNo));
    tb::store_u16(v.data() + 8, h.first);
    tb::store_u16(v.data() + 10, h.count);
    tb::store_u32(v.data() + 12, bytes);
    return v;
}
// A block record item.
inline std::vector<std::uint8_t> item(std::int16_t blockNo, std::uint8_t recNo, std::uint32_t bytes,
                                      std::uint8_t dataType = 1, std::uint8_t fill = 0xA5) {
    return encode({dataType, recNo, blockNo, 0, 0, 0}, bytes, fill);
}
// An operation-mark item.
inline std::vector<std::uint8_t> opItem(std::uint8_t kind, std::uint16_t first, std::uint16_t count,
                                        std::uint32_t bytes, std::uint16_t status = 0, std::uint8_t fill = 0x5A) {
    return encode({kind, 0, 0, first, count, status}, bytes, fill);
}
inline std::vector<std::uint8_t> cat(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
    for (std::uint8_t x : b) a.push_back(x);
    return a;
}

// The scripted station: every request is recorded; replies are given in order (nullopt: silent).
struct Script {
    std::vector<Frame> requests;
    std::deque<std::optional<Frame>> replies;
    std::function<std::optional<Frame>(const Frame&)> fallback;   // when replies ran out
};

// Fixture: a home of its own, texts "T<id>:" for the upload's resource ids, virtual sleeps, test
// mode, and a bus open to the scripted station.
class BusTest : public hometest::HomeTest {
protected:
    void SetUp() override {
        std::map<unsigned, std::string> texts;
        for (unsigned id = 6040; id <= 7202; id = id == 6061 ? 7201 : id + 1) texts[id] = "T" + std::to_string(id) + ":";
        SetUpHome(texts);
        failpoint::arm("Sleep", 0, 1, true);
        zcl::register_inproc("bus-test", [this](std::span<const std::uint8_t> req) -> std::optional<zcl::Frame> {
            script.requests.emplace_back(req.begin(), req.end());
            if (script.replies.empty())
                return script.fallback ? script.fallback(script.requests.back()) : std::nullopt;
            const bool silent = !script.replies.front().has_value();
            Frame f = silent ? Frame{} : std::move(*script.replies.front());
            script.replies.pop_front();
            if (silent) return std::nullopt;
            return f;
        });
        ASSERT_EQ(ZclOpen(&bus, "inproc:bus-test", 0), 0);
        savedTestMode = g_testMode;
        g_testMode = 1;
    }
    void TearDown() override {
        ZclClose(bus);
        zcl::unregister_inproc("bus-test");
        g_testMode = savedTestMode;
        HomeTest::TearDown();
    }
    // Sleeps and waits asked for, as "Sleep 1000" / "WaitForMultipleObjects 30000".
    std::vector<std::string> waits() const {
        std::vector<std::string> out;
        for (const auto& w : failpoint::waits()) out.push_back(w.name + " " + std::to_string(w.ms));
        return out;
    }
    HANDLE bus = nullptr;
    Script script;
    int savedTestMode = 0;
};

}  // namespace bustest

namespace uptest {

namespace fs = std::filesystem;

using project_files::read_file;

// A model whose records are 1 (identity, 0x40 bytes), 2 (0x48), 3 to 5 (0x40).
inline sample::Model model(std::uint16_t code, const std::string& name, std::vector<int> saved,
                           std::uint8_t category = 3, const std::string& tagPrefix = "") {
    sample::Model m;
    m.blockCode = code;
    m.name = name;
    m.tagPrefix = tagPrefix.empty() ? name.substr(0, 4) : tagPrefix;
    m.category = category;
    for (int r = 1; r <= 5; ++r) {
        sample::Record rec;
        rec.recNo = r;
        rec.size = r == 2 ? 0xB8 : 0x40;   // record 2 holds the parent block number at +0xB2
        m.records.push_back(rec);
    }
    m.savedRecords = std::move(saved);
    return m;
}

// The scripted station of the bus tests answered by a sample station's simulator core.
class UploadTest : public bustest::BusTest {
protected:
    void TearDown() override {
        if (instOpen_) IEdalInstClose();
        BusTest::TearDown();
    }
    // A one-station description in host order.
    static sample::Description description(std::vector<sample::Model> models, int blocks) {
        sample::Description d = sample::default_description();
        d.stations.resize(1);
        sample::Station& s = d.stations[0];
        s.byteOrder = "host";
        s.underTest = true;
        s.models = std::move(models);
        s.blocks = blocks;
        s.emptyEvery = 0;
        s.codeZeroEvery = 0;
        return d;
    }
    // Builds the station, loads the project image, starts the station core with scenario.
    void build(const sample::Description& d, const std::string& scenario = "{}") {
        script.requests.clear();
        saved.clear();
        result_ = std::make_unique<sample::Result>(sample::build(d, dir_));
        st_ = &result_->stations[0];
        image = read_file(st_->databasePath);
        original = image;
        memory = read_file(st_->memoryPath);
        fcs::Config cfg = fcs::load_config(fs::path(st_->stationJsonPath).parent_path().string());
        std::string err;
        auto sc = fcs::Scenario::parse(scenario, err);
        ASSERT_TRUE(sc) << err;
        cfg.scenario = *sc;
        station_ = std::make_shared<fcs::Station>(std::move(cfg));
        script.fallback = [stn = station_](const bustest::Frame& req) -> std::optional<bustest::Frame> {
            fcs::Reply rp = stn->handle(req);
            if (rp.frame.empty()) return std::nullopt;
            return rp.frame;
        };
    }
    // tucomn for the control area of the built station, instance definitions open.
    void prepareArea() {
        if (instOpen_) IEdalInstClose();
        tc = std::make_unique<tucomn>();
        std::memset(tc.get(), 0, sizeof(tucomn));
        tc->project = "DEMO";
        tc->station = st_->name.c_str();
        tc->projectKind = 2;
        tc->pAreaName = &areaName;
        areaName = "AREA01";
        tc->stnNo = static_cast<std::uint16_t>(st_->number);
        tc->areaNo = 1;
        tc->zclHandle = bus;
        dbImage.Borrow(image.data(), image.size());
        tc->pDbImage = &dbImage;
        tc->pSaveRecordTbl = &saved;
        ASSERT_EQ(IEdalInstOpenForTP("DEMO", st_->name.c_str(), 2), 0);
        instOpen_ = true;
    }
    const sample::BlockInfo& block(int n) const { return st_->blocks.at(static_cast<std::size_t>(n - 1)); }
    const sample::RecordInfo& rec(int n, int r) const {
        for (const auto& ri : block(n).records)
            if (ri.recNo == r) return ri;
        throw std::runtime_error("no record");
    }
    bool imageEquals(const std::vector<std::uint8_t>& other, int n, int r) const {
        const auto& ri = rec(n, r);
        return std::memcmp(image.data() + ri.offset, other.data() + ri.offset, ri.size) == 0;
    }
    std::unique_ptr<sample::Result> result_;
    const sample::StationResult* st_ = nullptr;
    std::shared_ptr<fcs::Station> station_;
    bool instOpen_ = false;
    std::string areaName;

public:
    std::vector<std::uint8_t> image, original, memory;
    LdTuSaveDbImage dbImage;
    std::unique_ptr<tucomn> tc;
    LdTuSaveRecordTbl saved;
};

}  // namespace uptest
