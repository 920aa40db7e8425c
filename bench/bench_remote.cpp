// The cross-process calls' cost: a sync read of 1,000 tags through the socket
// by 1 and by 20 clients at once, a data change from the cache update to the
// client's sink for a group whose last data change is older than its rate, and
// the spacing of the data changes under a stream of changes faster than the rate. The toolkit's service is published from this process and
// reached through its socket, so every call crosses the same protocol, stubs
// and proxies as between two processes. Latencies are per call (median and
// 99th percentile); the CPU time is the whole process's per call, server and
// client sides together.
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "activation.h"
#include "lightopc.h"
#include "opc_da.h"

namespace {

constexpr int kTags = 1000;
const CLSID kBenchClass = {0x5A1C0DE5, 0x7E57, 0x4C0D, {0x9A, 0x11, 0x0B, 0x5E, 0x77, 0x00, 0x02, 0x01}};

double ProcessSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void Finished(void *, loService *, loClient *) {}

// The service with its tags T0000..T0999, published for other processes.
struct Published final : IClassFactory {
    Published() {
        loDriver driver{};
        driver.ldRefreshRate = 10;
        loServiceCreate(&service, &driver, kTags + 1);
        for (int k = 0; k < kTags; ++k) {
            char name[16];
            std::snprintf(name, sizeof name, "T%04d", k);
            VARIANT zero;
            VariantInit(&zero);
            V_VT(&zero) = VT_I2;
            loTagId id = 0;
            loAddRealTag(service, &id, nullptr, name, 0, 1, &zero, 0, nullptr);
        }
        char folder[] = "/tmp/brisvale-bench-XXXXXX";
        if (mkdtemp(folder) != nullptr) registry = folder;
        setenv("BRISVALE_COM_REGISTRY", folder, 1);
        setenv("XDG_RUNTIME_DIR", folder, 1);  // the socket goes with the folder
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        CoRegisterClassObject(kBenchClass, this, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
        if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
        *object = static_cast<IClassFactory *>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *, REFIID riid, void **object) override {
        static const loVendorInfo vendor = {1, 0, 0, 0, "bench"};
        loClient *client = nullptr;
        IUnknown *inner = nullptr;
        if (loClientCreate_agg(service, &client, nullptr, &inner, 0, &vendor, Finished, nullptr) != 0)
            return E_OUTOFMEMORY;
        const HRESULT result = client->QueryInterface(riid, object);
        client->Release();
        return result;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

    loService *service = nullptr;
    std::string registry;
    DWORD cookie = 0;
};

Published &ThePublished() {
    static Published *published = [] {
        auto *made = new Published;
        // The socket and the registry folder go at exit; the service stays, as
        // a connection thread may still be letting go of its last objects.
        std::atexit([] {
            CoRevokeClassObject(ThePublished().cookie);
            std::filesystem::remove_all(ThePublished().registry);
        });
        return made;
    }();
    return *published;
}

class Sink final : public IOPCDataCallback {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
        if (riid != IID_IUnknown && riid != IID_IOPCDataCallback) return E_NOINTERFACE;
        *object = static_cast<IOPCDataCallback *>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE *, VARIANT *, WORD *,
                                           FILETIME *, HRESULT *) override {
        std::lock_guard<std::mutex> held(lock);
        ++changes;
        arrived = std::chrono::steady_clock::now();
        changed.notify_all();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE *, VARIANT *, WORD *,
                                             FILETIME *, HRESULT *) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE *, HRESULT *) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

    std::mutex lock;
    std::condition_variable changed;
    long changes = 0;
    std::chrono::steady_clock::time_point arrived;
};

// One client: a server object reached through the socket, with a group of
// every tag.
struct Client {
    IOPCServer *server = nullptr;
    IOPCItemMgt *group = nullptr;
    std::vector<OPCHANDLE> handles;

    explicit Client(DWORD rate) {
        ThePublished();
        comremote::ActivateRemote(kBenchClass, IID_IOPCServer, reinterpret_cast<void **>(&server));
        OPCHANDLE groupHandle = 0;
        DWORD revised = 0;
        server->AddGroup(u"bench", TRUE, rate, 1, nullptr, nullptr, 0x409, &groupHandle, &revised, IID_IOPCItemMgt,
                         reinterpret_cast<IUnknown **>(&group));
        std::vector<std::u16string> names(kTags);
        std::vector<OPCITEMDEF> items(kTags);
        for (int k = 0; k < kTags; ++k) {
            char name[16];
            std::snprintf(name, sizeof name, "T%04d", k);
            names[k].assign(name, name + std::char_traits<char>::length(name));
            items[k] = OPCITEMDEF{nullptr, &names[k][0], TRUE, static_cast<OPCHANDLE>(k), 0, nullptr, VT_EMPTY, 0};
        }
        OPCITEMRESULT *results = nullptr;
        HRESULT *errors = nullptr;
        group->AddItems(kTags, items.data(), &results, &errors);
        for (int k = 0; k < kTags; ++k) handles.push_back(results[k].hServer);
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
    }
    ~Client() {
        group->Release();
        server->Release();
    }
};

void Report(benchmark::State &state, std::vector<double> latencies, double cpuSeconds, double calls) {
    std::sort(latencies.begin(), latencies.end());
    if (latencies.empty()) return;
    const auto at = [&](double share) { return latencies[static_cast<std::size_t>(share * (latencies.size() - 1))]; };
    state.counters["median_us"] = benchmark::Counter(at(0.5) * 1e6, benchmark::Counter::kAvgThreads);
    state.counters["p99_us"] = benchmark::Counter(at(0.99) * 1e6, benchmark::Counter::kAvgThreads);
    state.counters["cpu_us_per_call"] = benchmark::Counter(cpuSeconds / calls * 1e6, benchmark::Counter::kAvgThreads);
}

void BM_RemoteSyncRead1000(benchmark::State &state) {
    Client client(1000);
    IOPCSyncIO *io = nullptr;
    client.group->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void **>(&io));
    std::vector<double> latencies;
    const double cpuStart = ProcessSeconds();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        OPCITEMSTATE *states = nullptr;
        HRESULT *errors = nullptr;
        io->Read(OPC_DS_CACHE, kTags, client.handles.data(), &states, &errors);
        latencies.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        for (int k = 0; k < kTags; ++k) VariantClear(&states[k].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
    }
    const double cpu = ProcessSeconds() - cpuStart;
    Report(state, latencies, cpu, static_cast<double>(state.iterations()) * state.threads());
    state.SetItemsProcessed(state.iterations() * kTags);
    io->Release();
}
BENCHMARK(BM_RemoteSyncRead1000)->Threads(1)->Threads(20)->UseRealTime();

