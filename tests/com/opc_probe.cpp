// A small OPC client in a process of its own: it reaches the server only
// through COM's local-server activation and the standard OPC DA interfaces, and
// prints what it sees, one fact a line. The cross-process tests use it for the
// calls that brisvale-client does not make (the [out] strings of
// GetErrorString and GetItemID, the group's state, every other method of the
// interfaces), bench/ for its timings.
//   opc_probe methods        list the OPC servers by category, then status, error strings, group state and a
//                            sync read; every other method of the OPC interfaces once ("call NAME 0xRESULT
//                            detail"), then the callbacks that arrived ("callback NAME")
//   opc_probe time ROUNDS    time the activation and ROUNDS sync reads of every tag (for bench/)
//   opc_probe lag SECONDS    subscribe and print each change's delay from its timestamp (for bench/)
//   opc_probe da3            the Data Access 3.0 calls: browse in pages, reads by age, refused writes,
//                            asynchronous completions and keep-alives (and two Data Access 2.05a answers)
//   opc_probe stream SECONDS as a Data Access 1.0a client: advise sinks on the group's IDataObject, a refresh and
//                            a write through IOPCAsyncIO, and each item of each stream that arrives
// Every run activates the server, lists its tags and adds them all to an active
// group first ("activated", "activation-ms", "tag NAME", "item-id NAME").
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <comcat.h>

#include "../common/variant_text.h"
#include "opc_da.h"

namespace {

std::mutex output;

void Say(const std::string &line) {
    std::lock_guard<std::mutex> hold(output);
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

std::string Utf8(const wchar_t *text) {
    if (text == nullptr) return "(null)";
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, &narrow[0], size, nullptr, nullptr);
    return narrow;
}

std::string Hex(unsigned value, int width = 8) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", width, value);
    return text;
}

std::string Hr(HRESULT result) {
    return "0x" + Hex(static_cast<unsigned>(result));
}

// Ends the probe with the failed step and its result.
[[noreturn]] void Fail(const char *what, HRESULT result) {
    Say(std::string("failed ") + what + " " + Hr(result));
    std::exit(1);
}

void Check(const char *what, HRESULT result) {
    if (FAILED(result)) Fail(what, result);
}

template <class... T>
void Free(T *...blocks) {
    (CoTaskMemFree(blocks), ...);
}

// Takes a task-memory text: its content, and frees it.
std::string Take(wchar_t *text) {
    std::string narrow = Utf8(text);
    CoTaskMemFree(text);
    return narrow;
}

// Frees a task-memory array of results and joins them as hexadecimal.
std::string Results(HRESULT *errors, DWORD count) {
    std::string text;
    for (DWORD k = 0; errors != nullptr && k < count; ++k)
        text += (k ? "," : "") + Hex(static_cast<unsigned>(errors[k]));
    CoTaskMemFree(errors);
    return text;
}

// An interface pointer, released at the end of its scope.
template <class T>
struct Com {
    T *p = nullptr;
    Com() = default;
    Com(Com &&other) noexcept : p(other.p) { other.p = nullptr; }
    Com &operator=(Com &&) = delete;
    ~Com() { Reset(); }
    void Reset() {
        if (p != nullptr) p->Release();
        p = nullptr;
    }
    T *operator->() const { return p; }
    void **Out() { return reinterpret_cast<void **>(&p); }
};

template <class T>
Com<T> Query(IUnknown *object, const IID &iid, const char *what) {
    Com<T> found;
    Check(what, object->QueryInterface(iid, found.Out()));
    return found;
}
#define QUERY(T, object) Query<T>(object, IID_##T, #T)

double Milliseconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

struct Session {
    Com<IOPCServer> server;
    std::vector<std::wstring> tags;
    Com<IUnknown> group;
    std::vector<OPCHANDLE> items;  // server handles, in tag order
    OPCHANDLE serverGroup = 0;
    DWORD Count() const { return static_cast<DWORD>(items.size()); }
};

std::string Name(const Session &session, OPCHANDLE client) {
    return client < session.tags.size() ? Utf8(session.tags[client].c_str()) : "?" + std::to_string(client);
}

