// A small OPC client in a process of its own: it reaches the server only
// through COM's local-server activation and the standard OPC DA interfaces, and
// prints what it sees, one fact a line. The cross-process tests use it to carry
// every shape of call of our IDL across our proxy/stub, bench/ for its timings.
//   opc_probe methods        call each interface of ours, once for each marshalling shape of parameters that no other
//                            call of the probe carries ("call NAME 0xRESULT detail"): those of
//                            Data Access 2.05a and 3.0 with a sink on the group's connection point, until the
//                            callbacks have come ("callback NAME" as each kind first arrives), then those of 1.0a
//                            with sinks on the group's IDataObject, until the streams of the refresh and the write
//                            have come ("stream data|write tTRANSACTION ITEMS whole|cut")
//   opc_probe time ROUNDS    time the activation and ROUNDS sync reads of every tag (for bench/)
//   opc_probe lag SECONDS    subscribe and print each change's delay from its timestamp (for bench/)
// Every run activates the server, lists its tags and adds them all to an active
// group first ("activation-ms", "tag NAME").
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "../common/variant_text.h"
#include "opc_da.h"

namespace {

std::mutex output;
std::vector<std::string> said;  // every line printed, for the waits on callbacks

void Say(const std::string &line) {
    std::lock_guard<std::mutex> hold(output);
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
    said.push_back(line);
}

// Waits until a line that starts with each of starts was printed, 60 s at most (the test then misses the line).
void Await(const std::vector<std::string> &starts) {
    const auto printed = [](const std::string &start) {
        std::lock_guard<std::mutex> hold(output);
        return std::any_of(said.begin(), said.end(), [&](const std::string &line) { return line.find(start) == 0; });
    };
    for (int waited = 0; waited < 600 && !std::all_of(starts.begin(), starts.end(), printed); ++waited) Sleep(100);
}

std::string Hex(unsigned value, int width = 8) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", width, value);
    return text;
}

// Ends the probe with the failed step and its result.
void Check(const char *what, HRESULT result) {
    if (FAILED(result)) {
        Say(std::string("failed ") + what + " " + "0x" + Hex(result));
        std::exit(1);
    }
}

template <class... T>
void Free(T *...blocks) {
    (CoTaskMemFree(blocks), ...);
}

// Takes a task-memory text (all ours are ASCII): its content, and frees it.
std::string Take(wchar_t *text) {
    const std::string narrow = text == nullptr ? "(null)" : std::string(text, text + std::wcslen(text));
    CoTaskMemFree(text);
    return narrow;
}

// Frees a task-memory array of results and joins them as hexadecimal.
std::string Results(HRESULT *errors, DWORD count) {
    std::string text;
    for (DWORD k = 0; errors != nullptr && k < count; ++k) text += (k ? "," : "") + Hex(errors[k]);
    CoTaskMemFree(errors);
    return text;
}

// An interface pointer, released at the end of its scope; or the interface iid of object, which it must have.
template <class T>
struct Com {
    T *p = nullptr;
    Com() = default;
    Com(IUnknown *object, const IID &iid, const char *what) { Check(what, object->QueryInterface(iid, Out())); }
    Com(const Com &) = delete;
    ~Com() {
        if (p != nullptr) p->Release();
    }
    T *operator->() const { return p; }
    void **Out() { return reinterpret_cast<void **>(&p); }
};
#define QUERY(T, object) Com<T>(object, IID_##T, #T)

double Milliseconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

// One line per call: its name, its result and what it returned.
void Called(const char *name, HRESULT result, const std::string &detail = "") {
    Say(std::string("call ") + name + " " + "0x" + Hex(result) + (detail.empty() ? "" : " ") + detail);
}

struct Session {
    Com<IOPCServer> server;
    std::vector<std::wstring> tags;
    Com<IUnknown> group;
    std::vector<OPCHANDLE> items;  // server handles, in tag order
    DWORD Count() const { return static_cast<DWORD>(items.size()); }
};

