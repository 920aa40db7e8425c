#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "lightopc_fixture.h"

namespace {

// What the end-of-session callback saw.
struct Finished {
    std::atomic<int> calls{0};
    loService *service = nullptr;
    loClient *client = nullptr;
};

void OnFinished(void *argument, loService *service, loClient *client) {
    Finished *finished = static_cast<Finished *>(argument);
    finished->service = service;
    finished->client = client;
    ++finished->calls;
}

const IID kOtherIid = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};

class Clients : public ::testing::Test {
protected:
    void SetUp() override {
        const loDriver driver = TestDriver();
        ASSERT_EQ(loServiceCreate(&service, &driver, 2), 0);
        VARIANT zero = I2Value(0);
        ASSERT_EQ(loAddRealTag(service, &tag, nullptr, "T1", 0, 1, &zero, 0, nullptr), 0);
    }
    void TearDown() override {
        if (service != nullptr) {
            EXPECT_EQ(loServiceDestroy(service), 0);
        }
    }

    loService *service = nullptr;
    loTagId tag = 0;
};

TEST_F(Clients, PlainClientHasOneReferenceAndFinishesOnce) {
    Finished finished;
    loClient *client = nullptr;
    IUnknown *inner = nullptr;
    ASSERT_EQ(loClientCreate_agg(service, &client, nullptr, &inner, 0, nullptr, OnFinished, &finished), 0);
    ASSERT_NE(client, nullptr);
    ASSERT_NE(inner, nullptr);

    // The identity is the inner unknown, whichever interface is asked.
    IUnknown *identity = nullptr;
    ASSERT_EQ(client->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&identity)), S_OK);
    EXPECT_EQ(identity, inner);
    IloCacheReader *reader = nullptr;
    ASSERT_EQ(client->QueryInterface(IID_IloCacheReader, reinterpret_cast<void **>(&reader)), S_OK);
    IUnknown *again = nullptr;
    ASSERT_EQ(reader->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&again)), S_OK);
    EXPECT_EQ(again, inner);

    void *other = client;
    EXPECT_EQ(client->QueryInterface(kOtherIid, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(client->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

    EXPECT_EQ(identity->Release(), 3u);
    EXPECT_EQ(again->Release(), 2u);
    EXPECT_EQ(client->Release(), 1u);  // the reference creation returned
    EXPECT_EQ(finished.calls.load(), 0);
    EXPECT_EQ(reader->Release(), 0u);
    EXPECT_EQ(finished.calls.load(), 1);
    EXPECT_EQ(finished.service, service);
    EXPECT_EQ(finished.client, client);
}

TEST_F(Clients, CreationRefusesNullArguments) {
    loClient *client = nullptr;
    IUnknown *inner = nullptr;
    EXPECT_NE(loClientCreate_agg(nullptr, &client, nullptr, &inner, 0, nullptr, nullptr, nullptr), 0);
    EXPECT_NE(loClientCreate_agg(service, nullptr, nullptr, &inner, 0, nullptr, nullptr, nullptr), 0);
    EXPECT_NE(loClientCreate_agg(service, &client, nullptr, nullptr, 0, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(client, nullptr);
    EXPECT_EQ(inner, nullptr);
}

// An outer object that aggregates a client object and hands out its reader.
class Outer final : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
        if (object == nullptr) return E_POINTER;
        if (IsEqualGUID(riid, IID_IUnknown)) {
            *object = static_cast<IUnknown *>(this);
            AddRef();
            return S_OK;
        }
        return inner->QueryInterface(riid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references;
        if (left == 0) {
            IUnknown *gone = inner;
            inner = nullptr;
            gone->Release();
        }
        return left;
    }

    std::atomic<ULONG> references{1};
    IUnknown *inner = nullptr;
};

TEST_F(Clients, AggregatedClientDelegatesToTheOuterUnknown) {
    Finished finished;
    Outer outer;
    loClient *client = nullptr;
    ASSERT_EQ(loClientCreate_agg(service, &client, &outer, &outer.inner, 0, nullptr, OnFinished, &finished), 0);
    ASSERT_NE(outer.inner, nullptr);
    EXPECT_NE(static_cast<void *>(outer.inner), static_cast<void *>(&outer));
    EXPECT_EQ(outer.references.load(), 1u);  // the inner object does not hold its outer

    IloCacheReader *reader = nullptr;
    ASSERT_EQ(outer.QueryInterface(IID_IloCacheReader, reinterpret_cast<void **>(&reader)), S_OK);
    EXPECT_EQ(outer.references.load(), 2u);
    EXPECT_EQ(reader->AddRef(), 3u);
    EXPECT_EQ(reader->Release(), 2u);

    // The reader's identity is the outer object's.
    IUnknown *identity = nullptr;
    ASSERT_EQ(reader->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&identity)), S_OK);
    EXPECT_EQ(identity, static_cast<IUnknown *>(&outer));
    identity->Release();
    EXPECT_EQ(client->AddRef(), 3u);
    EXPECT_EQ(client->Release(), 2u);

    DWORD count = 0;
    EXPECT_EQ(reader->GetTagCount(&count), S_OK);
    EXPECT_EQ(count, 1u);

    // The inner unknown answers for itself.
    IUnknown *innerIdentity = nullptr;
    ASSERT_EQ(outer.inner->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&innerIdentity)), S_OK);
    EXPECT_EQ(innerIdentity, outer.inner);
    EXPECT_EQ(innerIdentity->Release(), 1u);

    EXPECT_EQ(reader->Release(), 1u);
    EXPECT_EQ(finished.calls.load(), 0);
    EXPECT_EQ(outer.Release(), 0u);  // the outer's end releases the inner one
    EXPECT_EQ(finished.calls.load(), 1);
    EXPECT_EQ(finished.client, client);
}

