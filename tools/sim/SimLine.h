// The instrument's end of the serial line: the master side of a new
// pseudo-terminal pair (optionally with a symbolic link to its slave), or an
// existing tty. Non-blocking: answers that nobody reads are dropped, as on a
// real line.
#pragma once

#include <cstddef>
#include <string>

class SimLine {
public:
    SimLine() = default;
    SimLine(const SimLine &) = delete;
    SimLine &operator=(const SimLine &) = delete;
    ~SimLine();

    // Both return false with a reason in error.
    bool OpenPty(const std::string &link, std::string &error);
    bool OpenTty(const std::string &path, std::string &error);

    int Fd() const { return fd_; }
    const std::string &SlavePath() const { return slavePath_; }

    // Waits up to timeoutMs for input; false when a signal cut the wait short.
    // With no one on the slave side of a pty the wait simply runs out.
    bool WaitForInput(int timeoutMs);
    // Reads what is there: the count, 0 for nothing (also when the slave side
    // is closed), -1 on a lasting error.
    long Read(char *buffer, std::size_t size);
    // With a baud rate, one character at a time on the schedule of a line at
    // that rate (10 bits a character), as a real instrument's UART sends.
    void Write(const std::string &text, unsigned baud = 0);
    // Before leaving: a pty master that closes takes unread answers with it,
    // so wait (up to maxMs) until the client has closed the slave; a tty is
    // drained.
    void Linger(int maxMs);
    // Removes the link if it still points at our slave.
    void Close();

private:
    int fd_ = -1;
    bool isPty_ = false;
    bool slaveClosed_ = false;
    std::string slavePath_;
    std::string link_;
};
