// The OPC interfaces' cost: a sync read of 1,000 items, a data change of
// 1,000 items (process CPU time, the toolkit's thread included), a cache
// update of 61 records with 20 clients subscribed, and the process's CPU per
// such update when they come every 50 ms.
#include <benchmark/benchmark.h>

#include <time.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lightopc.h"
#include "opc_da.h"

namespace {

using OleText = std::basic_string<OLECHAR>;

OleText Ole(const std::string &text) {
    return OleText(text.begin(), text.end());
}

double ProcessSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Counts data changes and lets the benchmark wait for the next one.
class CountingSink final : public IOPCDataCallback {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
        if (!IsEqualGUID(riid, IID_IUnknown) && !IsEqualGUID(riid, IID_IOPCDataCallback)) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        *object = this;
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE *, VARIANT *,
                                           WORD *, FILETIME *, HRESULT *) override {
        std::lock_guard<std::mutex> held(lock_);
        ++changes_;
        items_ = count;
        arrived_.notify_all();
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

    // Waits for a data change after the seen-th one; its item count.
    DWORD WaitAfter(unsigned long seen) {
        std::unique_lock<std::mutex> held(lock_);
        arrived_.wait(held, [&] { return changes_ > seen; });
        return items_;
    }
    unsigned long Changes() {
        std::lock_guard<std::mutex> held(lock_);
        return changes_;
    }

private:
    std::mutex lock_;
    std::condition_variable arrived_;
    unsigned long changes_ = 0;
    DWORD items_ = 0;
};

// A service of count tags and clients, each with one active group of every tag.
struct Setup {
    Setup(unsigned count, int clients, DWORD rate) : records(count) {
        loDriver driver{};
        driver.ldRefreshRate = 500;
        loServiceCreate(&service, &driver, count);
        std::vector<OleText> names;
        for (unsigned k = 0; k < count; ++k) {
            VARIANT zero;
            VariantInit(&zero);
            V_VT(&zero) = VT_I2;
            loTagId id = 0;
            const std::string name = "Tag" + std::to_string(k);
            loAddRealTag(service, &id, nullptr, name.c_str(), 0, 1, &zero, 0, nullptr);
            names.push_back(Ole(name));
            VariantInit(&records[k].tvValue);
            V_VT(&records[k].tvValue) = VT_I2;
            records[k].tvQuality = OPC_QUALITY_GOOD;
            records[k].tvTi = id;
        }
        std::vector<OPCITEMDEF> definitions(count);
        for (unsigned k = 0; k < count; ++k)
            definitions[k] = OPCITEMDEF{nullptr, &names[k][0], TRUE, k, 0, nullptr, VT_EMPTY, 0};
        for (int c = 0; c < clients; ++c) {
            loClient *client = nullptr;
            IUnknown *inner = nullptr;
            loClientCreate_agg(service, &client, nullptr, &inner, 0, nullptr, nullptr, nullptr);
            IOPCServer *server = nullptr;
            client->QueryInterface(IID_IOPCServer, reinterpret_cast<void **>(&server));
            client->Release();
            servers.push_back(server);
            OPCHANDLE handle = 0;
            DWORD revised = 0;
            IUnknown *group = nullptr;
            server->AddGroup(nullptr, TRUE, rate, 0, nullptr, nullptr, 0, &handle, &revised, IID_IOPCItemMgt, &group);
            IOPCItemMgt *items = static_cast<IOPCItemMgt *>(group);
            groups.push_back(items);
            OPCITEMRESULT *results = nullptr;
            HRESULT *errors = nullptr;
            items->AddItems(count, definitions.data(), &results, &errors);
            if (c == 0) {
                for (unsigned k = 0; k < count; ++k) handles.push_back(results[k].hServer);
            }
            CoTaskMemFree(results);
            CoTaskMemFree(errors);
            IConnectionPointContainer *container = nullptr;
            items->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void **>(&container));
            IConnectionPoint *point = nullptr;
            container->FindConnectionPoint(IID_IOPCDataCallback, &point);
            DWORD cookie = 0;
            sinks.emplace_back();
            point->Advise(&sinks.back(), &cookie);
            point->Release();
            container->Release();
        }
    }
    ~Setup() {
        for (IOPCItemMgt *group : groups) group->Release();
        for (IOPCServer *server : servers) server->Release();
        loServiceDestroy(service);
    }
    // Gives every tag a new value.
    void Update(unsigned count) {
        ++value;
        for (unsigned k = 0; k < count; ++k) V_I2(&records[k].tvValue) = value;
        loCacheUpdate(service, count, records.data(), 0);
    }

    loService *service = nullptr;
    std::vector<loTagValue> records;
    std::vector<IOPCServer *> servers;
    std::vector<IOPCItemMgt *> groups;
    std::deque<CountingSink> sinks;
    std::vector<OPCHANDLE> handles;
    SHORT value = 0;
};

void BM_SyncRead1000(benchmark::State &state) {
    Setup setup(1000, 1, 100);
    IOPCSyncIO *io = nullptr;
    setup.groups[0]->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void **>(&io));
    for (auto _ : state) {
        OPCITEMSTATE *values = nullptr;
        HRESULT *errors = nullptr;
        io->Read(state.range(0) == 0 ? OPC_DS_CACHE : OPC_DS_DEVICE, 1000, setup.handles.data(), &values, &errors);
        for (int k = 0; k < 1000; ++k) VariantClear(&values[k].vDataValue);
        CoTaskMemFree(values);
        CoTaskMemFree(errors);
    }
    io->Release();
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_SyncRead1000)->Arg(0)->Arg(1);

