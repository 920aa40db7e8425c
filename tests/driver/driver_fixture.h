// The driver in the test's own process: its two files beside the test
// executable, COM1 mapped to the reference instrument (devices 1 and 2 answer,
// every other address is silent), a clock the test sets, and the toolkit's
// cache read as a client would read it.
#pragma once

#include <gmock/gmock.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "../common/server_log.h"
#include "ModbusLink.h"
#include "cache_client.h"
#include "driver.h"
#include "driver_config.h"
#include "lo_delete.h"
#include "log_handle.h"
#include "platform/com.h"
#include "platform/module.h"
#include "poll_clock.h"
#include "server_identity.h"

// The reference instrument's register values.
inline int RegisterValue(int device, int address) {
    return static_cast<std::int16_t>((device * 0x1111 + address * 0x0101 + 7) & 0xFFFF);
}

// A FILETIME some seconds after an arbitrary moment of 2024, to the millisecond.
constexpr std::int64_t kEpoch = 0x01DA000000000000LL;
inline FILETIME At(double seconds) {
    const auto ticks = static_cast<std::uint64_t>(kEpoch + std::llround(seconds * 1000) * 10000);
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

inline FILETIME testClock{};
inline void TestClock(FILETIME *now) {
    *now = testClock;
}

class Driver : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        std::ofstream(BesideExecutable(".log.cfg")) << "level=5\n";
        log_handle = unilog_Create(kProgId, "|Brisvale OPC", "%!T", -1, 3);
        poll_clock = TestClock;
        Mark();
    }

    void TearDown() override {
        loDelete();
        // A failed initialisation leaves the updater behind without a service.
        delete tag_updater;
        tag_updater = nullptr;
        modbusLink.Port().Close();
        driverConfig = TagConfig();
        for (const char *suffix : {".port.cfg", ".tag.cfg"}) std::remove(BesideExecutable(suffix).c_str());
        unilog_Delete(log_handle);
        log_handle = nullptr;
        CoUninitialize();
    }

    // Writes the files (null: no file) and initialises the driver.
    int Init(const char *tags, const char *port = "COM1:baud=9600 parity=N data=8 stop=1") {
        for (const auto &[suffix, text] : {std::pair{".port.cfg", port}, std::pair{".tag.cfg", tags}}) {
            std::remove(BesideExecutable(suffix).c_str());
            if (text != nullptr) std::ofstream(BesideExecutable(suffix), std::ios::binary) << text;
        }
        // The port may only take a new mode while closed.
        modbusLink.Port().Close();
        return driver_init(0);
    }

    void Pass(double seconds) {
        testClock = At(seconds);
        tag_updater->PollBlocks();
    }

    // A tag as a client reads it from the cache: "<value> q<quality>
    // t<seconds>", the value "-" when the tag never held one, "?" for a tag
    // not found.
    std::string Read(const char *name) const {
        VARIANT value;
        VariantInit(&value);
        FILETIME time{};
        WORD quality = 0;
        if (!CacheClient(service_handle).Read(name, &value, &quality, &time)) return "?";
        const auto ticks = static_cast<std::int64_t>((std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime);
        char line[96];
        std::snprintf(
            line, sizeof line, "%s q%X t%g", V_VT(&value) == VT_I2 ? std::to_string(V_I2(&value)).c_str() : "-",
            static_cast<unsigned>(quality), ticks == 0 ? -1.0 : static_cast<double>((ticks - kEpoch) / 10000) / 1000);
        VariantClear(&value);
        return line;
    }

    // The tags in the order clients see them: "name:type:access".
    std::vector<std::string> Tags() const { return CacheClient(service_handle).Tags(); }

    // Later reads see only the lines written after this.
    void Mark() { log_.Mark(); }
    std::vector<LogLine> Log() const { return log_.Lines(); }

private:
    ServerLog log_;
};
