// The toolkit's service, tag cache and client objects, and the server's
// registration. Clients read the cache as OPC clients do, through a group.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "opc_client.h"

// What the platform's registry holds for a class and a ProgID, as lines
// "name=value" (the key's default value named "@"), the class's first.
std::string Recorded(const std::string &classText, const std::string &progId);

namespace {

using opc_test::Ole;
using opc_test::Query;
using opc_test::Ref;

VARIANT Number(VARTYPE type, LONG number) {
    VARIANT value{};
    V_VT(&value) = type;
    if (type == VT_I4) value.lVal = number;
    if (type == VT_I2) V_I2(&value) = static_cast<SHORT>(number);
    return value;
}

// A client's view of the cache: one active group holding the named tags, in
// the order of their ids. A read shows a tag's record as
// "vt<type> <value> q<quality> e<error> t<high>:<low>".
class Reader {
public:
    Reader(IUnknown *client, const std::vector<std::string> &names)
        : server_(Query<IOPCServer>(client, IID_IOPCServer)) {
        OPCHANDLE handle = 0;
        DWORD rate = 0;
        IUnknown *group = nullptr;
        EXPECT_EQ(
            server_->AddGroup(nullptr, TRUE, 1000, 0, nullptr, nullptr, 0, &handle, &rate, IID_IOPCSyncIO, &group),
            S_OK);
        io_.reset(static_cast<IOPCSyncIO *>(group));
        for (const std::string &name : names) {
            opc_test::OleText id = Ole(name);
            OPCITEMDEF definition{nullptr, &id[0], TRUE, 0, 0, nullptr, VT_EMPTY, 0};
            opc_test::TaskOut<OPCITEMRESULT> result;
            opc_test::TaskOut<HRESULT> error;
            EXPECT_EQ(Query<IOPCItemMgt>(group, IID_IOPCItemMgt)->AddItems(1, &definition, &result.items, &error.items),
                      S_OK);
            handles_.push_back(result[0].hServer);
        }
    }
    std::string Read(loTagId id) const {
        OPCHANDLE handle = handles_[id - 1];
        opc_test::TaskOut<OPCITEMSTATE> state{nullptr, [](OPCITEMSTATE &s) { VariantClear(&s.vDataValue); }, 1};
        opc_test::TaskOut<HRESULT> error;
        if (FAILED(io_->Read(OPC_DS_CACHE, 1, &handle, &state.items, &error.items))) return "failed";
        const VARIANT &v = state[0].vDataValue;
        char text[128];
        std::snprintf(text, sizeof text, "vt%d %ld q%X e%X t%X:%X", V_VT(&v),
                      long{V_VT(&v) == VT_I2 ? V_I2(&v) : v.lVal}, unsigned(state[0].wQuality), unsigned(error[0]),
                      unsigned(state[0].ftTimeStamp.dwHighDateTime), unsigned(state[0].ftTimeStamp.dwLowDateTime));
        return text;
    }

private:
    Ref<IOPCServer> server_;
    Ref<IOPCSyncIO> io_;
    std::vector<OPCHANDLE> handles_;
};

class Toolkit : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(loServiceCreate(&service, &driver, 2), 0); }
    void TearDown() override { EXPECT_TRUE(service == nullptr || loServiceDestroy(service) == 0); }
    int Add(const char *name, VARIANT value = Number(VT_I2, 0), unsigned access = 1) {
        loTagId id = 0;
        const int result = loAddRealTag(service, &id, nullptr, name, 0, access, &value, 0, nullptr);
        if (result == 0) names.push_back(name);
        return result == 0 ? static_cast<int>(id) : -result;
    }
    // A plain client object's reader; the reference creation returned is given back.
    std::unique_ptr<Reader> NewReader() {
        loClient *created = nullptr;
        IUnknown *inner = nullptr;
        EXPECT_EQ(loClientCreate_agg(service, &created, nullptr, &inner, 0, nullptr, OnFinished, this), 0);
        auto reader = std::make_unique<Reader>(created, names);
        created->Release();
        return reader;
    }

    // The end-of-session callback: how often, and the service it was given.
    static void OnFinished(void *self, loService *service, loClient *) {
        static_cast<Toolkit *>(self)->finishedService = service;
        ++static_cast<Toolkit *>(self)->finished;
    }

    const loDriver driver{};
    std::vector<std::string> names;  // of the tags added, in the order of their ids
    loService *service = nullptr;
    std::atomic<int> finished{0};
    std::atomic<loService *> finishedService{nullptr};
};

