#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "CError.h"
#include "ConfigNumbers.h"
#include "MarkupReader.h"
#include "TagModel.h"

namespace {

template <typename F>
std::string ErrorOf(F f) {
    try {
        f();
    } catch (const CError &e) {
        return e.narrowMessage;
    }
    return "";
}

std::string ParseError(const std::string &text) {
    TagConfig config;
    return ErrorOf([&] { config.Parse(text); });
}

TagConfig Parsed(const std::string &text) {
    TagConfig config;
    const std::string error = ErrorOf([&] { config.Parse(text); });
    EXPECT_EQ(error, "") << text;
    return config;
}

// A configuration of one block around the given entries.
std::string OneBlock(const std::string &entries, const std::string &blockAttributes = "deviceAddr='1'") {
    return "<TagConfig><QueryBlock " + blockAttributes + ">" + entries + "</QueryBlock></TagConfig>";
}

const AddressEntry &OnlyEntry(const TagConfig &config) {
    EXPECT_EQ(config.blocks.size(), 1u);
    EXPECT_EQ(config.blocks.at(0).lstAddress.size(), 1u);
    return config.blocks.at(0).lstAddress.at(0);
}

std::uint16_t Addr(const std::string &value) {
    return OnlyEntry(Parsed(OneBlock("<SingleReg addr='" + value + "'/>"))).singleReg.addr;
}

std::uint16_t DeviceAddr(const std::string &value) {
    return Parsed(OneBlock("<SingleReg/>", "deviceAddr='" + value + "'")).blocks.at(0).deviceAddr;
}

const char kExample[] =
    "<TagConfig>\n"
    "  <QueryBlock deviceAddr='1' millisecondPeriod='1000'>\n"
    "    <SingleReg name='Temperature' addr='0x0100'/>\n"
    "    <SingleReg name='Setpoint' addr='257'></SingleReg>\n"
    "    <BlockOfRegs namePrefix='Channel' startIndex='1' count='4' addrStart='0x0200'/>\n"
    "  </QueryBlock>\n"
    "  <QueryBlock deviceAddr='2'>\n"
    "    <BlockOfRegs namePrefix='Input' count='8' addrStart='0'/>\n"
    "  </QueryBlock>\n"
    "</TagConfig>\n";

TEST(TagConfigParse, ExampleLoadsToExactlyTheBlocksItDescribes) {
    TagConfig config = Parsed(kExample);
    ASSERT_EQ(config.blocks.size(), 2u);

    const QueryBlock &first = config.blocks[0];
    EXPECT_EQ(first.deviceAddr, 1);
    EXPECT_EQ(first.millisecondPeriod, 1000);
    EXPECT_EQ(first.cachedRegCount, -1);
    ASSERT_EQ(first.lstAddress.size(), 3u);
    EXPECT_EQ(first.lstAddress[0].selector, AddressEntry::kSingleReg);
    EXPECT_STREQ(first.lstAddress[0].singleReg.name, "Temperature");
    EXPECT_EQ(first.lstAddress[0].singleReg.addr, 256);
    EXPECT_EQ(first.lstAddress[1].selector, AddressEntry::kSingleReg);
    EXPECT_STREQ(first.lstAddress[1].singleReg.name, "Setpoint");
    EXPECT_EQ(first.lstAddress[1].singleReg.addr, 257);
    EXPECT_EQ(first.lstAddress[2].selector, AddressEntry::kBlockOfRegs);
    EXPECT_STREQ(first.lstAddress[2].blockOfRegs.namePrefix, "Channel");
    EXPECT_EQ(first.lstAddress[2].blockOfRegs.startIndex, 1);
    EXPECT_EQ(first.lstAddress[2].blockOfRegs.count, 4);
    EXPECT_EQ(first.lstAddress[2].blockOfRegs.addrStart, 512);

    const QueryBlock &second = config.blocks[1];
    EXPECT_EQ(second.deviceAddr, 2);
    EXPECT_EQ(second.millisecondPeriod, 0);
    ASSERT_EQ(second.lstAddress.size(), 1u);
    EXPECT_EQ(second.lstAddress[0].selector, AddressEntry::kBlockOfRegs);
    EXPECT_STREQ(second.lstAddress[0].blockOfRegs.namePrefix, "Input");
    EXPECT_EQ(second.lstAddress[0].blockOfRegs.startIndex, 0);
    EXPECT_EQ(second.lstAddress[0].blockOfRegs.count, 8);
    EXPECT_EQ(second.lstAddress[0].blockOfRegs.addrStart, 0);

    EXPECT_GT(second.blockKey, first.blockKey);
    EXPECT_EQ(config.cachedTagCount, -1);
    EXPECT_EQ(config.TotalTagCount(), 14);
}

TEST(TagConfigParse, EmptyConfigurationsAndIgnoredTrailingText) {
    for (const char *text :
         {"<TagConfig/>", "<TagConfig></TagConfig>", " \r\n\t<TagConfig version='2' />",
          "<TagConfig></TagConfig> any text <b x <!-- --> <?pi?>", "<TagConfig/>garbage",
          "<TagConfig></TagConfig><QueryBlock/>", "<TagConfig></TagConfig", "<TagConfig></TagConfig  \n"}) {
        TagConfig config = Parsed(text);
        EXPECT_TRUE(config.blocks.empty()) << text;
        EXPECT_EQ(config.TotalTagCount(), 0) << text;
    }
    TagConfig withBlock = Parsed(OneBlock("<SingleReg/>") + "</QueryBlock><!-- after the root -->");
    EXPECT_EQ(withBlock.blocks.size(), 1u);
}

TEST(TagConfigParse, ElementFormsMixturesAndAttributes) {
    TagConfig config = Parsed(
        "<TagConfig colour='red'>"
        "<QueryBlock deviceAddr='7' unknown='x'>"
        "<BlockOfRegs namePrefix='R' count='2' addrStart='5'></BlockOfRegs>"
        "<SingleReg addr='9' name='' note='ignored'>\n</SingleReg>"
        "<SingleReg/>"
        "<BlockOfRegs count='1'/>"
        "</QueryBlock></TagConfig>");
    ASSERT_EQ(config.blocks.size(), 1u);
    const auto &entries = config.blocks[0].lstAddress;
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].selector, AddressEntry::kBlockOfRegs);
    EXPECT_EQ(entries[1].selector, AddressEntry::kSingleReg);
    EXPECT_EQ(entries[1].singleReg.addr, 9);
    EXPECT_STREQ(entries[1].singleReg.name, "");
    EXPECT_EQ(entries[2].singleReg.addr, 0);
    EXPECT_STREQ(entries[2].singleReg.name, "");
    EXPECT_EQ(entries[3].blockOfRegs.addrStart, 0);
    EXPECT_EQ(entries[3].blockOfRegs.startIndex, 0);
    EXPECT_STREQ(entries[3].blockOfRegs.namePrefix, "");
    EXPECT_EQ(config.blocks[0].RegisterCount(), 5);
}