OPCITEMDEF Definition(std::wstring &tag, OPCHANDLE client) {
    OPCITEMDEF definition{};
    definition.szAccessPath = const_cast<wchar_t *>(L"");
    definition.szItemID = &tag[0];
    definition.bActive = TRUE;
    definition.hClient = client;
    return definition;
}

void Open(Session *session) {
    CLSID clsid;
    Check("CLSIDFromProgID", CLSIDFromProgID(L"OPC.Brisvale.1", &clsid));
    const auto start = std::chrono::steady_clock::now();
    Check("CoCreateInstance",
          CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, session->server.Out()));
    Say("activation-ms " + std::to_string(Milliseconds(start)));
    Say("activated");

    auto browse = QUERY(IOPCBrowseServerAddressSpace, session->server.p);
    OPCNAMESPACETYPE organization = OPC_NS_HIERARCHIAL;
    Check("QueryOrganization", browse->QueryOrganization(&organization));
    Say("organization " + std::to_string(organization));
    Com<IEnumString> names;
    Check("BrowseOPCItemIDs", browse->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, &names.p));
    wchar_t *name = nullptr;
    ULONG fetched = 0;
    while (names.p != nullptr && names->Next(1, &name, &fetched) == S_OK && fetched == 1) {
        session->tags.push_back(name);
        Say("tag " + Take(name));
    }
    if (session->tags.empty()) Fail("no tags", E_FAIL);
    wchar_t *itemId = nullptr;
    Check("GetItemID", browse->GetItemID(&session->tags[0][0], &itemId));
    Say("item-id " + Take(itemId));

    DWORD revised = 0;
    Check("AddGroup", session->server->AddGroup(L"probe", TRUE, 100, 7, nullptr, nullptr, 0, &session->serverGroup,
                                                &revised, IID_IUnknown, &session->group.p));
    std::vector<OPCITEMDEF> definitions;
    for (std::size_t k = 0; k < session->tags.size(); ++k) definitions.push_back(Definition(session->tags[k], k));
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

// One sync read of every item from the cache, its lines "read NAME VALUE QUALITY ERROR" when shown.
void ReadAll(Session &session, IOPCSyncIO *sync, bool show) {
    OPCITEMSTATE *values = nullptr;
    HRESULT *errors = nullptr;
    Check("Read", sync->Read(OPC_DS_CACHE, session.Count(), session.items.data(), &values, &errors));
    for (DWORD k = 0; k < session.Count(); ++k) {
        if (show)
            Say("read " + Name(session, values[k].hClient) + " " + VariantText(values[k].vDataValue) + " " +
                Hex(values[k].wQuality, 2) + " " + Hex(static_cast<unsigned>(errors[k])));
        VariantClear(&values[k].vDataValue);
    }
    Free(values, errors);
}

// How OPC browsers find servers: every class of the OPC Data Access 2.0 category, by ProgID.
void ListByCategory() {
    Com<ICatInformation> categories;
    Check("StdComponentCategoriesMgr", CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                                        IID_ICatInformation, categories.Out()));
    CATID wanted = {0x63D5F432, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};
    Com<IEnumCLSID> found;
    Check("EnumClassesOfCategories", categories->EnumClassesOfCategories(1, &wanted, 0, nullptr, &found.p));
    CLSID clsid;
    ULONG fetched = 0;
    while (found->Next(1, &clsid, &fetched) == S_OK && fetched == 1) {
        LPOLESTR progId = nullptr;
        if (SUCCEEDED(ProgIDFromCLSID(clsid, &progId))) Say("listed " + Take(progId));
    }
}