using Cache = Toolkit;

// Tags are added once each, up to the service's room; an update copies every
// field of the known records, stored as the tag's type or skipped.
TEST_F(Cache, UpdatesReachClientsWithEveryFieldAsTheTagsType) {
    EXPECT_EQ(Add("A"), 1);
    EXPECT_EQ(Add("A"), -EEXIST);
    EXPECT_LT(Add(nullptr), 0);
    EXPECT_EQ(Add("B", Number(VT_I4, -5), 3), 2);
    EXPECT_EQ(Add("C"), -ENOSPC);
    const auto reader = NewReader();
    EXPECT_EQ(reader->Read(2), "vt3 -5 q8 e0 t0:0");
    // An unknown id is reported and the other records applied; the padding
    // bytes beside the quality do not belong to it.
    loTagValue records[] = {{Number(VT_I2, 5), {}, S_OK, 0, 99},
                            {Number(VT_I2, -2), {0x89ABCDEF, 0x01D00000}, E_FAIL, 0xFFFF00C0, 2},
                            {Number(VT_R8, 0), {}, S_OK, 0xC0, 1}};
    records[2].tvValue.dblVal = 2.5;
    EXPECT_EQ(loCacheUpdate(service, 3, records, 0), 0);
    EXPECT_EQ(reader->Read(2) + ", " + reader->Read(1), "vt3 -2 qC0 e80004005 t1D00000:89ABCDEF, vt2 2 qC0 e0 t0:0");
    loTagValue tooLarge{Number(VT_I4, 70000), {5, 0}, S_OK, 0x40, 1};
    EXPECT_EQ(loCacheUpdate(service, 1, &tooLarge, 0), 0);
    EXPECT_EQ(reader->Read(1), "vt2 2 qC0 e0 t0:0");
    // A failed poll brings no value: the last one stays, with the bad quality.
    loTagValue failed{Number(VT_EMPTY, 0), {7, 0}, E_FAIL, 0x18, 1};
    EXPECT_NE(loCacheUpdate(service, 1, &failed, 0), 0);
    EXPECT_EQ(reader->Read(1), "vt2 2 q18 e80004005 t0:7");
}

using Clients = Toolkit;

// An outer object that aggregates a client object.
class Outer final : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
        if (!IsEqualGUID(riid, IID_IUnknown)) return inner->QueryInterface(riid, object);
        *object = static_cast<IUnknown *>(this);
        return AddRef() > 0 ? S_OK : E_UNEXPECTED;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references == 0 ? inner->Release() : references; }

    ULONG references = 1;
    IUnknown *inner = nullptr;
};

TEST_F(Clients, AggregatedClientDelegatesToTheOuterUnknown) {
    Outer outer;
    loClient *client = nullptr;
    IOPCCommon *common = nullptr;
    IUnknown *identity = nullptr;
    ASSERT_EQ(loClientCreate_agg(service, &client, &outer, &outer.inner, 0, nullptr, OnFinished, this), 0);
    ASSERT_EQ(outer.QueryInterface(IID_IOPCCommon, reinterpret_cast<void **>(&common)), S_OK);
    ASSERT_EQ(common->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&identity)), S_OK);
    EXPECT_EQ(identity, static_cast<IUnknown *>(&outer));
    EXPECT_EQ(outer.references, 3u);  // the inner object holds no reference of its outer
    identity->Release();
    common->Release();
    EXPECT_EQ(outer.Release(), 0u);  // the outer's end releases the inner one
    EXPECT_EQ(finished.load(), 1);
}

// A destroyed service is refused, never touched; its live clients still read the cache.
TEST_F(Clients, CacheOutlivesItsServiceForLiveClients) {
    Add("T1", Number(VT_I2, 42));
    auto reader = NewReader();
    ASSERT_EQ(loServiceDestroy(service), 0);
    EXPECT_LT(Add("T2"), 0);
    EXPECT_EQ(loCacheUpdate(service, 0, nullptr, 0), 0);
    EXPECT_NE(loServiceDestroy(service), 0);
    EXPECT_EQ(reader->Read(1), "vt2 42 q8 e0 t0:0");
    service = nullptr;
    reader.reset();
    EXPECT_EQ(finished.load(), 1);
    EXPECT_EQ(finishedService, nullptr);  // the service was gone before the client
}

