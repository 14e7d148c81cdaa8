// The sample's instance definitions file read back through the instance definition service:
// every call answers what the description's models say.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "libqverxgen.h"
#include "libqverxgen/inst_def.h"
#include "sample.h"
#include "sample_walk.h"

using sample_test::TempDir;

namespace {

class SampleInstDef : public ::testing::Test {
protected:
    void SetUp() override {
        d = sample::default_description();
        r = sample::build(d, dir.path());
        ::setenv("TUSAVE_HOME", dir.path().c_str(), 1);
    }
    void TearDown() override {
        ::testing::internal::CaptureStderr();
        IEdalInstClose();
        ::testing::internal::GetCapturedStderr();
    }
    TempDir dir;
    sample::Description d;
    sample::Result r;
};

std::string cut8(const std::string& s) { return s.substr(0, 8); }

// The default description holds every kind of item the TP step and the edit file update meet.
TEST_F(SampleInstDef, DefaultModelsCoverEveryKindOfItem) {
    ASSERT_EQ(0, IEdalInstOpenForTP("DEMO", "FCS0101", 2));
    bool uaid = false, text = false, oneDim = false, twoDim = false, unsaved = false, longName = false;
    for (const sample::Model& m : d.stations[0].models) {
        const std::string inst = cut8(m.name);
        longName = longName || inst != m.name;
        for (const sample::Item& it : m.items) {
            uaid = uaid || it.name == "UAID";
            text = text || it.dataType == 8;
            int d1 = 0, d2 = 0;
            ASSERT_EQ(0, IEdalInstGetDItemArrayInf(inst.c_str(), it.name.c_str(), &d1, &d2));
            oneDim = oneDim || (d1 > 0 && d2 == 0);
            twoDim = twoDim || d2 > 0;
            unsaved = unsaved || std::find(m.savedRecords.begin(), m.savedRecords.end(), it.recNo) == m.savedRecords.end();
        }
    }
    EXPECT_TRUE(uaid && text && oneDim && twoDim && unsaved && longName);

    // "UAID" of a model without one is refused; the model is there all the same.
    IEdalItemCnctS c{};
    char name[IEDAL_INSTNAME_SIZE];
    ASSERT_EQ(0, IEdalInstGetInstName(5122, name));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(instdef::kUnknown, IEdalInstGetDItemCnctInf(name, "UAID", &c));
    ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(0, IEdalInstGetDItemCnctInf("PIDLOOP", "UAID", &c));
    EXPECT_EQ(2, c.elemSize);  // the edit file update refuses any other size
}

// Numbers lie on record fields of their own width, so the station's byte order conversion
// keeps their values; text lies in byte data, which is not converted.
TEST_F(SampleInstDef, ItemsLieOnTheRecordFieldsOfTheirWidth) {
    // Width of the leading value of each type code (the sized S, SR and TCS types included).
    auto width = [](int type) {
        switch (type) {
        case 12: case 13: case 16: case 17: case 49: return 2;
        case 20: case 21: case 24: case 25: case 28: case 29: case 31: return 4;
        case 32: case 33: return 8;
        default: return 0;
        }
    };
    for (const sample::Model& m : d.stations[0].models)
        for (const sample::Item& it : m.items) {
            const sample::Record* rec = nullptr;
            for (const auto& x : m.records)
                if (x.recNo == it.recNo) rec = &x;
            ASSERT_NE(nullptr, rec) << it.name;
            const int w = width(it.dataType);
            for (int k = 0; k < it.dim1 * it.dim2; ++k) {
                const std::uint32_t off = it.offset + static_cast<std::uint32_t>(k * it.elemSize);
                int covered = 0;  // width of the field over the element's first byte, 0 for byte data
                for (const auto& f : rec->fields)
                    if (off >= f.offset && off < f.offset + f.width * f.count)
                        covered = (off - f.offset) % f.width == 0 ? static_cast<int>(f.width) : -1;
                EXPECT_EQ(w, covered) << m.name << "." << it.name << "[" << k << "]";
            }
        }
}

TEST(SampleInstDefWriter, RefusesNamesTheDefinitionsCannotHold) {
    sample::Station s = sample::default_description().stations[0];
    auto err = [&] {
        try {
            sample::instdef_json(s);
        } catch (const sample::Error& e) {
            return std::string(e.what());
        }
        return std::string("(accepted)");
    };
    EXPECT_EQ("(accepted)", err());
    sample::Model twin = s.models[1];  // "INDICATOR"
    twin.blockCode = 0x7777;
    twin.name = "INDICATORS";
    s.models.push_back(twin);
    EXPECT_EQ("FCS0101: model \"INDICATORS\" (block code 0x7777): instance name \"INDICATO\" is also that of model "
              "\"INDICATOR\"",
              err());
    s.models.pop_back();
    s.models[0].items[0].name = "TOOLONGNM";
    EXPECT_EQ("FCS0101: model \"PIDLOOP\" (block code 0x1852): item \"TOOLONGNM\" is not a name of 1 to 8 characters",
              err());
}

}  // namespace
