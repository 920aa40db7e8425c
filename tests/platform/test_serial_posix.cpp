// The Linux serial layer on a pseudo-terminal, no Modbus peer: the driver's
// time-out form, signals during a wait, and a line that hangs up under an open port.
#include <gtest/gtest.h>
#include <pthread.h>
#include <pty.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

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
        if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
        if (master >= 0) close(master);
    }

    void SetTimeouts(DWORD interval, DWORD multiplier, DWORD constant) {
        COMMTIMEOUTS t{interval, multiplier, constant, 0, 500};
        ASSERT_TRUE(SetCommTimeouts(port, &t));
    }

    std::string Read(DWORD count, BOOL *ok) {
        char buffer[64] = {};
        DWORD got = 99;
        *ok = ReadFile(port, buffer, count, &got, nullptr);
        return std::string(buffer, got);
    }

    int master = -1;
    HANDLE port = INVALID_HANDLE_VALUE;
};

// The form the driver uses: a total time-out only, which is no failure.
TEST_F(PtyLine, ATotalTimeOutEndsAReadWithoutFailing) {
    SetTimeouts(0, 0, 200);
    BOOL ok = FALSE;
    EXPECT_EQ(Read(4, &ok), "");
    EXPECT_TRUE(ok);
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
    EXPECT_TRUE(IsSerialDeviceLost(GetLastError())) << GetLastError();
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(port, "ab", 2, &written, nullptr));
    EXPECT_TRUE(IsSerialDeviceLost(GetLastError())) << GetLastError();
    EXPECT_TRUE(CloseHandle(port));
    port = INVALID_HANDLE_VALUE;
}

}  // namespace