TEST(TagConfigParse, TextValuesAreTakenByteForByte) {
    const AddressEntry e = OnlyEntry(Parsed(OneBlock("<SingleReg name=' a<b>\"c\n '/>")));
    EXPECT_STREQ(e.singleReg.name, " a<b>\"c\n ");
}

TEST(TagConfigParse, EveryGrammarErrorInItsOwnWords) {
    struct Case {
        const char *text;
        const char *message;
    };
    const Case cases[] = {
        {"", "wrong config syntax"},
        {"  \r\n ", "wrong config syntax"},
        {"\xEF\xBB\xBF<TagConfig/>", "wrong config syntax"},
        {"x<TagConfig/>", "wrong config syntax"},
        {"<?xml version='1.0'?><TagConfig/>", "wrong config syntax"},
        {"<!-- c --><TagConfig/>", "wrong config syntax"},
        {"<Config/>", "wrong config syntax"},
        {"<tagconfig/>", "wrong config syntax"},
        {"</TagConfig>", "wrong config syntax"},
        {"<TagConfig", "wrong config syntax"},
        {"<TagConfig>", "not closed TagConfig"},
        {"<TagConfig>  ", "not closed TagConfig"},
        {"<TagConfig><SingleReg/></TagConfig>", "not closed TagConfig"},
        {"<TagConfig><BlockOfRegs count='1'/></TagConfig>", "not closed TagConfig"},
        {"<TagConfig><Other/></TagConfig>", "not closed TagConfig"},
        {"<TagConfig></QueryBlock>", "not closed TagConfig"},
        {"<TagConfig>text</TagConfig>", "not closed TagConfig"},
        {"<TagConfig><!-- c --></TagConfig>", "not closed TagConfig"},
        {"<TagConfig><QueryBlock deviceAddr='1'><SingleReg/></QueryBlock>", "not closed TagConfig"},
        {"<TagConfig><QueryBlock/></TagConfig>", "empty QueryBlock"},
        {"<TagConfig><QueryBlock deviceAddr='1'/></TagConfig>", "empty QueryBlock"},
        {"<TagConfig><QueryBlock deviceAddr='1'></QueryBlock></TagConfig>", "empty QueryBlock"},
        {"<TagConfig><QueryBlock millisecondPeriod='100'><SingleReg/></QueryBlock></TagConfig>",
         "deviceAddr is not optional"},
        {"<TagConfig><QueryBlock deviceaddr='1'><SingleReg/></QueryBlock></TagConfig>", "deviceAddr is not optional"},
        {"<TagConfig><QueryBlock></QueryBlock></TagConfig>", "deviceAddr is not optional"},
        {"<TagConfig><QueryBlock deviceAddr='1'><SingleReg/></TagConfig>", "not closed QueryBlock"},
        {"<TagConfig><QueryBlock deviceAddr='1'><SingleReg/>", "not closed QueryBlock"},
        {"<TagConfig><QueryBlock deviceAddr='1'><SingleReg/>text</QueryBlock></TagConfig>", "not closed QueryBlock"},
        {"<TagConfig><QueryBlock deviceAddr='1'><!-- c --><SingleReg/></QueryBlock></TagConfig>",
         "not closed QueryBlock"},
        {"<TagConfig><QueryBlock deviceAddr='1'><QueryBlock deviceAddr='2'><SingleReg/></QueryBlock></QueryBlock>"
         "</TagConfig>",
         "not closed QueryBlock"},
        {"<TagConfig><QueryBlock deviceAddr='1'><Register/></QueryBlock></TagConfig>", "not closed QueryBlock"},
        {"<TagConfig><QueryBlock deviceAddr='1'><Register/>", "not closed QueryBlock"},
        {"<TagConfig><QueryBlock deviceAddr='1'><SingleReg>text</SingleReg></QueryBlock></TagConfig>",
         "SingleReg tag not closed"},
        {"<TagConfig><QueryBlock deviceAddr='1'><SingleReg><SingleReg/></SingleReg></QueryBlock></TagConfig>",
         "SingleReg tag not closed"},
        {"<TagConfig><QueryBlock deviceAddr='1'><SingleReg></BlockOfRegs></QueryBlock></TagConfig>",
         "SingleReg tag not closed"},
        {"<TagConfig><QueryBlock deviceAddr='1'><SingleReg>", "SingleReg tag not closed"},
        {"<TagConfig><QueryBlock deviceAddr='1'><BlockOfRegs count='1'>x</BlockOfRegs></QueryBlock></TagConfig>",
         "BlockOfRegs tag not closed"},
        {"<TagConfig><QueryBlock deviceAddr='1'><BlockOfRegs count='1'></SingleReg></QueryBlock></TagConfig>",
         "BlockOfRegs tag not closed"},
        {"<TagConfig><QueryBlock deviceAddr='1'><BlockOfRegs count='1'>", "BlockOfRegs tag not closed"},
    };
    for (const Case &c : cases) EXPECT_EQ(ParseError(c.text), c.message) << c.text;
}

