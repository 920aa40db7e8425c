// Driver initialisation and tag publication, as the log and the clients see them.
#include "driver_fixture.h"

namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

constexpr const char *kPort = "COM1:baud=9600 parity=N data=8 stop=1";
constexpr const char *kOneTag = "<TagConfig><QueryBlock deviceAddr='1'><SingleReg name='T'/></QueryBlock></TagConfig>";

using DriverInit = Driver;

// Each failure: its one ERROR line, result -1, and what it leaves behind.
TEST_F(DriverInit, FailuresAreLoggedOnceAndLeaveWhatTheCompletedStepsMade) {
    const std::string longText(300, 'x');
    const std::string withNul("COM1:baud=9600\0 data=8", 22);
    struct Case {
        const char *port;
        const char *tags;
        std::string line;
        bool updater;
    };
    const Case cases[] = {
        {"COM9:baud=9600", kOneTag, "CreateFile failed with error 2.", false},
        {longText.c_str(), kOneTag, "bad mode string", false},
        {kPort, "<TagConfig><QueryBlock/></TagConfig>", "empty QueryBlock", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        Mark();
        EXPECT_EQ(Init(c.tags, c.port), -1);
        EXPECT_THAT(Log(), ElementsAre(Pair("ERROR", c.line)));
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

// A tag the toolkit refuses (here a name used twice) fails the start-up.
TEST_F(DriverInit, ToolkitRefusingATagFailsTheStartUp) {
    EXPECT_EQ(Init("<TagConfig><QueryBlock deviceAddr='1'><SingleReg name='T1'/></QueryBlock>"
                   "<QueryBlock deviceAddr='2'><SingleReg name='T1'/></QueryBlock></TagConfig>"),
              -1);
    EXPECT_THAT(Log(), ElementsAre(Pair("ERROR", "loAddRealTag")));
}

TEST_F(DriverInit, WithoutFilesKeepsThePortAndPublishesNoTagsAndASecondCallChangesNothing) {
    ASSERT_EQ(Init(kOneTag, "COM1:baud=4800"), 0);
    loDelete();
    driverConfig = TagConfig();  // as at start-up: a missing tag file leaves it as it is
    EXPECT_EQ(Init(nullptr, nullptr), 0);
    EXPECT_STREQ(modbusLink.Port().ModeString(), "COM1:baud=4800");
    EXPECT_TRUE(Tags().empty());
    Pass(0);  // nothing to poll

    TagUpdater *const updater = tag_updater;
    Mark();
    EXPECT_EQ(Init(kOneTag), 0);
    EXPECT_THAT(Log(), ElementsAre(Pair("ERROR", "Driver already initialized!")));
    EXPECT_EQ(tag_updater, updater);
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
