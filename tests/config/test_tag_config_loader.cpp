#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <sstream>
#include <string>
#include <vector>

#include "../common/outcome.h"
#include "ConfigNumbers.h"
#include "LoadTagConfig.h"
#include "driver_config.h"
#include "platform/module.h"

// The server defines this beside its other process-wide objects.
TagConfig driverConfig;

namespace {

// Each block as "deviceAddr/millisecondPeriod entry ...;", a SingleReg entry
// as "addr:name", a BlockOfRegs as "addrStart+count:namePrefix#startIndex";
// first "!demoteAfter/demoteForMs;" when the root changes either default.
std::string Describe(const TagConfig &config) {
    std::ostringstream s;
    if (config.demoteAfter != 0 || config.demoteForMs != TagConfig::kDefaultDemoteForMs) {
        s << '!' << config.demoteAfter << '/' << config.demoteForMs << ';';
    }
    for (const QueryBlock &block : config.blocks) {
        s << block.deviceAddr << '/' << block.millisecondPeriod;
        for (const AddressEntry &e : block.lstAddress) {
            const BlockOfRegs &run = e.blockOfRegs;
            if (e.selector == AddressEntry::kSingleReg) {
                s << ' ' << e.singleReg.addr << ':' << e.singleReg.name;
            } else {
                s << ' ' << run.addrStart << '+' << run.count << ':' << run.namePrefix << '#' << run.startIndex;
            }
        }
        s << ';';
    }
    return s.str();
}

std::string OneBlock(const std::string &entries, const std::string &blockAttributes = "deviceAddr='1'") {
    return "<TagConfig><QueryBlock " + blockAttributes + ">" + entries + "</QueryBlock></TagConfig>";
}

std::string OneRun(const std::string &prefix, const char *numbers) {
    return OneBlock("<BlockOfRegs namePrefix='" + prefix + "' " + numbers + "/>");
}

// Written and still held open by its writer while it is loaded, then removed,
// which fails on Windows if the loader left it open.
std::string LoadFile(const std::string &name, const std::string &content,
                     void (*load)(const wchar_t *) = LoadTagConfigFrom) {
    std::FILE *writer = std::fopen(name.c_str(), "wb");
    if (writer == nullptr) return "cannot write " + name;
    std::fwrite(content.data(), 1, content.size(), writer);
    std::fflush(writer);
    const std::string outcome = Outcome([&] { load(std::wstring(name.begin(), name.end()).c_str()); });
    std::fclose(writer);
    EXPECT_EQ(std::remove(name.c_str()), 0) << name;
    return outcome;
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
const char kExampleBlocks[] = "1/1000 256:Temperature 257:Setpoint 512+4:Channel#1;2/0 0+8:Input#0;";

TEST(TagConfigParse, EveryTextGivesItsBlocksOrItsError) {
    const std::string p26(26, 'p'), p27(27, 'p'), p28(28, 'p'), n32(32, 'n');
    struct Group {
        std::string outcome;
        std::vector<std::string> texts;
    };
    const Group groups[] = {
        {kExampleBlocks, {kExample}},
        // Nothing after the root is read, not even an unfinished end tag.
        {"",
         {" \r\n\t<TagConfig version='2' />garbage", "<TagConfig></TagConfig",
          "<TagConfig></TagConfig><QueryBlock/> any text <b x <!-- --> <?pi?>", "<TagConfig demoteafter='3'/>"}},
        // Demotion: the period defaults to 10 s and is kept within its bounds.
        {"!3/10000;1/0 0:;", {"<TagConfig demoteAfter='3'>" + OneBlock("<SingleReg/>").substr(11)}},
        {"!1/1000;", {"<TagConfig demoteForMs='1000' demoteAfter='1'/>"}},
        {"!2147483647/3600000;", {"<TagConfig demoteAfter='99999999999' demoteForMs='3600000'/>"}},
        // Both element forms in any mixture; unknown attributes ignored,
        // missing ones defaulted, text taken byte for byte.
        {"7/0 5+2:R#0 9: a<b>\"c\n  0: 0+1:#0;",
         {"<TagConfig colour='red'><QueryBlock deviceAddr='7' unknown='x'>"
          "<BlockOfRegs namePrefix='R' count='2' addrStart='5'></BlockOfRegs>"
          "<SingleReg addr='9' name=' a<b>\"c\n ' note='x'>\n</SingleReg><SingleReg/><BlockOfRegs count='1'/>"
          "</QueryBlock></TagConfig>"}},
        // Each attribute with its own reading; the first of a repeated one counts.
        {"0/-250 16: 255+1:#0;",
         {OneBlock("<SingleReg addr='0x10'/><BlockOfRegs addrStart='0XfF' startIndex='0x10' count='65537'/>",
                   "deviceAddr='0x01' deviceAddr='2' millisecondPeriod='-250'")}},
        {"255/2147483647 0:;", {OneBlock("<SingleReg/>", "deviceAddr='255' millisecondPeriod='4294967296'")}},
        // The longest names that fit: 32 characters, or a prefix and the
        // digits of the run's last number.
        {"1/0 0:" + n32 + ";", {OneBlock("<SingleReg name='" + n32 + "'/>")}},
        {"1/0 0+10:" + p28 + "#9990;", {OneRun(p28, "startIndex='9990' count='10'")}},
        {"1/0 0+65535:" + p26 + "#65535;", {OneRun(p26, "startIndex='65535' count='65535'")}},

        {"demoteAfter is negative", {"<TagConfig demoteAfter='-1' demoteForMs='1'/>"}},
        {"demoteForMs out of range 1000 to 3600000",
         {"<TagConfig demoteAfter='3' demoteForMs='999'/>", "<TagConfig demoteAfter='3' demoteForMs='3600001'>"}},
        {"wrong config syntax", {"", "\xEF\xBB\xBF<TagConfig/>", "<tagconfig/>", "</TagConfig>", "<TagConfig"}},
        {"not closed TagConfig", {"<TagConfig>", "<TagConfig><SingleReg/></TagConfig>", "<TagConfig>text</TagConfig>"}},
        // A block's checks in their order: self-closing, deviceAddr, end tag, contents.
        {"empty QueryBlock", {"<TagConfig><QueryBlock/></TagConfig>", OneBlock("")}},
        {"deviceAddr is not optional", {OneBlock("<SingleReg/>", "deviceaddr='1'"), OneBlock("<Register/>", "")}},
        // One byte on the wire: 257 would poll device 1.
        {"deviceAddr out of range 0 to 255",
         {OneBlock("<SingleReg/>", "deviceAddr='256'"), OneBlock("<SingleReg/>", "deviceAddr='-1'"),
          OneBlock("<Register/>", "deviceAddr='257'")}},
        {"not closed QueryBlock",
         {OneBlock("<Register/>"), OneBlock("<SingleReg/>text"),
          OneBlock("<QueryBlock deviceAddr='2'><SingleReg/></QueryBlock>"),
          "<TagConfig><QueryBlock deviceAddr='1'></TagConfig>"}},
        {"SingleReg tag not closed", {OneBlock("<SingleReg>text</SingleReg>"), OneBlock("<SingleReg></BlockOfRegs>")}},
        {"BlockOfRegs tag not closed",
         {OneBlock("<BlockOfRegs count='1'>x</BlockOfRegs>"), OneBlock("<BlockOfRegs count='1'></SingleReg>")}},
        // Names are never cut short, and values are judged before the end tag.
        {"SingleReg name too long", {OneBlock("<SingleReg name='" + n32 + "n'><x/>")}},
        {"SingleReg name holds a NUL character", {OneBlock(std::string("<SingleReg name='a\0b'/>", 23))}},
        {"BlockOfRegs namePrefix too long", {OneRun(p28 + "x", "count='1'")}},
        {"BlockOfRegs namePrefix holds a NUL character", {OneRun(std::string("\0", 1), "count='1'")}},
        {"BlockOfRegs tag name too long",
         {OneRun(p28, "startIndex='9991' count='10'"), OneRun(p27, "startIndex='65535' count='65535'")}},
        // A run of no registers would be iterated as one tag and shift the rest.
        {"BlockOfRegs count is zero",
         {OneBlock("<BlockOfRegs count='0'><x/>"), OneRun("R", ""), OneRun("R", "count='65536'")}},
    };
    for (const Group &group : groups) {
        for (const std::string &text : group.texts) {
            TagConfig config;
            const std::string error = Outcome([&] { config.Parse(text); });
            EXPECT_EQ(error.empty() ? Describe(config) : error, group.outcome) << text;
        }
    }
}

TEST(TagConfigParse, DecimalAndAddressReadings) {
    struct Case {
        std::string text;
        std::int32_t decimal;
        std::uint16_t address;
    };
    std::vector<Case> cases = {
        {"0x10", 0, 16}, {"0xa", 0, 10},  {"010", 10, 10},       {"12abc", 12, 12},  {"abc", 0, 0},
        {"", 0, 0},      {" 0x10", 0, 0}, {" \t+12abc", 12, 12}, {"-1", -1, 0xFFFF}, {"0x12345", 0, 0x2345}};
    // Beyond 32 bits both readings stop at the nearest bound.
    cases.insert(cases.end(), {{"2147483648", INT32_MAX, 0xFFFF},
                               {"99999999999999999999999", INT32_MAX, 0xFFFF},
                               {"-99999999999", INT32_MIN, 0},
                               {"0x100000000", 0, 0xFFFF}});
    for (const Case &c : cases) {
        EXPECT_EQ(ParseDecimal(c.text), c.decimal) << '"' << c.text << '"';
        EXPECT_EQ(ParseAddress(c.text), c.address) << '"' << c.text << '"';
    }
}

TEST(LoadTagConfig, ReadsTheFileBesideTheExecutableAndKeepsTheBlocksBeforeAnError) {
    char exe[kTagConfigPathSize];
    ASSERT_GT(GetModuleFileNameA(nullptr, exe, sizeof exe), 0u);
    EXPECT_EQ(LoadFile(std::string(exe) + ".tag.cfg", kExample, [](const wchar_t *) { LoadTagConfig(); }), "");
    EXPECT_EQ(Describe(driverConfig), kExampleBlocks);
    // A missing file or a folder is no error and changes nothing.
    EXPECT_EQ(Outcome([] { LoadTagConfig(); }), "");
    EXPECT_EQ(Outcome([] { LoadTagConfigFrom(L"."); }), "");
    EXPECT_EQ(Describe(driverConfig), kExampleBlocks);
    EXPECT_EQ(LoadFile("load_empty.tag.cfg", ""), "wrong config syntax");

    // Far more than one read's worth. Block keys grow even for the same
    // device, and tag keys keep their low 16 bits, so one configuration holds
    // at most 32768 blocks (each parse uses two keys).
    const std::string block = "<QueryBlock deviceAddr='1'><SingleReg/></QueryBlock>\n";
    std::string text = "<TagConfig>";
    for (int i = 0; i < 32768; ++i) text += block;
    EXPECT_EQ(LoadFile("load_large.tag.cfg", text + "</TagConfig>"), "");
    ASSERT_EQ(driverConfig.blocks.size(), 32768u);
    EXPECT_EQ(driverConfig.blocks.back().blockKey - driverConfig.blocks.front().blockKey, 65534u);
    EXPECT_EQ(LoadFile("load_too_many.tag.cfg", text + block), "too many QueryBlocks");
    EXPECT_EQ(driverConfig.blocks.size(), 32768u);

    const std::string broken = "<QueryBlock deviceAddr='7'><SingleReg/><Bad/></QueryBlock>";
    EXPECT_EQ(LoadFile("load_broken.tag.cfg", "<TagConfig>" + block + block + broken), "not closed QueryBlock");
    EXPECT_EQ(Describe(driverConfig), "1/0 0:;1/0 0:;");
    EXPECT_EQ(driverConfig.cachedTagCount, -1);
}

TEST(LoadTagConfig, ModulePathGetsTheSuffixOnlyWhenItFits) {
    wchar_t path[kTagConfigPathSize];
    // 252 characters and the 8 of the suffix make the longest name, 260.
    std::wmemset(path, L'a', kTagConfigPathSize - 1);
    path[252] = L'\0';
    MakeTagConfigPath(path, 252);
    EXPECT_EQ(std::wcslen(path), 260u);
    EXPECT_EQ(Outcome([&] { MakeTagConfigPath(path, 253); }), "tag configuration file name too long");
    // A path cut to the buffer is reported with the buffer's size.
    EXPECT_EQ(Outcome([&] { MakeTagConfigPath(path, kTagConfigPathSize); }), "tag configuration file name too long");
    EXPECT_EQ(Outcome([&] { MakeTagConfigPath(path, 0); }), "executable path not available");
}

}  // namespace