TEST(TagConfigParse, ElementParsersRefuseAReaderBeforeAnotherElement) {
    const std::string text = "<Other/>";
    MarkupReader a(text.data(), text.data() + text.size());
    QueryBlock block;
    EXPECT_EQ(ErrorOf([&] { block.Parse(a); }), "wrong QueryBlock syntax");
    MarkupReader b(text.data(), text.data() + text.size());
    SingleReg single{};
    EXPECT_EQ(ErrorOf([&] { single.Parse(b); }), "wrong SingleReg syntax");
    MarkupReader c(text.data(), text.data() + text.size());
    BlockOfRegs run{};
    EXPECT_EQ(ErrorOf([&] { run.Parse(c); }), "wrong BlockOfRegs syntax");

    const std::string end = "</QueryBlock>";
    MarkupReader d(end.data(), end.data() + end.size());
    EXPECT_EQ(ErrorOf([&] { block.Parse(d); }), "wrong QueryBlock syntax");
}

TEST(TagConfigParse, ElementParsersLeaveTheReaderAfterTheElement) {
    const std::string text = "<SingleReg name='A'>  </SingleReg><next/>";
    MarkupReader reader(text.data(), text.data() + text.size());
    SingleReg single{};
    single.Parse(reader);
    EXPECT_STREQ(single.name, "A");
    EXPECT_EQ(reader.ReadTag().name, "next");
}

