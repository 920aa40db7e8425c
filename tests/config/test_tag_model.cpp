#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../common/outcome.h"
#include "TagModel.h"

namespace {

AddressEntry Single(std::uint16_t addr, const char *name) {
    AddressEntry e{AddressEntry::kSingleReg, {addr, {}}};
    std::strncpy(e.singleReg.name, name, kTagNameSize - 1);
    return e;
}

AddressEntry Range(std::uint16_t addrStart, std::uint16_t count, const char *prefix, std::uint16_t startIndex) {
    AddressEntry e{AddressEntry::kBlockOfRegs, {}};
    e.blockOfRegs = {addrStart, count, {}, startIndex};
    std::strncpy(e.blockOfRegs.namePrefix, prefix, kNamePrefixSize - 1);
    return e;
}

// Block counts, a run of no registers and a wrapping tag count are the
// polling tests' (test_polling); the loader's tests pin the longest names.

TEST(QueryBlockModel, IteratorsNameOnlyTheirTagsAndWithinTheBuffer) {
    QueryBlock b;
    b.lstAddress = {Range(0, 1, "Prefix", 12345), Single(1, "LongName")};
    QueryBlock::TagIterator it(b);
    char name[6] = "#####";
    ASSERT_TRUE(it.Next());
    it.TagName(name, 4);
    EXPECT_STREQ(name, "Pre");
    EXPECT_EQ(name[4], '#');
    ASSERT_TRUE(it.Next());
    it.TagName(name, sizeof name);
    EXPECT_STREQ(name, "LongN");
    EXPECT_FALSE(it.Next());

    // The index of the longest run stops short of wrapping.
    const AddressEntry run = Range(0, 65535, "R", 0);
    AddrIterator a(&run);
    int tags = 0;
    while (a.Next()) ++tags;
    EXPECT_EQ(tags, 65535);
    EXPECT_EQ(Outcome([&] { a.TagName(name, sizeof name); }), "wrong iterator");
}

}  // namespace
