// An OPC client's view of the toolkit for the tests: a service with a few
// tags, server objects made as the class factory makes them, and the helpers
// a client needs (texts, references, task-memory arrays, callback sinks).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../common/variant_text.h"
#include "lightopc.h"
#include "opc_da.h"

namespace opc_test {

using OleText = std::basic_string<OLECHAR>;

inline OleText Ole(const std::string &text) {
    OleText wide;
    for (char c : text) wide += static_cast<OLECHAR>(static_cast<unsigned char>(c));
    return wide;
}

inline std::string Narrow(const OLECHAR *text) {
    std::string narrow;
    for (; text != nullptr && *text != 0; ++text) narrow += static_cast<char>(*text);
    return narrow;
}

inline std::string Hex(HRESULT result) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(result));
    return text;
}

struct Releaser {
    void operator()(IUnknown *object) const { object->Release(); }
};
template <class T>
using Ref = std::unique_ptr<T, Releaser>;

// Queries object for T: null when it has no such interface.
template <class T>
Ref<T> Query(IUnknown *object, const IID &iid) {
    void *found = nullptr;
    if (object == nullptr || FAILED(object->QueryInterface(iid, &found))) return Ref<T>();
    return Ref<T>(static_cast<T *>(found));
}

// Frees a task-memory out array (and what its elements own) at scope end.
template <class T>
struct TaskOut {
    T *items = nullptr;
    std::function<void(T &)> clear;
    DWORD count = 0;
    ~TaskOut() {
        for (DWORD k = 0; items != nullptr && clear && k < count; ++k) clear(items[k]);
        CoTaskMemFree(items);
    }
    T &operator[](DWORD k) { return items[k]; }
};

// Frees what an item's properties own.
inline void FreeProperties(OPCITEMPROPERTIES &properties) {
    for (DWORD k = 0; k < properties.dwNumProperties; ++k) {
        CoTaskMemFree(properties.pItemProperties[k].szItemID);
        CoTaskMemFree(properties.pItemProperties[k].szDescription);
        VariantClear(&properties.pItemProperties[k].vValue);
    }
    CoTaskMemFree(properties.pItemProperties);
}

inline std::string Shown(const VARIANT &v) {
    return VariantText(v);
}

// One item of a delivery or a read as " client=value/qQUALITY[/error]".
inline std::string ItemText(OPCHANDLE client, const VARIANT &value, WORD quality, HRESULT error) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%X", quality);
    return " " + std::to_string(client) + "=" + Shown(value) + "/q" + hex + (error != S_OK ? "/" + Hex(error) : "");
}

// Waits (without a fixed sleep as the assertion) until done() holds.
inline bool WaitFor(const std::function<bool()> &done, std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A client's IOPCDataCallback and IOPCShutdown: records every call as a line.
class Sink final : public IOPCDataCallback, public IOPCShutdown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
        *object = nullptr;
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IOPCDataCallback))
            *object = static_cast<IOPCDataCallback *>(this);
        if (IsEqualGUID(riid, IID_IOPCShutdown)) *object = static_cast<IOPCShutdown *>(this);
        if (*object == nullptr) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }

    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD transaction, OPCHANDLE group, HRESULT quality, HRESULT error,
                                           DWORD count, OPCHANDLE *clients, VARIANT *values, WORD *qualities,
                                           FILETIME *, HRESULT *errors) override {
        Record("change", transaction, group, quality, error, count, clients, values, qualities, errors);
        if (onChange) onChange();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD transaction, OPCHANDLE group, HRESULT quality, HRESULT error,
                                             DWORD count, OPCHANDLE *clients, VARIANT *values, WORD *qualities,
                                             FILETIME *, HRESULT *errors) override {
        Record("read", transaction, group, quality, error, count, clients, values, qualities, errors);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD transaction, OPCHANDLE group, HRESULT error, DWORD count,
                                              OPCHANDLE *clients, HRESULT *errors) override {
        std::string line = "write t" + std::to_string(transaction) + " g" + std::to_string(group) + " " + Hex(error);
        for (DWORD k = 0; k < count; ++k) line += " " + std::to_string(clients[k]) + "=" + Hex(errors[k]);
        Add(line);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD transaction, OPCHANDLE group) override {
        Add("cancel t" + std::to_string(transaction) + " g" + std::to_string(group));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCOLESTR reason) override {
        Add("shutdown " + Narrow(reason));
        return S_OK;
    }

    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> held(lock);
        return lines;
    }
    // Waits for the n-th line (1-based) and returns it, or "" after the limit.
    std::string Line(std::size_t n) {
        std::string found;
        WaitFor([&] {
            std::lock_guard<std::mutex> held(lock);
            if (lines.size() < n) return false;
            found = lines[n - 1];
            return true;
        });
        return found;
    }
    std::size_t Count() {
        std::lock_guard<std::mutex> held(lock);
        return lines.size();
    }
    // When the n-th line (1-based, already there) arrived.
    std::chrono::steady_clock::time_point When(std::size_t n) {
        std::lock_guard<std::mutex> held(lock);
        return times.at(n - 1);
    }

    std::atomic<ULONG> references{1};
    std::function<void()> onChange;