// A client with a group of every tag, advised, past its first full report.
struct Subscribed {
    explicit Subscribed(DWORD rate) : client(rate) {
        client.group->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void **>(&container));
        container->FindConnectionPoint(IID_IOPCDataCallback, &point);
        point->Advise(&sink, &cookie);
        std::unique_lock<std::mutex> held(sink.lock);
        sink.changed.wait(held, [&] { return sink.changes > 0; });
    }
    ~Subscribed() {
        point->Unadvise(cookie);
        point->Release();
        container->Release();
    }
    long Changes() {
        std::lock_guard<std::mutex> held(sink.lock);
        return sink.changes;
    }
    // Waits for a data change after the first before of them; returns its arrival.
    std::chrono::steady_clock::time_point WaitAfter(long before) {
        std::unique_lock<std::mutex> held(sink.lock);
        sink.changed.wait(held, [&] { return sink.changes > before; });
        return sink.arrived;
    }

    Client client;
    IConnectionPointContainer *container = nullptr;
    IConnectionPoint *point = nullptr;
    Sink sink;
    DWORD cookie = 0;
};

// Tag T0000 takes a new value in the cache, as the polling thread gives it.
void ChangeFirstTag() {
    static std::atomic<SHORT> value{0};  // every update a new value, across the runs too
    loTagValue record{};
    VariantInit(&record.tvValue);
    V_VT(&record.tvValue) = VT_I2;
    V_I2(&record.tvValue) = ++value;
    record.tvQuality = OPC_QUALITY_GOOD;
    record.tvTi = 1;
    loCacheUpdate(ThePublished().service, 1, &record, 0);
}

// The revised rate: the toolkit's fastest is 50 ms.
std::chrono::milliseconds Revised(benchmark::State &state) {
    return std::chrono::milliseconds(std::max<std::int64_t>(state.range(0), 50));
}

// One tag changes in the cache after the group's last data change is older
// than its rate; the time until the client's sink has it.
void BM_RemoteDataChange(benchmark::State &state) {
    Subscribed subscribed(static_cast<DWORD>(state.range(0)));
    const auto period = Revised(state);
    std::chrono::steady_clock::time_point last = subscribed.WaitAfter(0);
    std::vector<double> latencies;
    double cpu = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::this_thread::sleep_until(last + period + std::chrono::milliseconds(1));
        state.ResumeTiming();
        const long before = subscribed.Changes();
        const double cpuStart = ProcessSeconds();
        const auto start = std::chrono::steady_clock::now();
        ChangeFirstTag();
        last = subscribed.WaitAfter(before);
        cpu += ProcessSeconds() - cpuStart;
        latencies.push_back(std::chrono::duration<double>(last - start).count());
    }
    Report(state, latencies, cpu, static_cast<double>(state.iterations()));
}
BENCHMARK(BM_RemoteDataChange)->Arg(10)->Arg(100)->UseRealTime()->Iterations(60);

// A stream of changes every 5 ms, far faster than the group's rate: the
// spacing of the data changes that reach the client (never below the rate).
void BM_RemoteDataChangeSpacing(benchmark::State &state) {
    Subscribed subscribed(static_cast<DWORD>(state.range(0)));
    subscribed.WaitAfter(0);
    std::atomic<bool> streaming{true};
    std::thread stream([&] {
        while (streaming) {
            ChangeFirstTag();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    std::chrono::steady_clock::time_point last = subscribed.WaitAfter(subscribed.Changes());
    std::vector<double> spacings;
    for (auto _ : state) {
        const auto arrived = subscribed.WaitAfter(subscribed.Changes());
        spacings.push_back(std::chrono::duration<double>(arrived - last).count());
        last = arrived;
    }
    streaming = false;
    stream.join();
    std::sort(spacings.begin(), spacings.end());
    state.counters["min_ms"] = spacings.front() * 1e3;
    state.counters["median_ms"] = spacings[spacings.size() / 2] * 1e3;
    state.counters["max_ms"] = spacings.back() * 1e3;
}
BENCHMARK(BM_RemoteDataChangeSpacing)->Arg(10)->Arg(100)->UseRealTime()->Iterations(40);

}  // namespace

BENCHMARK_MAIN();
