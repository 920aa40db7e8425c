// Polling passes against the reference instrument: what reaches the clients,
// and when each block is read.
#include <algorithm>

#include "driver_fixture.h"
#include "pass_interrupt.h"

namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

// A register's tag as Read shows it after a good read, or with bad quality.
std::string Good(int device, int address, double seconds, const char *quality = "C0") {
    char text[64];
    std::snprintf(text, sizeof text, "%d q%s t%g", RegisterValue(device, address), quality, seconds);
    return text;
}

const loDriver kNoDriver{};

using Polling = Driver;

// Published in file order, readable, as 16-bit integers; each register
// reaches its tag by position, stamped with the pass's start. A failed read
// sends each tag with its own last value and bad quality.
TEST_F(Polling, RegistersReachTheirTagsByPositionAndAFailedReadKeepsEachTagsOwnValue) {
    ASSERT_EQ(Init("<TagConfig><QueryBlock deviceAddr='1'><SingleReg name='X' addr='10'/>"
                   "<BlockOfRegs namePrefix='Y' count='2' addrStart='11'/><SingleReg name='Z' addr='13'/></QueryBlock>"
                   "<QueryBlock deviceAddr='2'><BlockOfRegs namePrefix='W' startIndex='7' count='2' addrStart='100'/>"
                   "</QueryBlock><QueryBlock deviceAddr='9'><SingleReg name='S'/></QueryBlock></TagConfig>"),
              0);
    EXPECT_THAT(Tags(), ElementsAre("X:2:1", "Y0:2:1", "Y1:2:1", "Z:2:1", "W7:2:1", "W8:2:1", "S:2:1"));
    EXPECT_EQ(Read("W8"), "0 q8 t-1");  // the toolkit's initial quality until the first pass
    Pass(5);
    const std::vector<std::string> read = {Read("X"), Read("Y0"), Read("Y1"), Read("Z"), Read("W7"), Read("W8")};
    EXPECT_THAT(read, ElementsAre(Good(1, 10, 5), Good(1, 11, 5), Good(1, 12, 5), Good(1, 13, 5), Good(2, 100, 5),
                                  Good(2, 101, 5)));
    // Never read: the initial value kept, bad quality, this pass's time.
    EXPECT_EQ(Read("S"), "0 q18 t5");
    // Device 2 falls silent: its tags keep their own values, not X's.
    tag_updater->config.blocks[1].deviceAddr = 9;
    Pass(6);
    EXPECT_EQ(Read("Z"), Good(1, 13, 6));
    EXPECT_EQ(Read("W7") + " " + Read("W8"), Good(2, 100, 6, "18") + " " + Good(2, 101, 6, "18"));
}

TEST_F(Polling, EachBlockIsReadWhenItsPeriodHasPassedSinceItsLastGoodRead) {
    ASSERT_EQ(Init("<TagConfig>"
                   "<QueryBlock deviceAddr='1' millisecondPeriod='1000'><SingleReg name='Second'/></QueryBlock>"
                   "<QueryBlock deviceAddr='1'><SingleReg name='Always'/></QueryBlock>"
                   "<QueryBlock deviceAddr='1' millisecondPeriod='300000'><SingleReg name='Long'/></QueryBlock>"
                   "<QueryBlock deviceAddr='9' millisecondPeriod='1000'><SingleReg name='Silent'/></QueryBlock>"
                   "</TagConfig>"),
              0);
    // The time of each tag's last update after a pass at each time; the
    // clock is set back an hour after 1 s, then runs on. Five minutes in
    // 100 ns units leave the 32-bit range.
    // Each row: the pass's time, then the times of Second, Always, Long and Silent.
    const char *tags[] = {"Second", "Always", "Long", "Silent"};
    const double rows[][5] = {
        {0, 0, 0, 0, 0},
        {0.999, 0, 0.999, 0, 0.999},
        {1, 1, 1, 0, 1},
        {1 - 3600, 1, 1 - 3600, 0, 1 - 3600},
        {1.999, 1, 1.999, 0, 1.999},
        {2, 2, 2, 0, 2},
        {299.999, 299.999, 299.999, 0, 299.999},
        {300, 299.999, 300, 300, 300},
    };
    for (const auto &row : rows) {
        Pass(row[0]);
        for (std::size_t t = 0; t < std::size(tags); ++t) {
            const std::string read = Read(tags[t]);
            EXPECT_EQ(std::stod(read.substr(read.find(" t") + 2)), row[t + 1])
                << tags[t] << " after the pass at " << row[0];
        }
    }
}

