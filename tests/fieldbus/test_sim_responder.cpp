// The simulated instrument answers as a Modbus slave would.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ModbusAscii.h"
#include "SimResponder.h"

namespace {

using Answers = std::vector<std::string>;

std::string Frame(std::vector<std::uint8_t> message) {
    char frame[300];
    return ModbusAscii::EncodeFrame(message.data(), frame, static_cast<unsigned>(message.size()), sizeof frame);
}

TEST(SimResponder, AnswersItsDevicesAndIgnoresTheRest) {
    SimOptions options;
    options.devices = {1, 2};
    const RegisterBank bank(100);
    SimResponder responder(options, bank);
    const auto send = [&](const std::string &text) {
        Answers answers;
        responder.Receive(text.data(), text.size(), 42.5, answers);
        return answers;
    };

    std::vector<std::uint8_t> values{2, 3, 4};
    for (unsigned address : {98u, 99u}) {
        const std::uint16_t value = RegisterBank::Value(2, address, 42.5);
        values.insert(values.end(), {std::uint8_t(value >> 8), std::uint8_t(value)});
    }
    // A request split in two after noise; the others' requests unanswered.
    const std::string request = Frame({2, 3, 0, 98, 0, 2});
    EXPECT_TRUE(send("noise\r\n" + request.substr(0, 5)).empty());
    EXPECT_EQ(send(request.substr(5)), Answers{Frame(values)});
    EXPECT_TRUE(send(Frame({3, 3, 0, 0, 0, 1})).empty());
}

TEST(SimSilence, OptionsTakeThePeriodAndItsSilenceTogether) {
    SimOptions options;
    std::string error;
    const char *both[] = {"brisvale-sim", "--silent-every", "20", "--silent-for", "5"};
    ASSERT_TRUE(ParseSimOptions(5, both, options, error)) << error;
    EXPECT_EQ(options.silentEvery, 20u);
    EXPECT_EQ(options.silentFor, 5u);
    const struct {
        const char *every, *message;
    } refused[] = {{nullptr, "--silent-every and --silent-for go together"},
                   {"0", "--silent-every needs seconds from 1 to 86400"}};
    for (const auto &row : refused) {
        const char *argv[] = {"brisvale-sim", "--silent-for", "5", "--silent-every", row.every};
        EXPECT_FALSE(ParseSimOptions(row.every ? 5 : 3, argv, options = SimOptions{}, error)) << row.message;
        EXPECT_EQ(error, row.message);
    }
}

}  // namespace
