// The calls a client makes from another process give what they give in
// process: same results, same values, same callbacks, task memory as COM's
// rules say; and what ends a client's objects ends them on the server.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

#include "client_core.h"
#include "outbox.h"
#include "remote_fixture.h"
#include "socket_io.h"

namespace remote_test {
namespace {

std::vector<std::string> Browse(IOPCServer *server) {
    Ref<IOPCBrowseServerAddressSpace> browse =
        Query<IOPCBrowseServerAddressSpace>(server, IID_IOPCBrowseServerAddressSpace);
    std::vector<std::string> names;
    IEnumString *strings = nullptr;
    EXPECT_EQ(browse->BrowseOPCItemIDs(OPC_FLAT, Ole("").c_str(), VT_EMPTY, 0, &strings), S_OK);
    LPOLESTR text[3] = {};
    ULONG fetched = 0;
    while (strings != nullptr && SUCCEEDED(strings->Next(3, text, &fetched)) && fetched > 0) {
        for (ULONG k = 0; k < fetched; ++k) {
            names.push_back(Narrow(text[k]));
            CoTaskMemFree(text[k]);
        }
    }
    if (strings != nullptr) strings->Release();
    return names;
}

std::vector<unsigned long long> Times(IOPCItemMgt *group, std::vector<OPCHANDLE> handles) {
    Ref<IOPCSyncIO> io = Query<IOPCSyncIO>(group, IID_IOPCSyncIO);
    TaskOut<OPCITEMSTATE> states;
    states.clear = [](OPCITEMSTATE &state) { VariantClear(&state.vDataValue); };
    states.count = static_cast<DWORD>(handles.size());
    TaskOut<HRESULT> errors;
    EXPECT_EQ(io->Read(OPC_DS_CACHE, states.count, handles.data(), &states.items, &errors.items), S_OK);
    std::vector<unsigned long long> times;
    for (DWORD k = 0; states.items != nullptr && k < states.count; ++k)
        times.push_back((static_cast<unsigned long long>(states[k].ftTimeStamp.dwHighDateTime) << 32) |
                        states[k].ftTimeStamp.dwLowDateTime);
    return times;
}

TEST_F(RemoteTest, ClientCallsGiveWhatTheyGiveInProcess) {
    Update(1, 1234, OPC_QUALITY_GOOD, 77);
    Update(4, -5, OPC_QUALITY_COMM_FAILURE, 99);
    Ref<IOPCServer> local = Local();
    Ref<IOPCServer> remote = Remote();
    ASSERT_TRUE(remote);
    EXPECT_EQ(factory.user, OwnUser()) << "the connecting user names the session";
    EXPECT_FALSE(factory.onMainThread);

    const Status status = StatusOf(remote.get());
    ASSERT_EQ(status.result, S_OK);
    EXPECT_EQ(status.state, OPC_STATUS_RUNNING);
    EXPECT_EQ(status.vendor, "Brisvale OPC Server");
    EXPECT_EQ(Browse(remote.get()), Browse(local.get()));
    EXPECT_EQ(Browse(remote.get()).size(), 4u);

    // Every type a tag's value may be asked in, values and qualities alike.
    for (VARTYPE type : {VT_EMPTY, VT_I4, VT_UI2, VT_R8, VT_BSTR, VT_BOOL}) {
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
        EXPECT_EQ(SyncRead(remoteGroup.get(), OPC_DS_CACHE, {remoteHandles[0], 0xDEAD}),
                  SyncRead(localGroup.get(), OPC_DS_CACHE, {localHandles[0], 0xDEAD}));
    }
    Ref<IOPCItemMgt> group = AddGroup(remote.get(), "Watched", 50);
    std::string errors;
    const auto handles = AddItems(group.get(), {"Pump1", "Tank.Level"}, &errors);
    EXPECT_EQ(Times(group.get(), handles), (std::vector<unsigned long long>{77, 99}));

    OPCITEMDEF definition{nullptr, const_cast<OLECHAR *>(u"Valve"), TRUE, 5, 0, nullptr, VT_EMPTY, 0};
    OPCITEMRESULT *results = nullptr;
    HRESULT *itemErrors = nullptr;
    ASSERT_EQ(group->ValidateItems(1, &definition, FALSE, &results, &itemErrors), S_OK);
    EXPECT_EQ(results[0].vtCanonicalDataType, VT_I2);
    EXPECT_EQ(itemErrors[0], S_OK);
    CoTaskMemFree(results);
    CoTaskMemFree(itemErrors);
    HRESULT *removed = nullptr;
    OPCHANDLE gone[2] = {handles[1], 0xBAD};
    EXPECT_EQ(group->RemoveItems(2, gone, &removed), S_FALSE);
    EXPECT_EQ(removed[0], S_OK);
    EXPECT_EQ(removed[1], OPC_E_INVALIDHANDLE);
    CoTaskMemFree(removed);

    Ref<IOPCGroupStateMgt> state = Query<IOPCGroupStateMgt>(group.get(), IID_IOPCGroupStateMgt);
    DWORD rate = 0, revised = 0;
    BOOL active = FALSE;
    LPOLESTR name = nullptr;
    LONG bias = 0;
    FLOAT deadband = 0;
    LCID locale = 0;
    OPCHANDLE client = 0, server = 0;
    ASSERT_EQ(state->GetState(&rate, &active, &name, &bias, &deadband, &locale, &client, &server), S_OK);
    EXPECT_EQ(Narrow(name), "Watched");
    EXPECT_EQ(locale, 0x0409u);
    CoTaskMemFree(name);
    rate = 200;
    EXPECT_EQ(state->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(revised, 200u);

    // A subscription's changes reach the client's sink as the toolkit sent them.
    Ref<IConnectionPointContainer> container =
        Query<IConnectionPointContainer>(group.get(), IID_IConnectionPointContainer);
    IConnectionPoint *point = nullptr;
    ASSERT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, &point), S_OK);
    Ref<IConnectionPoint> pointHolder(point);
    Sink &sink = NewSink();
    DWORD adviseCookie = 0;
    ASSERT_EQ(point->Advise(static_cast<IOPCDataCallback *>(&sink), &adviseCookie), S_OK);
    EXPECT_EQ(sink.Line(1), "change t0 g7 00000000/00000000 101=I2:1234/qC0");
    Update(1, 4321, OPC_QUALITY_GOOD, 100);
    EXPECT_EQ(sink.Line(2), "change t0 g7 00000000/00000000 101=I2:4321/qC0");
    EXPECT_EQ(point->Unadvise(adviseCookie), S_OK);
    EXPECT_EQ(point->Unadvise(adviseCookie), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(sink.references.load(), 1) << "the server let the sink go before Unadvise returned";

    // Beyond the calls the layer carries.
    IUnknown *none = nullptr;
    EXPECT_EQ(remote->GetGroupByName(u"Watched", IID_IOPCItemMgt, &none), E_NOTIMPL);
    EXPECT_EQ(remote->QueryInterface(IID_IOPCCommon, reinterpret_cast<void **>(&none)), E_NOINTERFACE);
    EXPECT_EQ(Query<IOPCSyncIO>(remote.get(), IID_IOPCSyncIO), nullptr);
    // A group asked for as an interface the layer does not carry is not left behind.
    const Status beforeAsync = StatusOf(remote.get());
    OPCHANDLE asyncHandle = 0;
    DWORD asyncRate = 0;
    EXPECT_EQ(remote->AddGroup(u"Async", TRUE, 100, 9, nullptr, nullptr, 0, &asyncHandle, &asyncRate, IID_IOPCAsyncIO2,
                               &none),
              E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    const Status after = StatusOf(remote.get());
    ASSERT_EQ(after.result, S_OK);
    EXPECT_EQ(after.groups, beforeAsync.groups);

    const int before = finished.load();
    pointHolder.reset();
    container.reset();
    state.reset();
    group.reset();
    remote.reset();
    EXPECT_TRUE(WaitFor([&] { return finished.load() == before + 1; })) << "the remote session ended";
}

TEST_F(RemoteTest, DisconnectionAndWithdrawalEndWhatClientsHold) {
    Ref<IOPCServer> remote = Remote();
    Ref<IOPCItemMgt> group = AddGroup(remote.get(), "Kept");
    std::string errors;
    const auto handles = AddItems(group.get(), {"Pump1"}, &errors);
    EXPECT_EQ(CoDisconnectObject(factory.last, 0), S_OK);
    EXPECT_EQ(StatusOf(remote.get()).result, RPC_E_DISCONNECTED);
    EXPECT_EQ(SyncRead(group.get(), OPC_DS_CACHE, handles), "00000000 101=I2:0/q8") << "the group is still held";

    // Once the class is withdrawn, no new client reaches it; it is not
    // registered either, so nothing is started.
    ASSERT_EQ(CoRevokeClassObject(cookie), S_OK);
    cookie = 0;
    Remote(REGDB_E_CLASSNOTREG);
    EXPECT_EQ(SyncRead(group.get(), OPC_DS_CACHE, handles), "00000000 101=I2:0/q8") << "clients already there stay";
}

TEST_F(RemoteTest, ActivationsShortOfThreadsFailWithAnErrorOnly) {
    // without_threads.sh runs this with hardly a thread to spare; otherwise each succeeds.
    const bool fewThreads = std::getenv("BRISVALE_TEST_FEW_THREADS") != nullptr;
    for (int k = 0; k < 5; ++k) {
        void *object = nullptr;
        const HRESULT result = comremote::ActivateRemote(TestClass(), IID_IOPCServer, &object);
        if (!fewThreads) {
            EXPECT_EQ(result, S_OK);
        }
        if (FAILED(result)) {
            EXPECT_EQ(object, nullptr);
            continue;
        }
        auto *server = static_cast<IOPCServer *>(object);
        StatusOf(server);
        server->Release();
    }
}

// The client's end of a socket pair; the test plays the server at the other end.
struct ClientEnd {
    explicit ClientEnd(const char *callLimitMs = nullptr) {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        if (callLimitMs != nullptr) setenv("BRISVALE_COM_CALL_TIMEOUT_MS", callLimitMs, 1);
        core = comremote::ClientCore::Start(pair[0]);
        unsetenv("BRISVALE_COM_CALL_TIMEOUT_MS");
        if (core != nullptr) core->Attach();
    }
    HRESULT AskStatus() const {
        const std::uint32_t callId = core->NextCallId();
        comremote::Writer status(comremote::kGetStatus, callId, 1);
        std::vector<std::uint8_t> reply;
        return core->Call(callId, status.Finish(), &reply);
    }
    int pair[2] = {-1, -1};
    const int &server = pair[1];
    std::shared_ptr<comremote::ClientCore> core;
};

// A change with no items: the sink is called all the same.
std::vector<std::uint8_t> EmptyChange(std::uint32_t sinkId) {
    comremote::Writer change(comremote::kOnDataChange, 0, sinkId);
    for (int k = 0; k < 5; ++k) change.U32(0);
    return change.Finish();
}

TEST(RemoteOutbox, AClientThatStopsReadingIsDroppedInsteadOfWaitedFor) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    {
        comremote::Outbox outbox(pair[0]);
        int posted = 0;
        HRESULT result = S_OK;
        while (result == S_OK && posted < 100000) {
            result = outbox.Post(std::vector<std::uint8_t>(4096, 1), false);
            ++posted;
        }
        EXPECT_EQ(result, RPC_S_SERVER_UNAVAILABLE);
        EXPECT_EQ(outbox.Post(std::vector<std::uint8_t>(16, 1), true), RPC_S_SERVER_UNAVAILABLE)
            << "the connection is gone for good";
    }
    close(pair[0]);
    close(pair[1]);
}

TEST(RemoteClientCore, LettingGoReturnsWhileTheServerIsStillSending) {
    // Messages the client had not read yet when it let go must not keep its
    // final release waiting for a delivery that never comes.
    for (int round = 0; round < 20; ++round) {
        ClientEnd end;
        ASSERT_NE(end.core, nullptr);
        auto *sink = new Sink;  // left behind if the release hangs
        ASSERT_NE(end.core->AddSink(sink), 0u);
        std::thread server([fd = end.server] {
            comremote::Writer message(comremote::kOnCancelComplete, 0, 999);
            message.U32(1);
            message.U32(2);
            const std::vector<std::uint8_t> one = message.Finish();
            std::vector<std::uint8_t> burst;
            for (int k = 0; k < 256; ++k) burst.insert(burst.end(), one.begin(), one.end());
            while (comremote::WriteFully(fd, burst.data(), burst.size()) == 0) {
            }
        });
        std::atomic<bool> released{false};
        std::thread client([&] {
            end.core->Detach();
            released = true;
        });
        const bool done = WaitFor([&] { return released.load(); });
        if (!done) {
            client.detach();
            server.detach();
            FAIL() << "the final release still waits, round " << round;
        }
        client.join();
        server.join();
        end.core.reset();
        close(end.server);
        EXPECT_EQ(sink->references.load(), 1u) << "the client let its sink go";
        delete sink;
    }
}

TEST(RemoteClientCore, TheFinalReleaseReturnsOnlyOnceTheSinksAreLetGo) {
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
                WaitFor([&] { return returned->load(); }, std::chrono::seconds(2));
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
        std::atomic<bool> *returned = nullptr;
        std::atomic<bool> entered{false};
        std::atomic<bool> left{false};
    };
    ClientEnd end;
    ASSERT_NE(end.core, nullptr);
    std::atomic<bool> returned{false};
    auto *sink = new SlowSink;
    sink->returned = &returned;
    ASSERT_NE(end.core->AddSink(sink), 0u);
    sink->Release();  // the client's own reference: only the connection's is left
    // The server goes first: the sink thread lets go of the sink meanwhile.
    close(end.server);
    ASSERT_TRUE(WaitFor([&] { return sink->entered.load(); }));
    end.core->Detach();
    EXPECT_TRUE(sink->left.load()) << "the final release returned while the sink was still being let go";
    returned = true;
    EXPECT_TRUE(WaitFor([&] { return sink->left.load(); }));
    delete sink;
}

TEST(RemoteClientCore, AFloodAgainstABlockedSinkIsLeftUnreadAndTheCallsSayWhyItEnded) {
    ClientEnd end("5000");
    ASSERT_NE(end.core, nullptr);
    Sink sink;
    std::atomic<bool> entered{false};
    std::atomic<bool> released{false};
    sink.onChange = [&] {
        entered = true;
        WaitFor([&] { return released.load(); }, std::chrono::seconds(120));
    };
    const std::uint32_t sinkId = end.core->AddSink(&sink);
    ASSERT_NE(sinkId, 0u);
    const std::vector<std::uint8_t> blocking = EmptyChange(sinkId);  // the sink blocks in it
    ASSERT_EQ(comremote::WriteFully(end.server, blocking.data(), blocking.size()), 0);
    ASSERT_TRUE(WaitFor([&] { return entered.load(); }));
    // A call asked before the queue fills: its answer never comes.
    std::atomic<HRESULT> asked{1};  // not yet
    std::thread asking([&] { asked = end.AskStatus(); });

    // Changes of 64 KiB each, as fast as the socket takes them, until it
    // takes none for a while: the client has stopped reading.
    comremote::Writer change(comremote::kOnDataChange, 0, sinkId);
    const std::vector<BYTE> items(64 * 1024 - 32);
    change.Blob(items.data(), static_cast<DWORD>(items.size()));
    const std::vector<std::uint8_t> message = change.Finish();
    fcntl(end.server, F_SETFL, O_NONBLOCK);
    constexpr std::size_t kFlood = 64u << 20;
    std::size_t sent = 0;
    while (sent < kFlood) {
        const ssize_t n = send(end.server, message.data() + sent % message.size(),
                               message.size() - sent % message.size(), MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (errno != EAGAIN) break;  // the call ran out of time and ended the connection
        pollfd writable{end.server, POLLOUT, 0};
        if (poll(&writable, 1, 2000) == 0) break;
    }
    EXPECT_LT(sent, comremote::kMaxQueuedCallbackBytes + (8u << 20)) << "the client kept reading";

    // The answer was stuck behind the changes: the client, not the server, is
    // to blame, and so its calls say, that one and the next.
    asking.join();
    EXPECT_EQ(asked.load(), comremote::kFellBehind);
    close(end.server);
    EXPECT_EQ(end.AskStatus(), comremote::kFellBehind);
    released = true;
    end.core->Detach();
    EXPECT_EQ(sink.references.load(), 1u);
}

// A sink that asks the server something while the server's calls fill the
// queue: its answer, behind them on the socket, still reaches it.
TEST(RemoteClientCore, ASinkThatCallsTheServerIsAnsweredBehindAFullQueue) {
    ClientEnd end("600000");
    ASSERT_NE(end.core, nullptr);
    Sink sink;
    std::atomic<int> calls{0};
    std::atomic<HRESULT> answered{1};  // not yet
    sink.onChange = [&] {
        if (calls++ == 0) answered = end.AskStatus();
    };
    const std::uint32_t sinkId = end.core->AddSink(&sink);
    ASSERT_NE(sinkId, 0u);
    const std::vector<std::uint8_t> message = EmptyChange(sinkId);
    ASSERT_EQ(comremote::WriteFully(end.server, message.data(), message.size()), 0);
    comremote::Header header{};
    std::vector<std::uint8_t> payload;
    ASSERT_TRUE(comremote::ReadMessage(end.server, &header, &payload));  // the sink's question
    // More changes than the queue holds arrive before the answer.
    std::vector<std::uint8_t> burst;
    for (std::size_t k = 0; k < comremote::kMaxQueuedCallbacks + 16; ++k)
        burst.insert(burst.end(), message.begin(), message.end());
    comremote::Writer answer(comremote::kReply, header.callId, 0);
    answer.I32(S_OK);
    const std::vector<std::uint8_t> reply = answer.Finish();
    burst.insert(burst.end(), reply.begin(), reply.end());
    std::thread server([&] { comremote::WriteFully(end.server, burst.data(), burst.size()); });
    EXPECT_TRUE(WaitFor([&] { return answered.load() != 1; }, std::chrono::seconds(20)));
    EXPECT_EQ(answered.load(), S_OK);
    EXPECT_TRUE(WaitFor([&] { return calls.load() == static_cast<int>(comremote::kMaxQueuedCallbacks) + 17; }));
    close(end.server);
    server.join();
    end.core->Detach();
}

// A limit is a whole number of milliseconds; anything else keeps the default
// rather than turning "30s" into 30 ms.
TEST(RemoteActivation, TimeLimitsTakeOnlyWholeNumbersInRange) {
    const struct {
        const char *text;
        int expected;
    } rows[] = {{"1500", 1500}, {"600000", 600000}, {"0", 77}, {"600001", 77}, {"-5", 77},
                {"30s", 77},    {"1e3", 77},        {"", 77},  {" 12", 77},    {"12 ", 77}};
    for (const auto &row : rows) {
        setenv("BRISVALE_TEST_LIMIT_MS", row.text, 1);
        EXPECT_EQ(comremote::TimeLimit("BRISVALE_TEST_LIMIT_MS", 77), row.expected) << '"' << row.text << '"';
    }
    unsetenv("BRISVALE_TEST_LIMIT_MS");
    EXPECT_EQ(comremote::TimeLimit("BRISVALE_TEST_LIMIT_MS", 77), 77);
}

TEST(RemoteActivation, RegisteredCommandLinesSplitAsRegistrationWritesThem) {
    std::vector<std::string> words;
    ASSERT_TRUE(comremote::SplitCommandLine("\"/opt/my server/brisvale-opc\" /c", &words));
    EXPECT_EQ(words, (std::vector<std::string>{"/opt/my server/brisvale-opc", "/c"}));
    ASSERT_TRUE(comremote::SplitCommandLine("/usr/bin/brisvale-opc", &words));
    EXPECT_EQ(words, (std::vector<std::string>{"/usr/bin/brisvale-opc"}));
    EXPECT_FALSE(comremote::SplitCommandLine("\"/opt/unclosed /c", &words));
    EXPECT_FALSE(comremote::SplitCommandLine("  ", &words));
}

}  // namespace
}  // namespace remote_test