// Blocks no file can give: a run of no registers as a block's first entry
// (its block has no start address), and 80,000 registers, which count as
// 14,464 and are never readable (the block after them starts beyond the
// records; asked of a silent device, so that no late refusal from the
// instrument meets the next read on a slow machine).
TEST_F(Polling, ABlockThatThrowsOrWhoseCountWrapsLeavesTheOthersIntact) {
    ASSERT_EQ(Init(nullptr), 0);
    TagConfig config;
    config.Parse(
        "<TagConfig><QueryBlock deviceAddr='1'><BlockOfRegs namePrefix='E' count='1'/></QueryBlock>"
        "<QueryBlock deviceAddr='9'><BlockOfRegs namePrefix='H' count='40000'/>"
        "<BlockOfRegs namePrefix='J' count='40000'/></QueryBlock>"
        "<QueryBlock deviceAddr='2'><SingleReg name='G' addr='3'/></QueryBlock></TagConfig>");
    config.blocks[0].lstAddress[0].blockOfRegs.count = 0;
    // Published as driver_init would.
    loDelete();
    tag_updater = new TagUpdater(&modbusLink);
    tag_updater->config = config;
    ASSERT_EQ(loServiceCreate(&service_handle, &kNoDriver, 80002), 0);
    tag_updater->service = service_handle;
    tag_updater->PublishTags();
    for (double t : {1, 2}) {
        Mark();
        Pass(t);
        EXPECT_THAT(Log(), ElementsAre(Pair("ERROR", "wrong index")));
        EXPECT_EQ(Read("G"), Good(2, 3, t));
    }
    EXPECT_THAT(Read("H0"), ::testing::EndsWith(" q18 t2"));
    EXPECT_THAT(Read("J39999"), ::testing::EndsWith(" q8 t-1"));  // beyond the records a pass updates
}

TEST_F(Polling, ARefusedCacheUpdateIsShownOnTheConsoleAndTheScheduleStillAdvances) {
    ASSERT_EQ(Init("<TagConfig><QueryBlock deviceAddr='1' millisecondPeriod='1000'><SingleReg name='T'/></QueryBlock>"
                   "</TagConfig>"),
              0);
    loService *const real = tag_updater->service;
    loService *gone = nullptr;
    ASSERT_EQ(loServiceCreate(&gone, &kNoDriver, 0), 0);
    loServiceDestroy(gone);
    tag_updater->service = gone;
    ::testing::internal::CaptureStdout();
    Pass(1);
    Pass(1.5);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "+loCacheUpdate failed");
    tag_updater->service = real;
}

TEST_F(Polling, AStopBetweenBlocksEndsThePassAndTheBlocksLeftStayDue) {
    ASSERT_EQ(Init("<TagConfig><QueryBlock deviceAddr='1'><SingleReg name='First'/></QueryBlock>"
                   "<QueryBlock deviceAddr='2' millisecondPeriod='60000'><SingleReg name='Second'/></QueryBlock>"
                   "</TagConfig>"),
              0);
    static int asked;
    asked = 0;
    pass_interrupted = [] { return ++asked > 1; };
    Pass(1);
    pass_interrupted = [] { return false; };
    EXPECT_EQ(Read("First"), Good(1, 0, 1));
    EXPECT_EQ(Read("Second"), "0 q8 t-1");
    Pass(2);
    EXPECT_EQ(Read("Second"), Good(2, 0, 2));
}

}  // namespace