// IOPCSyncIO2::ReadMaxAge of 1,000 items: 0 (a device read) or any age.
void BM_ReadMaxAge1000(benchmark::State &state) {
    Setup setup(1000, 1, 100);
    IOPCSyncIO2 *io = nullptr;
    setup.groups[0]->QueryInterface(IID_IOPCSyncIO2, reinterpret_cast<void **>(&io));
    const std::vector<DWORD> ages(1000, static_cast<DWORD>(state.range(0)));
    for (auto _ : state) {
        VARIANT *values = nullptr;
        WORD *qualities = nullptr;
        FILETIME *times = nullptr;
        HRESULT *errors = nullptr;
        io->ReadMaxAge(1000, setup.handles.data(), const_cast<DWORD *>(ages.data()), &values, &qualities, &times,
                       &errors);
        for (int k = 0; k < 1000; ++k) VariantClear(&values[k]);
        CoTaskMemFree(values);
        CoTaskMemFree(qualities);
        CoTaskMemFree(times);
        CoTaskMemFree(errors);
    }
    io->Release();
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_ReadMaxAge1000)->Arg(0)->Arg(0xFFFFFFFF);

// IOPCBrowse::Browse of 1,000 tags in pages of 100 (the argument: with every
// property's value, or names only), all ten pages per iteration.
void BM_BrowsePages1000(benchmark::State &state) {
    Setup setup(1000, 0, 100);
    loClient *client = nullptr;
    IUnknown *inner = nullptr;
    loClientCreate_agg(setup.service, &client, nullptr, &inner, 0, nullptr, nullptr, nullptr);
    IOPCBrowse *browse = nullptr;
    client->QueryInterface(IID_IOPCBrowse, reinterpret_cast<void **>(&browse));
    client->Release();
    OleText empty;
    const BOOL properties = state.range(0) != 0 ? TRUE : FALSE;
    for (auto _ : state) {
        LPOLESTR continuation = nullptr;
        DWORD elements = 0;
        do {
            BOOL more = FALSE;
            DWORD count = 0;
            OPCBROWSEELEMENT *page = nullptr;
            browse->Browse(&empty[0], &continuation, 100, OPC_BROWSE_FILTER_ALL, &empty[0], &empty[0], properties,
                           properties, 0, nullptr, &more, &count, &page);
            for (DWORD k = 0; k < count; ++k) {
                OPCITEMPROPERTIES &held = page[k].ItemProperties;
                for (DWORD j = 0; j < held.dwNumProperties; ++j) {
                    CoTaskMemFree(held.pItemProperties[j].szItemID);
                    CoTaskMemFree(held.pItemProperties[j].szDescription);
                    VariantClear(&held.pItemProperties[j].vValue);
                }
                CoTaskMemFree(held.pItemProperties);
                CoTaskMemFree(page[k].szName);
                CoTaskMemFree(page[k].szItemID);
            }
            CoTaskMemFree(page);
            elements += count;
        } while (continuation != nullptr);
        if (elements != 1000) state.SkipWithError("not every tag was browsed");
    }
    browse->Release();
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_BrowsePages1000)->Arg(0)->Arg(1);

// Process CPU per data change of 1,000 changed items at 100 ms, less the
// update that caused it (measured alone below).
void BM_DataChange1000(benchmark::State &state) {
    Setup setup(1000, 1, 100);
    setup.sinks[0].WaitAfter(0);  // the first, full data change
    DWORD items = 0;
    for (auto _ : state) {
        const unsigned long seen = setup.sinks[0].Changes();
        const double start = ProcessSeconds();
        setup.Update(1000);
        items = setup.sinks[0].WaitAfter(seen);
        const double spent = ProcessSeconds() - start;
        state.SetIterationTime(spent);
    }
    state.counters["items"] = items;
}
BENCHMARK(BM_DataChange1000)->UseManualTime()->Iterations(50)->Unit(benchmark::kMicrosecond);

// One update of 1,000 or 61 records, with 1 or 20 clients subscribed to every tag.
void BM_CacheUpdate(benchmark::State &state) {
    const unsigned count = static_cast<unsigned>(state.range(0));
    Setup setup(count, static_cast<int>(state.range(1)), 60000);
    for (auto _ : state) setup.Update(count);
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_CacheUpdate)->Args({61, 1})->Args({61, 20})->Args({1000, 1});

// The whole process's CPU per cache update of one 61-register block, made
// every 50 ms as the polling loop at its fastest, with 20 clients subscribed to
// every tag at 100 ms: the update, waking the groups and their data changes.
void BM_PacedUpdates(benchmark::State &state) {
    const unsigned count = 61;
    Setup setup(count, static_cast<int>(state.range(0)), 100);
    for (CountingSink &sink : setup.sinks) sink.WaitAfter(0);
    const double start = ProcessSeconds();
    for (auto _ : state) {
        setup.Update(count);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const double spent = ProcessSeconds() - start;
    state.counters["cpu_us_per_update"] = spent / static_cast<double>(state.iterations()) * 1e6;
}
BENCHMARK(BM_PacedUpdates)->Arg(20)->Iterations(60)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