private:
    void Record(const char *kind, DWORD transaction, OPCHANDLE group, HRESULT quality, HRESULT error, DWORD count,
                OPCHANDLE *clients, VARIANT *values, WORD *qualities, HRESULT *errors) {
        std::string line = std::string(kind) + " t" + std::to_string(transaction) + " g" + std::to_string(group) + " " +
                           Hex(quality) + "/" + Hex(error);
        for (DWORD k = 0; k < count; ++k) line += ItemText(clients[k], values[k], qualities[k], errors[k]);
        Add(line);
    }
    void Add(const std::string &line) {
        std::lock_guard<std::mutex> held(lock);
        lines.push_back(line);
        times.push_back(std::chrono::steady_clock::now());
    }

    std::mutex lock;
    std::vector<std::string> lines;
    std::vector<std::chrono::steady_clock::time_point> times;
};

// A service with the tags Pump1, Pump2, Valve and Tank.Level (VT_I2,
// readable), updated through loCacheUpdate as the driver does.
class OpcTest : public ::testing::Test {
protected:
    void SetUp() override {
        loDriver driver{};
        driver.ldRefreshRate = 500;
        ASSERT_EQ(loServiceCreate(&service, &driver, 8), 0);
        for (const char *name : {"Pump1", "Pump2", "Valve", "Tank.Level"}) {
            VARIANT zero{};
            V_VT(&zero) = VT_I2;
            loTagId id = 0;
            ASSERT_EQ(loAddRealTag(service, &id, nullptr, name, 0, 1, &zero, 0, nullptr), 0);
        }
    }
    void TearDown() override {
        EXPECT_TRUE(service == nullptr || loServiceDestroy(service) == 0);
        // A session's thread may still hold a sink for a moment after the
        // objects that call it are gone: the sinks are freed after that.
        for (const std::unique_ptr<Sink> &sink : sinks) EXPECT_TRUE(WaitFor([&] { return sink->references == 1; }));
    }

    // Sets tag id (1-based) to value with quality and timestamp (low word).
    void Update(loTagId id, SHORT value, DWORD quality = OPC_QUALITY_GOOD, DWORD time = 1) {
        loTagValue record{{}, FILETIME{time, 0}, S_OK, quality, id};
        V_VT(&record.tvValue) = VT_I2;
        V_I2(&record.tvValue) = value;
        ASSERT_NE(loCacheUpdate(service, 1, &record, 0), 0);
    }

    // A server object as the class factory makes it: created, queried for
    // IOPCServer, creation's reference released, then told its reason.
    Ref<IOPCServer> Connect() {
        loClient *client = nullptr;
        IUnknown *inner = nullptr;
        EXPECT_EQ(loClientCreate_agg(service, &client, nullptr, &inner, 0, &kVendor, OnFinished, this), 0);
        Ref<IOPCServer> server = Query<IOPCServer>(client, IID_IOPCServer);
        client->Release();
        EXPECT_EQ(loSetState(service, client, 1, 1, "Finished by client"), 0);
        return server;
    }

    // Adds an active group at rate ms with the given client handle.
    Ref<IOPCItemMgt> AddGroup(IOPCServer *server, const char *name, DWORD rate = 100, OPCHANDLE client = 7,
                              BOOL active = TRUE, OPCHANDLE *serverHandle = nullptr) {
        OPCHANDLE handle = 0;
        DWORD revised = 0;
        IUnknown *group = nullptr;
        EXPECT_TRUE(SUCCEEDED(server->AddGroup(Ole(name).c_str(), active, rate, client, nullptr, nullptr, 0x0409,
                                               &handle, &revised, IID_IOPCItemMgt, &group)));
        if (serverHandle != nullptr) *serverHandle = handle;
        return Ref<IOPCItemMgt>(static_cast<IOPCItemMgt *>(group));
    }

