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
// as "addr:name", a BlockOfRegs as "addrStart+count:namePrefix#startIndex".
std::string Describe(const TagConfig &config) {
    std::ostringstream s;
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
    const std::string p28(28, 'p'), n32(32, 'n');
    const std::pair<std::string, std::string> rows[] = {
        {kExampleBlocks, kExample},
        // The longest name that fits: a prefix and the digits of the run's last number.
        {"1/0 0+10:" + p28 + "#9990;", OneRun(p28, "startIndex='9990' count='10'")},

        // One text of each message family.
        {"demoteAfter is negative", "<TagConfig demoteAfter='-1' demoteForMs='1'/>"},
        {"wrong config syntax", "\xEF\xBB\xBF<TagConfig/>"},
        {"empty QueryBlock", "<TagConfig><QueryBlock/></TagConfig>"},
        {"deviceAddr is not optional", OneBlock("<SingleReg/>", "deviceaddr='1'")},
        // One byte on the wire: 257 would poll device 1.
        {"deviceAddr out of range 0 to 255", OneBlock("<SingleReg/>", "deviceAddr='257'")},
        {"not closed QueryBlock", "<TagConfig><QueryBlock deviceAddr='1'></TagConfig>"},
        // A file cut short after a block is no configuration of that block alone.
        {"not closed TagConfig", "<TagConfig><QueryBlock deviceAddr='1'><SingleReg/></QueryBlock>"},
        // Names are never cut short.
        {"SingleReg name too long", OneBlock("<SingleReg name='" + n32 + "n'><x/>")},
        {"SingleReg name holds a NUL character", OneBlock(std::string("<SingleReg name='a\0b'/>", 23))},
        {"BlockOfRegs namePrefix too long", OneRun(p28 + "x", "count='1'")},
        {"BlockOfRegs tag name too long", OneRun(p28, "startIndex='9991' count='10'")},
        // A run of no registers would be iterated as one tag and shift the rest.
        {"BlockOfRegs count is zero", OneRun("R", "count='65536'")},
    };
    for (const auto &[outcome, text] : rows) {
        TagConfig config;
        const std::string error = Outcome([&] { config.Parse(text); });
        EXPECT_EQ(error.empty() ? Describe(config) : error, outcome) << text;
    }
}

TEST(TagConfigParse, DecimalAndAddressReadings) {
    struct Case {
        std::string text;
        std::int32_t decimal;
        std::uint16_t address;
    };
    // Beyond 32 bits both readings stop at the nearest bound.
    const Case cases[] = {{"0x10", 0, 16},
                          {"", 0, 0},
                          {" \t+12abc", 12, 12},
                          {"-1", -1, 0xFFFF},
                          {"99999999999999999999999", INT32_MAX, 0xFFFF},
                          {"-99999999999", INT32_MIN, 0},
                          {"0x100000000", 0, 0xFFFF}};
    for (const Case &c : cases) {
        EXPECT_EQ(ParseDecimal(c.text), c.decimal) << '"' << c.text << '"';
        EXPECT_EQ(ParseAddress(c.text), c.address) << '"' << c.text << '"';
    }
}

TEST(LoadTagConfig, ReadsTheFileBesideTheExecutableUpToItsBlockLimit) {
    char exe[kTagConfigPathSize];
    ASSERT_GT(GetModuleFileNameA(nullptr, exe, sizeof exe), 0u);
    EXPECT_EQ(LoadFile(std::string(exe) + ".tag.cfg", kExample, [](const wchar_t *) { LoadTagConfig(); }), "");
    EXPECT_EQ(Describe(driverConfig), kExampleBlocks);
    // A folder is no error and changes nothing (a missing file: test_driver_init).
    EXPECT_EQ(Outcome([] { LoadTagConfigFrom(L"."); }), "");
    EXPECT_EQ(Describe(driverConfig), kExampleBlocks);

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
}

}  // namespace