// The calls of every client: status, error strings, the group's state, a read.
void Basics(Session &session) {
    OPCSERVERSTATUS *status = nullptr;
    Check("GetStatus", session.server->GetStatus(&status));
    Say("status " + std::to_string(status->dwServerState) + " " + Take(status->szVendorInfo));
    Free(status);
    wchar_t *text = nullptr;
    Check("GetErrorString", session.server->GetErrorString(OPC_E_UNKNOWNITEMID, 0, &text));
    Say("error-string " + Take(text));
    text = nullptr;
    Check("IOPCCommon::GetErrorString",
          QUERY(IOPCCommon, session.server.p)->GetErrorString(OPC_E_INVALIDHANDLE, &text));
    Say("common-error-string " + Take(text));

    DWORD rate = 0;
    BOOL active = FALSE;
    wchar_t *name = nullptr;
    LONG bias = 0;
    FLOAT deadband = 0;
    LCID lcid = 0;
    OPCHANDLE clientGroup = 0, serverGroup = 0;
    Check("GetState", QUERY(IOPCGroupStateMgt, session.group.p)
                          ->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &clientGroup, &serverGroup));
    Say("group " + Take(name) + " " + std::to_string(rate) + " " + std::to_string(clientGroup));
    ReadAll(session, QUERY(IOPCSyncIO, session.group.p).p, true);
}

void RunTimes(unsigned rounds) {
    Session session;
    Open(&session);
    auto sync = QUERY(IOPCSyncIO, session.group.p);
    std::vector<double> times;
    for (unsigned round = 0; round < rounds; ++round) {
        const auto begin = std::chrono::steady_clock::now();
        ReadAll(session, sync.p, false);
        times.push_back(Milliseconds(begin));
    }
    std::sort(times.begin(), times.end());
    if (!times.empty())
        Say("read-ms items " + std::to_string(session.Count()) + " min " + std::to_string(times.front()) + " median " +
            std::to_string(times[times.size() / 2]) + " max " + std::to_string(times.back()));
}

// The IUnknown of the probe's sinks: one interface, references counted (the
// sinks live on the stack of the run that advises them).
template <class Interface>
class SinkOf : public Interface {
public:
    explicit SinkOf(const IID &iid) : iid_(iid) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override {
        *object = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, iid_) ? static_cast<Interface *>(this) : nullptr;
        if (*object == nullptr) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(InterlockedDecrement(&references_)); }

private:
    const IID &iid_;
    LONG references_ = 1;
};