TEST_F(Clients, SetStateIsRecordedOnTheClientOfItsService) {
    TestReader first(service);
    loClient *client = nullptr;
    IUnknown *inner = nullptr;
    ASSERT_EQ(loClientCreate_agg(service, &client, nullptr, &inner, 0, nullptr, nullptr, nullptr), 0);
    IloCacheReader *reader = nullptr;
    ASSERT_EQ(client->QueryInterface(IID_IloCacheReader, reinterpret_cast<void **>(&reader)), S_OK);

    int operation = -1;
    int state = -1;
    char reason[32] = "x";
    ASSERT_EQ(reader->GetState(&operation, &state, reason, sizeof reason), S_OK);
    EXPECT_EQ(operation, 0);
    EXPECT_EQ(state, 0);
    EXPECT_STREQ(reason, "");

    EXPECT_EQ(loSetState(service, client, 1, 1, "Finished by client"), 0);
    ASSERT_EQ(reader->GetState(&operation, &state, reason, sizeof reason), S_OK);
    EXPECT_EQ(operation, 1);
    EXPECT_EQ(state, 1);
    EXPECT_STREQ(reason, "Finished by client");
    EXPECT_EQ(reader->GetState(nullptr, nullptr, reason, 9), S_FALSE);
    EXPECT_STREQ(reason, "Finished");

    EXPECT_EQ(loSetState(service, client, 2, 0, nullptr), 0);
    ASSERT_EQ(reader->GetState(&operation, &state, reason, sizeof reason), S_OK);
    EXPECT_EQ(operation, 2);
    EXPECT_STREQ(reason, "");

    EXPECT_NE(loSetState(nullptr, client, 1, 1, "x"), 0);
    EXPECT_NE(loSetState(service, nullptr, 1, 1, "x"), 0);
    EXPECT_NE(loSetState(nullptr, nullptr, 1, 1, nullptr), 0);

    // A client of another service is not this one's.
    const loDriver driver = TestDriver();
    loService *other = nullptr;
    ASSERT_EQ(loServiceCreate(&other, &driver, 0), 0);
    EXPECT_NE(loSetState(other, client, 1, 1, "x"), 0);
    EXPECT_EQ(loServiceDestroy(other), 0);

    client->Release();
    reader->Release();
    // The handle of a client that is gone is refused, not touched.
    EXPECT_NE(loSetState(service, client, 1, 1, "x"), 0);
}