// Activates the server, browses its tags and adds them all to the group "probe" (rate 100, client handle 7).
void Open(Session *session) {
    CLSID clsid;
    Check("CLSIDFromProgID", CLSIDFromProgID(L"OPC.Brisvale.1", &clsid));
    const auto start = std::chrono::steady_clock::now();
    Check("CoCreateInstance",
          CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, session->server.Out()));
    Say("activation-ms " + std::to_string(Milliseconds(start)));

    auto browse = QUERY(IOPCBrowseServerAddressSpace, session->server.p);
    Com<IEnumString> names;
    browse->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, &names.p);  // a failure: no tags
    wchar_t *name = nullptr;
    ULONG fetched = 0;
    while (names.p != nullptr && names->Next(1, &name, &fetched) == S_OK && fetched == 1) {
        session->tags.push_back(name);
        Say("tag " + Take(name));
    }
    Check("no tags", session->tags.empty() ? E_FAIL : S_OK);
    // A top-level [out] string: null across processes without the build's fix of widl's proxy.
    wchar_t *itemId = nullptr;
    HRESULT result = browse->GetItemID(&session->tags[0][0], &itemId);
    Called("IOPCBrowseServerAddressSpace::GetItemID", result, Take(itemId));

    DWORD revised = 0, serverGroup = 0;
    result = session->server->AddGroup(L"probe", TRUE, 100, 7, nullptr, nullptr, 0, &serverGroup, &revised,
                                       IID_IUnknown, &session->group.p);
    Check("AddGroup", result);
    std::vector<OPCITEMDEF> definitions;  // active, their client handles their indexes
    for (std::wstring &tag : session->tags)
        definitions.push_back({const_cast<wchar_t *>(L""), &tag[0], TRUE, static_cast<OPCHANDLE>(definitions.size()), 0,
                               nullptr, VT_EMPTY, 0});
    OPCITEMRESULT *results = nullptr;
    HRESULT *errors = nullptr;
    Check("AddItems", QUERY(IOPCItemMgt, session->group.p)
                          ->AddItems(static_cast<DWORD>(definitions.size()), definitions.data(), &results, &errors));
    for (std::size_t k = 0; k < definitions.size(); ++k) {
        Check("AddItems item", errors[k]);
        session->items.push_back(results[k].hServer);
    }
    Free(results, errors);
}

// One sync read of every item from the cache; when shown, "CLIENT-HANDLE VALUE/QUALITY" each, then the per-item
// results (bench/ times it unshown).
std::string ReadAll(Session &session, IOPCSyncIO *sync, HRESULT *result, bool show = true) {
    OPCITEMSTATE *values = nullptr;
    HRESULT *errors = nullptr;
    *result = sync->Read(OPC_DS_CACHE, session.Count(), session.items.data(), &values, &errors);
    std::string text;
    for (DWORD k = 0; values != nullptr && k < session.Count(); ++k) {
        if (show)
            text += (k ? "|" : "") + std::to_string(values[k].hClient) + " " + VariantText(values[k].vDataValue) + "/" +
                    Hex(values[k].wQuality, 2);
        VariantClear(&values[k].vDataValue);
    }
    Free(values);
    return show ? text + " " + Results(errors, session.Count()) : Results(errors, 0);
}

void RunTimes(unsigned rounds) {
    Session session;
    Open(&session);
    auto sync = QUERY(IOPCSyncIO, session.group.p);
    std::vector<double> times;
    HRESULT result = S_OK;
    for (unsigned round = 0; round < rounds; ++round) {
        const auto begin = std::chrono::steady_clock::now();
        ReadAll(session, sync.p, &result, false);
        times.push_back(Milliseconds(begin));
    }
    std::sort(times.begin(), times.end());
    if (!times.empty())
        Say("read-ms items " + std::to_string(session.Count()) + " min " + std::to_string(times.front()) + " median " +
            std::to_string(times[times.size() / 2]) + " max " + std::to_string(times.back()));
}