// The subscription's sink, in this process; the server calls it from its own threads. It prints every callback
// with its values, and each kind of callback as it first arrives ("callback NAME"); or, for bench/, only each data
// change's delay from its newest timestamp.
class Sink : public SinkOf<IOPCDataCallback> {
public:
    explicit Sink(bool lag) : SinkOf(IID_IOPCDataCallback), lag_(lag) {}
    // Which callbacks arrived: OnDataChange, OnReadComplete, OnWriteComplete, OnCancelComplete.
    std::atomic<unsigned> seen[4] = {};

    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD transaction, OPCHANDLE group, HRESULT, HRESULT, DWORD count,
                                           OPCHANDLE *, VARIANT *values, WORD *qualities, FILETIME *stamps,
                                           HRESULT *) override {
        if (!lag_)
            return Report(0, "OnDataChange",
                          "on-data-change t" + std::to_string(transaction) + " g" + std::to_string(group) +
                              Values(count, values, qualities));
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
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD transaction, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE *,
                                             VARIANT *values, WORD *qualities, FILETIME *, HRESULT *) override {
        return Report(1, "OnReadComplete",
                      "on-read-complete t" + std::to_string(transaction) + Values(count, values, qualities));
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD transaction, OPCHANDLE, HRESULT, DWORD count, OPCHANDLE *,
                                              HRESULT *errors) override {
        std::string line = "on-write-complete t" + std::to_string(transaction);
        for (DWORD k = 0; k < count; ++k) line += " " + Hr(errors[k]);
        return Report(2, "OnWriteComplete", line);
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override {
        return Report(3, "OnCancelComplete", "on-cancel-complete");
    }

private:
    static std::string Values(DWORD count, VARIANT *values, WORD *qualities) {
        std::string text = " items " + std::to_string(count);
        for (DWORD k = 0; k < count; ++k) text += " " + VariantText(values[k]) + "/" + Hex(qualities[k], 2);
        return text;
    }
    HRESULT Report(int which, const char *name, const std::string &line) {
        Say(line);
        if (seen[which]++ == 0) Say(std::string("callback ") + name);
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

// One line per call: its name, its result and what it returned.
void Called(const char *name, HRESULT result, const std::string &detail = "") {
    Say(std::string("call ") + name + " " + Hr(result) + (detail.empty() ? "" : " ") + detail);
}

// A call with per-item results, shown joined after its own result.
template <class Call>
void PerItem(const char *name, DWORD count, Call call) {
    HRESULT *errors = nullptr;
    const HRESULT result = call(&errors);
    Called(name, result, Results(errors, count));
}

void ServerMethods(Session *session) {
    IOPCServer *server = session->server.p;
    wchar_t *tag = &session->tags[0][0];
    Com<IUnknown> found, groups;
    Called("IOPCServer::GetGroupByName", server->GetGroupByName(L"probe", IID_IUnknown, &found.p));
    Called("IOPCServer::CreateGroupEnumerator",
           server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumUnknown, &groups.p));

    auto common = QUERY(IOPCCommon, server);
    Called("IOPCCommon::SetLocaleID", common->SetLocaleID(0));
    LCID lcid = 1;
    HRESULT result = common->GetLocaleID(&lcid);
    Called("IOPCCommon::GetLocaleID", result, std::to_string(lcid));
    DWORD count = 0;
    LCID *lcids = nullptr;
    result = common->QueryAvailableLocaleIDs(&count, &lcids);
    Free(lcids);
    Called("IOPCCommon::QueryAvailableLocaleIDs", result, std::to_string(count));
    Called("IOPCCommon::SetClientName", common->SetClientName(L"probe"));

    auto browse = QUERY(IOPCBrowseServerAddressSpace, server);
    Called("IOPCBrowseServerAddressSpace::ChangeBrowsePosition", browse->ChangeBrowsePosition(OPC_BROWSE_UP, L""));
    Com<IEnumString> paths;
    Called("IOPCBrowseServerAddressSpace::BrowseAccessPaths", browse->BrowseAccessPaths(tag, &paths.p));

    // The arrays of strings: lost across processes while the IDL marked them as one string.
    auto properties = QUERY(IOPCItemProperties, server);
    DWORD *ids = nullptr;
    wchar_t **descriptions = nullptr;
    VARTYPE *types = nullptr;
    result = properties->QueryAvailableProperties(tag, &count, &ids, &descriptions, &types);
    std::string detail;
    for (DWORD k = 0; k < count; ++k)
        detail +=
            (k ? "|" : "") + std::to_string(ids[k]) + ":" + Take(descriptions[k]) + ":" + std::to_string(types[k]);
    Free(descriptions, types);
    Called("IOPCItemProperties::QueryAvailableProperties", result, detail);
    VARIANT *values = nullptr;
    HRESULT *errors = nullptr;
    result = properties->GetItemProperties(tag, count, ids, &values, &errors);
    detail.clear();
    for (DWORD k = 0; values != nullptr && k < count; ++k) {
        detail += (k ? "|" : "") + VariantText(values[k]);
        VariantClear(&values[k]);
    }
    Free(values);
    Called("IOPCItemProperties::GetItemProperties", result, detail + " " + Results(errors, count));
    wchar_t **newIds = nullptr;
    errors = nullptr;
    result = properties->LookupItemIDs(tag, count, ids, &newIds, &errors);
    detail.clear();
    for (DWORD k = 0; newIds != nullptr && k < count; ++k) detail += (k ? "|" : "") + Take(newIds[k]);
    Free(newIds, ids);
    Called("IOPCItemProperties::LookupItemIDs", result, detail + " " + Results(errors, count));
}

// The group's methods; the asynchronous ones are answered through the sink in this process.
void GroupMethods(Session *session, Sink *sink) {
    const DWORD count = session->Count();
    OPCHANDLE *handles = session->items.data();
    auto state = QUERY(IOPCGroupStateMgt, session->group.p);
    DWORD rate = 200, revised = 0;
    HRESULT result = state->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr);
    Called("IOPCGroupStateMgt::SetState", result, std::to_string(revised));
    Called("IOPCGroupStateMgt::SetName", state->SetName(L"probe2"));
    Com<IUnknown> clone;
    Called("IOPCGroupStateMgt::CloneGroup", state->CloneGroup(L"clone", IID_IUnknown, &clone.p));

    std::vector<VARIANT> written(count);
    for (VARIANT &value : written) {
        value.vt = VT_I2;
        value.iVal = 5;
    }
    auto sync = QUERY(IOPCSyncIO, session->group.p);
    PerItem("IOPCSyncIO::Write", count, [&](HRESULT **e) { return sync->Write(count, handles, written.data(), e); });

    auto items = QUERY(IOPCItemMgt, session->group.p);
    OPCITEMDEF definition = Definition(session->tags[0], 0);
    OPCITEMRESULT *validated = nullptr;
    HRESULT *errors = nullptr;
    result = items->ValidateItems(1, &definition, FALSE, &validated, &errors);
    Called("IOPCItemMgt::ValidateItems", result,
           (validated != nullptr ? std::to_string(validated[0].vtCanonicalDataType) : "") + " " + Results(errors, 1));
    Free(validated);
    PerItem("IOPCItemMgt::SetActiveState", count,
            [&](HRESULT **e) { return items->SetActiveState(count, handles, TRUE, e); });
    std::vector<OPCHANDLE> clients(count);
    for (DWORD k = 0; k < count; ++k) clients[k] = k;
    PerItem("IOPCItemMgt::SetClientHandles", count,
            [&](HRESULT **e) { return items->SetClientHandles(count, handles, clients.data(), e); });
    std::vector<VARTYPE> types(count, VT_I4);
    PerItem("IOPCItemMgt::SetDatatypes", count,
            [&](HRESULT **e) { return items->SetDatatypes(count, handles, types.data(), e); });
    Com<IEnumOPCItemAttributes> attributes;
    result = items->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<IUnknown **>(&attributes.p));
    Called("IOPCItemMgt::CreateEnumerator", result);
    if (attributes.p != nullptr) {
        OPCITEMATTRIBUTES *listed = nullptr;
        ULONG fetched = 0;
        result = attributes->Next(count, &listed, &fetched);
        std::string names;
        for (ULONG k = 0; k < fetched; ++k) {
            names += (k ? "|" : "") + Take(listed[k].szItemID);
            Free(listed[k].szAccessPath, listed[k].pBlob);
            VariantClear(&listed[k].vEUInfo);
        }
        Free(listed);
        Called("IEnumOPCItemAttributes::Next", result, names);
        Called("IEnumOPCItemAttributes::Reset", attributes->Reset());
        Called("IEnumOPCItemAttributes::Skip", attributes->Skip(1));
        Com<IEnumOPCItemAttributes> copy;
        Called("IEnumOPCItemAttributes::Clone", attributes->Clone(&copy.p));
    }

    auto async = QUERY(IOPCAsyncIO2, session->group.p);
    Called("IOPCAsyncIO2::SetEnable", async->SetEnable(TRUE));
    BOOL enabled = FALSE;
    result = async->GetEnable(&enabled);
    Called("IOPCAsyncIO2::GetEnable", result, std::to_string(enabled));
    DWORD cancel = 0;
    PerItem("IOPCAsyncIO2::Read", count, [&](HRESULT **e) { return async->Read(count, handles, 1, &cancel, e); });
    PerItem("IOPCAsyncIO2::Write", count,
            [&](HRESULT **e) { return async->Write(count, handles, written.data(), 2, &cancel, e); });
    Called("IOPCAsyncIO2::Refresh2", async->Refresh2(OPC_DS_CACHE, 3, &cancel));
    // A cancel only succeeds before the completion went out: a few tries.
    result = E_FAIL;
    for (int attempt = 0; attempt < 100 && result != S_OK; ++attempt) {
        errors = nullptr;
        if (SUCCEEDED(async->Read(count, handles, 4, &cancel, &errors))) result = async->Cancel2(cancel);
        Free(errors);
    }
    Called("IOPCAsyncIO2::Cancel2", result);
    const auto arrived = [&] {
        return sink->seen[0] && sink->seen[1] && sink->seen[2] && (result != S_OK || sink->seen[3]);
    };
    for (int waited = 0; waited < 600 && !arrived(); ++waited) Sleep(100);
}