TEST(TagConfigParse, ChecksWithinABlockComeInTheirOrder) {
    // Self-closing before deviceAddr; deviceAddr before the contents; the end
    // tag before the empty list.
    EXPECT_EQ(ParseError("<TagConfig><QueryBlock/></TagConfig>"), "empty QueryBlock");
    EXPECT_EQ(ParseError("<TagConfig><QueryBlock><Register/></QueryBlock></TagConfig>"), "deviceAddr is not optional");
    EXPECT_EQ(ParseError("<TagConfig><QueryBlock deviceAddr='1'><Register/></QueryBlock></TagConfig>"),
              "not closed QueryBlock");
    EXPECT_EQ(ParseError("<TagConfig><QueryBlock deviceAddr='1'></TagConfig>"), "not closed QueryBlock");
    // Values are judged before the element's end tag.
    EXPECT_EQ(ParseError(OneBlock("<SingleReg name='" + std::string(33, 'n') + "'><x/>")), "SingleReg name too long");
    EXPECT_EQ(ParseError(OneBlock("<BlockOfRegs count='0'><x/>")), "BlockOfRegs count is zero");
}

TEST(TagConfigParse, NamesThatWouldNotFitAreRefused) {
    const std::string n32(32, 'n');
    EXPECT_STREQ(OnlyEntry(Parsed(OneBlock("<SingleReg name='" + n32 + "'/>"))).singleReg.name, n32.c_str());
    EXPECT_EQ(ParseError(OneBlock("<SingleReg name='" + n32 + "x'/>")), "SingleReg name too long");

    const std::string p28(28, 'p');
    EXPECT_STREQ(
        OnlyEntry(Parsed(OneBlock("<BlockOfRegs namePrefix='" + p28 + "' count='10'/>"))).blockOfRegs.namePrefix,
        p28.c_str());
    EXPECT_EQ(ParseError(OneBlock("<BlockOfRegs namePrefix='" + p28 + "x' count='1'/>")),
              "BlockOfRegs namePrefix too long");

    // The longest name of a run is its prefix and the digits of its last number.
    EXPECT_EQ(
        ParseError(OneBlock("<BlockOfRegs namePrefix='" + std::string(27, 'p') + "' startIndex='65535' count='2'/>")),
        "");
    EXPECT_EQ(ParseError(OneBlock("<BlockOfRegs namePrefix='" + p28 + "' startIndex='65535' count='2'/>")),
              "BlockOfRegs tag name too long");
    EXPECT_EQ(ParseError(OneBlock("<BlockOfRegs namePrefix='" + std::string(26, 'p') +
                                  "' startIndex='65535' count='65535'/>")),
              "");
    EXPECT_EQ(ParseError(OneBlock("<BlockOfRegs namePrefix='" + std::string(27, 'p') +
                                  "' startIndex='65535' count='65535'/>")),
              "BlockOfRegs tag name too long");
    EXPECT_EQ(ParseError(OneBlock("<BlockOfRegs namePrefix='" + p28 + "' startIndex='9990' count='10'/>")), "");
    EXPECT_EQ(ParseError(OneBlock("<BlockOfRegs namePrefix='" + p28 + "' startIndex='9991' count='10'/>")),
              "BlockOfRegs tag name too long");

    // A zero byte would cut the name as surely as a short field.
    EXPECT_EQ(ParseError(OneBlock(std::string("<SingleReg name='a\0b'/>", 23))),
              "SingleReg name holds a NUL character");
    EXPECT_EQ(ParseError(OneBlock(std::string("<BlockOfRegs namePrefix='\0' count='1'/>", 39))),
              "BlockOfRegs namePrefix holds a NUL character");
}