// The probe's one sink, in this process, for the group's Data Access 2.0 callbacks and a 1.0a client's streams; the
// server calls it from its own threads. It prints a line per callback: "callback NAME tTRANSACTION gGROUP ITEMS" and
// the values with their qualities or the per-item results; "stream data|write tTRANSACTION ITEMS whole|cut", where the
// last word tells whether the data stream's header gives the size that arrived; or, for bench/, only each data
// change's delay from its newest timestamp. It lives on the stack of the run that advises it: no reference counts.
class Sink : public IOPCDataCallback, public IAdviseSink {
public:
    explicit Sink(bool lag) : lag_(lag) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override {
        *object = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOPCDataCallback))
            *object = static_cast<IOPCDataCallback *>(this);
        if (IsEqualIID(iid, IID_IAdviseSink)) *object = static_cast<IAdviseSink *>(this);
        return *object == nullptr ? E_NOINTERFACE : S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD transaction, OPCHANDLE group, HRESULT, HRESULT, DWORD count,
                                           OPCHANDLE *, VARIANT *values, WORD *qualities, FILETIME *stamps,
                                           HRESULT *) override {
        if (!lag_) return Report("OnDataChange", transaction, group, count, values, qualities);
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        const auto ticks = [](const FILETIME &t) {
            return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
        };
        unsigned long long newest = 0;
        for (DWORD k = 0; k < count; ++k) newest = std::max(newest, ticks(stamps[k]));
        Say("lag-ms " + std::to_string((static_cast<double>(ticks(now)) - static_cast<double>(newest)) / 1e4) +
            " items " + std::to_string(count));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD transaction, OPCHANDLE group, HRESULT, HRESULT, DWORD count,
                                             OPCHANDLE *, VARIANT *values, WORD *qualities, FILETIME *,
                                             HRESULT *) override {
        return Report("OnReadComplete", transaction, group, count, values, qualities);
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD transaction, OPCHANDLE group, HRESULT, DWORD count, OPCHANDLE *,
                                              HRESULT *errors) override {
        return Report("OnWriteComplete", transaction, group, count, nullptr, nullptr, errors);
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

    void STDMETHODCALLTYPE OnDataChange(FORMATETC *format, STGMEDIUM *medium) override {
        // OPCGROUPHEADER, or OPCGROUPHEADERWRITE: the same without the leading size.
        const bool write = format->cfFormat == RegisterClipboardFormatW(L"OPCSTMFORMATWRITECOMPLETE");
        const std::size_t size = GlobalSize(medium->hGlobal);
        DWORD header[sizeof(OPCGROUPHEADER) / sizeof(DWORD)] = {};
        const void *bytes = GlobalLock(medium->hGlobal);
        if (bytes == nullptr || size < sizeof header) return Say("stream cut");
        std::memcpy(header, bytes, sizeof header);
        GlobalUnlock(medium->hGlobal);
        const DWORD *fields = write ? header : header + 1;  // item count, group, transaction
        Say(std::string("stream ") + (write ? "write" : "data") + " t" + std::to_string(fields[2]) + " " +
            std::to_string(fields[0]) + " " + (write || header[0] == size ? "whole" : "cut"));
    }
    void STDMETHODCALLTYPE OnViewChange(DWORD, LONG) override {}
    void STDMETHODCALLTYPE OnRename(IMoniker *) override {}
    void STDMETHODCALLTYPE OnSave() override {}
    void STDMETHODCALLTYPE OnClose() override {}

private:
    // "callback NAME tTRANSACTION gGROUP COUNT", then each item's value and quality, or its result.
    static HRESULT Report(const char *name, DWORD transaction, OPCHANDLE group, DWORD count, VARIANT *values,
                          WORD *qualities, HRESULT *errors = nullptr) {
        std::string line = std::string("callback ") + name + " t" + std::to_string(transaction) + " g" +
                           std::to_string(group) + " " + std::to_string(count);
        for (DWORD k = 0; k < count; ++k)
            line +=
                " " + (errors != nullptr ? "0x" + Hex(errors[k]) : VariantText(values[k]) + "/" + Hex(qualities[k], 2));
        Say(line);
        return S_OK;
    }

    const bool lag_;
};

// A sink advised on the group's connection point until the end of its scope.
struct Advice {
    Com<IConnectionPoint> point;
    DWORD cookie = 0;
    Advice(IUnknown *group, IOPCDataCallback *sink) {
        Check("FindConnectionPoint",
              QUERY(IConnectionPointContainer, group)->FindConnectionPoint(IID_IOPCDataCallback, &point.p));
        Check("Advise", point->Advise(sink, &cookie));
    }
    ~Advice() { Check("Unadvise", point->Unadvise(cookie)); }
};

void RunLag(unsigned seconds) {
    Session session;
    Open(&session);
    Sink sink(true);
    Advice advice(session.group.p, &sink);
    Say("subscribed");
    Sleep(seconds * 1000);
}