void RunMethods(unsigned) {
    ListByCategory();
    Session session;
    Open(&session);
    Basics(session);
    ServerMethods(&session);
    Sink sink(false);
    {
        Advice advice(session.group.p, &sink);
        GroupMethods(&session, &sink);
    }
    const DWORD count = session.Count();
    PerItem("IOPCItemMgt::RemoveItems", count, [&](HRESULT **errors) {
        return QUERY(IOPCItemMgt, session.group.p)->RemoveItems(count, session.items.data(), errors);
    });
    session.group.Reset();
    Called("IOPCServer::RemoveGroup", session.server->RemoveGroup(session.serverGroup, FALSE));
}

// What a read by age hands back for count items, freed at the end of its scope.
struct ByAge {
    DWORD count;
    VARIANT *values = nullptr;
    WORD *qualities = nullptr;
    FILETIME *times = nullptr;
    HRESULT *errors = nullptr;
    ~ByAge() {
        for (DWORD k = 0; values != nullptr && k < count; ++k) VariantClear(&values[k]);
        Free(values, qualities, times, errors);
    }
    std::string First() const { return VariantText(values[0]) + "/" + Hex(qualities[0], 2); }
};

// Data Access 3.0 browsing: pages of two joined by continuation points, and a continuation point of nobody's.
void Da3Browse(Session *session) {
    auto browse = QUERY(IOPCBrowse, session->server.p);
    // The property ids are a reference pointer on the wire: never null, even for none.
    DWORD noIds[1] = {0};
    wchar_t *empty = const_cast<wchar_t *>(L"");
    wchar_t *continuation = nullptr;
    BOOL more = FALSE;
    DWORD count = 0;
    OPCBROWSEELEMENT *elements = nullptr;
    for (int page = 1; page == 1 || (continuation != nullptr && page <= 10); ++page) {
        Check("Browse", browse->Browse(empty, &continuation, 2, OPC_BROWSE_FILTER_ITEMS, empty, empty, TRUE, TRUE, 0,
                                       noIds, &more, &count, &elements));
        std::string line = "browse-page " + std::to_string(page);
        for (DWORD k = 0; k < count; ++k) {
            OPCITEMPROPERTIES &properties = elements[k].ItemProperties;
            line += " " + Take(elements[k].szName) + "/" + std::to_string(properties.dwNumProperties);
            for (DWORD j = 0; j < properties.dwNumProperties; ++j) {
                Free(properties.pItemProperties[j].szItemID, properties.pItemProperties[j].szDescription);
                VariantClear(&properties.pItemProperties[j].vValue);
            }
            Free(elements[k].szItemID, properties.pItemProperties);
        }
        Free(elements);
        Say(line);
    }
    wchar_t *bogus = static_cast<wchar_t *>(CoTaskMemAlloc(sizeof L"bogus"));
    std::memcpy(bogus, L"bogus", sizeof L"bogus");
    const HRESULT refused = browse->Browse(empty, &bogus, 2, OPC_BROWSE_FILTER_ALL, empty, empty, FALSE, FALSE, 0,
                                           noIds, &more, &count, &elements);
    Say("browse-bogus " + Hr(refused));
    Free(bogus);
}

