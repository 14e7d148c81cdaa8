// Element search over the sorted element list.
#include <gtest/gtest.h>

#include "LdTuSaveCtrl.h"
#include "LdTuSaveEdit.h"
#include "image_fixture.h"

namespace {

QVEElemList List(std::initializer_list<std::string> names) {
    QVEElemList list;
    for (const std::string& n : names) list.Add(n, "L-" + n);
    return list;
}

}  // namespace

TEST(ElemSearch, FindsEveryElementAndRefusesNamesOutsideOrBetween) {
    imgtest::Lines lines;
    for (std::size_t count = 1; count <= 9; ++count) {
        QVEElemList list;
        for (std::size_t i = 0; i < count; ++i) list.Add(LdTuSaveFormat("%%BL%04zu", 2 * i + 2), "");  // even only
        for (std::size_t n = 1; n <= 2 * count + 1; ++n) {
            const std::string name = LdTuSaveFormat("%%BL%04zu", n);
            _QVEElemTbl out;
            out.n5 = 77;  // untouched unless found
            const std::uint32_t r = ElemSearch(name.c_str(), list, &out);
            EXPECT_EQ(r, n % 2 ? LDTUSAVE_E_NOELEM : 0u) << count << " " << name;
            EXPECT_EQ(n % 2 ? std::to_string(out.n5) : std::string(list.Text(out.strElemName)), n % 2 ? "77" : name);
        }
    }
    // Unsigned byte order: a name with a byte above 0x7F sorts after plain ASCII. The record
    // found points into the list's texts.
    auto high = List({"%BL0001", "%BL\xC1"});
    _QVEElemTbl out;
    EXPECT_EQ(ElemSearch("%BL\xC1", high, &out), 0u);
    EXPECT_STREQ(high.Text(out.strLocation), "L-%BL\xC1");
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