// Calls each interface of ours, one call per marshalling shape: the server object's, those of Data Access 3.0
// included; the group's, the asynchronous ones answered through the sink in this process; then, as a Data Access 1.0a
// client, on a group that no other sink is advised on any more.
void RunMethods(unsigned) {
    Session session;
    Open(&session);
    IOPCServer *server = session.server.p;
    wchar_t *tag = &session.tags[0][0];
    OPCSERVERSTATUS *status = nullptr;
    HRESULT result = server->GetStatus(&status);
    Called("IOPCServer::GetStatus", result, std::to_string(status->dwServerState) + " " + Take(status->szVendorInfo));
    Free(status);
    Called("IOPCCommon::SetClientName", QUERY(IOPCCommon, server)->SetClientName(L"probe"));

    // The arrays of strings: lost across processes while the IDL marked them as one string.
    DWORD count = 0;
    DWORD *ids = nullptr;
    wchar_t **descriptions = nullptr;
    VARTYPE *types = nullptr;
    result = QUERY(IOPCItemProperties, server)->QueryAvailableProperties(tag, &count, &ids, &descriptions, &types);
    std::string detail;
    for (DWORD k = 0; k < count; ++k) detail += (k ? "|" : "") + std::to_string(ids[k]) + ":" + Take(descriptions[k]);
    Free(descriptions, types);
    Called("IOPCItemProperties::QueryAvailableProperties", result, detail);

    // Data Access 3.0: pages of two elements with their properties (nested arrays of structures), the continuation
    // point out and in again; "NAME/ERROR/PROPERTIES" each.
    auto browse3 = QUERY(IOPCBrowse, server);
    wchar_t *empty = const_cast<wchar_t *>(L"");
    wchar_t *continuation = nullptr;
    BOOL more = FALSE;
    DWORD listed = 0;
    OPCBROWSEELEMENT *elements = nullptr;
    detail.clear();
    for (int page = 0; page < 2; ++page) {
        result = browse3->Browse(empty, &continuation, 2, OPC_BROWSE_FILTER_ITEMS, empty, empty, TRUE, TRUE, 0, ids,
                                 &more, &listed, &elements);
        for (DWORD k = 0; k < listed; ++k) {
            OPCITEMPROPERTIES &found = elements[k].ItemProperties;
            detail += " " + Take(elements[k].szName) + "/" + Hex(found.hrErrorID) + "/" +
                      std::to_string(found.dwNumProperties);
            for (DWORD j = 0; j < found.dwNumProperties; ++j) {
                Free(found.pItemProperties[j].szItemID, found.pItemProperties[j].szDescription);
                VariantClear(&found.pItemProperties[j].vValue);
            }
            Free(elements[k].szItemID, found.pItemProperties);
        }
        Free(elements);
    }
    Called("IOPCBrowse::Browse", result, std::to_string(more) + detail);
    Free(continuation, ids);

    // An array of strings in, per-item results with S_FALSE, and VARIANTs out.
    const wchar_t *named[] = {tag, L"Nothing"};
    DWORD ages[] = {0xFFFFFFFF, 0xFFFFFFFF};
    VARIANT *values = nullptr;
    WORD *qualities = nullptr;
    FILETIME *times = nullptr;
    HRESULT *read = nullptr;
    result = QUERY(IOPCItemIO, server)->Read(2, named, ages, &values, &qualities, &times, &read);
    detail.clear();
    for (DWORD k = 0; values != nullptr && qualities != nullptr && k < 2; ++k) {
        detail += (k ? "|" : "") + VariantText(values[k]) + "/" + Hex(qualities[k], 2);
        VariantClear(&values[k]);
    }
    Free(values, qualities, times);
    Called("IOPCItemIO::Read", result, detail + " " + Results(read, 2));

    IUnknown *group = session.group.p;
    OPCHANDLE *handles = session.items.data();
    Sink sink(false);
    std::deque<HRESULT *> errors;  // the per-item results of the calls whose answers the test does not read
    {
        Advice advice(group, &sink);
        auto state = QUERY(IOPCGroupStateMgt2, group);
        Called("IOPCGroupStateMgt::SetName", state->SetName(L"probe2"));
        DWORD keepAlive = 0;
        Called("IOPCGroupStateMgt2::GetKeepAlive", state->GetKeepAlive(&keepAlive));

        auto sync = QUERY(IOPCSyncIO2, group);
        const std::string all = ReadAll(session, sync.p, &result);
        Called("IOPCSyncIO::Read", result, all);
        // VARIANTs in an array of structures (in an array of their own: IOPCAsyncIO::Write).
        OPCITEMVQT vqt[1] = {};
        Called("IOPCSyncIO2::WriteVQT", sync->WriteVQT(1, handles, vqt, &errors.emplace_back()));

        // Structures with strings, a blob and a VARIANT out.
        Com<IEnumOPCItemAttributes> attributes;
        result = QUERY(IOPCItemMgt, group)
                     ->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<IUnknown **>(&attributes.p));
        Called("IOPCItemMgt::CreateEnumerator", result);
        OPCITEMATTRIBUTES *items = nullptr;
        ULONG fetched = 0;
        Called("IEnumOPCItemAttributes::Next", attributes->Next(session.Count(), &items, &fetched));
        for (ULONG k = 0; k < fetched; ++k) {
            Free(items[k].szItemID, items[k].szAccessPath, items[k].pBlob);
            VariantClear(&items[k].vEUInfo);
        }
        Free(items);
        Called("IOPCItemDeadbandMgt::ClearItemDeadband",
               QUERY(IOPCItemDeadbandMgt, group)->ClearItemDeadband(session.Count(), handles, &errors.emplace_back()));

        // Transactions 1 (Data Access 2.05a), 32 and 33 (3.0) come back in the callbacks' lines.
        auto async = QUERY(IOPCAsyncIO3, group);
        DWORD cancel = 0;
        Called("IOPCAsyncIO2::Read", async->Read(session.Count(), handles, 1, &cancel, &errors.emplace_back()));
        Called("IOPCAsyncIO3::WriteVQT", async->WriteVQT(1, handles, vqt, 32, &cancel, &errors.emplace_back()));
        Called("IOPCAsyncIO3::RefreshMaxAge", async->RefreshMaxAge(0, 33, &cancel));
        Await({"callback OnReadComplete t1 ", "callback OnWriteComplete t32 ", "callback OnDataChange t33 "});
    }

    auto data = QUERY(IDataObject, group);
    FORMATETC format{static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME")), nullptr,
                     DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    DWORD connection = 0, writeConnection = 0;
    IAdviseSink *advised = &sink;
    Check("DAdvise", data->DAdvise(&format, 0, advised, &connection));
    format.cfFormat = static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATWRITECOMPLETE"));
    Check("DAdvise write complete", data->DAdvise(&format, 0, advised, &writeConnection));
    auto async = QUERY(IOPCAsyncIO, group);
    DWORD refresh = 0, write = 0;
    result = async->Refresh(connection, OPC_DS_DEVICE, &refresh);
    Called("IOPCAsyncIO::Refresh", result, "t" + std::to_string(refresh));
    // An empty value, refused in the write stream.
    VARIANT value;
    VariantInit(&value);
    result = async->Write(writeConnection, 1, handles, &value, &write, &errors.emplace_back());
    Called("IOPCAsyncIO::Write", result, "t" + std::to_string(write));
    Await({"stream data t" + std::to_string(refresh) + " ", "stream write t" + std::to_string(write) + " "});
    Check("DUnadvise", data->DUnadvise(connection));
    Check("DUnadvise write complete", data->DUnadvise(writeConnection));
    for (HRESULT *results : errors) CoTaskMemFree(results);
}

}  // namespace

int main(int argc, char **argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    void (*run)(unsigned) = mode == "methods" ? RunMethods : nullptr;
    if (argc > 2) run = mode == "time" ? RunTimes : mode == "lag" ? RunLag : run;  // with a number of rounds or seconds
    if (run == nullptr) {
        std::fputs("usage: opc_probe methods | time ROUNDS | lag SECONDS\n", stderr);
        return 2;
    }
    // The multithreaded apartment: callbacks arrive without a message loop.
    Check("CoInitializeEx", CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    run(static_cast<unsigned>(argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 0));
    Say("done");
    CoUninitialize();
    return 0;
}
