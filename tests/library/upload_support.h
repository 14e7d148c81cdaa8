// Test support of the upload tests: a sample station built from a small description, its
// simulator core answering in-process (host order, virtual waits), the captured lines and
// every request frame.
#pragma once

#include <filesystem>
#include <fstream>
#include <memory>

#include "LdTuSaveCtrl.h"
#include "bus_support.h"
#include "core/station.h"
#include "home_fixture.h"
#include "libqverxgen.h"
#include "sample.h"

namespace uptest {

namespace fs = std::filesystem;

inline std::vector<std::uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

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

// One request frame as the station saw it (host order).
struct Req {
    std::uint8_t cmd, sub;
    std::uint16_t params;
    std::vector<std::uint8_t> frame;
    std::uint8_t paraKind(std::size_t i) const { return frame[56 + 8 * i]; }
    std::uint8_t paraRec(std::size_t i) const { return frame[56 + 8 * i + 1]; }
    std::int16_t paraBlock(std::size_t i) const { return tb::load_i16(frame.data() + 56 + 8 * i + 2); }
    std::uint16_t paraFirst(std::size_t i) const { return tb::load_u16(frame.data() + 56 + 8 * i + 4); }
    std::uint16_t paraCount(std::size_t i) const { return tb::load_u16(frame.data() + 56 + 8 * i + 6); }
};

class UploadTest : public hometest::HomeTest {
protected:
    void SetUp() override {
        std::map<unsigned, std::string> texts;
        for (unsigned id = 6040; id <= 6061; ++id) texts[id] = "T" + std::to_string(id) + ":";
        texts[7201] = "T7201:";
        texts[7202] = "T7202:";
        SetUpHome(texts);
        failpoint::arm("Sleep", 0, 1, true);
        savedTestMode_ = g_testMode;
        g_testMode = 1;
    }
    void TearDown() override {
        if (bus_) ZclClose(bus_);
        zcl::unregister_inproc("upload-test");
        if (instOpen_) IEdalInstClose();
        g_testMode = savedTestMode_;
        HomeTest::TearDown();
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
        if (bus_) ZclClose(bus_);   // a test may build again
        bus_ = nullptr;
        requests.clear();
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
        auto stn = station_;
        zcl::register_inproc("upload-test", [stn, this](std::span<const std::uint8_t> req)
                                                -> std::optional<zcl::Frame> {
            Req r{req.size() > 35 ? req[34] : std::uint8_t{0}, req.size() > 35 ? req[35] : std::uint8_t{0},
                  req.size() > 56 ? tb::load_u16(req.data() + 54) : std::uint16_t{0},
                  std::vector<std::uint8_t>(req.begin(), req.end())};
            requests.push_back(std::move(r));
            fcs::Reply rp = stn->handle(req);
            if (rp.frame.empty()) return std::nullopt;
            return rp.frame;
        });
        ASSERT_EQ(ZclOpen(&bus_, "inproc:upload-test", 0), 0);
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
        tc->zclHandle = bus_;
        tc->pDbImage = image.data();
        tc->dbImageSize = static_cast<std::uint32_t>(image.size());
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
    std::vector<Req> blockSaveRequests() const {
        std::vector<Req> out;
        for (const auto& r : requests)
            if (r.cmd == 0x21 && (r.params == 0 || r.paraKind(0) == 1)) out.push_back(r);
        return out;
    }
    std::unique_ptr<sample::Result> result_;
    const sample::StationResult* st_ = nullptr;
    std::shared_ptr<fcs::Station> station_;
    HANDLE bus_ = nullptr;
    bool instOpen_ = false;
    int savedTestMode_ = 0;
    std::string areaName;

public:
    std::vector<std::uint8_t> image, original, memory;
    std::unique_ptr<tucomn> tc;
    LdTuSaveRecordTbl saved;
    std::vector<Req> requests;
};

}  // namespace uptest
