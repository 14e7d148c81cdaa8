// The description loader and the text and database files of the sample folder.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <map>

#include "sample.h"
#include "sample_walk.h"

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

}  // namespace
