// Element search over the sorted element list.
#include <gtest/gtest.h>

#include "LdTuSaveCtrl.h"
#include "LdTuSaveEdit.h"
#include "image_fixture.h"

namespace {

std::vector<_QVEElemTbl> List(std::initializer_list<const char*> names) {
    std::vector<_QVEElemTbl> list;
    for (const char* n : names) {
        _QVEElemTbl e;
        e.strElemName = n;
        e.strLocation = std::string("L-") + n;
        list.push_back(e);
    }
    return list;
}

}  // namespace

TEST(ElemSearch, FindsEveryElementAndRefusesNamesOutsideOrBetween) {
    imgtest::Lines lines;
    for (std::size_t count = 1; count <= 9; ++count) {
        std::vector<_QVEElemTbl> list;
        for (std::size_t i = 0; i < count; ++i) {
            _QVEElemTbl e;
            e.strElemName = LdTuSaveFormat("%%BL%04zu", 2 * i + 2);  // even numbers only
            list.push_back(e);
        }
        for (std::size_t n = 1; n <= 2 * count + 1; ++n) {
            const std::string name = LdTuSaveFormat("%%BL%04zu", n);
            _QVEElemTbl out;
            out.strElemName = "untouched";
            const std::uint32_t r = ElemSearch(name.c_str(), list, &out);
            EXPECT_EQ(r, n % 2 ? LDTUSAVE_E_NOELEM : 0u) << count << " " << name;
            EXPECT_EQ(out.strElemName, n % 2 ? "untouched" : name);
        }
    }
    // Unsigned byte order: a name with a byte above 0x7F sorts after plain ASCII.
    auto high = List({"%BL0001", "%BL\xC1"});
    _QVEElemTbl out;
    EXPECT_EQ(ElemSearch("%BL\xC1", high, &out), 0u);
    EXPECT_EQ(out.strLocation, "L-%BL\xC1");
    EXPECT_TRUE(lines.v.empty());
}

TEST(ElemSearch, NullNameEmptyListAndDescendingList) {
    imgtest::Lines lines;
    _QVEElemTbl out;
    EXPECT_EQ(ElemSearch(nullptr, List({"%BL0001"}), &out), 1u);
    EXPECT_EQ(ElemSearch("%BL0001", {}, &out), LDTUSAVE_E_NOELEM);
    EXPECT_TRUE(lines.v.empty());
    EXPECT_EQ(ElemSearch("%BL0002", List({"%BL0003", "%BL0001"}), &out), 1u);
    EXPECT_EQ(lines.v, std::vector<std::string>{"ElemSearch:invalid case %BL0002"});
}
