#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "CError.h"
#include "TagModel.h"

namespace {

AddressEntry Single(std::uint16_t addr, const char *name) {
    AddressEntry e{};
    e.selector = AddressEntry::kSingleReg;
    e.singleReg.addr = addr;
    std::strncpy(e.singleReg.name, name, kTagNameSize - 1);
    return e;
}

AddressEntry Range(std::uint16_t addrStart, std::uint16_t count, const char *prefix, std::uint16_t startIndex) {
    AddressEntry e{};
    e.selector = AddressEntry::kBlockOfRegs;
    e.blockOfRegs.addrStart = addrStart;
    e.blockOfRegs.count = count;
    e.blockOfRegs.startIndex = startIndex;
    std::strncpy(e.blockOfRegs.namePrefix, prefix, kNamePrefixSize - 1);
    return e;
}

AddressEntry Wild() {
    AddressEntry e{};
    e.selector = 3;
    return e;
}

QueryBlock Block(std::vector<AddressEntry> entries) {
    QueryBlock b;
    b.lstAddress = std::move(entries);
    return b;
}

std::vector<std::string> TagNames(const QueryBlock &block) {
    std::vector<std::string> names;
    QueryBlock::TagIterator it(block);
    while (it.Next()) {
        char name[kTagNameSize];
        it.TagName(name, sizeof name);
        names.push_back(name);
    }
    return names;
}

template <typename F>
std::string ErrorOf(F f) {
    try {
        f();
    } catch (const CError &e) {
        return e.narrowMessage;
    }
    return "";
}

using Names = std::vector<std::string>;

TEST(QueryBlockModel, SingleRegister) {
    QueryBlock b = Block({Single(40, "T1")});
    EXPECT_EQ(b.RegisterCount(), 1);
    EXPECT_EQ(b.StartAddress(), 40);
    EXPECT_EQ(TagNames(b), Names{"T1"});
}

TEST(QueryBlockModel, RunOfRegisters) {
    QueryBlock b = Block({Range(100, 3, "P", 1)});
    EXPECT_EQ(b.RegisterCount(), 3);
    EXPECT_EQ(b.StartAddress(), 100);
    EXPECT_EQ(TagNames(b), (Names{"P1", "P2", "P3"}));
}

TEST(QueryBlockModel, EntriesInListOrderAndStartAddressFromTheFirst) {
    QueryBlock b = Block({Single(7, "A"), Range(300, 2, "B", 0), Single(2, "C")});
    EXPECT_EQ(b.RegisterCount(), 4);
    EXPECT_EQ(b.StartAddress(), 7);
    EXPECT_EQ(TagNames(b), (Names{"A", "B0", "B1", "C"}));
}

TEST(QueryBlockModel, RunTagNames) {
    EXPECT_EQ(TagNames(Block({Range(0, 2, "X", 65535)})), (Names{"X65535", "X65536"}));
    EXPECT_EQ(TagNames(Block({Range(0, 1, "", 7)})), Names{"7"});
    EXPECT_EQ(TagNames(Block({Range(0, 3, "R", 9)})), (Names{"R9", "R10", "R11"}));
    // The longest name that fits: 28 characters of prefix and 4 digits.
    const std::string prefix(28, 'p');
    EXPECT_EQ(TagNames(Block({Range(0, 1, prefix.c_str(), 1000)})), Names{prefix + "1000"});
}

TEST(QueryBlockModel, TagNameIsBoundedByTheCallersBuffer) {
    QueryBlock b = Block({Range(0, 1, "Prefix", 12345), Single(1, "LongName")});
    QueryBlock::TagIterator it(b);
    ASSERT_TRUE(it.Next());
    char small[5] = {'#', '#', '#', '#', '#'};
    it.TagName(small, 4);
    EXPECT_STREQ(small, "Pre");
    EXPECT_EQ(small[4], '#');
    it.TagName(small, 0);  // nothing written
    EXPECT_STREQ(small, "Pre");
    ASSERT_TRUE(it.Next());
    it.TagName(small, sizeof small);
    EXPECT_STREQ(small, "Long");
}

TEST(QueryBlockModel, RunOfNoRegistersCountsNothingButYieldsOneTag) {
    QueryBlock b = Block({Range(5, 0, "Z", 3), Single(9, "S")});
    EXPECT_EQ(ErrorOf([&] { b.StartAddress(); }), "wrong index");
    EXPECT_EQ(b.RegisterCount(), 1);
    EXPECT_EQ(TagNames(b), (Names{"Z3", "S"}));
}

TEST(QueryBlockModel, EmptyBlockErrors) {
    QueryBlock b;
    EXPECT_EQ(ErrorOf([&] { b.RegisterCount(); }), "empty  lstAddress");
    EXPECT_EQ(ErrorOf([&] { b.StartAddress(); }), "empty lstAddress");
    EXPECT_EQ(b.cachedRegCount, -1);
    EXPECT_TRUE(TagNames(b).empty());
    QueryBlock::TagIterator it(b);
    EXPECT_FALSE(it.Next());
    char name[kTagNameSize];
    EXPECT_EQ(ErrorOf([&] { it.TagName(name, sizeof name); }), "wrong iterator QueryBlock::TagIterator");
}

TEST(QueryBlockModel, UnknownSelectorIsReportedEverywhere) {
    QueryBlock b = Block({Wild()});
    EXPECT_EQ(ErrorOf([&] { b.RegisterCount(); }), "whild selector");
    EXPECT_EQ(b.cachedRegCount, -1);
    EXPECT_EQ(ErrorOf([&] { b.StartAddress(); }), "whild selector");

    // The first step onto any entry yields a tag; naming it or moving on is refused.
    QueryBlock::TagIterator it(b);
    EXPECT_TRUE(it.Next());
    char name[kTagNameSize];
    EXPECT_EQ(ErrorOf([&] { it.TagName(name, sizeof name); }), "whild selector");
    EXPECT_EQ(ErrorOf([&] { it.Next(); }), "whild selector");
}

TEST(QueryBlockModel, RegisterCountIsComputedOnceAndKeptInItsLowSixteenBits) {
    QueryBlock b = Block({Range(0, 40000, "A", 0), Range(0, 40000, "B", 0)});
    EXPECT_EQ(b.RegisterCount(), static_cast<std::uint16_t>(80000));
    EXPECT_EQ(b.cachedRegCount, 80000);
    b.lstAddress.push_back(Single(1, "late"));
    EXPECT_EQ(b.RegisterCount(), static_cast<std::uint16_t>(80000));
}

TEST(TagIteratorModel, NamingOutsideTheTagsIsRefused) {
    QueryBlock b = Block({Single(1, "A")});
    QueryBlock::TagIterator it(b);
    char name[kTagNameSize];
    EXPECT_EQ(ErrorOf([&] { it.TagName(name, sizeof name); }), "wrong iterator QueryBlock::TagIterator");
    EXPECT_TRUE(it.Next());
    EXPECT_FALSE(it.Next());
    EXPECT_FALSE(it.Next());
    EXPECT_EQ(ErrorOf([&] { it.TagName(name, sizeof name); }), "wrong iterator QueryBlock::TagIterator");
}

TEST(AddrIteratorModel, StepsAndRefusals) {
    const AddressEntry single = Single(1, "S");
    AddrIterator a(&single);
    char name[kTagNameSize];
    EXPECT_EQ(ErrorOf([&] { a.TagName(name, sizeof name); }), "wrong iterator");
    EXPECT_TRUE(a.Next());
    a.TagName(name, sizeof name);
    EXPECT_STREQ(name, "S");
    EXPECT_FALSE(a.Next());
    EXPECT_FALSE(a.Next());
    EXPECT_EQ(ErrorOf([&] { a.TagName(name, sizeof name); }), "wrong iterator");

    const AddressEntry run = Range(0, 2, "R", 4);
    AddrIterator r(&run);
    EXPECT_TRUE(r.Next());
    EXPECT_TRUE(r.Next());
    r.TagName(name, sizeof name);
    EXPECT_STREQ(name, "R5");
    EXPECT_FALSE(r.Next());
    EXPECT_EQ(ErrorOf([&] { r.TagName(name, sizeof name); }), "wrong iterator");

    const AddressEntry longest = Range(0, 65535, "", 0);
    AddrIterator l(&longest);
    int tags = 0;
    while (l.Next()) ++tags;
    EXPECT_EQ(tags, 65535);
}

TEST(TagConfigModel, EmptyConfiguration) {
    TagConfig c;
    EXPECT_EQ(c.cachedTagCount, -1);
    EXPECT_EQ(c.TotalTagCount(), 0);
    BlockIterator it(c);
    EXPECT_EQ(ErrorOf([&] { it.Current(); }), "wrong QueryBlock (space) iterator");
    EXPECT_FALSE(it.Next());
    EXPECT_EQ(ErrorOf([&] { it.Current(); }), "wrong QueryBlock (space) iterator");
}

TEST(TagConfigModel, BlocksInListOrder) {
    TagConfig c;
    c.blocks.push_back(Block({Single(1, "A")}));
    c.blocks.push_back(Block({Range(10, 3, "B", 0)}));
    BlockIterator it(c);
    EXPECT_EQ(ErrorOf([&] { it.Current(); }), "wrong QueryBlock (space) iterator");
    ASSERT_TRUE(it.Next());
    EXPECT_EQ(&it.Current(), &c.blocks[0]);
    ASSERT_TRUE(it.Next());
    EXPECT_EQ(&it.Current(), &c.blocks[1]);
    EXPECT_FALSE(it.Next());
    EXPECT_FALSE(it.Next());
    EXPECT_EQ(ErrorOf([&] { it.Current(); }), "wrong QueryBlock (space) iterator");
}

TEST(TagConfigModel, TotalTagCountIsCachedAndAnErrorLeavesItUncounted) {
    TagConfig c;
    c.blocks.push_back(Block({Single(1, "A"), Range(2, 4, "B", 0)}));
    c.blocks.push_back(Block({Range(0, 65535, "C", 0)}));
    EXPECT_EQ(c.TotalTagCount(), 5 + 65535);
    c.blocks.push_back(Block({Single(1, "late")}));
    EXPECT_EQ(c.TotalTagCount(), 5 + 65535);

    TagConfig bad;
    bad.blocks.push_back(Block({Single(1, "A")}));
    bad.blocks.emplace_back();
    EXPECT_EQ(ErrorOf([&] { bad.TotalTagCount(); }), "empty  lstAddress");
    EXPECT_EQ(bad.cachedTagCount, -1);
}

TEST(BlockKeys, GrowWithEveryResetAndCopiesKeepThem) {
    QueryBlock a;
    QueryBlock b;
    EXPECT_GT(b.blockKey, a.blockKey);
    const std::uint32_t before = a.blockKey;
    a.deviceAddr = 17;
    a.millisecondPeriod = 500;
    a.lstAddress.push_back(Single(1, "A"));
    a.RegisterCount();
    a.Reset();
    EXPECT_GT(a.blockKey, b.blockKey);
    EXPECT_NE(a.blockKey, before);
    EXPECT_EQ(a.deviceAddr, 17);
    EXPECT_EQ(a.millisecondPeriod, 0);
    EXPECT_EQ(a.cachedRegCount, -1);
    EXPECT_TRUE(a.lstAddress.empty());

    const QueryBlock copy = b;
    EXPECT_EQ(copy.blockKey, b.blockKey);
}

TEST(TagConfigCopy, CopiesBlocksKeysAndCachedCounts) {
    TagConfig source;
    source.blocks.push_back(Block({Single(1, "A"), Range(2, 2, "B", 0)}));
    source.blocks.back().deviceAddr = 3;
    source.blocks.back().millisecondPeriod = 250;
    source.blocks.push_back(Block({Single(9, "C")}));
    EXPECT_EQ(source.TotalTagCount(), 4);

    TagConfig target;
    target.blocks.push_back(Block({Single(5, "old")}));
    target = source;
    EXPECT_EQ(target.cachedTagCount, 4);
    ASSERT_EQ(target.blocks.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(target.blocks[i].blockKey, source.blocks[i].blockKey);
        EXPECT_EQ(target.blocks[i].cachedRegCount, source.blocks[i].cachedRegCount);
        EXPECT_EQ(target.blocks[i].deviceAddr, source.blocks[i].deviceAddr);
        EXPECT_EQ(target.blocks[i].millisecondPeriod, source.blocks[i].millisecondPeriod);
        EXPECT_EQ(TagNames(target.blocks[i]), TagNames(source.blocks[i]));
    }

    // The copy owns its entries.
    target.blocks[0].lstAddress.clear();
    EXPECT_EQ(source.blocks[0].lstAddress.size(), 2u);

    TagConfig &self = source;
    source = self;
    EXPECT_EQ(source.cachedTagCount, 4);
    EXPECT_EQ(TagNames(source.blocks[0]), (Names{"A", "B0", "B1"}));
}

}  // namespace