// Reads by age and writes with quality and time, on the server and on the group; refused writes.
void Da3ReadsAndWrites(Session *session) {
    auto io = QUERY(IOPCItemIO, session->server.p);
    const wchar_t *ids[] = {session->tags[0].c_str(), L"Nothing"};
    DWORD ages[] = {0, 0xFFFFFFFF};
    ByAge read{2};
    const HRESULT result = io->Read(2, ids, ages, &read.values, &read.qualities, &read.times, &read.errors);
    Check("IOPCItemIO::Read", result);
    Say("item-io-read " + Hr(result) + " " + read.First() + " " + Hr(read.errors[1]));
    OPCITEMVQT vqt[2] = {};
    HRESULT *errors = nullptr;
    const HRESULT written = io->WriteVQT(2, ids, vqt, &errors);
    Check("IOPCItemIO::WriteVQT", written);
    Say("item-io-write " + Hr(written) + " " + Results(errors, 2));

    const DWORD count = session->Count();
    OPCHANDLE *handles = session->items.data();
    auto sync = QUERY(IOPCSyncIO2, session->group.p);
    std::vector<DWORD> anyAge(count, 0xFFFFFFFF);
    ByAge cached{count};
    Check("ReadMaxAge", sync->ReadMaxAge(count, handles, anyAge.data(), &cached.values, &cached.qualities,
                                         &cached.times, &cached.errors));
    Say("read-max-age " + cached.First());
    Check("IOPCSyncIO2::WriteVQT", sync->WriteVQT(1, handles, vqt, &errors));
    Say("sync-write-vqt " + Results(errors, 1));
    FLOAT *deadband = nullptr;
    Check("GetItemDeadband",
          QUERY(IOPCItemDeadbandMgt, session->group.p)->GetItemDeadband(1, handles, &deadband, &errors));
    Free(deadband);
    Say("deadband " + Results(errors, 1));
}