// However the allocator reuses memory, a destroyed service's handle never
// names a later service.
TEST_F(Clients, HandlesOfDestroyedServicesAreNeverReused) {
    std::vector<loService *> destroyed;
    for (int round = 0; round < 50; ++round) {
        loService *gone = nullptr;
        ASSERT_EQ(loServiceCreate(&gone, &driver, 1), 0);
        ASSERT_EQ(loServiceDestroy(gone), 0);
        destroyed.push_back(gone);
    }
    VARIANT value = Number(VT_I2, 0);
    loTagId id = 0;
    for (loService *gone : destroyed)
        EXPECT_EQ(loAddRealTag(gone, &id, nullptr, "T", 0, 1, &value, 0, nullptr), EINVAL);
    EXPECT_EQ(Add("T"), 1);  // the live service was never touched
}

TEST_F(Clients, ManyThreadsReleasingOneClientFinishItOnce) {
    for (int round = 0; round < 100; ++round) {
        finished = 0;
        loClient *client = nullptr;
        IUnknown *inner = nullptr;
        ASSERT_EQ(loClientCreate_agg(service, &client, nullptr, &inner, 0, nullptr, OnFinished, this), 0);
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int t = 1; t <= 7; ++t) {
            if (t > 1) client->AddRef();
            threads.emplace_back([&] {
                for (++ready; ready.load() < 7;) std::this_thread::yield();
                client->Release();
            });
        }
        for (std::thread &thread : threads) thread.join();
        ASSERT_EQ(finished.load(), 1) << "round " << round;
        // The handle of a client that is gone is refused, not touched.
        EXPECT_NE(loSetState(service, client, 1, 1, "x"), 0);
    }
}

// Test-only class id and ProgIDs, so that no test touches a real registration.
const CLSID kClsid = {0xB15A7E57, 0x0000, 0x4C1A, {0x8E, 0x57, 0x5E, 0x57, 0xC1, 0xA5, 0x50, 0x01}};
constexpr char kProgId[] = "Brisvale.RegistryTest.1";
constexpr char kCommandLine[] = "\"C:\\Program Files\\Brisvale\\brisvale-opc.exe\" /c";

TEST(Registry, RegistrationIsRecordedAndRemoved) {
    loServerUnregister(&kClsid, kProgId);
    ASSERT_EQ(loServerRegister(&kClsid, kProgId, "Brisvale OPC server", kCommandLine, 0), 0);
    EXPECT_EQ(Recorded("{B15A7E57-0000-4C1A-8E57-5E57C1A55001}", kProgId),
              "@=Brisvale OPC server\n"
              "LocalServer32=\"C:\\Program Files\\Brisvale\\brisvale-opc.exe\" /c\n"
              "ProgID=Brisvale.RegistryTest.1\n"
              "VersionIndependentProgID=Brisvale.RegistryTest\n"
              "Implemented Categories\\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}=\n"
              "Implemented Categories\\{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}=\n"
              "Implemented Categories\\{CC603642-66D7-48F1-B69A-B625E73652D7}=\n"
              "@=Brisvale OPC server\n"
              "CLSID={B15A7E57-0000-4C1A-8E57-5E57C1A55001}\n");
    CLSID named{};
    ASSERT_EQ(loProgIdLookup(kProgId, &named), 0);
    EXPECT_TRUE(IsEqualGUID(named, kClsid));
    EXPECT_EQ(loServerUnregister(&kClsid, kProgId), 0);
    EXPECT_EQ(Recorded("{B15A7E57-0000-4C1A-8E57-5E57C1A55001}", kProgId), "");
    EXPECT_NE(loServerUnregister(&kClsid, kProgId), 0);  // not registered
}

TEST(Registry, TextsThatCannotBeRecordedAreRefused) {
    EXPECT_NE(loServerRegister(&kClsid, "Bad\\ProgId", "x", kCommandLine, 0), 0);
    EXPECT_NE(loServerRegister(&kClsid, kProgId, "two\nlines", kCommandLine, 0), 0);
}

}  // namespace
