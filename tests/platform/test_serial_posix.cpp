// The Linux serial layer on a pseudo-terminal, no Modbus peer: what each
// COMMTIMEOUTS form makes of a read, signals during a wait, and a line that
// hangs up under an open port.
#include <gtest/gtest.h>
#include <pthread.h>
#include <pty.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/serial.h"

namespace {

using namespace std::chrono_literals;

// The far end of the line: the master side of a pty whose slave the layer opens.
class PtyLine : public ::testing::Test {
protected:
    void SetUp() override {
        int slave = -1;
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        char name[256];
        ASSERT_EQ(ttyname_r(slave, name, sizeof name), 0);
        close(slave);
        const std::string path = name;
        port = CreateFileW(std::wstring(path.begin(), path.end()).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
        DCB dcb{};
        ASSERT_TRUE(GetCommState(port, &dcb));
        ASSERT_TRUE(BuildCommDCBA("baud=9600 parity=N data=8 stop=1", &dcb));
        ASSERT_TRUE(SetCommState(port, &dcb));  // raw, no echo
    }

    void TearDown() override {
        if (sender.joinable()) sender.join();
        if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
        if (master >= 0) close(master);
    }

    void SetTimeouts(DWORD interval, DWORD multiplier, DWORD constant) {
        COMMTIMEOUTS t{interval, multiplier, constant, 0, 500};
        ASSERT_TRUE(SetCommTimeouts(port, &t));
    }

    // Sends each text after its pause, from another thread.
    void SendLater(std::vector<std::pair<std::chrono::milliseconds, std::string>> steps) {
        sender = std::thread([this, steps] {
            for (const auto &step : steps) {
                std::this_thread::sleep_for(step.first);
                ASSERT_EQ(write(master, step.second.data(), step.second.size()),
                          static_cast<ssize_t>(step.second.size()));
            }
        });
    }

    std::string Read(DWORD count, BOOL *ok = nullptr) {
        char buffer[64] = {};
        DWORD got = 99;
        const BOOL result = ReadFile(port, buffer, count, &got, nullptr);
        if (ok != nullptr) *ok = result;
        return std::string(buffer, got);
    }

    int master = -1;
    HANDLE port = INVALID_HANDLE_VALUE;
    std::thread sender;
};

TEST_F(PtyLine, TheIntervalLimitRestartsWithEveryByte) {
    // Bytes 300 ms apart under a 1 s interval: all arrive, then a gap of
    // 2.5 s ends the read before "g". The total only bounds a broken interval.
    SetTimeouts(1000, 0, 30000);
    SendLater({{0ms, "a"}, {300ms, "b"}, {300ms, "c"}, {300ms, "d"}, {300ms, "e"}, {300ms, "f"}, {2500ms, "g"}});
    EXPECT_EQ(Read(10), "abcdef");
}

TEST_F(PtyLine, IntervalMaxdwordTakesWhatIsThereOrWithMultiplierMaxdwordAnyByte) {
    SetTimeouts(MAXDWORD, 0, 0);
    BOOL ok = FALSE;
    EXPECT_EQ(Read(4, &ok), "");
    EXPECT_TRUE(ok);
    ASSERT_EQ(write(master, "xyz", 3), 3);
    std::string got;
    for (int i = 0; i < 500 && got.size() < 3; ++i) {
        got += Read(4);
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(got, "xyz");

    // Only with the multiplier MAXDWORD too is any byte enough: the Windows
    // form, back with the first byte, long before the constant.
    SetTimeouts(MAXDWORD, MAXDWORD, 20000);
    SendLater({{100ms, "p"}});
    EXPECT_EQ(Read(2), "p");
    sender.join();

    // Interval MAXDWORD under an ordinary total is no interval at all: the
    // read waits for the count.
    SetTimeouts(MAXDWORD, 0, 20000);
    SendLater({{0ms, "q"}, {300ms, "r"}});
    EXPECT_EQ(Read(2), "qr");
}

TEST_F(PtyLine, ATotalTooLargeToReachIsNoLimit) {
    // Per byte MAXDWORD - 1 ms times 3000 bytes: past any clock (and past
    // what a signed count of nanoseconds holds), so the read waits for its count.
    const std::string block(3000, 'k');
    SetTimeouts(0, MAXDWORD - 1, MAXDWORD);
    SendLater({{300ms, block}});
    std::string got(block.size(), '\0');
    DWORD received = 0;
    EXPECT_TRUE(ReadFile(port, got.data(), static_cast<DWORD>(got.size()), &received, nullptr));
    EXPECT_EQ(received, block.size());
    EXPECT_EQ(got, block);

    COMMTIMEOUTS t{0, 0, 0, MAXDWORD - 1, MAXDWORD};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(port, block.data(), static_cast<DWORD>(block.size()), &written, nullptr));
    EXPECT_EQ(written, block.size());
}

void Ignore(int) {}

TEST_F(PtyLine, SignalsDuringAWaitNeitherEndNorFailTheRead) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = Ignore;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);  // no SA_RESTART

    SetTimeouts(0, 0, 20000);
    const pthread_t reader = pthread_self();
    std::atomic<bool> reading{true};
    std::thread interrupter([&] {
        for (int i = 0; i < 15 && reading; ++i) {
            pthread_kill(reader, SIGUSR1);
            std::this_thread::sleep_for(20ms);
        }
        ASSERT_EQ(write(master, "wxyz", 4), 4);
    });
    BOOL ok = FALSE;
    EXPECT_EQ(Read(4, &ok), "wxyz");
    EXPECT_TRUE(ok);
    reading = false;
    interrupter.join();
    sigaction(SIGUSR1, &previous, nullptr);
}

TEST_F(PtyLine, AHangUpFailsEveryCallWithAnErrorThatSaysTheDeviceIsLost) {
    SetTimeouts(0, 0, 20000);
    std::thread hangUp([this] {
        std::this_thread::sleep_for(200ms);
        close(master);
        master = -1;
    });
    BOOL ok = TRUE;
    EXPECT_EQ(Read(4, &ok), "");
    hangUp.join();
    EXPECT_FALSE(ok);
    const DWORD readError = GetLastError();
    EXPECT_EQ(readError, static_cast<DWORD>(EIO));
    EXPECT_TRUE(IsSerialDeviceLost(readError));

    EXPECT_FALSE(PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR));
    EXPECT_TRUE(IsSerialDeviceLost(GetLastError())) << GetLastError();
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(port, "ab", 2, &written, nullptr));
    EXPECT_TRUE(IsSerialDeviceLost(GetLastError())) << GetLastError();
    EXPECT_TRUE(CloseHandle(port));
    port = INVALID_HANDLE_VALUE;

    // What is no fault of the device is not taken for its loss.
    for (const int error : {EAGAIN, EINVAL, EBUSY, EBADF, ENOENT}) EXPECT_FALSE(IsSerialDeviceLost(error)) << error;
}

}  // namespace
