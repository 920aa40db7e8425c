// brisvale-client's commands against a toolkit server in this process, with
// the activation replaced: exactly what the user sees on both streams, and
// what the commands leave behind on the server.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>

#include "../lightopc/opc_client.h"
#include "ExitCodes.h"
#include "RunClient.h"

namespace {

using opc_test::OpcTest;

// 2026-12-07T02:35:01.123Z, and a second later.
constexpr unsigned long long kTime = 134410845011234560ULL;
constexpr unsigned long long kSecond = 10000000ULL;

class ClientCommands : public OpcTest {
protected:
    void Set(loTagId id, SHORT value, DWORD quality, unsigned long long ticks = kTime) {
        loTagValue record{};
        VariantInit(&record.tvValue);
        V_VT(&record.tvValue) = VT_I2;
        V_I2(&record.tvValue) = value;
        record.tvTimestamp = FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFF), static_cast<DWORD>(ticks >> 32)};
        record.tvQuality = quality;
        record.tvTi = id;
        ASSERT_NE(loCacheUpdate(service, 1, &record, 0), 0);
    }

    // Runs the command line against the server in this process.
    int Run(std::vector<const char *> args, std::function<bool(unsigned)> stop = nullptr) {
        args.insert(args.begin(), "brisvale-client");
        ClientOptions options;
        std::string error;
        EXPECT_TRUE(ParseClientOptions(static_cast<int>(args.size()), args.data(), options, error)) << error;
        const Activator ours = [this](const std::string &) {
            Activation a;
            a.server.reset(Connect().release());
            return a;
        };
        out.str("");
        err.str("");
        ClientIo io(
            out, err, stop ? stop : [](unsigned) { return true; });
        return RunClient(options, ours, io);
    }

    std::ostringstream out;
    std::ostringstream err;
};

TEST_F(ClientCommands, ListShowsEveryTagWithItsType) {
    EXPECT_EQ(Run({"list"}), kExitOk);
    EXPECT_EQ(out.str(),
              "Pump1       VT_I2\n"
              "Pump2       VT_I2\n"
              "Valve       VT_I2\n"
              "Tank.Level  VT_I2\n");
}

TEST_F(ClientCommands, ReadShowsValueTimeAndQualityOfNamedOrAllTagsAndNamesUnknownOnes) {
    Set(1, -32768, OPC_QUALITY_GOOD);
    Set(3, 7, OPC_QUALITY_COMM_FAILURE, kTime + kSecond);
    EXPECT_EQ(Run({"read", "Valve", "Pump1"}), kExitOk);
    EXPECT_EQ(out.str(),
              "Valve       7  2026-12-07T02:35:02.123Z  bad: comm failure (0x18)\n"
              "Pump1  -32768  2026-12-07T02:35:01.123Z  good (0xC0)\n");
    EXPECT_EQ(err.str(), "");

    EXPECT_EQ(Run({"read", "--json"}), kExitOk);
    const std::string all = out.str();
    EXPECT_EQ(all.substr(0, all.find("},") + 2),
              "{\"items\":[{\"name\":\"Pump1\",\"value\":-32768,\"type\":\"VT_I2\",\"timestamp\":"
              "\"2026-12-07T02:35:01.123Z\",\"quality\":192,\"quality_text\":\"good (0xC0)\"},");

    // Unknown tags are named and nothing is read.
    EXPECT_EQ(Run({"read", "Pump1", "Nope", "", "Valve"}), kExitUnknownTag);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(err.str(), "brisvale-client: unknown tag <Nope>\nbrisvale-client: unknown tag <>\n");
}

TEST_F(ClientCommands, WatchPrintsChangesAsTheyArriveUntilStopped) {
    Set(2, 5, OPC_QUALITY_GOOD);
    int rounds = 0;
    // Each wait for Ctrl-C is a step of the plant: the first value, then the
    // instrument falling silent, then Ctrl-C.
    auto plant = [&](unsigned) {
        switch (rounds++) {
            case 0:
                EXPECT_TRUE(opc_test::WaitFor([&] { return out.str().find("Pump2") != std::string::npos; }));
                Set(2, 6, OPC_QUALITY_COMM_FAILURE, kTime + kSecond);
                return false;
            case 1:
                EXPECT_TRUE(opc_test::WaitFor([&] { return out.str().find("0x18") != std::string::npos; }));
                return false;
            default:
                return true;
        }
    };
    EXPECT_EQ(Run({"watch", "--rate", "50", "Pump2"}, plant), kExitOk);
    const std::string lines = out.str();
    EXPECT_NE(lines.find("Pump2       5  2026-12-07T02:35:01.123Z  good (0xC0)\n"), std::string::npos) << lines;
    const std::string last = "Pump2       6  2026-12-07T02:35:02.123Z  bad: comm failure (0x18)\n";
    EXPECT_EQ(lines.substr(lines.size() - std::min(lines.size(), last.size())), last);
    EXPECT_EQ(err.str(), "");
}

TEST_F(ClientCommands, StatusShowsTheServersOwnReport) {
    EXPECT_EQ(Run({"status"}), kExitOk);
    const std::string text = out.str();
    EXPECT_EQ(text.substr(0, 22), "state         running\n");
    EXPECT_NE(text.find("\nvendor        Brisvale OPC Server\n"), std::string::npos) << text;
}

}  // namespace