// Demotion over a timeline of passes. Device 1 and 2 answer; a block "breaks"
// when its register lies beyond the instrument's 256, which it answers with an
// exception, and the port "goes" when COM1 is exchanged for COM9, which names
// no device.
TEST_F(Polling, ADeviceThatKeepsFailingIsLeftOutForItsPeriodAndProbedWhenItIsOver) {
    ASSERT_EQ(Init("<TagConfig demoteAfter='2' demoteForMs='1000'>"
                   "<QueryBlock deviceAddr='1'><SingleReg name='H' addr='10'/></QueryBlock>"
                   "<QueryBlock deviceAddr='1' millisecondPeriod='1000'><SingleReg name='S' addr='11'/></QueryBlock>"
                   "<QueryBlock deviceAddr='2'><SingleReg name='P' addr='12'/></QueryBlock>"
                   "<QueryBlock deviceAddr='2'><SingleReg name='Q' addr='13'/></QueryBlock></TagConfig>"),
              0);
    const char *names[] = {"H", "S", "P", "Q"};
    const auto act = [&](const std::string &action) {
        if (action == "unplug" || action == "plug") {
            modbusLink.Port().Close();
            modbusLink.Port().SetModeString(action == "plug" ? "COM1:baud=9600 parity=N data=8 stop=1"
                                                             : "COM9:baud=9600");
            return;
        }
        // "break HS": those blocks fail from now on; "mend HS": they answer again.
        for (char name : action.substr(action.find(' ') + 1)) {
            const auto block = std::string("HSPQ").find(name);
            tag_updater->config.blocks[block].lstAddress[0].singleReg.addr =
                static_cast<std::uint16_t>(10 + block + (action[0] == 'b' ? 300 : 0));
        }
    };
    struct Row {
        double time;
        std::vector<std::string> actions;
        // Quality and time of the last update of H, S, P and Q, the signs on
        // the console, the log: "N demoted" or "N answers" for device N.
        std::vector<std::string> tags;
        std::string signs, log;
    };
    const Row rows[] = {
        {0, {}, {"C0 0", "C0 0", "C0 0", "C0 0"}, "++++", ""},
        {0.5, {"break PQ"}, {"C0 0.5", "C0 0", "18 0.5", "18 0.5"}, "+--", "2 demoted"},
        // Left out, silently, while the others are read at their periods.
        {1.499, {}, {"C0 1.499", "C0 1.499", "18 0.5", "18 0.5"}, "++", ""},
        // The period is over: the first due block is tried once, and its
        // failure starts another period without a word.
        {1.5, {}, {"C0 1.5", "C0 1.499", "18 1.5", "18 0.5"}, "+-", ""},
        // A probe that meets a failed port gives no verdict, and failures of
        // the port are nobody's: device 1 stays.
        {2.5, {"unplug", "mend PQ"}, {"18 2.5", "18 2.5", "18 2.5", "18 2.5"}, "----", ""},
        {2.6, {"plug"}, {"C0 2.6", "C0 2.6", "C0 2.6", "C0 2.6"}, "++++", "2 answers"},
        {2.7, {"break Q"}, {"C0 2.7", "C0 2.6", "C0 2.7", "18 2.7"}, "++-", ""},
        // A good read of another block of the device starts its count afresh.
        {2.8, {"break H"}, {"18 2.8", "C0 2.6", "C0 2.8", "18 2.8"}, "-+-", ""},
        {2.9, {}, {"18 2.9", "C0 2.6", "C0 2.9", "18 2.9"}, "-+-", "1 demoted"},
        // Both demoted, each for its own period.
        {3.7, {"break P"}, {"18 2.9", "C0 2.6", "18 3.7", "18 2.9"}, "-", "2 demoted"},
        // A device that answers again has all its blocks read at once.
        {3.9, {"mend H"}, {"C0 3.9", "C0 3.9", "18 3.7", "18 2.9"}, "++", "1 answers"},
        {4.7, {"mend PQ"}, {"C0 4.7", "C0 3.9", "C0 4.7", "C0 4.7"}, "+++", "2 answers"},
    };
    const std::string banner =
        "\nmodbus error. The subsequent modbus errors will be indicated with the minus sign (-)\n";
    for (const Row &row : rows) {
        for (const std::string &action : row.actions) act(action);
        Mark();
        ::testing::internal::CaptureStdout();
        Pass(row.time);
        std::string out = ::testing::internal::GetCapturedStdout();
        if (out.find(banner) != std::string::npos) out.replace(out.find(banner), banner.size(), "-");
        out.erase(std::remove_if(out.begin(), out.end(), [](char c) { return c != '+' && c != '-'; }), out.end());
        std::vector<std::string> tags;
        for (const char *name : names) {
            const std::string read = Read(name);
            tags.push_back(read.substr(read.find(" q") + 2));
            tags.back().replace(tags.back().find(" t"), 2, " ");
        }
        EXPECT_EQ(tags, row.tags) << "after the pass at " << row.time;
        EXPECT_EQ(out, row.signs) << "after the pass at " << row.time;
        std::vector<LogLine> log;
        const bool demoted = row.log.find("demoted") != std::string::npos;
        const std::string text = demoted ? " demoted for 1000 ms after 2 failed reads" : " answers again";
        if (!row.log.empty())
            log.emplace_back(demoted ? "WARNING" : "MESSAGE", "device " + row.log.substr(0, 1) + text);
        EXPECT_EQ(Log(), log) << "after the pass at " << row.time;
    }
    // A clock beyond any real date ends a time out too, without overflowing.
    act("break PQ");
    Pass(5);
    testClock = FILETIME{0, 0x80000000u};
    ::testing::internal::CaptureStdout();
    tag_updater->PollBlocks();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "+-") << "H read, device 2 tried once more";
}
