// The toolkit's test service published for other processes from this one,
// and clients that reach it through the socket as another process would: the
// calls give what they give in process, across the same protocol, stubs and
// proxies in both directions; and whatever arrives on the socket, the server
// keeps serving: a hostile or broken message closes that connection only, and
// what it held is released.
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "../lightopc/opc_client.h"
#include "activation.h"
#include "client_core.h"
#include "outbox.h"
#include "platform/com_remote.h"
#include "platform/guid_text.h"
#include "platform/module.h"
#include "server_connection.h"
#include "server_side.h"
#include "socket_io.h"
#include "wire.h"

namespace remote_test {
namespace {

using namespace opc_test;
using comremote::Writer;

// The test's class, and others of the same family (last byte 2 and up).
CLSID TestClass(unsigned char last = 1) {
    return CLSID{0x5A1C0DE5, 0x7E57, 0x4C0D, {0x9A, 0x11, 0x0B, 0x5E, 0x77, 0x00, 0x01, last}};
}

sockaddr_un Address(const std::string &path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

void Send(int fd, const std::vector<std::uint8_t> &bytes) {
    comremote::WriteFully(fd, bytes.data(), bytes.size());
}

// The server ends the connection: whatever it still sends, then the end.
bool Closed(int fd) {
    std::uint8_t discard[4096];
    for (;;) {
        const ssize_t n = recv(fd, discard, sizeof discard, 0);
        if (n == 0) return true;
        // The time-out: still open. A reset (unread bytes were left) is an end too.
        if (n < 0) return errno != EAGAIN && errno != EWOULDBLOCK;
    }
}

std::vector<std::uint8_t> Raw(std::uint32_t length, std::uint32_t kind, std::uint32_t callId, std::uint32_t objectId) {
    std::vector<std::uint8_t> bytes;
    for (std::uint32_t field : {length, kind, callId, objectId})
        for (int k = 0; k < 4; ++k) bytes.push_back(static_cast<std::uint8_t>(field >> (8 * k)));
    return bytes;
}

std::vector<std::uint8_t> Hello(std::uint32_t magic) {
    std::vector<std::uint8_t> bytes = Raw(magic, comremote::kVersion, 0, 0);
    bytes.resize(comremote::kHelloSize);
    return bytes;
}

std::vector<std::uint8_t> Activation(std::uint32_t callId = 1) {
    Writer activate(comremote::kActivate, callId, 0);
    activate.Guid(IID_IOPCServer);
    return activate.Finish();
}

std::vector<std::uint8_t> GroupMessage(std::uint32_t callId, std::uint32_t session) {
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

std::vector<std::uint8_t> ItemsMessage(std::uint32_t callId, std::uint32_t group, std::size_t count,
                                       const char16_t *name) {
    Writer addItems(comremote::kAddItems, callId, group);
    addItems.U32(static_cast<std::uint32_t>(count));
    for (std::size_t k = 0; k < count; ++k) {
        addItems.Text(nullptr);
        addItems.Text(reinterpret_cast<const OLECHAR *>(name));
        for (std::uint32_t value : {1u, static_cast<std::uint32_t>(k), 0u}) addItems.U32(value);  // 0: no blob
        addItems.U16(VT_EMPTY);
    }
    return addItems.Finish();
}

// The log lines the layer wrote (to "<test executable>.log") that hold the text.
int LogLines(const std::string &text) {
    char path[4096];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    std::ifstream log(std::string(path, length) + ".log");
    int count = 0;
    for (std::string line; std::getline(log, line);) count += line.find(text) != std::string::npos ? 1 : 0;
    return count;
}

class RemoteTest : public OpcTest {
protected:
    // Makes server objects as the server's class factory does, and notes for
    // whom.
    struct Factory final : IClassFactory {
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
            if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
            *object = static_cast<IClassFactory *>(this);
            return S_OK;
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
        ULONG STDMETHODCALLTYPE Release() override { return 1; }
        HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *, REFIID riid, void **object) override {
            RPC_AUTHZ_HANDLE privileges = nullptr;
            if (CoQueryClientBlanket(nullptr, nullptr, nullptr, nullptr, nullptr, &privileges, nullptr) == S_OK)
                user = static_cast<const wchar_t *>(privileges);
            Ref<IOPCServer> server = test->Local();
            last = server.get();
            return server->QueryInterface(riid, object);
        }
        HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

        RemoteTest *test = nullptr;
        std::wstring user;
        IUnknown *last = nullptr;
    };

    void SetUp() override {
        OpcTest::SetUp();
        char folder[] = "/tmp/brisvale-remote-test-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        registry = folder;
        setenv("BRISVALE_COM_REGISTRY", folder, 1);
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        factory.test = this;
        factory.last = nullptr;
        factory.user.clear();
        ASSERT_EQ(CoRegisterClassObject(TestClass(), &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
    }
    void TearDown() override {
        if (cookie != 0) CoRevokeClassObject(cookie);
        CoUninitialize();
        // Every client has gone, those that vanished included: the service may go.
        EXPECT_TRUE(WaitFor([&] { return finished.load() == createdCount.load(); })) << finished.load();
        OpcTest::TearDown();
        unsetenv("BRISVALE_COM_REGISTRY");
        std::filesystem::remove_all(registry);
    }

    // A server object made in this process (counted, so that the end of the
    // test can wait for every one to finish).
    Ref<IOPCServer> Local() {
        ++createdCount;
        return Connect();
    }

    // A server object reached across the socket.
    Ref<IOPCServer> Remote(HRESULT expected = S_OK, const CLSID &clsid = TestClass()) {
        void *object = nullptr;
        EXPECT_EQ(comremote::ActivateRemote(clsid, IID_IOPCServer, &object), expected);
        return Ref<IOPCServer>(static_cast<IOPCServer *>(object));
    }

    // The server's status call, its task memory freed: its result, and the vendor text.
    static HRESULT StatusOf(IOPCServer *server, std::string *vendor = nullptr) {
        OPCSERVERSTATUS *status = nullptr;
        const HRESULT result = server->GetStatus(&status);
        if (status == nullptr) return result;
        if (vendor != nullptr) *vendor = Narrow(status->szVendorInfo);
        CoTaskMemFree(status->szVendorInfo);
        CoTaskMemFree(status);
        return result;
    }

    // A raw connection to the published server, and one that has passed the hello.
    int Dial() {
        comremote::ClassSocket where;
        EXPECT_TRUE(comremote::LocateClassSocket(TestClass(), &where));
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = Address(where.path);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0) << where.path;
        const timeval limit{30, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        return fd;
    }
    int Greeted(HRESULT *verdict = nullptr) {
        const int fd = Dial();
        Send(fd, Hello(comremote::kMagic));
        std::uint8_t answer[comremote::kHelloAnswerSize];
        EXPECT_EQ(comremote::ReadFully(fd, answer, sizeof answer), 0);
        const HRESULT result = comremote::Reader(answer + 8, 4).I32();
        if (verdict != nullptr) *verdict = result;
        EXPECT_TRUE(verdict != nullptr || result == S_OK) << Hex(result);
        return fd;
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

    // Connection threads may still let go of it after a test has ended.
    static Factory &TheFactory() {
        static Factory *made = new Factory;
        return *made;
    }
    Factory &factory = TheFactory();
    DWORD cookie = 0;
    std::string registry;
    std::atomic<int> createdCount{0};
    std::vector<std::uint8_t> answer;
};

// ---- The calls ----------------------------------------------------------------

std::vector<std::string> Browse(IOPCServer *server) {
    IEnumString *strings = nullptr;
    EXPECT_EQ(Query<IOPCBrowseServerAddressSpace>(server, IID_IOPCBrowseServerAddressSpace)
                  ->BrowseOPCItemIDs(OPC_FLAT, Ole("").c_str(), VT_EMPTY, 0, &strings),
              S_OK);
    const Ref<IEnumString> owned(strings);
    LPOLESTR text[64] = {};
    ULONG fetched = 0;
    if (owned) owned->Next(64, text, &fetched);
    std::vector<std::string> names;
    for (ULONG k = 0; k < fetched; ++k) {
        names.push_back(Narrow(text[k]));
        CoTaskMemFree(text[k]);
    }
    return names;
}

TEST_F(RemoteTest, ClientCallsGiveWhatTheyGiveInProcess) {
    Update(1, 1234, OPC_QUALITY_GOOD, 77);
    Update(4, -5, OPC_QUALITY_COMM_FAILURE, 99);
    Ref<IOPCServer> local = Local();
    Ref<IOPCServer> remote = Remote();
    ASSERT_TRUE(remote);
    const std::string own = getpwuid(geteuid())->pw_name;
    EXPECT_EQ(factory.user, std::wstring(own.begin(), own.end())) << "the connecting user names the session";

    std::string vendor;
    ASSERT_EQ(StatusOf(remote.get(), &vendor), S_OK);
    EXPECT_EQ(vendor, "Brisvale OPC Server");
    EXPECT_EQ(Browse(remote.get()), Browse(local.get()));

    // A VARIANT of each size the wire carries (the type asked for is the toolkit's affair).
    for (VARTYPE type : {VT_EMPTY, VT_I4, VT_R8, VT_BSTR}) {
        const std::string name = "g" + std::to_string(type);
        Ref<IOPCItemMgt> localGroup = AddGroup(local.get(), name.c_str());
        Ref<IOPCItemMgt> remoteGroup = AddGroup(remote.get(), name.c_str());
        std::string localErrors, remoteErrors;
        const std::vector<std::string> ids = {"Pump1", "Tank.Level", "NoSuchTag", ""};
        const auto localHandles = AddItems(localGroup.get(), ids, &localErrors, type);
        const auto remoteHandles = AddItems(remoteGroup.get(), ids, &remoteErrors, type);
        EXPECT_EQ(remoteErrors, localErrors);
        EXPECT_EQ(SyncRead(remoteGroup.get(), OPC_DS_CACHE, remoteHandles),
                  SyncRead(localGroup.get(), OPC_DS_CACHE, localHandles))
            << type;
    }
    Ref<IOPCItemMgt> group = AddGroup(remote.get(), "Watched", 50);
    std::string errors;
    auto handles = AddItems(group.get(), {"Pump1", "Tank.Level"}, &errors);
    TaskOut<OPCITEMSTATE> states;
    states.clear = [](OPCITEMSTATE &state) { VariantClear(&state.vDataValue); };
    states.count = 2;
    TaskOut<HRESULT> readErrors;
    ASSERT_EQ(Query<IOPCSyncIO>(group.get(), IID_IOPCSyncIO)
                  ->Read(OPC_DS_CACHE, 2, handles.data(), &states.items, &readErrors.items),
              S_OK);
    const FILETIME times[] = {states[0].ftTimeStamp, states[1].ftTimeStamp};
    EXPECT_EQ((std::vector<DWORD>{times[0].dwLowDateTime, times[0].dwHighDateTime, times[1].dwLowDateTime,
                                  times[1].dwHighDateTime}),
              (std::vector<DWORD>{77, 0, 99, 0}));

    // A known and an unknown item: the unknown one is no success.
    OPCITEMDEF definition[] = {{nullptr, const_cast<OLECHAR *>(u"Valve"), TRUE, 5, 0, nullptr, VT_EMPTY, 0},
                               {nullptr, const_cast<OLECHAR *>(u"Nowhere"), TRUE, 6, 0, nullptr, VT_EMPTY, 0}};
    TaskOut<OPCITEMRESULT> results;
    TaskOut<HRESULT> itemErrors;
    ASSERT_EQ(group->ValidateItems(2, definition, FALSE, &results.items, &itemErrors.items), S_FALSE);
    EXPECT_EQ(results[0].vtCanonicalDataType, VT_I2);
    EXPECT_EQ((std::vector<HRESULT>{itemErrors[0], itemErrors[1]}), (std::vector<HRESULT>{S_OK, OPC_E_UNKNOWNITEMID}));
    Ref<IOPCGroupStateMgt> state = Query<IOPCGroupStateMgt>(group.get(), IID_IOPCGroupStateMgt);
    DWORD rate = 200, revised = 0;
    EXPECT_EQ(state->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(revised, 200u);

    // A subscription's changes reach the client's sink as the toolkit sent them.
    Sink &sink = NewSink();
    const DWORD adviseCookie = Advise(group.get(), sink);
    EXPECT_EQ(sink.Line(1), "change t0 g7 00000001/00000000 101=I2:1234/qC0 102=I2:-5/q18");
    EXPECT_EQ(Unadvise(group.get(), adviseCookie), S_OK);
    EXPECT_EQ(sink.references.load(), 1) << "the server let the sink go before Unadvise returned";
}

TEST_F(RemoteTest, DisconnectionAndWithdrawalEndWhatClientsHold) {
    Ref<IOPCServer> remote = Remote();
    Ref<IOPCItemMgt> group = AddGroup(remote.get(), "Kept");
    std::string errors;
    const auto handles = AddItems(group.get(), {"Pump1"}, &errors);
    EXPECT_EQ(CoDisconnectObject(factory.last, 0), S_OK);
    EXPECT_EQ(StatusOf(remote.get()), RPC_E_DISCONNECTED);
    EXPECT_EQ(SyncRead(group.get(), OPC_DS_CACHE, handles), "00000000 101=I2:0/q8") << "the group is still held";

    // Once the class is withdrawn, no new client reaches it; it is not
    // registered either, so nothing is started.
    ASSERT_EQ(CoRevokeClassObject(cookie), S_OK);
    cookie = 0;
    Remote(REGDB_E_CLASSNOTREG);
    EXPECT_EQ(SyncRead(group.get(), OPC_DS_CACHE, handles), "00000000 101=I2:0/q8") << "clients already there stay";
}

// ---- The client's end: a socket pair, the test plays the server -------------

struct ClientEnd {
    // No call of these tests is to run out of time.
    ClientEnd() {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        setenv("BRISVALE_COM_CALL_TIMEOUT_MS", "600000", 1);
        core = comremote::ClientCore::Start(pair[0]);
        unsetenv("BRISVALE_COM_CALL_TIMEOUT_MS");
        if (core != nullptr) core->Attach();
    }
    int pair[2] = {-1, -1};
    const int &server = pair[1];
    std::shared_ptr<comremote::ClientCore> core;
};

TEST_F(RemoteTest, ActivationsShortOfThreadsFailWithAnErrorOnly) {
    // without_threads.sh runs this with hardly a thread to spare; otherwise each succeeds.
    const bool fewThreads = std::getenv("BRISVALE_TEST_FEW_THREADS") != nullptr;
    for (int k = 0; k < 5; ++k) {
        void *object = nullptr;
        const HRESULT result = comremote::ActivateRemote(TestClass(), IID_IOPCServer, &object);
        EXPECT_TRUE(fewThreads || result == S_OK) << Hex(result);
        EXPECT_EQ(FAILED(result), object == nullptr) << "an object, or an error without one";
        if (object != nullptr) {
            StatusOf(static_cast<IOPCServer *>(object));
            static_cast<IUnknown *>(object)->Release();
        }
    }
}

// The server's calls to a client's sinks, and its answers to a client that
// asks without reading them.
TEST(RemoteOutbox, AClientThatStopsReadingIsDroppedInsteadOfWaitedFor) {
    for (const bool reply : {false, true}) {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        {
            comremote::Outbox outbox(pair[0]);
            HRESULT result = S_OK;
            for (int posted = 0; result == S_OK && posted < 100000; ++posted)
                result = outbox.Post(std::vector<std::uint8_t>(16, 1), reply);
            EXPECT_EQ(result, RPC_S_SERVER_UNAVAILABLE) << reply;
            EXPECT_EQ(outbox.Post(std::vector<std::uint8_t>(16, 1), true), RPC_S_SERVER_UNAVAILABLE)
                << "the connection is gone for good";
        }
        close(pair[0]);
        close(pair[1]);
    }
}

// A sink that asks the server something while the server's calls fill the
// queue: its answer, behind them on the socket, still reaches it. And the
// client's final release returns only once the sinks are let go.
TEST(RemoteClientCore, SinksAreAnsweredBehindAFullQueueAndLetGoBeforeTheFinalRelease) {
    // The sink's last release looks, for a while, whether the client's final
    // release has already returned (after which the client may free the sink).
    struct SlowSink final : IOPCDataCallback {
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void **object) override {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
        ULONG STDMETHODCALLTYPE Release() override {
            const ULONG count = --references;
            if (count == 0) {
                entered = true;
                WaitFor([&] { return returned.load(); }, std::chrono::seconds(2));
                left = true;
            }
            return count;
        }
        HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE *, VARIANT *,
                                               WORD *, FILETIME *, HRESULT *) override {
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE *, VARIANT *,
                                                 WORD *, FILETIME *, HRESULT *) override {
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE *, HRESULT *) override {
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

        std::atomic<ULONG> references{1};
        std::atomic<bool> returned{false}, entered{false}, left{false};
    };
    ClientEnd end;
    ASSERT_NE(end.core, nullptr);
    auto *slow = new SlowSink;
    ASSERT_NE(end.core->AddSink(slow), 0u);
    slow->Release();  // the client's own reference: only the connection's is left
    Sink sink;
    std::atomic<int> calls{0};
    std::atomic<HRESULT> answered{1};  // not yet
    sink.onChange = [&] {
        if (calls++ != 0) return;
        const std::uint32_t callId = end.core->NextCallId();
        std::vector<std::uint8_t> reply;
        answered = end.core->Call(callId, Writer(comremote::kGetStatus, callId, 1).Finish(), &reply);
    };
    const std::uint32_t sinkId = end.core->AddSink(&sink);
    ASSERT_NE(sinkId, 0u);
    Writer change(comremote::kOnDataChange, 0, sinkId);
    for (int k = 0; k < 5; ++k) change.U32(0);  // no items: the sink is called all the same
    const std::vector<std::uint8_t> message = change.Finish();
    Send(end.server, message);
    comremote::Header header{};
    std::vector<std::uint8_t> payload;
    ASSERT_TRUE(comremote::ReadMessage(end.server, &header, &payload));  // the sink's question
    // More changes than the queue holds arrive before the answer.
    std::vector<std::uint8_t> burst;
    for (std::size_t k = 0; k < comremote::kMaxQueuedCallbacks + 16; ++k)
        burst.insert(burst.end(), message.begin(), message.end());
    Writer answer(comremote::kReply, header.callId, 0);
    answer.I32(S_OK);
    const std::vector<std::uint8_t> reply = answer.Finish();
    burst.insert(burst.end(), reply.begin(), reply.end());
    std::thread server([&] { Send(end.server, burst); });
    EXPECT_TRUE(WaitFor([&] { return answered.load() != 1; }, std::chrono::seconds(20)));
    EXPECT_EQ(answered.load(), S_OK);
    EXPECT_TRUE(WaitFor([&] { return calls.load() == static_cast<int>(comremote::kMaxQueuedCallbacks) + 17; }));
    // The server goes: the sink thread lets go of the sinks meanwhile.
    close(end.server);
    server.join();
    ASSERT_TRUE(WaitFor([&] { return slow->entered.load(); }));
    end.core->Detach();
    EXPECT_TRUE(slow->left.load()) << "the final release returned while the sink was still being let go";
    slow->returned = true;
    EXPECT_TRUE(WaitFor([&] { return slow->left.load(); }));
    delete slow;
}

// A server that floods a sink which does not return: the client stops reading
// instead of queueing without bound.
TEST(RemoteClientCore, AFloodAgainstABlockedSinkIsLeftUnread) {
    ClientEnd end;
    ASSERT_NE(end.core, nullptr);
    Sink sink;
    std::atomic<bool> entered{false}, released{false};
    sink.onChange = [&] {
        entered = true;
        WaitFor([&] { return released.load(); }, std::chrono::seconds(120));
    };
    const std::uint32_t sinkId = end.core->AddSink(&sink);
    ASSERT_NE(sinkId, 0u);
    // Changes of 64 KiB each, as fast as the socket takes them, until it
    // takes none for a while: the client has stopped reading.
    Writer change(comremote::kOnDataChange, 0, sinkId);
    const std::vector<BYTE> items(64 * 1024 - 32);
    change.Blob(items.data(), static_cast<DWORD>(items.size()));
    const std::vector<std::uint8_t> message = change.Finish();
    Writer empty(comremote::kOnDataChange, 0, sinkId);
    for (int k = 0; k < 5; ++k) empty.U32(0);  // no items: the sink is called all the same
    Send(end.server, empty.Finish());          // the sink blocks in it
    ASSERT_TRUE(WaitFor([&] { return entered.load(); }));
    fcntl(end.server, F_SETFL, O_NONBLOCK);
    std::size_t sent = 0;
    while (sent < (64u << 20)) {
        const std::size_t at = sent % message.size();
        const ssize_t n = send(end.server, message.data() + at, message.size() - at, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (errno != EAGAIN) break;
        pollfd writable{end.server, POLLOUT, 0};
        if (poll(&writable, 1, 2000) == 0) break;
    }
    EXPECT_LT(sent, comremote::kMaxQueuedCallbackBytes + (8u << 20)) << "the client kept reading";
    close(end.server);
    released = true;
    end.core->Detach();
}

// ---- The protocol: bad input, limits, peers that go away ---------------------

TEST_F(RemoteTest, BrokenAndHostileMessagesCloseTheirConnectionOnly) {
    Ref<IOPCServer> bystander = Remote();
    ASSERT_TRUE(bystander);

    // After an activation (and a group the client holds, released when the
    // connection ends): an item count beyond what the message holds, a huge
    // blob (reads past the end all meet the same bounds check of the reader).
    Writer oversizedCount(comremote::kAddItems, 3, 1);
    oversizedCount.U32(0xFFFFFFFF);
    Writer hugeBlob(comremote::kAddItems, 3, 1);
    hugeBlob.U32(1);
    hugeBlob.Text(nullptr);
    hugeBlob.Text(u"Pump1");
    for (std::uint32_t value : {1u, 1u, 0x7FFFFFFFu}) hugeBlob.U32(value);
    Writer leftOver(comremote::kSyncRead, 3, 1);  // a whole read, and a byte more
    for (std::uint32_t value : {1u, 0u}) leftOver.U32(value);
    leftOver.U8(0);
    std::vector<std::uint8_t> cutShort = Activation();
    cutShort.resize(cutShort.size() - 5);
    // One row per check; random bytes are the fuzz target's (fuzz/fuzz_remote_messages.cpp).
    const struct {
        std::vector<std::uint8_t> message;
        int stage;         // 0: just connected, 1: greeted, 2: with a session and a group
        bool endsWriting;  // the client's end follows the bytes
    } hostile[] = {
        {Hello(0x12345678), 0, false},
        {Raw(3, comremote::kActivate, 1, 0), 1, false},                           // shorter than its header
        {Raw(comremote::kMaxMessage + 1, comremote::kActivate, 1, 0), 1, false},  // over the maximum
        {Writer(999, 1, 0).Finish(), 1, false},                                   // an unknown kind
        {Writer(comremote::kGetStatus, 0, 1).Finish(), 1, false},                 // no call id
        {Writer(comremote::kReply, 1, 1).Finish(), 1, false},                     // an answer from the client
        {cutShort, 1, true},
        {oversizedCount.Finish(), 2, false},
        {hugeBlob.Finish(), 2, false},
        {leftOver.Finish(), 2, false},
    };
    for (const auto &row : hostile) {
        const int fd = row.stage == 0 ? Dial() : Greeted();
        if (row.stage == 2) {
            ASSERT_EQ(Ask(fd, Activation()), S_OK);
            ASSERT_EQ(Ask(fd, GroupMessage(2, 1)), S_OK);
        }
        Send(fd, row.message);
        if (row.endsWriting) shutdown(fd, SHUT_WR);
        EXPECT_TRUE(Closed(fd));
        close(fd);
    }

    // Everyone else is served as before.
    EXPECT_EQ(StatusOf(bystander.get()), S_OK);
    EXPECT_TRUE(Remote());
}

TEST_F(RemoteTest, OneClientOverEachLimitGetsItsErrorWhileOthersAreServed) {
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
        const HRESULT result = Ask(fd, GroupMessage(call++, session), &rest);
        const std::uint32_t handle = rest.U32();
        rest.U32();
        if (result == S_OK) groups.emplace_back(handle, rest.U32());
        return result;
    };
    for (std::size_t k = 0; k < comremote::kMaxGroupsPerSession; ++k) ASSERT_EQ(addGroup(sessions[0]), S_OK);
    Send(fd, Raw(comremote::kHeaderSize, comremote::kRelease, 0, groups[0].second));
    EXPECT_EQ(addGroup(sessions[0]), HRESULT_NOT_ENOUGH_QUOTA);
    Writer remove(comremote::kRemoveGroup, call++, sessions[0]);
    remove.U32(groups[0].first);
    remove.U32(0);
    ASSERT_EQ(Ask(fd, remove.Finish()), S_OK);
    EXPECT_EQ(addGroup(sessions[0]), S_OK) << "room once the session no longer lists it";

    // Items of one group.
    const std::uint32_t group = groups.back().second;
    ASSERT_EQ(Ask(fd, ItemsMessage(call++, group, 1, u"Pump1")), S_OK);
    EXPECT_EQ(Ask(fd, ItemsMessage(call++, group, comremote::kMaxItemsPerGroup, u"Nothing")), HRESULT_NOT_ENOUGH_QUOTA);

    // Items of the whole connection (the group above holds one): the last full group is one too many.
    const std::size_t full = comremote::kMaxItemsPerConnection / comremote::kMaxItemsPerGroup;
    for (std::size_t k = 0; k < full; ++k) {
        ASSERT_EQ(addGroup(sessions[2]), S_OK);
        EXPECT_EQ(Ask(fd, ItemsMessage(call++, groups.back().second, comremote::kMaxItemsPerGroup, u"Pump1")),
                  k + 1 < full ? S_OK : HRESULT_NOT_ENOUGH_QUOTA);
    }

    EXPECT_EQ(LogLines("refused"), refusals + 4) << "one log line for each refusal";
    EXPECT_EQ(StatusOf(bystander.get()), S_OK);
    close(fd);
}

TEST_F(RemoteTest, AFullServerAnswersBusyAndServesAgainWhenAPlaceIsFree) {
    // Clients with a session each, until the server says it is busy.
    std::vector<int> held;
    HRESULT verdict = S_OK;
    while (verdict == S_OK && held.size() <= static_cast<std::size_t>(comremote::kMaxConnections)) {
        held.push_back(Greeted(&verdict));
        ASSERT_TRUE(verdict != S_OK || Ask(held.back(), Activation()) == S_OK) << "a session for each";
    }
    EXPECT_EQ(verdict, RPC_S_SERVER_TOO_BUSY);
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
    void *object = nullptr;
    EXPECT_TRUE(WaitFor([&] { return comremote::ActivateRemote(TestClass(), IID_IOPCServer, &object) == S_OK; }));
    if (object != nullptr) static_cast<IUnknown *>(object)->Release();
    for (std::size_t k = 1; k < held.size(); ++k) close(held[k]);
}

TEST_F(RemoteTest, IdleAndHalfSentConnectionsDoNotHoldThePlacesForGood) {
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
    EXPECT_EQ(StatusOf(quiet.get()), S_OK);
}

TEST_F(RemoteTest, OnlyATrustedRegistrysWholePathStartsAServerAndItStartsClean) {
    // The registry's link and world-writable checks are
    // tests/platform/test_com_posix.cpp's; its group and owner checks are here.
    const std::string classes = registry + "/CLSID";
    const std::string entry = classes + "/" + GuidText(TestClass(3));
    const std::string ran = registry + "/ran";
    std::filesystem::create_directories(classes);
    const auto activate = [&](const std::string &command) {
        std::ofstream(entry) << "LocalServer32=" << command << "\n";
        chmod(entry.c_str(), 0644);
        void *object = nullptr;
        return comremote::ActivateRemote(TestClass(3), IID_IOPCServer, &object);
    };
    // Refused before the command is read: it would leave a mark.
    const std::string mark = "/bin/sh -c \"touch " + ran + "\"";
    ASSERT_EQ(chmod(classes.c_str(), 0775), 0);
    EXPECT_EQ(activate(mark), E_ACCESSDENIED) << "a class folder its group may change";
    ASSERT_EQ(chmod(classes.c_str(), 0755), 0);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(entry.c_str(), 65534, 65534), 0);
        EXPECT_EQ(activate(mark), E_ACCESSDENIED) << "a class file of another user";
        ASSERT_EQ(chown(entry.c_str(), 0, 0), 0);
    }
    // A bare name would run what the client's working folder holds.
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path("/bin");
    EXPECT_EQ(activate(mark.substr(5)), CO_E_SERVER_EXEC_FAILURE);
    std::filesystem::current_path(previous);
    EXPECT_FALSE(std::filesystem::exists(ran));

    // A client run in the background of a script ignores Ctrl-C: the server
    // it starts does not, or the user could not stop it so. (A blocked signal
    // cannot be seen here: the shell that reports clears its mask.)
    const auto previousHandler = signal(SIGINT, SIG_IGN);
    ASSERT_NE(previousHandler, SIG_ERR);
    const std::string report = registry + "/started";
    const HRESULT result = activate("/bin/sh -c \"grep ^SigIgn /proc/self/status > " + report + "\"");
    signal(SIGINT, previousHandler);
    EXPECT_EQ(result, CO_E_SERVER_EXEC_FAILURE) << "it ends without serving";
    std::ifstream reported(report);
    std::string line;
    std::getline(reported, line);
    EXPECT_EQ(line, "SigIgn:\t0000000000000000");
}

// Servers that hang, stop or died: a client's wait ends within its limits, a
// new server's start is not held up, and only dead servers' sockets go.
TEST_F(RemoteTest, HungStoppedAndDeadServersHoldNobodyUp) {
    comremote::ClassSocket own, where;
    ASSERT_TRUE(comremote::LocateClassSocket(TestClass(), &own));
    const std::string dead = own.folder + "/0123456789abcdef.sock";
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = Address(dead);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    close(fd);  // bound, never listened: what a killed server leaves

    // A client that began to start the server and was stopped holds the
    // start: the others wait for it no longer than for the server itself.
    const CLSID other = TestClass(2);
    ASSERT_TRUE(comremote::LocateClassSocket(other, &where));
    std::filesystem::create_directories(registry + "/CLSID");
    std::ofstream(registry + "/CLSID/" + GuidText(other)) << "LocalServer32=/bin/false\n";
    for (const char *name : {"START", "CONNECT", "CALL"})
        setenv(("BRISVALE_COM_" + std::string(name) + "_TIMEOUT_MS").c_str(), "300", 1);
    const int holder = open(where.startLock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    std::atomic<HRESULT> started{1};  // not yet
    std::thread client([&] {
        void *object = nullptr;
        started = comremote::ActivateRemote(other, IID_IOPCServer, &object);
    });
    EXPECT_TRUE(WaitFor([&] { return started.load() != 1; })) << "held up by the stopped client";
    close(holder);
    client.join();
    EXPECT_EQ(started.load(), CO_E_SERVER_EXEC_FAILURE);

    // A server that answers the hello and then hangs: the call's limit ends
    // the wait (the hello's is generous, so that only the call's can).
    setenv("BRISVALE_COM_CONNECT_TIMEOUT_MS", "60000", 1);
    const int stopped = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    address = Address(where.path);
    unlink(where.path.c_str());
    ASSERT_EQ(bind(stopped, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(stopped, 0), 0);
    std::thread hung([&] {
        const int fd = accept(stopped, nullptr, nullptr);
        std::uint8_t bytes[comremote::kHelloSize];
        if (comremote::ReadFully(fd, bytes, sizeof bytes) == 0) {
            const std::uint8_t welcome[comremote::kHelloAnswerSize] = {0x42, 0x56, 0x43, 0x4D, 1};
            comremote::WriteFully(fd, welcome, sizeof welcome);
        }
        while (recv(fd, bytes, sizeof bytes, 0) > 0) {
        }
        close(fd);
    });
    Remote(RPC_E_TIMEOUT, other);
    hung.join();

    // Then stopped with its queue of waiting clients full: alive, and neither
    // waited for nor taken over by a new server of its class.
    std::vector<int> waiting;
    for (int fd; (fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) >= 0;) {
        waiting.push_back(fd);
        if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) break;
    }
    struct stat info {};
    ASSERT_EQ(lstat(where.path.c_str(), &info), 0);
    const ino_t stoppedInode = info.st_ino;
    setenv("BRISVALE_COM_CONNECT_TIMEOUT_MS", "300", 1);
    Remote(RPC_S_SERVER_TOO_BUSY, other);
    for (const char *name : {"START", "CONNECT", "CALL"})
        unsetenv(("BRISVALE_COM_" + std::string(name) + "_TIMEOUT_MS").c_str());
    DWORD otherCookie = 0;
    auto registered = std::async(std::launch::async, [&] {
        return CoRegisterClassObject(other, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &otherCookie);
    });
    const bool returned = registered.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    close(stopped);  // a registration still waiting on it goes on
    EXPECT_TRUE(returned) << "a new server waited on the stopped one";
    EXPECT_EQ(registered.get(), S_OK) << "serving its own process only";
    EXPECT_TRUE(returned && lstat(where.path.c_str(), &info) == 0 && info.st_ino == stoppedInode)
        << "the stopped server's socket stays";
    for (const int fd : waiting) close(fd);
    EXPECT_NE(lstat(dead.c_str(), &info), 0);
    EXPECT_EQ(lstat(own.path.c_str(), &info), 0) << "the live one stays";
    EXPECT_EQ(CoRevokeClassObject(otherCookie), S_OK);
}

TEST_F(RemoteTest, TheServerItselfRefusesAnotherUser) {
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
    const sockaddr_un address = Address(opened);
    const pid_t child = fork();
    if (child == 0) {
        // Only async-signal-safe calls in the child of a threaded process.
        if (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) _exit(10);
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) _exit(11);
        if (write(fd, hello.data(), hello.size()) != static_cast<ssize_t>(hello.size())) _exit(12);
        std::uint8_t answer[comremote::kHelloAnswerSize];
        if (comremote::ReadFully(fd, answer, sizeof answer) != 0) _exit(13);
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
