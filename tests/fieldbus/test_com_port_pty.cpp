// The port on a real pseudo-terminal: COM1 is pointed at the terminal through
// the link "<test executable>.com1", and the test plays the instrument on the
// terminal's other end.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "CError.h"
#include "ComPort.h"
#include "platform/module.h"
#include "platform/serial.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const char kMode[] = "COM1:baud=9600 parity=E data=7 stop=1";
constexpr auto kPatience = std::chrono::seconds(10);  // for conditions that come at once when all is well
constexpr auto kTimeoutLow = milliseconds(450);       // the 500 ms time-out, less clock granularity
constexpr auto kTimeoutHigh = std::chrono::seconds(5);

template <typename Call>
std::string Failure(Call call) {
    try {
        call();
    } catch (const CError &e) {
        return e.narrowMessage;
    }
    return "(nothing thrown)";
}

std::string LinkPath(int port) {
    char exe[PATH_MAX + 1];
    const DWORD length = GetModuleFileNameA(nullptr, exe, sizeof exe);
    EXPECT_GT(length, 0u);
    return std::string(exe, length) + ".com" + std::to_string(port);
}

class PtyPort : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        termios raw;
        ASSERT_EQ(tcgetattr(slave, &raw), 0);
        cfmakeraw(&raw);
        ASSERT_EQ(tcsetattr(slave, TCSANOW, &raw), 0);
        ASSERT_EQ(fcntl(master, F_SETFL, O_NONBLOCK), 0);
        MapCom(1, ttyname(slave));
    }

    void TearDown() override {
        for (const std::string &link : links) unlink(link.c_str());
        if (master >= 0) close(master);
        close(slave);
    }

    void MapCom(int port, const std::string &target) {
        const std::string link = LinkPath(port);
        unlink(link.c_str());
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0) << link;
        links.push_back(link);
    }

    // Bytes received on the port's side and not yet read.
    int Pending() const {
        int count = -1;
        EXPECT_EQ(ioctl(slave, FIONREAD, &count), 0);
        return count;
    }

    bool WaitPending(int count) const {
        const Clock::time_point deadline = Clock::now() + kPatience;
        while (Pending() < count) {
            if (Clock::now() > deadline) return false;
            pollfd entry{slave, POLLIN, 0};
            poll(&entry, 1, 10);
        }
        return true;
    }

    void Send(const std::string &bytes) const {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // What the port sent, once count bytes have come.
    std::string Received(std::size_t count) const {
        std::string got;
        const Clock::time_point deadline = Clock::now() + kPatience;
        while (got.size() < count && Clock::now() < deadline) {
            pollfd entry{master, POLLIN, 0};
            poll(&entry, 1, 10);
            char buffer[256];
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }

    termios Settings() const {
        termios t{};
        EXPECT_EQ(tcgetattr(slave, &t), 0);
        return t;
    }

    int master = -1;
    int slave = -1;
    std::vector<std::string> links;
};

TEST_F(PtyPort, OpensExclusivelyAndAppliesTheModeString) {
    ComPort port;
    port.SetModeString(kMode);
    port.Open();
    ASSERT_TRUE(port.IsOpen());
    const termios t = Settings();
    EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);

    ComPort second;
    second.SetModeString(kMode);
    EXPECT_EQ(Failure([&] { second.Open(); }), "CreateFile failed with error 16.\n");
    EXPECT_FALSE(second.IsOpen());

    port.Close();
    second.Open();  // the first one let go
    EXPECT_TRUE(second.IsOpen());
}

TEST_F(PtyPort, ReadFromASilentPeerReturnsNothingAfterTheTimeout) {
    ComPort port;
    port.SetModeString(kMode);
    port.Open();
    char buffer[17];
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0u);
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, kTimeoutLow);
    EXPECT_LT(elapsed, kTimeoutHigh);
    EXPECT_TRUE(port.IsOpen());
}

