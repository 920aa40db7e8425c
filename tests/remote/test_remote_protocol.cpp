// Whatever arrives on the socket, the server keeps serving: a hostile or
// broken message closes that connection only, and what it held is released.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <random>
#include <sstream>

#include "platform/com_remote.h"
#include "platform/guid_text.h"
#include "platform/module.h"
#include "remote_fixture.h"
#include "server_connection.h"
#include "server_side.h"
#include "socket_io.h"
#include "wire.h"

namespace remote_test {
namespace {

using comremote::Writer;

class RemoteProtocolTest : public RemoteTest {
protected:
    static sockaddr_un Address(const std::string &path) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        return address;
    }
    static CLSID OtherClass() {
        return CLSID{0x5A1C0DE5, 0x7E57, 0x4C0D, {0x9A, 0x11, 0x0B, 0x5E, 0x77, 0x00, 0x01, 0x02}};
    }
    int Dial() {
        comremote::ClassSocket where;
        EXPECT_TRUE(comremote::LocateClassSocket(TestClass(), &where));
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = Address(where.path);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0) << where.path;
        struct timeval limit {};
        limit.tv_sec = 30;
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        return fd;
    }
    void Send(int fd, const std::vector<std::uint8_t> &bytes) { comremote::WriteFully(fd, bytes.data(), bytes.size()); }
    // A connection that has passed the hello.
    int Greeted() {
        const int fd = Dial();
        Send(fd, Hello(comremote::kMagic));
        std::uint8_t answer[comremote::kHelloAnswerSize];
        EXPECT_EQ(comremote::ReadFully(fd, answer, sizeof answer), 0);
        EXPECT_EQ(answer[8] | answer[9] | answer[10] | answer[11], 0) << "S_OK";
        return fd;
    }
    static std::vector<std::uint8_t> Hello(std::uint32_t magic) {
        std::vector<std::uint8_t> bytes(comremote::kHelloSize, 0);
        for (int k = 0; k < 4; ++k) bytes[k] = static_cast<std::uint8_t>(magic >> (8 * k));
        bytes[4] = comremote::kVersion;
        return bytes;
    }
    // The server ends the connection: whatever it still sends, then the end.
    static bool Closed(int fd) {
        std::uint8_t discard[4096];
        for (;;) {
            const ssize_t n = recv(fd, discard, sizeof discard, 0);
            if (n == 0) return true;
            // The time-out: still open. A reset (unread bytes were left) is an end too.
            if (n < 0) return errno != EAGAIN && errno != EWOULDBLOCK;
        }
    }
    static std::vector<std::uint8_t> Raw(std::uint32_t length, std::uint32_t kind, std::uint32_t callId,
                                         std::uint32_t objectId) {
        std::vector<std::uint8_t> bytes;
        for (std::uint32_t field : {length, kind, callId, objectId})
            for (int k = 0; k < 4; ++k) bytes.push_back(static_cast<std::uint8_t>(field >> (8 * k)));
        return bytes;
    }
    static std::vector<std::uint8_t> Activation(std::uint32_t callId = 1) {
        Writer activate(comremote::kActivate, callId, 0);
        activate.Guid(IID_IOPCServer);
        return activate.Finish();
    }
    static std::vector<std::uint8_t> AddGroup(std::uint32_t callId, std::uint32_t session) {
        Writer addGroup(comremote::kAddGroup, callId, session);
        addGroup.Text(nullptr);  // a name of the server's choosing: each group its own
        for (std::uint32_t value : {1u, 100u, 3u}) addGroup.U32(value);
        addGroup.U8(0);
        addGroup.I32(0);
        addGroup.U8(0);
        addGroup.F32(0);
        addGroup.U32(0x409);
        addGroup.Guid(IID_IOPCItemMgt);
        return addGroup.Finish();
    }
    static std::vector<std::uint8_t> AddItems(std::uint32_t callId, std::uint32_t group, std::size_t count,
                                              const char16_t *name) {
        Writer addItems(comremote::kAddItems, callId, group);
        addItems.U32(static_cast<std::uint32_t>(count));
        for (std::size_t k = 0; k < count; ++k) {
            addItems.Text(nullptr);
            addItems.Text(reinterpret_cast<const OLECHAR *>(name));
            addItems.U32(1);
            addItems.U32(static_cast<std::uint32_t>(k));
            addItems.U32(0);  // no blob
            addItems.U16(VT_EMPTY);
        }
        return addItems.Finish();
    }
    // Sends a call and reads its answer: the call's result; the rest of the
    // answer (after the result) in *rest.
    HRESULT Ask(int fd, const std::vector<std::uint8_t> &message, comremote::Reader *rest = nullptr) {
        Send(fd, message);
        comremote::Header header{};
        if (!comremote::ReadMessage(fd, &header, &answer) || header.kind != comremote::kReply) return E_UNEXPECTED;
        comremote::Reader in(answer.data(), answer.size());
        const HRESULT result = in.I32();
        if (rest != nullptr) *rest = in;
        return result;
    }
    // The log lines the layer wrote (to "<test executable>.log") that hold the text.
    static int LogLines(const std::string &text) {
        char path[4096];
        const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
        std::ifstream log(std::string(path, length) + ".log");
        int count = 0;
        for (std::string line; std::getline(log, line);) count += line.find(text) != std::string::npos ? 1 : 0;
        return count;
    }
    std::vector<std::uint8_t> answer;
};