    // Adds items by id (client handles 101, 102, ...); returns the server
    // handles (0 for a refused item) and the errors as text.
    std::vector<OPCHANDLE> AddItems(IOPCItemMgt *group, const std::vector<std::string> &ids, std::string *errors,
                                    VARTYPE requested = VT_EMPTY, BOOL active = TRUE) {
        std::vector<OleText> texts;
        for (const std::string &id : ids) texts.push_back(Ole(id));
        std::vector<OPCITEMDEF> definitions(ids.size());
        for (std::size_t k = 0; k < ids.size(); ++k) {
            definitions[k] =
                OPCITEMDEF{nullptr, &texts[k][0], active, static_cast<OPCHANDLE>(101 + k), 0, nullptr, requested, 0};
        }
        TaskOut<OPCITEMRESULT> results;
        TaskOut<HRESULT> failures;
        const HRESULT result =
            group->AddItems(static_cast<DWORD>(ids.size()), definitions.data(), &results.items, &failures.items);
        std::vector<OPCHANDLE> handles(ids.size(), 0);
        *errors = Hex(result);
        if (FAILED(result)) return handles;
        for (std::size_t k = 0; k < ids.size(); ++k) {
            *errors += " " + (failures[k] == S_OK ? std::string("ok") : Hex(failures[k]));
            if (failures[k] == S_OK) handles[k] = results[k].hServer;
        }
        return handles;
    }

    // A sync read as "RESULT client=value/qQ[/error] ...".
    std::string SyncRead(IOPCItemMgt *group, OPCDATASOURCE source, const std::vector<OPCHANDLE> &handles) {
        Ref<IOPCSyncIO> io = Query<IOPCSyncIO>(group, IID_IOPCSyncIO);
        TaskOut<OPCITEMSTATE> states{nullptr, [](OPCITEMSTATE &state) { VariantClear(&state.vDataValue); },
                                     static_cast<DWORD>(handles.size())};
        TaskOut<HRESULT> errors;
        const HRESULT result = io->Read(source, static_cast<DWORD>(handles.size()),
                                        const_cast<OPCHANDLE *>(handles.data()), &states.items, &errors.items);
        std::string text = Hex(result);
        if (FAILED(result)) {
            EXPECT_EQ(states.items, nullptr);
            EXPECT_EQ(errors.items, nullptr);
            return text;
        }
        for (std::size_t k = 0; k < handles.size(); ++k) {
            text += ItemText(states[k].hClient, states[k].vDataValue, states[k].wQuality, errors[k]);
        }
        return text;
    }

    // Advises callback on group; returns the cookie.
    DWORD Advise(IUnknown *group, IOPCDataCallback *callback) {
        DWORD cookie = 0;
        EXPECT_EQ(DataCallbackPoint(group)->Advise(callback, &cookie), S_OK);
        return cookie;
    }
    DWORD Advise(IUnknown *group, Sink &sink) { return Advise(group, static_cast<IOPCDataCallback *>(&sink)); }
    HRESULT Unadvise(IUnknown *group, DWORD cookie) { return DataCallbackPoint(group)->Unadvise(cookie); }
    static Ref<IConnectionPoint> DataCallbackPoint(IUnknown *group) {
        Ref<IConnectionPointContainer> container =
            Query<IConnectionPointContainer>(group, IID_IConnectionPointContainer);
        IConnectionPoint *point = nullptr;
        EXPECT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, &point), S_OK);
        return Ref<IConnectionPoint>(point);
    }

    static void OnFinished(void *self, loService *, loClient *) { ++static_cast<OpcTest *>(self)->finished; }

    // A sink that outlives every object the test body holds: those may call
    // it until they are released.
    Sink &NewSink() {
        sinks.push_back(std::make_unique<Sink>());
        return *sinks.back();
    }
    std::vector<std::unique_ptr<Sink>> sinks;

    static constexpr loVendorInfo kVendor = {1, 0, 0, 0, "Brisvale OPC Server"};
    loService *service = nullptr;
    std::atomic<int> finished{0};
};

}  // namespace opc_test
