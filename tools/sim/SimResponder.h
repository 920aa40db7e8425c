// The protocol side of the simulated instrument: collects Modbus ASCII frames
// from the received characters and answers the function-3 requests addressed
// to its devices, as a real slave would.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "RegisterBank.h"
#include "SimOptions.h"

class SimResponder {
public:
    // The longest frame of the standard, colon to LF.
    static constexpr std::size_t kMaxFrame = 513;

    SimResponder(const SimOptions &options, const RegisterBank &bank, std::FILE *trace = nullptr);

    // Feeds received characters; every complete request for one of our
    // devices adds its answer to answers (none when silent). seconds is the
    // time since start, which the register values follow.
    void Receive(const char *data, std::size_t size, double seconds, std::vector<std::string> &answers);

    // Requests addressed to our devices so far, answered or not.
    unsigned RequestsForUs() const { return requestsForUs_; }

private:
    void HandleFrame(double seconds, std::vector<std::string> &answers);
    std::string Answer(const unsigned char *request, unsigned length, double seconds) const;
    std::string Exception(unsigned char device, unsigned char function, unsigned char code) const;
    std::string Frame(const unsigned char *message, unsigned length) const;
    bool Serves(int device) const;
    void Trace(const char *what, const std::string &text) const;

    const SimOptions &options_;
    const RegisterBank &bank_;
    std::FILE *trace_;
    std::string frame_;  // from ":" up to, not including, the line end
    bool inFrame_ = false;
    unsigned requestsForUs_ = 0;
};