TEST_F(RemoteProtocolTest, BrokenAndHostileMessagesCloseTheirConnectionOnly) {
    const int idle = Dial();  // connects and says nothing, all along
    Ref<IOPCServer> bystander = Remote();
    ASSERT_TRUE(bystander);

    const int wrongMagic = Dial();
    Send(wrongMagic, Hello(0x12345678));
    EXPECT_TRUE(Closed(wrongMagic));
    close(wrongMagic);

    Writer oversizedCount(comremote::kAddItems, 2, 1);
    oversizedCount.U32(0xFFFFFFFF);
    Writer shortActivation(comremote::kActivate, 1, 0);
    shortActivation.U32(7);
    Writer unknownKind(999, 1, 0);
    Writer noCallId(comremote::kGetStatus, 0, 1);
    Writer answerFromClient(comremote::kReply, 1, 1);
    const std::vector<std::vector<std::uint8_t>> hostile = {
        Raw(3, comremote::kActivate, 1, 0),                           // shorter than its own header
        Raw(comremote::kMaxMessage + 1, comremote::kActivate, 1, 0),  // over the maximum
        Raw(0xFFFFFFFF, comremote::kActivate, 1, 0),
        shortActivation.Finish(),
        unknownKind.Finish(),
        noCallId.Finish(),
        answerFromClient.Finish(),
    };
    for (const auto &message : hostile) {
        const int fd = Greeted();
        Send(fd, message);
        EXPECT_TRUE(Closed(fd));
        close(fd);
    }
    // After an activation: an item count beyond what the message holds, a
    // huge blob, a text longer than its message, a variant type nobody sends.
    Writer hugeBlob(comremote::kAddItems, 2, 1);
    hugeBlob.U32(1);
    hugeBlob.Text(nullptr);
    hugeBlob.Text(u"Pump1");
    hugeBlob.U32(1);
    hugeBlob.U32(1);
    hugeBlob.U32(0x7FFFFFFF);
    Writer longText(comremote::kGetItemId, 2, 1);
    longText.U32(1000);
    longText.U16('A');
    for (auto message : {oversizedCount.Finish(), hugeBlob.Finish(), longText.Finish()}) {
        const int fd = Greeted();
        Send(fd, Activation());
        Send(fd, message);
        EXPECT_TRUE(Closed(fd));
        close(fd);
    }
    // A message cut short by the client's end, and random bytes.
    {
        const int fd = Greeted();
        auto message = Activation();
        message.resize(message.size() - 5);
        Send(fd, message);
        shutdown(fd, SHUT_WR);
        EXPECT_TRUE(Closed(fd));
        close(fd);
    }
    std::mt19937 random(20261207);
    for (int round = 0; round < 40; ++round) {
        const int fd = Greeted();
        std::vector<std::uint8_t> noise(1 + random() % 200);
        for (auto &byte : noise) byte = static_cast<std::uint8_t>(random());
        if (round % 2 == 0) {
            // A plausible header with a random body.
            auto header = Raw(static_cast<std::uint32_t>(16 + noise.size()), 1 + random() % 19, 1, random() % 3);
            noise.insert(noise.begin(), header.begin(), header.end());
            Send(fd, Activation());
        }
        Send(fd, noise);
        shutdown(fd, SHUT_WR);
        EXPECT_TRUE(Closed(fd));
        close(fd);
    }

    // Everyone else is served as before.
    EXPECT_EQ(StatusOf(bystander.get()).result, S_OK);
    Ref<IOPCServer> latecomer = Remote();
    EXPECT_TRUE(latecomer);
    close(idle);
}

