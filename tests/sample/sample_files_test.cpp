// The description loader and the text and database files of the sample folder.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <map>

#include "sample.h"
#include "sample_walk.h"

using sample_test::Image;
using sample_test::read_file;
using sample_test::TempDir;
using sample_test::write_text;

namespace {

std::string load_error(const std::string& path) {
    try {
        sample::load_description(path);
    } catch (const sample::Error& e) {
        return e.what();
    }
    return "(accepted)";
}

TEST(SampleDescription, RefusesMalformedInputNamingTheFile) {
    TempDir t;
    const std::string f = t / "desc.json";
    EXPECT_EQ(t / "none.json" + ": cannot open the description", load_error(t / "none.json"));

    write_text(f, "{\"seed\": 1,");
    EXPECT_EQ(0u, load_error(f).find(f + ": not valid JSON: "));

    struct Case {
        const char* json;
        const char* tail;
    } cases[] = {
        {R"({"stations":[{"blockz":3}]})", "stations[0].blockz: unknown key"},
        {R"({"stations":[{"blocks":"many"}]})", "stations[0].blocks: expected an integer from 0 to 32767"},
        {R"({"stations":[{"blocks":40000}]})", "stations[0].blocks: expected an integer from 0 to 32767"},
        {R"({"stations":[{"number":3},{"number":3}]})", "stations[1].number: station number appears twice"},
        {R"({"stations":[{"name":"../x"}]})", "stations[0].name: not a plain name of 1 to 16 characters"},
        {R"({"stations":[{"models":[{"blockCode":7,"name":"M","records":[{"recNo":1,"size":32},{"recNo":2,"size":16}],
             "savedRecords":[1]}]}]})",
         "stations[0].models[0].savedRecords[0]: record 1 is always fetched and never saved"},
        {R"({"stations":[{"models":[{"blockCode":7,"name":"M","records":[{"recNo":1,"size":32},
             {"recNo":2,"size":16,"fields":[{"offset":12,"width":4,"count":2}]}],"savedRecords":[2]}]}]})",
         "stations[0].models[0].records[1].fields[0]: field does not lie inside the record's 16 bytes"},
        {R"({"stations":[{"models":[{"blockCode":7,"name":"M","records":[{"recNo":2,"size":16}],"savedRecords":[2]}]}]})",
         "stations[0].models[0].records: record 1 (the block's identity) is missing"},
        {R"({"stations":[{"models":[{"blockCode":6226,"name":"M","records":[{"recNo":1,"size":32},{"recNo":2,"size":100}],
             "savedRecords":[2]}]}]})",
         "stations[0].models[0].records[1].size: record 2 of this block code holds the parent block number: at least 180 bytes"},
        {R"({"stations":[{"models":[{"blockCode":7,"name":"M","records":[{"recNo":1,"size":32}],
             "savedRecords":[2,3,4,5,6,7,8,9,10]}]}]})",
         "stations[0].models[0].savedRecords: expected 1 to 8 record numbers"},
        {R"({"workstation":{"busPort":0}})", "workstation.busPort: expected an integer from 1 to 65535"},
        {R"({"stations":[{"customFolders":["TOOLONGNAME"]}]})",
         "stations[0].customFolders[0]: not a plain name of up to 8 characters"},
        {R"([1,2])", "expected an object"},
    };
    for (const Case& c : cases) {
        write_text(f, c.json);
        EXPECT_EQ(f + ": " + c.tail, load_error(f)) << c.json;
    }
}

TEST(SampleDescription, MissingKeysTakeTheirDefaultsAndTheFullFormRoundTrips) {
    TempDir t;
    write_text(t / "d.json", R"({"seed": 7, "stations": [{"blocks": 5, "anMessages": 2}]})");
    sample::Description d = sample::load_description(t / "d.json");
    ASSERT_EQ(1u, d.stations.size());
    EXPECT_EQ(7u, d.seed);
    EXPECT_EQ("FCS0101", d.stations[0].name);
    EXPECT_EQ(5, d.stations[0].blocks);
    EXPECT_EQ(sample::default_description().stations[0].models.size(), d.stations[0].models.size());

    auto full = sample::description_to_json(sample::default_description());
    write_text(t / "full.json", full.dump());
    EXPECT_EQ(full, sample::description_to_json(sample::load_description(t / "full.json")));
}

class SampleFiles : public ::testing::Test {
protected:
    void SetUp() override {
        d = sample::default_description();
        d.workstation.busPort = 47999;
        r = sample::build(d, dir.path());
    }
    TempDir dir;
    sample::Description d;
    sample::Result r;
};