TEST(TagConfigParse, RunOfNoRegistersIsRefused) {
    for (const char *count : {"count='0'", "", "count='65536'", "count='x'", "count='0x10'"}) {
        EXPECT_EQ(ParseError(OneBlock(std::string("<BlockOfRegs namePrefix='R' ") + count + "/>")),
                  "BlockOfRegs count is zero")
            << count;
    }
    EXPECT_EQ(OnlyEntry(Parsed(OneBlock("<BlockOfRegs count='65537'/>"))).blockOfRegs.count, 1);
}

TEST(TagConfigParse, AddressReadings) {
    EXPECT_EQ(Addr("0x10"), 16);
    EXPECT_EQ(Addr("0XfF"), 255);
    EXPECT_EQ(Addr("010"), 10);
    EXPECT_EQ(Addr("12abc"), 12);
    EXPECT_EQ(Addr("abc"), 0);
    EXPECT_EQ(Addr(" 0x10"), 0);
    EXPECT_EQ(Addr(" 16"), 16);
    EXPECT_EQ(Addr(""), 0);
    EXPECT_EQ(Addr("0x12345"), 0x2345);
    EXPECT_EQ(Addr("65535"), 0xFFFF);
    EXPECT_EQ(Addr("-1"), 0xFFFF);
}

TEST(TagConfigParse, DecimalReadings) {
    EXPECT_EQ(DeviceAddr("0x01"), 0);
    EXPECT_EQ(DeviceAddr("65537"), 1);
    EXPECT_EQ(DeviceAddr(" \t+12abc"), 12);
    EXPECT_EQ(DeviceAddr(""), 0);
    EXPECT_EQ(Parsed(OneBlock("<SingleReg/>", "deviceAddr='1' deviceAddr='2'")).blocks[0].deviceAddr, 1);
    EXPECT_EQ(Parsed(OneBlock("<SingleReg/>", "deviceAddr='1' millisecondPeriod='-250'")).blocks[0].millisecondPeriod,
              -250);
    EXPECT_EQ(OnlyEntry(Parsed(OneBlock("<BlockOfRegs startIndex='0x10' count='1'/>"))).blockOfRegs.startIndex, 0);
    EXPECT_EQ(OnlyEntry(Parsed(OneBlock("<BlockOfRegs startIndex='-1' count='1'/>"))).blockOfRegs.startIndex, 65535);
}

TEST(TagConfigParse, NumbersBeyondThirtyTwoBitsSaturate) {
    EXPECT_EQ(ParseDecimal("2147483647"), 2147483647);
    EXPECT_EQ(ParseDecimal("2147483648"), 2147483647);
    EXPECT_EQ(ParseDecimal("99999999999999999999999"), 2147483647);
    EXPECT_EQ(ParseDecimal("-2147483648"), -2147483647 - 1);
    EXPECT_EQ(ParseDecimal("-99999999999"), -2147483647 - 1);
    EXPECT_EQ(Parsed(OneBlock("<SingleReg/>", "deviceAddr='4294967297' millisecondPeriod='4294967296'"))
                  .blocks[0]
                  .millisecondPeriod,
              2147483647);
    EXPECT_EQ(DeviceAddr("4294967297"), 0xFFFF);
    EXPECT_EQ(Addr("0x100000000"), 0xFFFF);
    EXPECT_EQ(Addr("0xFFFFFFFF"), 0xFFFF);
    EXPECT_EQ(Addr("99999999999"), 0xFFFF);
    EXPECT_EQ(Addr("-99999999999"), 0);
    EXPECT_EQ(Addr("0x7FFFFFFF"), 0xFFFF);
    EXPECT_EQ(Addr("0x7FFF0010"), 0x0010);
}