TEST_F(Clients, ClientKeepsTheCacheReadableAfterTheServiceIsDestroyed) {
    loTagValue record;
    std::memset(&record, 0, sizeof record);
    record.tvTi = tag;
    record.tvValue = I2Value(42);
    record.tvQuality = 0xC0;
    ASSERT_NE(loCacheUpdate(service, 1, &record, 0), 0);

    Finished finished;
    loClient *client = nullptr;
    IUnknown *inner = nullptr;
    ASSERT_EQ(loClientCreate_agg(service, &client, nullptr, &inner, 0, nullptr, OnFinished, &finished), 0);
    IloCacheReader *reader = nullptr;
    ASSERT_EQ(client->QueryInterface(IID_IloCacheReader, reinterpret_cast<void **>(&reader)), S_OK);
    client->Release();

    loService *gone = service;
    ASSERT_EQ(loServiceDestroy(service), 0);
    service = nullptr;
    VARIANT value;
    VariantInit(&value);
    WORD quality = 0;
    ASSERT_EQ(reader->ReadTag(tag, &value, nullptr, &quality, nullptr), S_OK);
    EXPECT_EQ(V_I2(&value), 42);
    EXPECT_EQ(quality, 0xC0);
    EXPECT_NE(loSetState(gone, client, 1, 1, "x"), 0);

    reader->Release();
    EXPECT_EQ(finished.calls.load(), 1);
    EXPECT_EQ(finished.service, nullptr);  // the service was gone before the client
}

TEST_F(Clients, ManyThreadsCreatingAndReleasingFinishEveryClientOnce) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 300;
    std::vector<Finished> finished(kThreads * kPerThread);
    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int k = 0; k < kPerThread; ++k) {
                Finished *mine = &finished[t * kPerThread + k];
                loClient *client = nullptr;
                IUnknown *inner = nullptr;
                if (loClientCreate_agg(service, &client, nullptr, &inner, 0, nullptr, OnFinished, mine) != 0) {
                    ++failures[t];
                    continue;
                }
                IloCacheReader *reader = nullptr;
                if (client->QueryInterface(IID_IloCacheReader, reinterpret_cast<void **>(&reader)) != S_OK)
                    ++failures[t];
                if (loSetState(service, client, 1, 1, "Finished by client") != 0) ++failures[t];
                client->Release();
                DWORD count = 0;
                if (reader == nullptr || reader->GetTagCount(&count) != S_OK || count != 1) ++failures[t];
                if (reader != nullptr) reader->Release();
            }
        });
    }
    for (std::thread &thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
    for (const Finished &one : finished) EXPECT_EQ(one.calls.load(), 1);
}

TEST_F(Clients, ManyThreadsReleasingOneClientFinishItOnce) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 100;
    for (int round = 0; round < kRounds; ++round) {
        Finished finished;
        loClient *client = nullptr;
        IUnknown *inner = nullptr;
        ASSERT_EQ(loClientCreate_agg(service, &client, nullptr, &inner, 0, nullptr, OnFinished, &finished), 0);
        for (int t = 1; t < kThreads; ++t) client->AddRef();
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&] {
                ++ready;
                while (ready.load() < kThreads) std::this_thread::yield();
                client->Release();
            });
        }
        for (std::thread &thread : threads) thread.join();
        ASSERT_EQ(finished.calls.load(), 1) << "round " << round;
    }
}

}  // namespace
