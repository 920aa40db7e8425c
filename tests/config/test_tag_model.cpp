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

QueryBlock Block(std::vector<AddressEntry> entries) {
    QueryBlock b;
    b.lstAddress = std::move(entries);
    return b;
}

// The block's tag names in iteration order, ending in the message of an error.
std::string Tags(const QueryBlock &block) {
    std::string s;
    QueryBlock::TagIterator it(block);
    char name[kTagNameSize];
    try {
        while (it.Next()) {
            it.TagName(name, sizeof name);
            s += (s.empty() ? "" : " ") + std::string(name);
        }
    } catch (const CError &e) {
        s += e.narrowMessage;
    }
    return s;
}

TEST(QueryBlockModel, RegisterCountStartAddressAndTags) {
    const auto expect = [](std::vector<AddressEntry> e, const char *count, const char *start, std::string tags) {
        QueryBlock b = Block(std::move(e));
        EXPECT_EQ(Outcome([&] { return b.RegisterCount(); }), count) << tags;
        EXPECT_EQ(Outcome([&] { return b.StartAddress(); }), start) << tags;
        EXPECT_EQ(Tags(b), tags);
    };
    expect({Single(40, "T1")}, "1", "40", "T1");
    expect({Single(7, "A"), Range(300, 2, "B", 0), Single(2, "C")}, "4", "7", "A B0 B1 C");
    expect({Range(0, 2, "X", 65535)}, "2", "0", "X65535 X65536");
    expect({Range(0, 3, "", 9)}, "3", "0", "9 10 11");
    expect({Range(0, 1, std::string(28, 'p').c_str(), 1000)}, "1", "0", std::string(28, 'p') + "1000");
    // A run of no registers counts nothing but is iterated as one tag.
    expect({Range(5, 0, "Z", 3), Single(9, "S")}, "1", "wrong index", "Z3 S");
    expect({}, "empty  lstAddress", "empty lstAddress", "");
    expect({AddressEntry{3, {}}}, "whild selector", "whild selector", "whild selector");
}

TEST(QueryBlockModel, IteratorsNameOnlyTheirTagsAndWithinTheBuffer) {
    const QueryBlock b = Block({Range(0, 1, "Prefix", 12345), Single(1, "LongName")});
    QueryBlock::TagIterator it(b);
    char name[6] = "#####";
    EXPECT_EQ(Outcome([&] { it.TagName(name, sizeof name); }), "wrong iterator QueryBlock::TagIterator");
    ASSERT_TRUE(it.Next());
    it.TagName(name, 4);
    EXPECT_STREQ(name, "Pre");
    EXPECT_EQ(name[4], '#');
    ASSERT_TRUE(it.Next());
    it.TagName(name, sizeof name);
    EXPECT_STREQ(name, "LongN");
    EXPECT_FALSE(it.Next());
    EXPECT_EQ(Outcome([&] { it.TagName(name, sizeof name); }), "wrong iterator QueryBlock::TagIterator");

    // The index of the longest run stops short of wrapping.
    const AddressEntry run = Range(0, 65535, "R", 0);
    AddrIterator a(&run);
    EXPECT_EQ(Outcome([&] { a.TagName(name, sizeof name); }), "wrong iterator");
    int tags = 0;
    while (a.Next()) ++tags;
    EXPECT_EQ(tags, 65535);
    EXPECT_EQ(Outcome([&] { a.TagName(name, sizeof name); }), "wrong iterator");
}

TEST(TagConfigModel, BlocksInOrderAndTotalsCountedOnce) {
    TagConfig c;
    c.blocks = {Block({Single(1, "A"), Range(2, 4, "B", 0)}),
                Block({Range(0, 40000, "C", 0), Range(0, 40000, "D", 0)})};
    EXPECT_LT(c.blocks[0].blockKey, c.blocks[1].blockKey);
    BlockIterator it(c);
    EXPECT_EQ(Outcome([&] { it.Current(); }), "wrong QueryBlock (space) iterator");
    ASSERT_TRUE(it.Next());
    EXPECT_EQ(&it.Current(), &c.blocks[0]);
    ASSERT_TRUE(it.Next());
    EXPECT_EQ(&it.Current(), &c.blocks[1]);
    EXPECT_FALSE(it.Next());
    EXPECT_FALSE(it.Next());
    EXPECT_EQ(Outcome([&] { it.Current(); }), "wrong QueryBlock (space) iterator");
    // A block's 80000 registers count as their low 16 bits, 14464.
    EXPECT_EQ(c.TotalTagCount(), 5 + 14464);
    EXPECT_EQ(c.blocks[1].cachedRegCount, 80000);

    // Counts are computed once; an error in any block leaves the total uncounted.
    c.blocks[0].lstAddress.push_back(Single(9, "late"));
    c.blocks.emplace_back();
    EXPECT_EQ(c.blocks[0].RegisterCount(), 5);
    EXPECT_EQ(c.TotalTagCount(), 5 + 14464);
    c.cachedTagCount = -1;
    EXPECT_EQ(Outcome([&] { c.TotalTagCount(); }), "empty  lstAddress");
    EXPECT_EQ(c.cachedTagCount, -1);
}

}  // namespace
