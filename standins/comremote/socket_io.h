// The socket a class object is reached through, and whole-message reads and
// writes on a connected Unix-domain socket.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/com.h"
#include "wire.h"

namespace comremote {

// Where the class object of a registry (the owner of its root folder names
// the user) is published: a private folder of that user, and in it a file
// named by a short hash of the registry root and the CLSID, short enough for
// a socket address. Empty when no registry can be named.
struct ClassSocket {
    std::string folder;
    std::string path;
    std::string startLock;  // serialises the starts of a server by its clients
    std::string bindLock;   // serialises the servers' taking of the socket
    uid_t owner;
};
// The folder is the user's runtime folder where the system made one, else
// (or when runtimeFolder is false) the private folder in /tmp.
bool LocateClassSocket(REFCLSID clsid, ClassSocket *where, bool runtimeFolder = true);

// Creates the folder for the calling user (0700) or checks that it is one:
// a folder of another user, or one that others may enter, is refused.
bool PrivateFolder(const std::string &folder, uid_t owner, bool create);

// An exclusive lock on a lock file, made when missing: the descriptor, or -1.
// Unlock removes the file, so that none is left behind; a waiter that then
// holds the removed file notices and locks the path's new file instead.
// With a limit in milliseconds, -1 and errno ETIMEDOUT once it has passed.
int LockFile(const std::string &path, int milliseconds = -1);
void Unlock(int lock, const std::string &path);

// Milliseconds from the environment variable, when it holds a whole number
// from 1 to 600000 and nothing else; else the fallback.
int TimeLimit(const char *variable, int fallback);

// 0 on success, else the error number (EPIPE/ECONNRESET for a closed peer).
int WriteFully(int fd, const std::uint8_t *data, std::size_t size);
using Clock = std::chrono::steady_clock;

// 0 on success, ECONNRESET when the peer closed before all arrived,
// ETIMEDOUT when the deadline (if any) passed first.
int ReadFully(int fd, std::uint8_t *data, std::size_t size, const Clock::time_point *deadline = nullptr);

// How long a peer may keep a reader waiting; negative: as long as it likes.
struct ReadLimits {
    int idleMs = -1;     // for the first byte of a message
    int messageMs = -1;  // from the first byte to the last
};

// One whole message; false on a closed peer, a header out of bounds or a
// limit passed. The payload's memory is taken as its bytes arrive, never
// on the word of the header alone.
bool ReadMessage(int fd, Header *header, std::vector<std::uint8_t> *payload, ReadLimits limits = {});

}  // namespace comremote