TEST_F(PtyPort, ReadTakesWhatWasAskedForAndPurgeDropsTheRest) {
    ComPort port;
    port.SetModeString(kMode);
    port.Open();
    Send(":010304000A0102EB\r\n");
    ASSERT_TRUE(WaitPending(19));

    char buffer[32] = {};
    ASSERT_EQ(port.Read(buffer, 17), 17u);
    EXPECT_EQ(std::string(buffer, 17), ":010304000A0102EB");
    EXPECT_EQ(Pending(), 2);

    port.PurgeInput();
    EXPECT_EQ(Pending(), 0);
    EXPECT_EQ(port.Read(buffer, 17), 0u);
}

TEST_F(PtyPort, WriteReachesThePeer) {
    ComPort port;
    port.SetModeString(kMode);
    port.Open();
    const std::string frame = ":010300000002FA\r\n";
    port.Write(frame.data(), static_cast<DWORD>(frame.size()));
    EXPECT_EQ(Received(frame.size()), frame);
}

TEST_F(PtyPort, WriteGivesUpWhenThePeerStopsReading) {
    ComPort port;
    port.SetModeString(kMode);
    port.Open();
    const std::vector<char> flood(1 << 20, 'x');  // far more than the terminal buffers
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(Failure([&] { port.Write(flood.data(), static_cast<DWORD>(flood.size())); }),
              "WriteFile failed. Incomplete write.");
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, kTimeoutLow);
    EXPECT_LT(elapsed, kTimeoutHigh);
    EXPECT_TRUE(port.IsOpen());
}

TEST_F(PtyPort, FailuresOfAnOpenPortLeaveItOpen) {
    ComPort port;
    port.SetModeString(kMode);
    port.Open();
    close(master);  // the instrument's side goes away
    master = -1;
    char buffer[17];
    EXPECT_EQ(Failure([&] { port.Read(buffer, sizeof buffer); }), "ReadFile failed with error 5.\n");
    EXPECT_EQ(Failure([&] { port.Write("x", 1); }), "WriteFile failed with error 5.\n");
    EXPECT_TRUE(port.IsOpen());
}

TEST_F(PtyPort, CloseTwiceClosesOnceAndTheModeIsLockedWhileOpen) {
    ComPort port;
    port.SetModeString(kMode);
    port.Open();

    EXPECT_EQ(Failure([&] { port.SetModeString("COM2:baud=9600"); }), "Port is not closed");
    EXPECT_STREQ(port.ModeString(), "COM2:baud=9600");
    EXPECT_EQ(port.PortIndex(), 0);
    EXPECT_EQ(Failure([&] { port.SetPortNumber(1); }), "Port is not closed");
    EXPECT_EQ(Failure([&] { port.SetPortNumber(9); }), "only COM1 to COM9 are supported");

    port.Close();
    EXPECT_FALSE(port.IsOpen());
    port.Close();
    EXPECT_FALSE(port.IsOpen());
    port.SetModeString(kMode);
    port.Open();
    EXPECT_TRUE(port.IsOpen());
}

TEST_F(PtyPort, AMissingDeviceReportsErrorTwoAndStaysClosed) {
    MapCom(2, "/nonexistent/serial-device");
    ComPort port;
    port.SetModeString("COM2:baud=9600");
    EXPECT_EQ(Failure([&] { port.Open(); }), "CreateFile failed with error 2.\n");
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(PtyPort, AConfigurationFailureLeavesThePortOpenAsItWas) {
    termios before = Settings();
    cfsetospeed(&before, B1200);
    cfsetispeed(&before, B1200);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &before), 0);

    ComPort port;
    port.SetModeString("COM1:baud=fast");
    EXPECT_EQ(Failure([&] { port.Open(); }), "bad mode string");
    EXPECT_TRUE(port.IsOpen());
    termios after = Settings();
    EXPECT_EQ(cfgetospeed(&after), speed_t(B1200));
    port.Close();

    port.SetModeString("COM1:baud=14400");  // a rate the terminal cannot take
    EXPECT_EQ(Failure([&] { port.Open(); }), "SetCommState failed with error 22.\n");
    EXPECT_TRUE(port.IsOpen());
    after = Settings();
    EXPECT_EQ(cfgetospeed(&after), speed_t(B1200));
}

