#include "SimResponder.h"

#include <algorithm>
#include <cctype>

#include "ModbusAscii.h"

namespace {

constexpr unsigned char kIllegalFunction = 1;
constexpr unsigned char kIllegalDataAddress = 2;
constexpr unsigned char kIllegalDataValue = 3;
constexpr unsigned kMaxReadCount = 125;

bool IsUpperHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

std::string Printable(const std::string &text) {
    std::string out;
    for (const char c : text) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (std::isprint(static_cast<unsigned char>(c))) {
            out += c;
        } else {
            out += '?';
        }
    }
    return out;
}

}  // namespace

SimResponder::SimResponder(const SimOptions &options, const RegisterBank &bank, std::FILE *trace)
    : options_(options), bank_(bank), trace_(trace) {}

void SimResponder::Receive(const char *data, std::size_t size, double seconds, std::vector<std::string> &answers) {
    for (std::size_t i = 0; i < size; ++i) {
        const char c = data[i];
        if (c == ':') {
            // A colon always starts a new frame, whatever came before it.
            frame_.assign(1, ':');
            inFrame_ = true;
        } else if (!inFrame_) {
            continue;
        } else if (c == '\n') {
            inFrame_ = false;
            if (frame_.size() >= 2 && frame_.back() == '\r') {
                frame_.pop_back();
                HandleFrame(seconds, answers);
            }
        } else if (frame_.size() + 1 >= kMaxFrame) {
            Trace("dropped overlong frame", frame_.substr(0, 20) + "...");
            inFrame_ = false;
        } else {
            frame_ += c;
        }
    }
}

void SimResponder::HandleFrame(double seconds, std::vector<std::string> &answers) {
    const std::size_t digits = frame_.size() - 1;
    const bool wellFormed = digits >= 6 && digits % 2 == 0 &&
                            std::all_of(frame_.begin() + 1, frame_.end(), [](char c) { return IsUpperHex(c); });
    if (!wellFormed) {
        Trace("ignored malformed frame", frame_);
        return;
    }
    unsigned char message[kMaxFrame / 2];
    const unsigned length = ModbusAscii::DecodeFrame(frame_.c_str(), message, sizeof message);
    if (!ModbusAscii::CheckLrc(message, length)) {
        Trace("ignored frame with bad LRC", frame_);
        return;
    }
    if (!Serves(message[0])) {
        Trace("not for us", frame_);
        return;
    }
    ++requestsForUs_;
    Trace("request", frame_);
    if (options_.silent) return;

    std::string answer = Answer(message, length - 1, seconds);
    if (answer.empty()) {
        Trace("ignored request of a wrong length", frame_);
        return;
    }
    const std::size_t end = answer.size() - 2;  // position of CR
    switch (options_.garble) {
        case Garble::Lrc: {
            const unsigned lrc = ModbusAscii::digchar(answer[end - 2]) * 16 + ModbusAscii::digchar(answer[end - 1]);
            const char *hex = "0123456789ABCDEF";
            const unsigned wrong = (lrc + 1) & 0xFF;
            answer[end - 2] = hex[wrong >> 4];
            answer[end - 1] = hex[wrong & 0x0F];
            break;
        }
        case Garble::LowerCase:
            std::transform(answer.begin(), answer.end(), answer.begin(),
                           [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
            break;
        case Garble::Short:
            answer.resize(answer.size() / 2);
            break;
        case Garble::None:
            break;
    }
    Trace("answer", answer);
    answers.push_back(answer);
}

std::string SimResponder::Answer(const unsigned char *request, unsigned length, double seconds) const {
    const unsigned char device = request[0];
    const unsigned char function = request[1];
    if (function != ModbusAscii::kReadHoldingRegisters) return Exception(device, function, kIllegalFunction);
    if (length != ModbusAscii::kRequestLength) return std::string();

    const unsigned start = request[2] << 8 | request[3];
    const unsigned count = request[4] << 8 | request[5];
    if (count == 0 || count > kMaxReadCount) return Exception(device, function, kIllegalDataValue);
    if (start + count > bank_.Size()) return Exception(device, function, kIllegalDataAddress);

    unsigned char message[3 + 2 * kMaxReadCount];
    message[0] = device;
    message[1] = function;
    message[2] = static_cast<unsigned char>(2 * count);
    for (unsigned i = 0; i < count; ++i) {
        const std::uint16_t value = RegisterBank::Value(device, start + i, seconds);
        message[3 + 2 * i] = static_cast<unsigned char>(value >> 8);
        message[4 + 2 * i] = static_cast<unsigned char>(value);
    }
    return Frame(message, 3 + 2 * count);
}

std::string SimResponder::Exception(unsigned char device, unsigned char function, unsigned char code) const {
    const unsigned char message[3] = {device, static_cast<unsigned char>(function | 0x80), code};
    return Frame(message, 3);
}

std::string SimResponder::Frame(const unsigned char *message, unsigned length) const {
    char text[2 * (3 + 2 * kMaxReadCount) + 6];
    return ModbusAscii::EncodeFrame(message, text, length, sizeof text);
}

bool SimResponder::Serves(int device) const {
    return std::find(options_.devices.begin(), options_.devices.end(), device) != options_.devices.end();
}

void SimResponder::Trace(const char *what, const std::string &text) const {
    if (trace_ != nullptr) std::fprintf(trace_, "brisvale-sim: %s: %s\n", what, Printable(text).c_str());
}
