// Where a command writes: its output, its error lines, and the wait for the
// user's Ctrl-C. Lines may come from the server's callback threads, so every
// write is one locked, flushed piece.
#pragma once

#include <functional>
#include <mutex>
#include <ostream>
#include <string>

#include "platform/com.h"

class ClientIo {
public:
    // stopRequested(ms) waits up to ms for the user to ask the command to end
    // and says whether they have.
    ClientIo(std::ostream &out, std::ostream &err, std::function<bool(unsigned)> stopRequested)
        : out_(out), err_(err), stopRequested_(std::move(stopRequested)) {}

    void Out(const std::string &text);
    // "brisvale-client: <message>" on a line of its own.
    void Error(const std::string &message);
    // Error for a failed call; the server vanishing is said as such.
    void CallFailed(const char *call, HRESULT result);
    bool StopRequested(unsigned waitMs) { return stopRequested_(waitMs); }

private:
    std::mutex lock_;
    std::ostream &out_;
    std::ostream &err_;
    std::function<bool(unsigned)> stopRequested_;
};

// "0x80040154": how the tool shows every result code.
std::string ResultText(HRESULT result);
// The failures that mean the server's process or the connection to it is gone.
bool IsDisconnection(HRESULT result);