// Asynchronous reads by age, writes and refreshes, then keep-alives alone.
void Da3Callbacks(Session *session) {
    const DWORD count = session->Count();
    OPCHANDLE *handles = session->items.data();
    Sink sink(false);
    Advice advice(session->group.p, &sink);
    auto async = QUERY(IOPCAsyncIO3, session->group.p);
    std::vector<DWORD> anyAge(count, 0xFFFFFFFF);
    OPCITEMVQT vqt[1] = {};
    DWORD cancel = 0;
    HRESULT *errors = nullptr;
    Check("async ReadMaxAge", async->ReadMaxAge(1, handles, anyAge.data(), 31, &cancel, &errors));
    Free(errors);
    Check("async WriteVQT", async->WriteVQT(1, handles, vqt, 32, &cancel, &errors));
    Free(errors);
    Check("RefreshMaxAge", async->RefreshMaxAge(0, 33, &cancel));
    auto state = QUERY(IOPCGroupStateMgt2, session->group.p);
    DWORD revised = 0;
    // Called first, then shown: the operands of one expression may be evaluated in any order.
    const HRESULT result = state->SetKeepAlive(10, &revised);
    Say("set-keep-alive " + Hr(result) + " " + std::to_string(revised));
    Check("SetKeepAlive", state->SetKeepAlive(200, &revised));
    // The group loses its items (and stays active: an inactive one sends no
    // keep-alive) so that only keep-alives come from here on.
    Check("RemoveItems", QUERY(IOPCItemMgt, session->group.p)->RemoveItems(count, handles, &errors));
    Free(errors);
    Sleep(1500);
    Check("SetKeepAlive off", state->SetKeepAlive(0, &revised));
}

void RunDa3(unsigned) {
    Session session;
    Open(&session);
    Da3Browse(&session);
    Da3ReadsAndWrites(&session);
    Da3Callbacks(&session);
    wchar_t *position = nullptr;
    const HRESULT result =
        QUERY(IOPCBrowseServerAddressSpace, session.server.p)->GetItemID(const_cast<wchar_t *>(L""), &position);
    Say("get-item-id-empty " + Hr(result) + " <" + Take(position) + ">");
    Say("remove-forced " + Hr(session.server->RemoveGroup(session.serverGroup, TRUE)));
}

// The k-th record of type T after the header of a stream, when the stream holds it.
template <class T>
bool Record(const BYTE *bytes, std::size_t size, std::size_t header, DWORD k, T *record) {
    const std::size_t at = header + k * sizeof(T);
    if (at + sizeof(T) > size) return false;
    std::memcpy(record, bytes + at, sizeof(T));
    return true;
}

