// The simulated instrument's protocol side and command line.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "ModbusAscii.h"
#include "RegisterBank.h"
#include "SimOptions.h"
#include "SimResponder.h"

namespace {

std::string Request(std::uint8_t device, std::uint8_t function, std::uint16_t start, std::uint16_t count) {
    const std::uint8_t m[6] = {device,
                               function,
                               static_cast<std::uint8_t>(start >> 8),
                               static_cast<std::uint8_t>(start),
                               static_cast<std::uint8_t>(count >> 8),
                               static_cast<std::uint8_t>(count)};
    char frame[32];
    return ModbusAscii::EncodeFrame(m, frame, 6, sizeof frame);
}

std::string Frame(std::vector<std::uint8_t> message) {
    char frame[600];
    return ModbusAscii::EncodeFrame(message.data(), frame, static_cast<unsigned>(message.size()), sizeof frame);
}

class Responder : public ::testing::Test {
protected:
    Responder() {
        options.devices = {1, 2};
        options.registers = 100;
    }

    std::vector<std::string> Send(const std::string &text, double seconds = 0) {
        std::vector<std::string> answers;
        responder.Receive(text.data(), text.size(), seconds, answers);
        return answers;
    }

    SimOptions options;
    RegisterBank bank{100};
    SimResponder responder{options, bank};
};

TEST_F(Responder, AnswersFunctionThreeForEachOfItsDevices) {
    for (const int device : {1, 2}) {
        const auto answers = Send(Request(static_cast<std::uint8_t>(device), 3, 10, 3), 42.5);
        ASSERT_EQ(answers.size(), 1u);
        std::vector<std::uint8_t> expected{static_cast<std::uint8_t>(device), 3, 6};
        for (unsigned a = 10; a < 13; ++a) {
            const std::uint16_t v = RegisterBank::Value(device, a, 42.5);
            expected.push_back(static_cast<std::uint8_t>(v >> 8));
            expected.push_back(static_cast<std::uint8_t>(v));
        }
        EXPECT_EQ(answers[0], Frame(expected));
    }
    EXPECT_TRUE(Send(Request(3, 3, 0, 1)).empty());
    EXPECT_TRUE(Send(Request(0, 3, 0, 1)).empty());
    EXPECT_EQ(responder.RequestsForUs(), 2u);
}

TEST_F(Responder, ExceptionsWhereARealDeviceGivesThem) {
    EXPECT_EQ(Send(Request(1, 3, 0, 0)), std::vector<std::string>{Frame({1, 0x83, 3})});
    EXPECT_EQ(Send(Request(1, 3, 0, 126)), std::vector<std::string>{Frame({1, 0x83, 3})});
    EXPECT_EQ(Send(Request(1, 3, 99, 2)), std::vector<std::string>{Frame({1, 0x83, 2})});
    EXPECT_EQ(Send(Request(1, 3, 0xFFFF, 125)), std::vector<std::string>{Frame({1, 0x83, 2})});
    EXPECT_EQ(Send(Request(2, 4, 0, 1)), std::vector<std::string>{Frame({2, 0x84, 1})});
    EXPECT_EQ(Send(Frame({2, 0x10})), std::vector<std::string>{Frame({2, 0x90, 1})});
    ASSERT_EQ(Send(Request(1, 3, 99, 1)).size(), 1u);
    EXPECT_EQ(Send(Request(1, 3, 99, 1))[0].substr(0, 7), ":010302");
}

TEST_F(Responder, FramesAcrossChunksAfterNoiseAndRestartedByAColon) {
    const std::string request = Request(1, 3, 0, 1);
    EXPECT_TRUE(Send("garbage\r\n" + request.substr(0, 5)).empty());
    EXPECT_EQ(Send(request.substr(5)).size(), 1u);
    EXPECT_EQ(Send(":0103" + request).size(), 1u);
    EXPECT_EQ(Send(request + request).size(), 2u);
}

TEST_F(Responder, MalformedFramesGetNoAnswer) {
    std::string badLrc = Request(1, 3, 0, 1);
    badLrc[13] = badLrc[13] == '0' ? '1' : '0';
    std::string lower = Request(1, 3, 0, 10);
    for (char &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string noCr = Request(1, 3, 0, 1);
    noCr.erase(noCr.size() - 2, 1);
    const std::string odd = ":0103000000010\r\n";
    const std::string wrongLength = Frame({1, 3, 0, 0, 0, 1, 0});
    for (const std::string &frame :
         {badLrc, lower, noCr, odd, wrongLength, std::string(":\r\n"), std::string(":FA\r\n")}) {
        EXPECT_TRUE(Send(frame).empty()) << frame;
    }
    EXPECT_EQ(Send(Request(1, 3, 0, 1)).size(), 1u);
}

TEST_F(Responder, OverlongFrameIsDroppedAndTheNextOneAnswered) {
    EXPECT_TRUE(Send(":" + std::string(SimResponder::kMaxFrame, '0') + "\r\n").empty());
    // The longest legal frame gets through: function 0 of device 1, an illegal function.
    const std::string longest = ":01" + std::string(SimResponder::kMaxFrame - 7, '0') + "FF\r\n";
    ASSERT_EQ(longest.size(), SimResponder::kMaxFrame);
    EXPECT_EQ(Send(longest), std::vector<std::string>{Frame({1, 0x80, 1})});
    EXPECT_EQ(Send(Request(2, 3, 0, 1)).size(), 1u);
}

TEST_F(Responder, SilentInstrumentCountsRequestsButNeverAnswers) {
    options.silent = true;
    EXPECT_TRUE(Send(Request(1, 3, 0, 1)).empty());
    EXPECT_TRUE(Send(Request(1, 3, 0, 0)).empty());
    EXPECT_EQ(responder.RequestsForUs(), 2u);
}

TEST_F(Responder, GarbledAnswersAreUnusable) {
    std::uint8_t decoded[300];
    options.garble = Garble::Lrc;
    std::string answer = Send(Request(1, 3, 0, 4)).at(0);
    unsigned n = ModbusAscii::DecodeFrame(answer.c_str(), decoded, sizeof decoded);
    EXPECT_EQ(n, 12u);
    EXPECT_FALSE(ModbusAscii::CheckLrc(decoded, n));

    options.garble = Garble::LowerCase;
    answer = Send(Request(2, 3, 10, 4)).at(0);
    EXPECT_EQ(answer.substr(0, 5), ":0203");
    EXPECT_EQ(answer.find_first_of("ABCDEF"), std::string::npos);

    options.garble = Garble::Short;
    const std::string full = Frame({1, 0x83, 3});
    answer = Send(Request(1, 3, 0, 0)).at(0);
    EXPECT_EQ(answer, full.substr(0, full.size() / 2));
}

TEST_F(Responder, AnyInputIsSafe) {
    std::mt19937 random(12345);
    std::string alphabet = ":\r\n0123456789ABCDEFabcdef";
    alphabet += '\0';
    alphabet += '\xFF';
    for (int round = 0; round < 2000; ++round) {
        std::string chunk;
        const int length = static_cast<int>(random() % 600);
        for (int i = 0; i < length; ++i) chunk += alphabet[random() % alphabet.size()];
        for (const std::string &answer : Send(chunk)) {
            ASSERT_GE(answer.size(), 9u);
            EXPECT_EQ(answer[0], ':');
        }
    }
}

TEST(RegisterBank, ValuesMoveWithTime) {
    EXPECT_EQ(RegisterBank::Value(1, 1, 0.0), 1001);
    EXPECT_EQ(RegisterBank::Value(1, 1, 5.9), 1006);
    EXPECT_EQ(RegisterBank::Value(2, 0, 0.0), 2000);
    EXPECT_EQ(RegisterBank::Value(2, 0, 5.0), 2100);  // a quarter of its 20 s period
    for (double t = 0; t < 100; t += 0.7) {
        const int v = RegisterBank::Value(3, 20, t);
        EXPECT_GE(v, 3020 - 100);
        EXPECT_LE(v, 3020 + 100);
    }
    EXPECT_EQ(RegisterBank::Value(247, 65535, 0.0), (247000 + 65535) & 0xFFFF);
}

std::string ParseError(std::vector<const char *> args, SimOptions *out = nullptr) {
    args.insert(args.begin(), "brisvale-sim");
    SimOptions options;
    std::string error;
    const bool ok = ParseSimOptions(static_cast<int>(args.size()), args.data(), options, error);
    if (out != nullptr) *out = options;
    return ok ? "ok" : error;
}

TEST(SimOptions, CommandLine) {
    SimOptions o;
    EXPECT_EQ(ParseError({"--link", "/tmp/x", "--device", "1", "--device", "2", "--device", "1"}, &o), "ok");
    EXPECT_EQ(o.link, "/tmp/x");
    EXPECT_EQ(o.devices, (std::vector<int>{1, 2}));
    EXPECT_EQ(ParseError({}, &o), "ok");
    EXPECT_EQ(o.devices, std::vector<int>{1});
    EXPECT_EQ(ParseError({"--garble", "short", "--silent", "--once", "--delay", "250"}, &o), "ok");
    EXPECT_EQ(o.garble, Garble::Short);
    EXPECT_TRUE(o.silent && o.once);
    EXPECT_EQ(o.delayMs, 250u);

    EXPECT_EQ(ParseError({"--device", "0"}), "--device needs an address from 1 to 247");
    EXPECT_EQ(ParseError({"--device", "248"}), "--device needs an address from 1 to 247");
    EXPECT_EQ(ParseError({"--device", "1x"}), "--device needs an address from 1 to 247");
    EXPECT_EQ(ParseError({"--device"}), "--device needs an address from 1 to 247");
    EXPECT_EQ(ParseError({"--garble", "loud"}), "--garble needs lrc, lowercase or short");
    EXPECT_EQ(ParseError({"--link"}), "--link needs a path");
    EXPECT_EQ(ParseError({"--link", "a", "--tty", "b"}), "--link and --tty exclude each other");
    EXPECT_EQ(ParseError({"--registers", "0"}), "--registers needs a count from 1 to 65536");
    EXPECT_EQ(ParseError({"--bogus"}), "unknown argument --bogus");
}

}  // namespace