TEST(TagConfigParse, NumberReadingDetails) {
    EXPECT_EQ(ParseDecimal("  -42x"), -42);
    EXPECT_EQ(ParseDecimal("+"), 0);
    EXPECT_EQ(ParseDecimal("+-1"), 0);
    EXPECT_EQ(ParseDecimal("- 1"), 0);
    EXPECT_EQ(ParseDecimal(std::string("1\0"
                                       "2",
                                       3)),
              1);
    EXPECT_EQ(ParseAddress("0x"), 0);
    EXPECT_EQ(ParseAddress("0x 1f"), 31);
    EXPECT_EQ(ParseAddress("0x-1"), 0xFFFF);
    EXPECT_EQ(ParseAddress("0x+10"), 16);
    EXPECT_EQ(ParseAddress("0x0x10"), 0);
    EXPECT_EQ(ParseAddress("0xg"), 0);
    EXPECT_EQ(ParseAddress("x10"), 0);
    EXPECT_EQ(ParseAddress("1e3"), 1);
    EXPECT_EQ(ParseAddress("\n\t 7"), 7);
}

TEST(TagConfigParse, PartialConfigurationIsKeptOnError) {
    TagConfig config;
    config.Parse(kExample);
    EXPECT_EQ(config.TotalTagCount(), 14);
    const std::string text =
        "<TagConfig>"
        "<QueryBlock deviceAddr='5'><SingleReg name='A'/></QueryBlock>"
        "<QueryBlock deviceAddr='6'><SingleReg name='B'/></QueryBlock>"
        "<QueryBlock deviceAddr='7'><SingleReg name='C'/><Bad/></QueryBlock>"
        "</TagConfig>";
    EXPECT_EQ(ErrorOf([&] { config.Parse(text); }), "not closed QueryBlock");
    ASSERT_EQ(config.blocks.size(), 2u);
    EXPECT_EQ(config.blocks[0].deviceAddr, 5);
    EXPECT_EQ(config.blocks[1].deviceAddr, 6);
    EXPECT_EQ(config.cachedTagCount, -1);

    EXPECT_EQ(ErrorOf([&] { config.Parse(""); }), "wrong config syntax");
    EXPECT_TRUE(config.blocks.empty());
}

TEST(TagConfigParse, BlocksGetGrowingKeysEvenForTheSameDevice) {
    TagConfig config = Parsed(
        "<TagConfig><QueryBlock deviceAddr='1'><SingleReg/></QueryBlock>"
        "<QueryBlock deviceAddr='1'><SingleReg/></QueryBlock>"
        "<QueryBlock deviceAddr='1'><SingleReg/></QueryBlock></TagConfig>");
    ASSERT_EQ(config.blocks.size(), 3u);
    EXPECT_LT(config.blocks[0].blockKey, config.blocks[1].blockKey);
    EXPECT_LT(config.blocks[1].blockKey, config.blocks[2].blockKey);

    TagConfig again = Parsed(OneBlock("<SingleReg/>"));
    EXPECT_GT(again.blocks[0].blockKey, config.blocks[2].blockKey);
}

TEST(TagConfigParse, BlocksWhoseKeysWouldShareTagKeysAreRefused) {
    // Tag keys keep the low 16 bits of a block key; every parsed block uses
    // two keys, so one configuration holds at most 32768 blocks.
    const std::string block = "<QueryBlock deviceAddr='1'><SingleReg/></QueryBlock>";
    std::string text = "<TagConfig>";
    for (int i = 0; i < 32768; ++i) text += block;
    TagConfig config = Parsed(text + "</TagConfig>");
    ASSERT_EQ(config.blocks.size(), 32768u);
    EXPECT_EQ(static_cast<std::uint16_t>(config.blocks.back().blockKey - config.blocks.front().blockKey), 65534);

    text += block + "</TagConfig>";
    EXPECT_EQ(ErrorOf([&] { config.Parse(text); }), "too many QueryBlocks");
    EXPECT_EQ(config.blocks.size(), 32768u);
}

}  // namespace