TEST_F(RemoteProtocolTest, AClientThatAsksWithoutReadingTheAnswersIsDropped) {
    const int fd = Greeted();
    struct timeval limit {};
    limit.tv_sec = 30;
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    // A release with a call id is answered even when it names no object.
    const std::vector<std::uint8_t> one = Raw(comremote::kHeaderSize, comremote::kRelease, 1, 0);
    std::vector<std::uint8_t> burst;
    for (int k = 0; k < 4096; ++k) burst.insert(burst.end(), one.begin(), one.end());
    int error = 0;
    for (int round = 0; round < 256 && error == 0; ++round)
        error = comremote::WriteFully(fd, burst.data(), burst.size());
    EXPECT_NE(error, 0) << "a million answers kept for a client that reads none";
    close(fd);
    EXPECT_TRUE(Remote());
}

TEST_F(RemoteProtocolTest, OneClientOverEachLimitGetsItsErrorWhileOthersAreServed) {
    Ref<IOPCServer> bystander = Remote();
    ASSERT_TRUE(bystander);
    const int refusals = LogLines("refused");
    const int fd = Greeted();
    std::uint32_t call = 1;
    comremote::Reader rest(nullptr, 0);
    std::vector<std::uint32_t> sessions;
    for (std::size_t k = 0; k < comremote::kMaxSessionsPerConnection; ++k) {
        ASSERT_EQ(Ask(fd, Activation(call++), &rest), S_OK);
        sessions.push_back(rest.U32());
    }
    EXPECT_EQ(Ask(fd, Activation(call++)), HRESULT_NOT_ENOUGH_QUOTA);
    Send(fd, Raw(comremote::kHeaderSize, comremote::kRelease, 0, sessions.back()));
    EXPECT_EQ(Ask(fd, Activation(call++)), S_OK) << "a released session makes room";

    // Groups: a group the client lets go of still counts while its session lists it.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> groups;  // handle, id
    const auto addGroup = [&](std::uint32_t session) {
        const HRESULT result = Ask(fd, AddGroup(call++, session), &rest);
        const std::uint32_t handle = rest.U32();
        rest.U32();
        if (result == S_OK) groups.emplace_back(handle, rest.U32());
        return result;
    };
    const auto removeGroup = [&](std::uint32_t session, std::uint32_t handle) {
        Writer remove(comremote::kRemoveGroup, call++, session);
        remove.U32(handle);
        remove.U32(0);
        return Ask(fd, remove.Finish());
    };
    for (std::size_t k = 0; k < comremote::kMaxGroupsPerSession; ++k) ASSERT_EQ(addGroup(sessions[0]), S_OK);
    Send(fd, Raw(comremote::kHeaderSize, comremote::kRelease, 0, groups[0].second));
    EXPECT_EQ(addGroup(sessions[0]), HRESULT_NOT_ENOUGH_QUOTA);
    ASSERT_EQ(removeGroup(sessions[0], groups[0].first), S_OK);
    EXPECT_EQ(addGroup(sessions[0]), S_OK) << "room once the session no longer lists it";
    EXPECT_EQ(addGroup(sessions[0]), HRESULT_NOT_ENOUGH_QUOTA);
    EXPECT_EQ(addGroup(sessions[1]), S_OK) << "the limit is the session's";

    // Items of one group.
    const std::uint32_t group = groups.back().second;
    ASSERT_EQ(Ask(fd, AddItems(call++, group, 1, u"Pump1"), &rest), S_OK);
    rest.U32();
    ASSERT_EQ(rest.U8(), 1);
    const std::uint32_t item = rest.U32();
    EXPECT_EQ(Ask(fd, AddItems(call++, group, comremote::kMaxItemsPerGroup, u"Nothing")), HRESULT_NOT_ENOUGH_QUOTA);
    Writer remove(comremote::kRemoveItems, call++, group);
    remove.U32(1);
    remove.U32(item);
    ASSERT_EQ(Ask(fd, remove.Finish()), S_OK);
    EXPECT_EQ(Ask(fd, AddItems(call++, group, comremote::kMaxItemsPerGroup, u"Nothing")), S_FALSE)
        << "room again once the item is removed; each unknown item has its own error";

    // Items of the whole connection, those of a group let go of but listed included.
    for (std::size_t k = 0; k < comremote::kMaxItemsPerConnection / comremote::kMaxItemsPerGroup; ++k) {
        ASSERT_EQ(addGroup(sessions[2]), S_OK);
        ASSERT_EQ(Ask(fd, AddItems(call++, groups.back().second, comremote::kMaxItemsPerGroup, u"Pump1")), S_OK);
    }
    EXPECT_EQ(Ask(fd, AddItems(call++, group, 1, u"Pump1")), HRESULT_NOT_ENOUGH_QUOTA);
    Send(fd, Raw(comremote::kHeaderSize, comremote::kRelease, 0, groups.back().second));
    EXPECT_EQ(Ask(fd, AddItems(call++, group, 1, u"Pump1")), HRESULT_NOT_ENOUGH_QUOTA);
    ASSERT_EQ(removeGroup(sessions[2], groups.back().first), S_OK);
    EXPECT_EQ(Ask(fd, AddItems(call++, group, 1, u"Pump1")), S_OK);

    EXPECT_EQ(LogLines("refused"), refusals + 6) << "one log line for each refusal";
    EXPECT_EQ(StatusOf(bystander.get()).result, S_OK);
    close(fd);
}