// A Data Access 1.0a client's advise sink: prints the streams, one item a line.
class StreamSink : public SinkOf<IAdviseSink> {
public:
    explicit StreamSink(const Session &session) : SinkOf(IID_IAdviseSink), session_(session) {}
    void STDMETHODCALLTYPE OnDataChange(FORMATETC *format, STGMEDIUM *medium) override {
        if (format == nullptr || medium == nullptr || medium->tymed != TYMED_HGLOBAL) return Say("stream-medium-wrong");
        const std::size_t size = GlobalSize(medium->hGlobal);
        const auto *bytes = static_cast<const BYTE *>(GlobalLock(medium->hGlobal));
        if (bytes == nullptr) return;
        if (format->cfFormat == RegisterClipboardFormatW(L"OPCSTMFORMATWRITECOMPLETE")) {
            OPCGROUPHEADERWRITE header;
            OPCITEMHEADERWRITE item;
            std::memcpy(&header, bytes, sizeof header);
            for (DWORD k = 0; k < header.dwItemCount && Record(bytes, size, sizeof header, k, &item); ++k)
                Say("write-complete t" + std::to_string(header.dwTransactionID) + " " + Name(session_, item.hClient) +
                    " " + Hex(static_cast<unsigned>(item.dwError)));
        } else {
            OPCGROUPHEADER header;
            OPCITEMHEADER1 item;
            VARIANT value;
            std::memcpy(&header, bytes, sizeof header);
            if (header.dwSize != size) Say("stream-size-wrong " + std::to_string(header.dwSize));
            for (DWORD k = 0; k < header.dwItemCount && Record(bytes, size, sizeof header, k, &item); ++k)
                if (Record(bytes, size, item.dwValueOffset, 0, &value))
                    Say("stream t" + std::to_string(header.dwTransactionID) + " " + Name(session_, item.hClient) + " " +
                        VariantText(value) + " " + Hex(item.wQuality, 2));
        }
        GlobalUnlock(medium->hGlobal);
    }
    void STDMETHODCALLTYPE OnViewChange(DWORD, LONG) override {}
    void STDMETHODCALLTYPE OnRename(IMoniker *) override {}
    void STDMETHODCALLTYPE OnSave() override {}
    void STDMETHODCALLTYPE OnClose() override {}

private:
    const Session &session_;
};

void RunStreams(unsigned seconds) {
    Session session;
    Open(&session);
    StreamSink sink(session);
    auto data = QUERY(IDataObject, session.group.p);
    FORMATETC format{static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME")), nullptr,
                     DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    DWORD connection = 0, writeConnection = 0;
    Check("DAdvise", data->DAdvise(&format, 0, &sink, &connection));
    format.cfFormat = static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATWRITECOMPLETE"));
    Check("DAdvise write complete", data->DAdvise(&format, 0, &sink, &writeConnection));
    Say("advised");
    auto async = QUERY(IOPCAsyncIO, session.group.p);
    DWORD transaction = 0;
    Check("Refresh", async->Refresh(connection, OPC_DS_DEVICE, &transaction));
    Say("refresh t" + std::to_string(transaction));
    VARIANT value;
    VariantInit(&value);
    HRESULT *errors = nullptr;
    Check("Write", async->Write(writeConnection, 1, session.items.data(), &value, &transaction, &errors));
    Free(errors);
    Say("write t" + std::to_string(transaction));
    Sleep(seconds * 1000);
    Check("DUnadvise", data->DUnadvise(connection));
    Check("DUnadvise write complete", data->DUnadvise(writeConnection));
}

}  // namespace

int main(int argc, char **argv) {
    const struct {
        const char *name;
        void (*run)(unsigned);
        bool counted;  // with a number of rounds or seconds
    } modes[] = {{"methods", RunMethods, false},
                 {"da3", RunDa3, false},
                 {"time", RunTimes, true},
                 {"lag", RunLag, true},
                 {"stream", RunStreams, true}};
    for (const auto &mode : modes) {
        if (argc < 2 || argv[1] != std::string(mode.name) || (mode.counted && argc < 3)) continue;
        // The multithreaded apartment: callbacks arrive without a message loop.
        Check("CoInitializeEx", CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        mode.run(static_cast<unsigned>(argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 0));
        Say("done");
        CoUninitialize();
        return 0;
    }
    std::fputs("usage: opc_probe methods | da3 | time ROUNDS | lag SECONDS | stream SECONDS\n", stderr);
    return 2;
}