TEST_F(PtyPort, AnEmptyModeKeepsTheCurrentLineSettings) {
    termios before = Settings();
    cfsetospeed(&before, B2400);
    cfsetispeed(&before, B2400);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &before), 0);

    ComPort port;  // COM1 with an empty mode string, as without a port file
    port.Open();
    const termios after = Settings();
    EXPECT_EQ(cfgetospeed(&after), speed_t(B2400));
    EXPECT_EQ(after.c_lflag & ICANON, 0u);
}

// The time-out rules of the platform layer beyond the port's fixed ones.
class PtyTimeouts : public PtyPort {
protected:
    void SetUp() override {
        PtyPort::SetUp();
        handle = CreateFileW(L"\\\\.\\com1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        PtyPort::TearDown();
    }

    // Reads up to count bytes; the time it took goes to elapsed.
    DWORD Read(const COMMTIMEOUTS &timeouts, DWORD count, Clock::duration *elapsed) {
        COMMTIMEOUTS t = timeouts;
        EXPECT_TRUE(SetCommTimeouts(handle, &t));
        char buffer[64];
        DWORD got = 12345;
        const Clock::time_point start = Clock::now();
        EXPECT_TRUE(ReadFile(handle, buffer, count, &got, nullptr));
        *elapsed = Clock::now() - start;
        return got;
    }

    HANDLE handle = INVALID_HANDLE_VALUE;
};

TEST_F(PtyTimeouts, TotalIsMultiplierTimesCountPlusConstant) {
    Clock::duration elapsed{};
    EXPECT_EQ(Read({0, 100, 0, 0, 0}, 3, &elapsed), 0u);
    EXPECT_GE(elapsed, milliseconds(250));
    EXPECT_LT(elapsed, kTimeoutHigh);

    Send("abcd");
    ASSERT_TRUE(WaitPending(4));
    EXPECT_EQ(Read({0, 0, 300, 0, 0}, 4, &elapsed), 4u);
}

TEST_F(PtyTimeouts, IntervalEndsAReadOnceBytesStopComing) {
    Send("abc");
    ASSERT_TRUE(WaitPending(3));
    Clock::duration elapsed{};
    EXPECT_EQ(Read({100, 0, 0, 0, 0}, 10, &elapsed), 3u);
    EXPECT_GE(elapsed, milliseconds(50));
    EXPECT_LT(elapsed, kTimeoutHigh);
}

TEST_F(PtyTimeouts, MaxIntervalReturnsWhatIsThere) {
    Clock::duration elapsed{};
    EXPECT_EQ(Read({MAXDWORD, 0, 0, 0, 0}, 10, &elapsed), 0u);
    EXPECT_LT(elapsed, kTimeoutHigh);

    EXPECT_EQ(Read({MAXDWORD, MAXDWORD, 200, 0, 0}, 10, &elapsed), 0u);
    EXPECT_GE(elapsed, milliseconds(150));
    Send("ab");
    ASSERT_TRUE(WaitPending(2));
    EXPECT_EQ(Read({MAXDWORD, MAXDWORD, 60000, 0, 0}, 10, &elapsed), 2u);
    EXPECT_LT(elapsed, kTimeoutHigh);
}

TEST_F(PtyTimeouts, RefusesWhatIsNotAnOpenPort) {
    char buffer[4];
    DWORD got = 7;
    errno = 0;
    EXPECT_FALSE(ReadFile(INVALID_HANDLE_VALUE, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EBADF));
    EXPECT_EQ(got, 0u);
    OVERLAPPED *overlapped = reinterpret_cast<OVERLAPPED *>(buffer);
    EXPECT_FALSE(ReadFile(handle, buffer, sizeof buffer, &got, overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EINVAL));
    EXPECT_FALSE(PurgeComm(handle, 0x100));

    ASSERT_TRUE(CloseHandle(handle));
    EXPECT_FALSE(CloseHandle(handle));
    EXPECT_FALSE(GetCommState(handle, nullptr));
    handle = INVALID_HANDLE_VALUE;

    // A plain file is no serial device.
    char path[] = "/tmp/brisvale-not-a-tty-XXXXXX";
    const int file = mkstemp(path);
    ASSERT_GE(file, 0);
    close(file);
    MapCom(3, path);
    EXPECT_EQ(CreateFileW(L"COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOTTY));
    unlink(path);
}

}  // namespace