TEST_F(RemoteProtocolTest, AFullServerAnswersBusyAndServesAgainWhenAPlaceIsFree) {
    // Clients with a session each, until the server says it is busy.
    std::vector<int> held;
    HRESULT verdict = S_OK;
    while (verdict == S_OK && held.size() <= static_cast<std::size_t>(comremote::kMaxConnections)) {
        const int fd = Dial();
        Send(fd, Hello(comremote::kMagic));
        std::uint8_t bytes[comremote::kHelloAnswerSize];
        ASSERT_EQ(comremote::ReadFully(fd, bytes, sizeof bytes), 0);
        verdict = comremote::Reader(bytes + 8, 4).I32();
        if (verdict == S_OK) {
            ASSERT_EQ(Ask(fd, Activation()), S_OK);
        }
        held.push_back(fd);
    }
    EXPECT_EQ(verdict, RPC_S_SERVER_TOO_BUSY);
    EXPECT_LE(held.size(), static_cast<std::size_t>(comremote::kMaxConnections) + 1);
    void *object = nullptr;
    EXPECT_EQ(comremote::ActivateRemote(TestClass(), IID_IOPCServer, &object), RPC_S_SERVER_TOO_BUSY);
    // A client that asks again and again does not fill the disk: a burst of
    // lines, then one a second, which counts those left out.
    const int busyLines = LogLines("busy");
    const int notes = LogLines("left out before");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(WaitFor([&] {
        for (int k = 0; k < 100; ++k) close(Dial());
        return LogLines("left out before") > notes;
    }));
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    EXPECT_LE(LogLines("busy") - busyLines, 50 + seconds.count() + 1);
    close(held.front());
    EXPECT_TRUE(WaitFor([&] { return comremote::ActivateRemote(TestClass(), IID_IOPCServer, &object) == S_OK; }));
    if (object != nullptr) static_cast<IUnknown *>(object)->Release();
    for (std::size_t k = 1; k < held.size(); ++k) close(held[k]);
}

