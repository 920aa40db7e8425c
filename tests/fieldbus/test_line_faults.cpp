// The field bus on a line that misbehaves as a plant's does, with the
// simulated instrument (brisvale-sim) behind COM2: answers paced at a low baud
// rate, and the instrument's pseudo-terminal vanishing and coming back (an
// unplugged adapter) while the link polls. Linux only: the instrument serves
// a pseudo-terminal that the test itself puts behind the port.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ModbusLink.h"
#include "fieldbus_test.h"
#include "platform/module.h"

extern char **environ;

namespace {

using namespace std::chrono_literals;

// One brisvale-sim process serving a new pty behind the given link.
class Instrument {
public:
    Instrument(const std::string &link, std::vector<std::string> options) {
        std::vector<std::string> words{BRISVALE_SIM, "--link", link};
        words.insert(words.end(), options.begin(), options.end());
        std::vector<char *> argv;
        for (std::string &word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid, BRISVALE_SIM, nullptr, nullptr, argv.data(), environ) != 0) pid = -1;
        // Serving once the link reaches a device.
        struct stat target;
        for (int i = 0; i < 600 && pid > 0 && stat(link.c_str(), &target) != 0; ++i) std::this_thread::sleep_for(50ms);
    }
    Instrument(const Instrument &) = delete;
    Instrument &operator=(const Instrument &) = delete;
    // Its pseudo-terminal closes, which hangs up the port's side, and the
    // link goes.
    ~Instrument() { Stop(); }

    bool Running() const { return pid > 0; }
    void Stop() {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
    }

private:
    pid_t pid = -1;
};

// COM2 of this executable is the link "<exe>.com2" to dir/line, where each
// instrument puts its pty.
class FaultyLine : public ::testing::Test {
protected:
    void SetUp() override {
        char exe[4096];
        const DWORD length = GetModuleFileNameA(nullptr, exe, sizeof exe);
        ASSERT_TRUE(length > 0 && length < sizeof exe);
        char dirTemplate[] = "/tmp/brisvale-line-XXXXXX";
        ASSERT_NE(mkdtemp(dirTemplate), nullptr);
        dir = dirTemplate;
        line = dir + "/line";
        portLink = std::string(exe) + ".com2";
        unlink(portLink.c_str());
        ASSERT_EQ(symlink(line.c_str(), portLink.c_str()), 0);
        std::fill(std::begin(regs), std::end(regs), 0);
    }
    void TearDown() override {
        unlink(portLink.c_str());
        rmdir(dir.c_str());
    }

    std::string dir;
    std::string line;
    std::string portLink;
    std::uint16_t regs[256];
};

// Answers far longer than the 500 ms that do at 9600 baud: 40 registers take
// 704 ms at 2400 baud, 46 take 1.6 s at 1200. The time-out, sized for the
// largest block, leaves each a wide margin, so a loaded machine cannot make
// the instrument miss it (the sizing itself is checked with the time-outs).
TEST_F(FaultyLine, LongAnswersAreReadAtLowBaudRates) {
    const struct {
        const char *baud;
        const char *mode;
        std::uint16_t count;
    } rows[] = {{"2400", "COM2:baud=2400 parity=N data=8 stop=1", 40},
                {"1200", "COM2:baud=1200 parity=E data=7 stop=1", 46}};
    for (const auto &row : rows) {
        Instrument instrument(line, {"--baud", row.baud, "--device", "5"});
        ASSERT_TRUE(instrument.Running());
        ComPort port;
        ModbusAscii codec;
        ModbusClient client(port, codec);
        port.SetModeString(row.mode);
        EXPECT_TRUE(client.ReadHoldingRegisters(5, 0, row.count, regs)) << row.baud << " baud";
        // The odd registers count seconds up from device * 1000 + address.
        const int last = row.count - 1;
        EXPECT_GE(regs[last], 5000 + last) << row.baud << " baud";
        EXPECT_LT(regs[last], 5000 + last + 600) << row.baud << " baud";
    }
}

// The console shows what an operator sees; the process's first failure
// prints the banner, every later one "-".
TEST_F(FaultyLine, PollingResumesByItselfAfterTheInstrumentWasUnplugged) {
    ModbusLink link;
    link.Port().SetModeString("COM2:baud=9600 parity=N data=8 stop=1");
    auto instrument = std::make_unique<Instrument>(line, std::vector<std::string>{"--device", "3"});
    ASSERT_TRUE(instrument->Running());

    testing::internal::CaptureStdout();
    const bool before = link.ReadRegisters(3, 0, 2, regs);
    instrument.reset();  // unplugged
    const bool lost = link.ReadRegisters(3, 0, 2, regs);
    const bool portClosed = !link.Port().IsOpen();
    const bool away = link.ReadRegisters(3, 0, 2, regs);
    instrument = std::make_unique<Instrument>(line, std::vector<std::string>{"--device", "3"});
    const bool back = link.ReadRegisters(3, 0, 2, regs);
    const std::string out = testing::internal::GetCapturedStdout();

    EXPECT_TRUE(before);
    EXPECT_FALSE(lost);
    EXPECT_TRUE(portClosed);
    EXPECT_FALSE(away);
    EXPECT_TRUE(back);
    EXPECT_NEAR(regs[0], 3000, 100);  // device 3, register 0
    // The hung-up line fails the purge with EIO; the port is closed, and the
    // open fails with ENOENT while the link leads nowhere.
    EXPECT_EQ(out,
              "+PurgeInput failed with error 5.\n\n"
              "\nmodbus error. The subsequent modbus errors will be indicated with the minus sign (-)\n"
              "CreateFile failed with error 2.\n\n-"
              "+");
}

}  // namespace
