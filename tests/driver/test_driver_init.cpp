// Driver initialisation and tag publication, as the log and the clients see them.
#include "driver_fixture.h"

namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

constexpr const char *kPort = "COM1:baud=9600 parity=N data=8 stop=1";
constexpr const char *kOneTag = "<TagConfig><QueryBlock deviceAddr='1'><SingleReg name='T'/></QueryBlock></TagConfig>";

using DriverInit = Driver;

TEST_F(DriverInit, PortFileKeepsBlanksAndDropsOtherWhiteSpace) {
    const std::pair<const char *, const char *> files[] = {
        {"COM2:baud=9600\tparity=N\r\n data=8 stop=1\v\f\r\n", "COM2:baud=9600parity=N data=8 stop=1"},
        {"\n\n  COM3 \n", "  COM3 "},
    };
    for (const auto &[text, mode] : files) {
        std::ofstream(BesideExecutable(".port.cfg"), std::ios::binary) << text;
        modbusLink.ReadPortConfig();
        EXPECT_STREQ(modbusLink.Port().ModeString(), mode);
    }
    // No file: the port keeps what it had.
    std::remove(BesideExecutable(".port.cfg").c_str());
    modbusLink.ReadPortConfig();
    EXPECT_STREQ(modbusLink.Port().ModeString(), "  COM3 ");
}

// Each failure: its one ERROR line, result -1, and what it leaves behind.
TEST_F(DriverInit, FailuresAreLoggedOnceAndLeaveWhatTheCompletedStepsMade) {
    const std::string longText(300, 'x');
    const std::string withNul("COM1:baud=9600\0 data=8", 22);
    struct Case {
        const char *what;
        const char *port;
        const char *tags;
        std::string line;
        bool updater;
    };
    const Case cases[] = {
        {"blanks only", " \r\n\t ", kOneTag,
         "com number not specified. Use syntax: COM1:baud=9600 stop=1 parity=N data=8", false},
        {"missing port", "COM9:baud=9600", kOneTag, "CreateFile failed with error 2.", false},
        {"bad mode", "COM1:baud=fast", kOneTag, "bad mode string", false},
        {"long port file", longText.c_str(), kOneTag, "bad mode string", false},
        {"tag file error", kPort, "<TagConfig><QueryBlock/></TagConfig>", "empty QueryBlock", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Mark();
        EXPECT_EQ(Init(c.tags, c.port), -1);
        const auto log = Log();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0], LogLine("ERROR", c.line));
        EXPECT_EQ(tag_updater != nullptr, c.updater);
        TearDown();
        SetUp();
    }
    // The NUL byte would silently cut the mode short.
    std::ofstream(BesideExecutable(".port.cfg"), std::ios::binary) << withNul;
    Mark();
    EXPECT_EQ(driver_init(0), -1);
    EXPECT_THAT(Log(), ElementsAre(Pair("ERROR", "bad mode string")));
}

TEST_F(DriverInit, ToolkitRefusingATagKeepsTheTagsAddedBefore) {
    EXPECT_EQ(
        Init("<TagConfig><QueryBlock deviceAddr='1'><SingleReg name='T1'/><SingleReg name='T2' addr='1'/></QueryBlock>"
             "<QueryBlock deviceAddr='2'><SingleReg name='T1'/></QueryBlock></TagConfig>"),
        -1);
    EXPECT_THAT(Log(), ElementsAre(Pair("ERROR", "loAddRealTag")));
    EXPECT_THAT(Tags(), ElementsAre("T1:2:1", "T2:2:1"));
    EXPECT_EQ(tag_updater->tagIds.size(), 2u);
    EXPECT_EQ(tag_updater->lastPoll.size(), 2u);
}

TEST_F(DriverInit, WithoutFilesKeepsThePortAndPublishesNoTagsAndASecondCallChangesNothing) {
    ASSERT_EQ(Init(kOneTag, "COM1:baud=4800"), 0);
    loDelete();
    driverConfig = TagConfig();  // as at start-up: a missing tag file leaves it as it is
    EXPECT_EQ(Init(nullptr, nullptr), 0);
    EXPECT_STREQ(modbusLink.Port().ModeString(), "COM1:baud=4800");
    EXPECT_EQ(modbusLink.Port().PortIndex(), 0);
    EXPECT_TRUE(Tags().empty());
    Pass(0);  // nothing to poll

    TagUpdater *const updater = tag_updater;
    loService *const service = service_handle;
    Mark();
    EXPECT_EQ(Init(kOneTag), 0);
    EXPECT_THAT(Log(), ElementsAre(Pair("ERROR", "Driver already initialized!")));
    EXPECT_EQ(tag_updater, updater);
    EXPECT_EQ(service_handle, service);
    EXPECT_TRUE(Tags().empty());
}

TEST_F(DriverInit, WarnsOfEveryEntryNotReadFromItsConfiguredRegister) {
    ASSERT_EQ(Init("<TagConfig><QueryBlock deviceAddr='1'>"
                   "<SingleReg name='Temperature' addr='0x0100'/><SingleReg name='Setpoint' addr='257'/>"
                   "<BlockOfRegs namePrefix='Channel' startIndex='1' count='4' addrStart='0x0200'/>"
                   "<SingleReg name='Alarm' addr='262'/></QueryBlock>"
                   "<QueryBlock deviceAddr='2'><SingleReg name='Wrap' addr='0xFFFF'/>"
                   "<SingleReg name='Zero' addr='0'/></QueryBlock></TagConfig>"),
              0);
    // Register numbers do not wrap: the request would run past the last one.
    EXPECT_THAT(Log(), ElementsAre(Pair("WARNING",
                                        "entry <Channel1> is configured at register 512 but is read from "
                                        "register 258"),
                                   Pair("WARNING",
                                        "entry <Zero> is configured at register 0 but is read from "
                                        "register 65536")));
}

}  // namespace