TEST_F(RemoteProtocolTest, IdleAndHalfSentConnectionsDoNotHoldThePlacesForGood) {
    // The server's time-outs made short; its places all taken by connections
    // that never say hello, that say nothing after it, or that announce the
    // largest message and send a little of it. Not much shorter: the quiet
    // client below must get from its hello to its session within it.
    setenv("BRISVALE_COM_SERVER_TIMEOUT_MS", "1000", 1);
    struct Restore {
        ~Restore() { unsetenv("BRISVALE_COM_SERVER_TIMEOUT_MS"); }
    } restore;
    const auto peakKiB = [] {
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
        return 0L;
    };
    const long peakBefore = peakKiB();
    Ref<IOPCServer> quiet = Remote();  // a client with a session may be silent for longer
    ASSERT_TRUE(quiet);
    std::vector<int> fds;
    for (int k = 0; k < comremote::kMaxConnections; ++k) {
        const int fd = Dial();
        if (k % 3 != 0) Send(fd, Hello(comremote::kMagic));
        if (k % 3 == 2) {
            Send(fd, Raw(comremote::kMaxMessage, comremote::kActivate, 1, 0));
            Send(fd, std::vector<std::uint8_t>(1000, 0));
        }
        fds.push_back(fd);
    }
    void *object = nullptr;
    EXPECT_TRUE(WaitFor([&] { return comremote::ActivateRemote(TestClass(), IID_IOPCServer, &object) == S_OK; }));
    if (object != nullptr) static_cast<IUnknown *>(object)->Release();
    for (const int fd : fds) {
        EXPECT_TRUE(Closed(fd)) << "the server ends every one of them";
        close(fd);
    }
    EXPECT_LT(peakKiB() - peakBefore, 256L << 10) << "memory taken for bytes that never came";
    EXPECT_EQ(StatusOf(quiet.get()).result, S_OK);
}

TEST_F(RemoteProtocolTest, OnlyATrustedRegistrysWholePathStartsAServerAndItStartsClean) {
    const CLSID started = {0x5A1C0DE5, 0x7E57, 0x4C0D, {0x9A, 0x11, 0x0B, 0x5E, 0x77, 0x00, 0x01, 0x03}};
    const std::string classes = registry + "/CLSID";
    const std::string entry = classes + "/" + GuidText(started);
    const std::string ran = registry + "/ran";
    std::filesystem::create_directories(classes);
    const auto registerCommand = [&](const std::string &command) {
        std::ofstream(entry) << "LocalServer32=" << command << "\n";
        chmod(entry.c_str(), 0644);
    };
    const auto activate = [&] {
        void *object = nullptr;
        return comremote::ActivateRemote(started, IID_IOPCServer, &object);
    };
    // Refused before the command is read: it would leave a mark.
    registerCommand("/bin/sh -c \"touch " + ran + "\"");
    ASSERT_EQ(chmod(classes.c_str(), 0775), 0);
    EXPECT_EQ(activate(), E_ACCESSDENIED) << "a class folder its group may change";
    ASSERT_EQ(chmod(classes.c_str(), 0755), 0);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(entry.c_str(), 65534, 65534), 0);
        EXPECT_EQ(activate(), E_ACCESSDENIED) << "a class file of another user";
        ASSERT_EQ(chown(entry.c_str(), 0, 0), 0);
    }
    // A bare name would run what the client's working folder holds.
    registerCommand("sh -c \"touch " + ran + "\"");
    char previous[PATH_MAX];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir("/bin"), 0);
    EXPECT_EQ(activate(), CO_E_SERVER_EXEC_FAILURE);
    ASSERT_EQ(chdir(previous), 0);
    EXPECT_FALSE(std::filesystem::exists(ran));

    // A command line that reports how it was started: signals, working
    // folder, open-file limit, process group.
    const std::string report = registry + "/started";
    registerCommand(
        "/bin/sh -c \"{ grep -E '^Sig(Blk|Ign)' /proc/self/status; pwd -P; ulimit -n; "
        "test $(cut -d' ' -f5 /proc/$$/stat) = $$ && echo own group; } > " +
        report + "\"");
    // A client run in the background of a script ignores Ctrl-C; one that
    // takes its signals in a thread of its own blocks them; one may have
    // lowered its own limits.
    struct sigaction ignore {};
    struct sigaction previousAction {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ASSERT_EQ(sigaction(SIGINT, &ignore, &previousAction), 0);
    sigset_t blocked;
    sigset_t before;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &blocked, &before);
    rlimit files{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
    rlimit lowered = files;
    lowered.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    const HRESULT result = activate();
    setrlimit(RLIMIT_NOFILE, &files);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    sigaction(SIGINT, &previousAction, nullptr);
    EXPECT_EQ(result, CO_E_SERVER_EXEC_FAILURE) << "it ends without serving";
    char bin[PATH_MAX];
    ASSERT_NE(realpath("/bin", bin), nullptr);
    std::stringstream text;
    text << std::ifstream(report).rdbuf();
    EXPECT_EQ(text.str(),
              "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n" + std::string(bin) + "\n1024\nown group\n");
}