TEST_F(SampleFiles, ConfigurationFilesFollowTheLayout) {
    auto ws = nlohmann::json::parse(read_file(r.workstationJson));
    EXPECT_EQ("udp:127.0.0.1:47999", ws.at("controlBus"));
    EXPECT_EQ("DEMO", ws.at("currentProject"));
    EXPECT_EQ(dir / "projects/DEMO/SYSTEM/sysconfig.json", r.sysconfigPath);
    auto sys = nlohmann::json::parse(read_file(r.sysconfigPath));
    ASSERT_EQ(2u, sys.at("stations").size());
    EXPECT_EQ("FCS0102", sys["stations"][1].at("name"));
    EXPECT_EQ(2, sys["stations"][1].at("number"));
    EXPECT_EQ(nlohmann::json::array({4, 1}), sys["stations"][1].at("ioBusTypes"));
    EXPECT_EQ("AREA02", sys["stations"][1]["areas"][1].at("name"));
    auto st = nlohmann::json::parse(read_file(dir / "fcs/FCS0101/station.json"));
    EXPECT_EQ((nlohmann::json{{"name", "FCS0101"}, {"number", 1}, {"byteOrder", "big"}, {"memory", "memory.sfdata"}, {"userInst", "userinst.json"}}), st);
    EXPECT_EQ(dir / "projects/DEMO/FCS0101/DB/stndb.sfdata", r.stations[0].databasePath);
}

// The user instance file gives the record sizes the image has and fields inside them.
TEST_F(SampleFiles, UserInstanceFileMatchesTheImage) {
    for (const auto& sr : r.stations) {
        auto ui = nlohmann::json::parse(read_file(sr.userInstPath));
        EXPECT_EQ("tusave-userinst", ui.at("format"));
        std::map<std::pair<int, int>, std::uint32_t> sizes;
        for (const auto& m : ui.at("models"))
            for (const auto& rec : m.at("records")) {
                std::uint32_t size = rec.at("size");
                sizes[{m.at("blockCode").get<int>(), rec.at("recNo").get<int>()}] = size;
                for (const auto& f : rec.at("fields")) {
                    std::uint32_t end = f.at("offset").get<std::uint32_t>() + f.at("width").get<std::uint32_t>() * f.value("count", 1u);
                    EXPECT_LE(end, size);
                }
            }
        Image img(read_file(sr.databasePath));
        for (const auto& b : sr.blocks) {
            if (!b.exists()) continue;
            for (const auto& rec : b.records) {
                auto it = sizes.find({b.code, rec.recNo});
                ASSERT_NE(sizes.end(), it) << b.code << "/" << rec.recNo;
                EXPECT_EQ(it->second, img.u32(b.headerOffset + 0x3C + 8 * rec.recNo));
            }
        }
    }
}

// The reference database lists exactly the blocks whose header exists with a block code.
TEST_F(SampleFiles, ReferenceDatabaseHoldsTheBlElementsOfTheExistingBlocks) {
    for (const auto& sr : r.stations) {
        Image img(read_file(sr.databasePath));
        auto area = img.follow(0x280, 0x300).value();
        int maxBlock = img.u16(area + 0x240);
        auto bldb = img.follow(img.follow(area + 0x0C, 0x10).value() + 8, 4 * std::size_t(maxBlock)).value();
        std::vector<std::pair<std::string, std::string>> want;  // name, tag
        for (int n = 1; n <= maxBlock; ++n) {
            auto h = img.at(img.u32(bldb + 4 * (n - 1)), 0x100);
            if (!h || img.u16(*h + 0x14) == 0) continue;
            char name[16];
            std::snprintf(name, sizeof name, "%%BL%04d", n);
            want.push_back({name, img.tag(*h + 4)});
        }

        sqlite3* db = nullptr;
        ASSERT_EQ(SQLITE_OK, sqlite3_open_v2(sr.referencePath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr));
        sqlite3_stmt* st = nullptr;
        ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, "SELECT name, tag, location, file_name FROM element WHERE kind = '%BL' ORDER BY name",
                                                -1, &st, nullptr));
        std::vector<std::pair<std::string, std::string>> got;
        while (sqlite3_step(st) == SQLITE_ROW) {
            got.push_back({reinterpret_cast<const char*>(sqlite3_column_text(st, 0)),
                           reinterpret_cast<const char*>(sqlite3_column_text(st, 1))});
            std::string loc = reinterpret_cast<const char*>(sqlite3_column_text(st, 2));
            EXPECT_EQ(0u, loc.find("DR")) << loc;
            // The file name part names the edit file that holds the block.
            const auto& blk = sr.blocks[static_cast<std::size_t>(std::stoi(got.back().first.substr(3)) - 1)];
            EXPECT_EQ(blk.fileName, reinterpret_cast<const char*>(sqlite3_column_text(st, 3)));
            EXPECT_EQ(blk.location, loc);
        }
        sqlite3_finalize(st);
        ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, "SELECT count(*) FROM element WHERE kind <> '%BL'", -1, &st, nullptr));
        ASSERT_EQ(SQLITE_ROW, sqlite3_step(st));
        EXPECT_GT(sqlite3_column_int(st, 0), 0);
        sqlite3_finalize(st);
        sqlite3_close(db);
        EXPECT_EQ(want, got) << sr.name;
    }
}

}  // namespace