// Servers that take a client and then hang, or hang before they take it: the
// client's wait ends within its limits, and a new server's start is not held up.
TEST_F(RemoteProtocolTest, StalledServersReleaseTheirClientsWithinTheLimits) {
    setenv("BRISVALE_COM_CALL_TIMEOUT_MS", "300", 1);
    const CLSID stalled = {0x5A1C0DE5, 0x7E57, 0x4C0D, {0x9A, 0x11, 0x0B, 0x5E, 0x77, 0x00, 0x01, 0x04}};
    comremote::ClassSocket where;
    ASSERT_TRUE(comremote::LocateClassSocket(stalled, &where));
    ASSERT_TRUE(comremote::PrivateFolder(where.folder, geteuid(), true));
    enum Stall { kNoHelloAnswer, kNoCallAnswer, kNoAccept };
    // The hello's limit is generous where the fake answers it, so that only
    // the call's limit can end the wait.
    const struct {
        const char *name;
        Stall stall;
        const char *connectLimit;
        HRESULT expected;
    } rows[] = {
        {"silent after the connection", kNoHelloAnswer, "300", RPC_E_TIMEOUT},
        {"silent after the hello", kNoCallAnswer, "60000", RPC_E_TIMEOUT},
        {"accepting nothing, its queue full", kNoAccept, "300", RPC_S_SERVER_TOO_BUSY},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        setenv("BRISVALE_COM_CONNECT_TIMEOUT_MS", row.connectLimit, 1);
        const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = Address(where.path);
        unlink(where.path.c_str());
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        ASSERT_EQ(listen(listener, 0), 0);
        std::vector<int> queued;
        std::thread fake;
        if (row.stall == kNoAccept) {
            for (int k = 0; k < 64; ++k) {
                const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
                queued.push_back(fd);
                if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) break;
            }
        } else {
            fake = std::thread([&, listener] {
                const int fd = accept(listener, nullptr, nullptr);
                std::uint8_t bytes[comremote::kHelloSize];
                if (row.stall == kNoCallAnswer && comremote::ReadFully(fd, bytes, sizeof bytes) == 0) {
                    const std::uint8_t welcome[comremote::kHelloAnswerSize] = {0x42, 0x56, 0x43, 0x4D, 1};
                    comremote::WriteFully(fd, welcome, sizeof welcome);
                }
                while (recv(fd, bytes, sizeof bytes, 0) > 0) {
                }
                close(fd);
            });
        }
        void *object = nullptr;
        EXPECT_EQ(comremote::ActivateRemote(stalled, IID_IOPCServer, &object), row.expected);
        if (row.stall == kNoAccept) {
            // A server starting meanwhile sweeps the folder without waiting for this one.
            DWORD otherCookie = 0;
            EXPECT_EQ(
                CoRegisterClassObject(OtherClass(), &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &otherCookie),
                S_OK);
            EXPECT_EQ(CoRevokeClassObject(otherCookie), S_OK);
            struct stat info {};
            EXPECT_EQ(lstat(where.path.c_str(), &info), 0) << "a stalled server is not taken for a dead one";
        }
        if (fake.joinable()) fake.join();
        for (int fd : queued) close(fd);
        close(listener);
        unlink(where.path.c_str());
    }
    // A client that began to start the server and was stopped holds the
    // start: the others wait for it no longer than for the server itself.
    std::filesystem::create_directories(registry + "/CLSID");
    std::ofstream(registry + "/CLSID/" + GuidText(stalled)) << "LocalServer32=/bin/false\n";
    setenv("BRISVALE_COM_START_TIMEOUT_MS", "300", 1);
    const int holder = open(where.startLock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    std::atomic<HRESULT> started{1};  // not yet
    std::thread client([&] {
        void *object = nullptr;
        started = comremote::ActivateRemote(stalled, IID_IOPCServer, &object);
    });
    EXPECT_TRUE(WaitFor([&] { return started.load() != 1; })) << "held up by the stopped client";
    close(holder);
    client.join();
    EXPECT_EQ(started.load(), CO_E_SERVER_EXEC_FAILURE);
    unsetenv("BRISVALE_COM_START_TIMEOUT_MS");
    unsetenv("BRISVALE_COM_CONNECT_TIMEOUT_MS");
    unsetenv("BRISVALE_COM_CALL_TIMEOUT_MS");
}

// However a process of the user spells the registry, and whatever runtime
// folder its environment names, it meets the one server.
TEST_F(RemoteProtocolTest, EverySpellingOfTheEnvironmentMeetsTheOneServer) {
    const std::string link = registry + ".link";
    ASSERT_EQ(symlink(registry.c_str(), link.c_str()), 0);
    char previous[PATH_MAX];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir("/tmp"), 0);
    const std::string relative = registry.substr(std::string("/tmp/").size());
    for (const std::string &spelling : {registry + "/", "./" + relative, relative + "//", link}) {
        for (const char *runtime : {static_cast<const char *>(nullptr), "/tmp", registry.c_str()}) {
            SCOPED_TRACE(spelling + " " + (runtime != nullptr ? runtime : "no runtime folder"));
            setenv("BRISVALE_COM_REGISTRY", spelling.c_str(), 1);
            if (runtime != nullptr)
                setenv("XDG_RUNTIME_DIR", runtime, 1);
            else
                unsetenv("XDG_RUNTIME_DIR");
            EXPECT_TRUE(Remote()) << "no server is registered to start: only the running one answers";
        }
    }
    ASSERT_EQ(chdir(previous), 0);
    setenv("BRISVALE_COM_REGISTRY", registry.c_str(), 1);
    unlink(link.c_str());
}

TEST_F(RemoteProtocolTest, AClientThatVanishesReleasesWhatItHeld) {
    const int before = finished.load();
    const int fd = Greeted();
    Send(fd, Activation());
    Send(fd, AddGroup(2, 1));
    comremote::Header header{};
    std::vector<std::uint8_t> payload;
    ASSERT_TRUE(comremote::ReadMessage(fd, &header, &payload));  // the activation's answer
    ASSERT_TRUE(comremote::ReadMessage(fd, &header, &payload));  // the group's
    EXPECT_EQ(header.callId, 2u);
    EXPECT_EQ(payload[0] | payload[1] | payload[2] | payload[3], 0) << "S_OK";
    close(fd);
    EXPECT_TRUE(WaitFor([&] { return finished.load() == before + 1; }));
}

// The server published while the user had no runtime folder; the first
// login makes one: the user's later clients still find that server. Run by
// run_user_appears.sh, with a /run/user of its own.
TEST_F(RemoteProtocolTest, AServerFromBeforeTheFirstLoginIsFoundAfterIt) {
    if (std::getenv("BRISVALE_TEST_OWN_RUN_USER") == nullptr) GTEST_SKIP() << "run by run_user_appears.sh";
    const std::string runtime = "/run/user/" + std::to_string(geteuid());
    ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
    EXPECT_TRUE(Remote()) << "no server is registered to start: only the running one answers";
}

TEST_F(RemoteProtocolTest, AServerStartingRemovesTheSocketsOfDeadServersOnly) {
    comremote::ClassSocket where;
    ASSERT_TRUE(comremote::LocateClassSocket(TestClass(), &where));
    const std::string dead = where.folder + "/0123456789abcdef.sock";
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = Address(dead);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    close(fd);  // bound, never listened: what a killed server leaves

    // Another class's server, stopped with its queue of waiting clients full:
    // alive, and neither waited for nor taken over by a new server of its class.
    const CLSID other = OtherClass();
    comremote::ClassSocket otherWhere;
    ASSERT_TRUE(comremote::LocateClassSocket(other, &otherWhere));
    const int stopped = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::strncpy(address.sun_path, otherWhere.path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(stopped, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(stopped, 0), 0);
    std::vector<int> waiting;
    for (int fd; (fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) >= 0;) {
        waiting.push_back(fd);
        if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) break;
    }
    struct stat info {};
    ASSERT_EQ(lstat(otherWhere.path.c_str(), &info), 0);
    const ino_t stoppedInode = info.st_ino;
    DWORD otherCookie = 0;
    auto registered = std::async(std::launch::async, [&] {
        return CoRegisterClassObject(other, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &otherCookie);
    });
    const bool returned = registered.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    close(stopped);  // a registration still waiting on it goes on
    EXPECT_TRUE(returned) << "a new server waited on the stopped one";
    EXPECT_EQ(registered.get(), S_OK) << "serving its own process only";
    EXPECT_TRUE(returned && lstat(otherWhere.path.c_str(), &info) == 0 && info.st_ino == stoppedInode)
        << "the stopped server's socket stays";
    for (const int fd : waiting) close(fd);
    EXPECT_NE(lstat(dead.c_str(), &info), 0);
    EXPECT_EQ(lstat(where.path.c_str(), &info), 0) << "the live one stays";
    EXPECT_TRUE(Remote());
    EXPECT_EQ(CoRevokeClassObject(otherCookie), S_OK);
}

TEST_F(RemoteProtocolTest, TheServerItselfRefusesAnotherUser) {
    // The folder's permissions keep other users out; opened up, the server's
    // own check of the connecting user still refuses them.
    const struct passwd *nobody = getpwnam("nobody");
    if (geteuid() != 0 || nobody == nullptr)
        GTEST_SKIP() << "needs root and the user nobody to connect as another user";
    comremote::ClassSocket where;
    ASSERT_TRUE(comremote::LocateClassSocket(TestClass(), &where));
    // The socket reached through a link in a folder of the test's own, so
    // that the user's shared socket folder stays closed to others.
    const std::string opened = registry + "/opened.sock";
    ASSERT_EQ(link(where.path.c_str(), opened.c_str()), 0);
    ASSERT_EQ(chmod(registry.c_str(), 0711), 0);
    ASSERT_EQ(chmod(opened.c_str(), 0666), 0);
    const std::vector<std::uint8_t> hello = Hello(comremote::kMagic);
    const pid_t child = fork();
    if (child == 0) {
        // Only async-signal-safe calls in the child of a threaded process.
        if (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) _exit(10);
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        for (std::size_t k = 0; k < opened.size() && k + 1 < sizeof address.sun_path; ++k)
            address.sun_path[k] = opened[k];
        if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) _exit(11);
        if (write(fd, hello.data(), hello.size()) != static_cast<ssize_t>(hello.size())) _exit(12);
        std::uint8_t answer[comremote::kHelloAnswerSize];
        std::size_t got = 0;
        while (got < sizeof answer) {
            const ssize_t n = read(fd, answer + got, sizeof answer - got);
            if (n <= 0) _exit(13);
            got += static_cast<std::size_t>(n);
        }
        const bool denied = answer[8] == 0x05 && answer[9] == 0x00 && answer[10] == 0x07 && answer[11] == 0x80;
        char rest;
        _exit(denied && read(fd, &rest, 1) == 0 ? 0 : 14);  // E_ACCESSDENIED, then the end
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    chmod(where.path.c_str(), 0600);
    unlink(opened.c_str());
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10: no user change, 11: no connection, 12-13: cut off, 14: not refused";
    EXPECT_EQ(factory.user, std::wstring()) << "no session was made for the refused user";
}

TEST(RemoteSocketFolder, OnlyAFolderOfThisUserAloneIsUsed) {
    char made[] = "/tmp/brisvale-folder-XXXXXX";
    ASSERT_NE(mkdtemp(made), nullptr);
    const std::string folder = std::string(made) + "/sockets";
    const std::string link = std::string(made) + "/link";
    EXPECT_FALSE(comremote::PrivateFolder(folder, geteuid(), false)) << "missing, not made";
    EXPECT_TRUE(comremote::PrivateFolder(folder, geteuid(), true)) << "made for this user alone";
    ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
    EXPECT_FALSE(comremote::PrivateFolder(folder, geteuid(), true)) << "others may enter it";
    ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
    ASSERT_EQ(symlink(folder.c_str(), link.c_str()), 0);
    EXPECT_FALSE(comremote::PrivateFolder(link, geteuid(), true)) << "a link to a private folder";
    EXPECT_FALSE(comremote::PrivateFolder(folder, geteuid() + 1, false)) << "another user's";
    std::filesystem::remove_all(made);
}

}  // namespace
}  // namespace remote_test
