// A small OPC client in a process of its own: it reaches the server only
// through COM's local-server activation and the standard OPC DA interfaces, and
// prints what it sees, one fact a line. The cross-process tests use it for the
// calls that brisvale-client does not make (the [out] strings of
// GetErrorString and GetItemID, the group's state, every other method of the
// interfaces), bench/ for its timings.
//   opc_probe session        list the OPC servers by category, activate, then status, error strings, browse,
//                            item ids, group state, a sync read
//   opc_probe methods        every method of the OPC interfaces once ("call NAME 0xRESULT detail"), then the
//                            callbacks that arrived ("callback NAME")
//   opc_probe time ROUNDS    time the activation and ROUNDS sync reads of every tag (for bench/)
//   opc_probe lag SECONDS    subscribe and print each change's delay from its timestamp (for bench/)
//   opc_probe da3            the Data Access 3.0 calls: browse in pages, reads by age, refused writes,
//                            asynchronous completions and keep-alives (and two Data Access 2.05a answers)
//   opc_probe stream SECONDS as a Data Access 1.0a client: advise sinks on the group's IDataObject, a refresh and
//                            a write through IOPCAsyncIO, and each item of each stream that arrives
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

// Ends the probe with the failed step and its result.
[[noreturn]] void Fail(const char *what, HRESULT result) {
    Say(std::string("failed ") + what + " 0x" + Hex(static_cast<unsigned>(result)));
    std::exit(1);
}

void Check(const char *what, HRESULT result) {
    if (FAILED(result)) Fail(what, result);
}

// Takes a task-memory text: its content, and frees it.
std::string Take(wchar_t *text) {
    std::string narrow = Utf8(text);
    CoTaskMemFree(text);
    return narrow;
}

template <class T>
T *Query(IUnknown *object, const IID &iid, const char *what) {
    void *found = nullptr;
    Check(what, object->QueryInterface(iid, &found));
    return static_cast<T *>(found);
}

struct Session {
    IOPCServer *server = nullptr;
    std::vector<std::wstring> tags;
    IUnknown *group = nullptr;
    std::vector<OPCHANDLE> items;  // server handles, in tag order
    OPCHANDLE serverGroup = 0;
};

void Activate(Session *session) {
    CLSID clsid;
    Check("CLSIDFromProgID", CLSIDFromProgID(L"OPC.Brisvale.1", &clsid));
    Check("CoCreateInstance", CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                               reinterpret_cast<void **>(&session->server)));
    Say("activated");
}

// How OPC browsers find servers: every class of the OPC Data Access 2.0 category, by ProgID.
void ListByCategory() {
    ICatInformation *categories = nullptr;
    Check("StdComponentCategoriesMgr", CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                                        IID_ICatInformation, reinterpret_cast<void **>(&categories)));
    CATID wanted = {0x63D5F432, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};
    IEnumCLSID *found = nullptr;
    Check("EnumClassesOfCategories", categories->EnumClassesOfCategories(1, &wanted, 0, nullptr, &found));
    CLSID clsid;
    ULONG fetched = 0;
    while (found->Next(1, &clsid, &fetched) == S_OK && fetched == 1) {
        LPOLESTR progId = nullptr;
        if (SUCCEEDED(ProgIDFromCLSID(clsid, &progId))) Say("listed " + Take(progId));
    }
    found->Release();
    categories->Release();
}

void Browse(Session *session) {
    auto *browse = Query<IOPCBrowseServerAddressSpace>(session->server, IID_IOPCBrowseServerAddressSpace,
                                                       "IOPCBrowseServerAddressSpace");
    OPCNAMESPACETYPE organization = OPC_NS_HIERARCHIAL;
    Check("QueryOrganization", browse->QueryOrganization(&organization));
    Say("organization " + std::to_string(organization));
    IEnumString *names = nullptr;
    Check("BrowseOPCItemIDs", browse->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, &names));
    wchar_t *name = nullptr;
    ULONG fetched = 0;
    while (names != nullptr && names->Next(1, &name, &fetched) == S_OK && fetched == 1) {
        session->tags.push_back(name);
        Say("tag " + Take(name));
    }
    if (names != nullptr) names->Release();
    if (!session->tags.empty()) {
        wchar_t *itemId = nullptr;
        Check("GetItemID", browse->GetItemID(&session->tags[0][0], &itemId));
        Say("item-id " + Take(itemId));
    }
    browse->Release();
}

void AddGroup(Session *session, BOOL active) {
    DWORD revised = 0;
    Check("AddGroup", session->server->AddGroup(L"probe", active, 100, 7, nullptr, nullptr, 0, &session->serverGroup,
                                                &revised, IID_IUnknown, &session->group));
    std::vector<OPCITEMDEF> definitions(session->tags.size());
    for (std::size_t k = 0; k < session->tags.size(); ++k) {
        definitions[k] = OPCITEMDEF{};
        definitions[k].szAccessPath = const_cast<wchar_t *>(L"");
        definitions[k].szItemID = &session->tags[k][0];
        definitions[k].bActive = TRUE;
        definitions[k].hClient = static_cast<OPCHANDLE>(k);
    }
    if (definitions.empty()) return;
    auto *items = Query<IOPCItemMgt>(session->group, IID_IOPCItemMgt, "IOPCItemMgt");
    OPCITEMRESULT *results = nullptr;
    HRESULT *errors = nullptr;
    Check("AddItems", items->AddItems(static_cast<DWORD>(definitions.size()), definitions.data(), &results, &errors));
    for (std::size_t k = 0; k < definitions.size(); ++k) {
        Check("AddItems item", errors[k]);
        session->items.push_back(results[k].hServer);
    }
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    items->Release();
}

std::string Name(const Session &session, OPCHANDLE client) {
    return client < session.tags.size() ? Utf8(session.tags[client].c_str()) : "?" + std::to_string(client);
}

void RunSession() {
    Session session;
    ListByCategory();
    Activate(&session);
    OPCSERVERSTATUS *status = nullptr;
    Check("GetStatus", session.server->GetStatus(&status));
    Say("status " + std::to_string(status->dwServerState) + " " + Utf8(status->szVendorInfo));
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);

    wchar_t *text = nullptr;
    Check("GetErrorString", session.server->GetErrorString(OPC_E_UNKNOWNITEMID, 0, &text));
    Say("error-string " + Take(text));
    auto *common = Query<IOPCCommon>(session.server, IID_IOPCCommon, "IOPCCommon");
    text = nullptr;
    Check("IOPCCommon::GetErrorString", common->GetErrorString(OPC_E_INVALIDHANDLE, &text));
    Say("common-error-string " + Take(text));
    common->Release();

    Browse(&session);
    AddGroup(&session, TRUE);
    auto *state = Query<IOPCGroupStateMgt>(session.group, IID_IOPCGroupStateMgt, "IOPCGroupStateMgt");
    DWORD rate = 0;
    BOOL active = FALSE;
    wchar_t *name = nullptr;
    LONG bias = 0;
    FLOAT deadband = 0;
    LCID lcid = 0;
    OPCHANDLE clientGroup = 0, serverGroup = 0;
    Check("GetState", state->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &clientGroup, &serverGroup));
    Say("group " + Take(name) + " " + std::to_string(rate) + " " + std::to_string(clientGroup));
    state->Release();

    auto *sync = Query<IOPCSyncIO>(session.group, IID_IOPCSyncIO, "IOPCSyncIO");
    OPCITEMSTATE *values = nullptr;
    HRESULT *errors = nullptr;
    if (!session.items.empty()) {
        Check("Read", sync->Read(OPC_DS_CACHE, static_cast<DWORD>(session.items.size()), session.items.data(), &values,
                                 &errors));
        for (std::size_t k = 0; k < session.items.size(); ++k) {
            Say("read " + Name(session, values[k].hClient) + " " + VariantText(values[k].vDataValue) + " " +
                Hex(values[k].wQuality, 2) + " " + Hex(static_cast<unsigned>(errors[k])));
            VariantClear(&values[k].vDataValue);
        }
        CoTaskMemFree(values);
        CoTaskMemFree(errors);
    }
    sync->Release();
    session.group->Release();
    session.server->Release();
    Say("done");
}

// The subscription's sink, in this process; the server calls it from its own threads.
// The IUnknown of the probe's sinks: one interface, references counted (the
// sinks live on the stack of the run that advises them).
template <class Interface>
class SinkOf : public Interface {
public:
    explicit SinkOf(const IID &iid) : iid_(iid) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, iid_)) {
            *object = static_cast<Interface *>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(InterlockedDecrement(&references_)); }

private:
    const IID &iid_;
    LONG references_ = 1;
};

class Sink : public SinkOf<IOPCDataCallback> {
public:
    explicit Sink(bool lag = true) : SinkOf(IID_IOPCDataCallback), lag_(lag) {}
    // Which callbacks arrived: OnDataChange, OnReadComplete, OnWriteComplete, OnCancelComplete.
    std::atomic<unsigned> seen[4] = {};

    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD transaction, OPCHANDLE group, HRESULT, HRESULT, DWORD count,
                                           OPCHANDLE *, VARIANT *values, WORD *qualities, FILETIME *stamps,
                                           HRESULT *) override {
        if (verbose) {
            std::string line = "on-data-change t" + std::to_string(transaction) + " g" + std::to_string(group) +
                               " items " + std::to_string(count);
            for (DWORD k = 0; k < count; ++k) line += " " + VariantText(values[k]) + "/" + Hex(qualities[k], 2);
            Say(line);
            return S_OK;
        }
        if (!lag_) return Seen(0, "OnDataChange");
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
        if (!verbose) return Seen(1, "OnReadComplete");
        std::string line = "on-read-complete t" + std::to_string(transaction) + " items " + std::to_string(count);
        for (DWORD k = 0; k < count; ++k) line += " " + VariantText(values[k]) + "/" + Hex(qualities[k], 2);
        Say(line);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD transaction, OPCHANDLE, HRESULT, DWORD count, OPCHANDLE *,
                                              HRESULT *errors) override {
        if (!verbose) return Seen(2, "OnWriteComplete");
        std::string line = "on-write-complete t" + std::to_string(transaction);
        for (DWORD k = 0; k < count; ++k) line += " 0x" + Hex(static_cast<unsigned>(errors[k]));
        Say(line);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return Seen(3, "OnCancelComplete"); }

    bool verbose = false;  // every callback a line, for the Data Access 3.0 run

private:
    HRESULT Seen(int which, const char *name) {
        if (!lag_ && seen[which]++ == 0) Say(std::string("callback ") + name);
        return S_OK;
    }

    const bool lag_;
};

void RunLag(unsigned seconds) {
    Session session;
    Activate(&session);
    Browse(&session);
    AddGroup(&session, TRUE);
    Sink sink;
    auto *container =
        Query<IConnectionPointContainer>(session.group, IID_IConnectionPointContainer, "IConnectionPointContainer");
    IConnectionPoint *point = nullptr;
    Check("FindConnectionPoint", container->FindConnectionPoint(IID_IOPCDataCallback, &point));
    DWORD cookie = 0;
    Check("Advise", point->Advise(static_cast<IOPCDataCallback *>(&sink), &cookie));
    Say("subscribed");
    Sleep(seconds * 1000);
    Check("Unadvise", point->Unadvise(cookie));
    point->Release();
    container->Release();
    session.group->Release();
    session.server->Release();
    Say("done");
}

// One line per call: its name, its result and what it returned.
void Called(const char *name, HRESULT result, const std::string &detail = "") {
    Say(std::string("call ") + name + " 0x" + Hex(static_cast<unsigned>(result)) + (detail.empty() ? "" : " ") +
        detail);
}

// Frees a task-memory array of results and joins them as hexadecimal.
std::string Results(HRESULT *errors, DWORD count) {
    std::string text;
    for (DWORD k = 0; errors != nullptr && k < count; ++k)
        text += (k ? "," : "") + Hex(static_cast<unsigned>(errors[k]));
    CoTaskMemFree(errors);
    return text;
}

void ServerMethods(Session *session) {
    IOPCServer *server = session->server;
    IUnknown *found = nullptr;
    HRESULT result = server->GetGroupByName(L"probe", IID_IUnknown, &found);
    Called("IOPCServer::GetGroupByName", result);
    if (found != nullptr) found->Release();
    IEnumUnknown *groups = nullptr;
    result = server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumUnknown, reinterpret_cast<IUnknown **>(&groups));
    Called("IOPCServer::CreateGroupEnumerator", result);
    if (groups != nullptr) groups->Release();

    auto *common = Query<IOPCCommon>(server, IID_IOPCCommon, "IOPCCommon");
    Called("IOPCCommon::SetLocaleID", common->SetLocaleID(0));
    LCID lcid = 1;
    result = common->GetLocaleID(&lcid);
    Called("IOPCCommon::GetLocaleID", result, std::to_string(lcid));
    DWORD count = 0;
    LCID *lcids = nullptr;
    result = common->QueryAvailableLocaleIDs(&count, &lcids);
    Called("IOPCCommon::QueryAvailableLocaleIDs", result, std::to_string(count));
    CoTaskMemFree(lcids);
    Called("IOPCCommon::SetClientName", common->SetClientName(L"probe"));
    common->Release();

    auto *browse = Query<IOPCBrowseServerAddressSpace>(server, IID_IOPCBrowseServerAddressSpace, "browse");
    Called("IOPCBrowseServerAddressSpace::ChangeBrowsePosition", browse->ChangeBrowsePosition(OPC_BROWSE_UP, L""));
    IEnumString *paths = nullptr;
    result = browse->BrowseAccessPaths(&session->tags[0][0], &paths);
    Called("IOPCBrowseServerAddressSpace::BrowseAccessPaths", result);
    if (paths != nullptr) paths->Release();
    browse->Release();

    // The arrays of strings: lost across processes while the IDL marked them as one string.
    auto *properties = Query<IOPCItemProperties>(server, IID_IOPCItemProperties, "IOPCItemProperties");
    DWORD *ids = nullptr;
    wchar_t **descriptions = nullptr;
    VARTYPE *types = nullptr;
    result = properties->QueryAvailableProperties(&session->tags[0][0], &count, &ids, &descriptions, &types);
    std::string detail;
    for (DWORD k = 0; k < count; ++k)
        detail +=
            (k ? "|" : "") + std::to_string(ids[k]) + ":" + Take(descriptions[k]) + ":" + std::to_string(types[k]);
    Called("IOPCItemProperties::QueryAvailableProperties", result, detail);
    CoTaskMemFree(descriptions);
    CoTaskMemFree(types);
    VARIANT *values = nullptr;
    HRESULT *errors = nullptr;
    result = properties->GetItemProperties(&session->tags[0][0], count, ids, &values, &errors);
    detail.clear();
    for (DWORD k = 0; values != nullptr && k < count; ++k) {
        detail += (k ? "|" : "") + VariantText(values[k]);
        VariantClear(&values[k]);
    }
    CoTaskMemFree(values);
    Called("IOPCItemProperties::GetItemProperties", result, detail + " " + Results(errors, count));
    wchar_t **newIds = nullptr;
    errors = nullptr;
    result = properties->LookupItemIDs(&session->tags[0][0], count, ids, &newIds, &errors);
    detail.clear();
    for (DWORD k = 0; newIds != nullptr && k < count; ++k) detail += (k ? "|" : "") + Take(newIds[k]);
    CoTaskMemFree(newIds);
    Called("IOPCItemProperties::LookupItemIDs", result, detail + " " + Results(errors, count));
    CoTaskMemFree(ids);
    properties->Release();
}

void GroupMethods(Session *session) {
    const auto count = static_cast<DWORD>(session->items.size());
    OPCHANDLE *handles = session->items.data();
    auto *state = Query<IOPCGroupStateMgt>(session->group, IID_IOPCGroupStateMgt, "IOPCGroupStateMgt");
    DWORD rate = 200, revised = 0;
    Called("IOPCGroupStateMgt::SetState", state->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr),
           std::to_string(revised));
    Called("IOPCGroupStateMgt::SetName", state->SetName(L"probe2"));
    IUnknown *clone = nullptr;
    Called("IOPCGroupStateMgt::CloneGroup", state->CloneGroup(L"clone", IID_IUnknown, &clone));
    if (clone != nullptr) clone->Release();
    state->Release();

    auto *sync = Query<IOPCSyncIO>(session->group, IID_IOPCSyncIO, "IOPCSyncIO");
    std::vector<VARIANT> written(count);
    for (VARIANT &value : written) {
        VariantInit(&value);
        value.vt = VT_I2;
        value.iVal = 5;
    }
    HRESULT *errors = nullptr;
    HRESULT result = sync->Write(count, handles, written.data(), &errors);
    Called("IOPCSyncIO::Write", result, Results(errors, count));
    sync->Release();

    auto *items = Query<IOPCItemMgt>(session->group, IID_IOPCItemMgt, "IOPCItemMgt");
    OPCITEMDEF definition{};
    definition.szAccessPath = const_cast<wchar_t *>(L"");
    definition.szItemID = &session->tags[0][0];
    OPCITEMRESULT *validated = nullptr;
    errors = nullptr;
    result = items->ValidateItems(1, &definition, FALSE, &validated, &errors);
    Called("IOPCItemMgt::ValidateItems", result,
           (validated != nullptr ? std::to_string(validated[0].vtCanonicalDataType) : "") + " " + Results(errors, 1));
    CoTaskMemFree(validated);
    errors = nullptr;
    result = items->SetActiveState(count, handles, TRUE, &errors);
    Called("IOPCItemMgt::SetActiveState", result, Results(errors, count));
    std::vector<OPCHANDLE> clients(count);
    for (DWORD k = 0; k < count; ++k) clients[k] = k;
    errors = nullptr;
    result = items->SetClientHandles(count, handles, clients.data(), &errors);
    Called("IOPCItemMgt::SetClientHandles", result, Results(errors, count));
    std::vector<VARTYPE> types(count, VT_I4);
    errors = nullptr;
    result = items->SetDatatypes(count, handles, types.data(), &errors);
    Called("IOPCItemMgt::SetDatatypes", result, Results(errors, count));
    IEnumOPCItemAttributes *attributes = nullptr;
    result = items->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<IUnknown **>(&attributes));
    Called("IOPCItemMgt::CreateEnumerator", result);
    if (attributes != nullptr) {
        OPCITEMATTRIBUTES *listed = nullptr;
        ULONG fetched = 0;
        result = attributes->Next(count, &listed, &fetched);
        std::string names;
        for (ULONG k = 0; k < fetched; ++k) {
            names += (k ? "|" : "") + Utf8(listed[k].szItemID);
            CoTaskMemFree(listed[k].szItemID);
            CoTaskMemFree(listed[k].szAccessPath);
            CoTaskMemFree(listed[k].pBlob);
            VariantClear(&listed[k].vEUInfo);
        }
        CoTaskMemFree(listed);
        Called("IEnumOPCItemAttributes::Next", result, names);
        Called("IEnumOPCItemAttributes::Reset", attributes->Reset());
        Called("IEnumOPCItemAttributes::Skip", attributes->Skip(1));
        IEnumOPCItemAttributes *copy = nullptr;
        Called("IEnumOPCItemAttributes::Clone", attributes->Clone(&copy));
        if (copy != nullptr) copy->Release();
        attributes->Release();
    }
    items->Release();
}

// The asynchronous calls, answered through the sink in this process.
void AsyncMethods(Session *session, Sink *sink) {
    const auto count = static_cast<DWORD>(session->items.size());
    OPCHANDLE *handles = session->items.data();
    auto *async = Query<IOPCAsyncIO2>(session->group, IID_IOPCAsyncIO2, "IOPCAsyncIO2");
    Called("IOPCAsyncIO2::SetEnable", async->SetEnable(TRUE));
    BOOL enabled = FALSE;
    HRESULT result = async->GetEnable(&enabled);
    Called("IOPCAsyncIO2::GetEnable", result, std::to_string(enabled));
    DWORD cancel = 0;
    HRESULT *errors = nullptr;
    result = async->Read(count, handles, 1, &cancel, &errors);
    Called("IOPCAsyncIO2::Read", result, Results(errors, count));
    std::vector<VARIANT> written(count);
    for (VARIANT &value : written) {
        VariantInit(&value);
        value.vt = VT_I2;
    }
    errors = nullptr;
    result = async->Write(count, handles, written.data(), 2, &cancel, &errors);
    Called("IOPCAsyncIO2::Write", result, Results(errors, count));
    Called("IOPCAsyncIO2::Refresh2", async->Refresh2(OPC_DS_CACHE, 3, &cancel));
    // A cancel only succeeds before the completion went out: a few tries.
    result = E_FAIL;
    for (int attempt = 0; attempt < 100 && result != S_OK; ++attempt) {
        errors = nullptr;
        if (SUCCEEDED(async->Read(count, handles, 4, &cancel, &errors))) result = async->Cancel2(cancel);
        CoTaskMemFree(errors);
    }
    Called("IOPCAsyncIO2::Cancel2", result);
    async->Release();
    for (int waited = 0; waited < 600; ++waited) {
        if (sink->seen[0] && sink->seen[1] && sink->seen[2] && (result != S_OK || sink->seen[3])) break;
        Sleep(100);
    }
}

void RunMethods() {
    Session session;
    Activate(&session);
    Browse(&session);
    if (session.tags.empty()) Fail("no tags", E_FAIL);
    AddGroup(&session, TRUE);
    ServerMethods(&session);
    Sink sink(false);
    auto *container =
        Query<IConnectionPointContainer>(session.group, IID_IConnectionPointContainer, "IConnectionPointContainer");
    IConnectionPoint *point = nullptr;
    Check("FindConnectionPoint", container->FindConnectionPoint(IID_IOPCDataCallback, &point));
    DWORD cookie = 0;
    Check("Advise", point->Advise(static_cast<IOPCDataCallback *>(&sink), &cookie));
    GroupMethods(&session);
    AsyncMethods(&session, &sink);
    Check("Unadvise", point->Unadvise(cookie));
    point->Release();
    container->Release();

    auto *items = Query<IOPCItemMgt>(session.group, IID_IOPCItemMgt, "IOPCItemMgt");
    HRESULT *errors = nullptr;
    const auto count = static_cast<DWORD>(session.items.size());
    const HRESULT result = items->RemoveItems(count, session.items.data(), &errors);
    Called("IOPCItemMgt::RemoveItems", result, Results(errors, count));
    items->Release();
    session.group->Release();
    Called("IOPCServer::RemoveGroup", session.server->RemoveGroup(session.serverGroup, FALSE));
    session.server->Release();
    Say("done");
}

void RunDa3() {
    Session session;
    Activate(&session);
    Browse(&session);
    auto *browse = Query<IOPCBrowse>(session.server, IID_IOPCBrowse, "IOPCBrowse");
    // Pages of two, joined by continuation points. The property ids are a
    // reference pointer on the wire: never null, even for none.
    DWORD noIds[1] = {0};
    wchar_t *continuation = nullptr;
    int page = 0;
    do {
        BOOL more = FALSE;
        DWORD count = 0;
        OPCBROWSEELEMENT *elements = nullptr;
        Check("Browse", browse->Browse(const_cast<wchar_t *>(L""), &continuation, 2, OPC_BROWSE_FILTER_ITEMS,
                                       const_cast<wchar_t *>(L""), const_cast<wchar_t *>(L""), TRUE, TRUE, 0, noIds,
                                       &more, &count, &elements));
        std::string line = "browse-page " + std::to_string(++page);
        for (DWORD k = 0; k < count; ++k) {
            line += " " + Take(elements[k].szName) + "/" + std::to_string(elements[k].ItemProperties.dwNumProperties);
            CoTaskMemFree(elements[k].szItemID);
            OPCITEMPROPERTIES &properties = elements[k].ItemProperties;
            for (DWORD j = 0; j < properties.dwNumProperties; ++j) {
                CoTaskMemFree(properties.pItemProperties[j].szItemID);
                CoTaskMemFree(properties.pItemProperties[j].szDescription);
                VariantClear(&properties.pItemProperties[j].vValue);
            }
            CoTaskMemFree(properties.pItemProperties);
        }
        CoTaskMemFree(elements);
        Say(line);
    } while (continuation != nullptr && page < 10);
    wchar_t *bogus = static_cast<wchar_t *>(CoTaskMemAlloc(sizeof L"bogus"));
    std::memcpy(bogus, L"bogus", sizeof L"bogus");
    BOOL more = FALSE;
    DWORD count = 0;
    OPCBROWSEELEMENT *elements = nullptr;
    Say("browse-bogus 0x" +
        Hex(static_cast<unsigned>(browse->Browse(const_cast<wchar_t *>(L""), &bogus, 2, OPC_BROWSE_FILTER_ALL,
                                                 const_cast<wchar_t *>(L""), const_cast<wchar_t *>(L""), FALSE, FALSE,
                                                 0, noIds, &more, &count, &elements))));
    CoTaskMemFree(bogus);
    browse->Release();

    auto *io = Query<IOPCItemIO>(session.server, IID_IOPCItemIO, "IOPCItemIO");
    const wchar_t *ids[] = {session.tags.empty() ? L"" : session.tags[0].c_str(), L"Nothing"};
    DWORD ages[] = {0, 0xFFFFFFFF};
    VARIANT *values = nullptr;
    WORD *qualities = nullptr;
    FILETIME *times = nullptr;
    HRESULT *errors = nullptr;
    const HRESULT read = io->Read(2, ids, ages, &values, &qualities, &times, &errors);
    Check("IOPCItemIO::Read", read);
    Say("item-io-read 0x" + Hex(static_cast<unsigned>(read)) + " " + VariantText(values[0]) + "/" +
        Hex(qualities[0], 2) + " 0x" + Hex(static_cast<unsigned>(errors[1])));
    for (int k = 0; k < 2; ++k) VariantClear(&values[k]);
    CoTaskMemFree(values);
    CoTaskMemFree(qualities);
    CoTaskMemFree(times);
    CoTaskMemFree(errors);
    OPCITEMVQT vqt[2] = {};
    const HRESULT written = io->WriteVQT(2, ids, vqt, &errors);
    Check("IOPCItemIO::WriteVQT", written);
    Say("item-io-write 0x" + Hex(static_cast<unsigned>(written)) + " 0x" + Hex(static_cast<unsigned>(errors[0])) +
        " 0x" + Hex(static_cast<unsigned>(errors[1])));
    CoTaskMemFree(errors);
    io->Release();

    AddGroup(&session, TRUE);
    if (session.items.empty()) Fail("no items", E_FAIL);
    auto *sync = Query<IOPCSyncIO2>(session.group, IID_IOPCSyncIO2, "IOPCSyncIO2");
    const DWORD itemCount = static_cast<DWORD>(session.items.size());
    std::vector<DWORD> anyAge(itemCount, 0xFFFFFFFF);
    Check("ReadMaxAge",
          sync->ReadMaxAge(itemCount, session.items.data(), anyAge.data(), &values, &qualities, &times, &errors));
    Say("read-max-age " + VariantText(values[0]) + "/" + Hex(qualities[0], 2));
    for (DWORD k = 0; k < itemCount; ++k) VariantClear(&values[k]);
    CoTaskMemFree(values);
    CoTaskMemFree(qualities);
    CoTaskMemFree(times);
    CoTaskMemFree(errors);
    Check("IOPCSyncIO2::WriteVQT", sync->WriteVQT(1, session.items.data(), vqt, &errors));
    Say("sync-write-vqt 0x" + Hex(static_cast<unsigned>(errors[0])));
    CoTaskMemFree(errors);
    sync->Release();

    auto *deadbands = Query<IOPCItemDeadbandMgt>(session.group, IID_IOPCItemDeadbandMgt, "IOPCItemDeadbandMgt");
    FLOAT *deadband = nullptr;
    Check("GetItemDeadband", deadbands->GetItemDeadband(1, session.items.data(), &deadband, &errors));
    Say("deadband 0x" + Hex(static_cast<unsigned>(errors[0])));
    CoTaskMemFree(deadband);
    CoTaskMemFree(errors);
    deadbands->Release();

    Sink sink;
    sink.verbose = true;
    auto *container =
        Query<IConnectionPointContainer>(session.group, IID_IConnectionPointContainer, "IConnectionPointContainer");
    IConnectionPoint *point = nullptr;
    Check("FindConnectionPoint", container->FindConnectionPoint(IID_IOPCDataCallback, &point));
    DWORD cookie = 0;
    Check("Advise", point->Advise(static_cast<IOPCDataCallback *>(&sink), &cookie));
    auto *async = Query<IOPCAsyncIO3>(session.group, IID_IOPCAsyncIO3, "IOPCAsyncIO3");
    DWORD cancel = 0;
    Check("async ReadMaxAge", async->ReadMaxAge(1, session.items.data(), anyAge.data(), 31, &cancel, &errors));
    CoTaskMemFree(errors);
    Check("async WriteVQT", async->WriteVQT(1, session.items.data(), vqt, 32, &cancel, &errors));
    CoTaskMemFree(errors);
    Check("RefreshMaxAge", async->RefreshMaxAge(0, 33, &cancel));
    auto *state = Query<IOPCGroupStateMgt2>(session.group, IID_IOPCGroupStateMgt2, "IOPCGroupStateMgt2");
    DWORD revised = 0;
    // Called first, then shown: the operands of one expression may be evaluated in any order.
    const HRESULT revisedResult = state->SetKeepAlive(10, &revised);
    Say("set-keep-alive 0x" + Hex(static_cast<unsigned>(revisedResult)) + " " + std::to_string(revised));
    Check("SetKeepAlive", state->SetKeepAlive(200, &revised));
    // The group loses its items (and stays active: an inactive one sends no
    // keep-alive) so that only keep-alives come from here on.
    auto *itemMgt = Query<IOPCItemMgt>(session.group, IID_IOPCItemMgt, "IOPCItemMgt");
    Check("RemoveItems", itemMgt->RemoveItems(itemCount, session.items.data(), &errors));
    CoTaskMemFree(errors);
    itemMgt->Release();
    Sleep(1500);
    Check("Unadvise", point->Unadvise(cookie));
    Check("SetKeepAlive off", state->SetKeepAlive(0, &revised));
    state->Release();
    async->Release();
    point->Release();
    container->Release();

    auto *old = Query<IOPCBrowseServerAddressSpace>(session.server, IID_IOPCBrowseServerAddressSpace,
                                                    "IOPCBrowseServerAddressSpace");
    wchar_t *position = nullptr;
    const HRESULT positioned = old->GetItemID(const_cast<wchar_t *>(L""), &position);
    Say("get-item-id-empty 0x" + Hex(static_cast<unsigned>(positioned)) + " <" + Take(position) + ">");
    old->Release();
    Say("remove-forced 0x" + Hex(static_cast<unsigned>(session.server->RemoveGroup(session.serverGroup, TRUE))));
    session.group->Release();
    session.server->Release();
    Say("done");
}

// A Data Access 1.0a client's advise sink: prints the streams, one item a line.
class StreamSink : public SinkOf<IAdviseSink> {
public:
    explicit StreamSink(const Session &session) : SinkOf(IID_IAdviseSink), session_(session) {}
    void STDMETHODCALLTYPE OnDataChange(FORMATETC *format, STGMEDIUM *medium) override {
        if (format == nullptr || medium == nullptr || medium->tymed != TYMED_HGLOBAL) {
            Say("stream-medium-wrong");
            return;
        }
        const std::size_t size = GlobalSize(medium->hGlobal);
        const auto *bytes = static_cast<const BYTE *>(GlobalLock(medium->hGlobal));
        if (bytes == nullptr) return;
        if (format->cfFormat == RegisterClipboardFormatW(L"OPCSTMFORMATWRITECOMPLETE")) {
            OPCGROUPHEADERWRITE header;
            std::memcpy(&header, bytes, sizeof header);
            for (DWORD k = 0; k < header.dwItemCount && sizeof header + (k + 1) * sizeof(OPCITEMHEADERWRITE) <= size;
                 ++k) {
                OPCITEMHEADERWRITE item;
                std::memcpy(&item, bytes + sizeof header + k * sizeof item, sizeof item);
                Say("write-complete t" + std::to_string(header.dwTransactionID) + " " + Name(session_, item.hClient) +
                    " " + Hex(static_cast<unsigned>(item.dwError)));
            }
        } else {
            OPCGROUPHEADER header;
            std::memcpy(&header, bytes, sizeof header);
            if (header.dwSize != size) Say("stream-size-wrong " + std::to_string(header.dwSize));
            for (DWORD k = 0; k < header.dwItemCount && sizeof header + (k + 1) * sizeof(OPCITEMHEADER1) <= size; ++k) {
                OPCITEMHEADER1 item;
                std::memcpy(&item, bytes + sizeof header + k * sizeof item, sizeof item);
                if (item.dwValueOffset + sizeof(VARIANT) > size) continue;
                VARIANT value;
                std::memcpy(&value, bytes + item.dwValueOffset, sizeof value);
                Say("stream t" + std::to_string(header.dwTransactionID) + " " + Name(session_, item.hClient) + " " +
                    VariantText(value) + " " + Hex(item.wQuality, 2));
            }
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
    Activate(&session);
    Browse(&session);
    AddGroup(&session, TRUE);
    StreamSink sink(session);
    auto *data = Query<IDataObject>(session.group, IID_IDataObject, "IDataObject");
    FORMATETC format{static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME")), nullptr,
                     DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    DWORD connection = 0;
    Check("DAdvise", data->DAdvise(&format, 0, &sink, &connection));
    format.cfFormat = static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATWRITECOMPLETE"));
    DWORD writeConnection = 0;
    Check("DAdvise write complete", data->DAdvise(&format, 0, &sink, &writeConnection));
    Say("advised");
    auto *async = Query<IOPCAsyncIO>(session.group, IID_IOPCAsyncIO, "IOPCAsyncIO");
    DWORD transaction = 0;
    Check("Refresh", async->Refresh(connection, OPC_DS_DEVICE, &transaction));
    Say("refresh t" + std::to_string(transaction));
    if (!session.items.empty()) {
        VARIANT value;
        VariantInit(&value);
        HRESULT *errors = nullptr;
        Check("Write", async->Write(writeConnection, 1, session.items.data(), &value, &transaction, &errors));
        CoTaskMemFree(errors);
        Say("write t" + std::to_string(transaction));
    }
    Sleep(seconds * 1000);
    async->Release();
    Check("DUnadvise", data->DUnadvise(connection));
    Check("DUnadvise write complete", data->DUnadvise(writeConnection));
    data->Release();
    session.group->Release();
    session.server->Release();
    Say("done");
}

double Milliseconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

void RunTimes(unsigned rounds) {
    Session session;
    const auto start = std::chrono::steady_clock::now();
    Activate(&session);
    Say("activation-ms " + std::to_string(Milliseconds(start)));
    Browse(&session);
    AddGroup(&session, TRUE);
    auto *sync = Query<IOPCSyncIO>(session.group, IID_IOPCSyncIO, "IOPCSyncIO");
    std::vector<double> times;
    for (unsigned round = 0; round < rounds && !session.items.empty(); ++round) {
        OPCITEMSTATE *values = nullptr;
        HRESULT *errors = nullptr;
        const auto begin = std::chrono::steady_clock::now();
        Check("Read", sync->Read(OPC_DS_CACHE, static_cast<DWORD>(session.items.size()), session.items.data(), &values,
                                 &errors));
        times.push_back(Milliseconds(begin));
        for (std::size_t k = 0; k < session.items.size(); ++k) VariantClear(&values[k].vDataValue);
        CoTaskMemFree(values);
        CoTaskMemFree(errors);
    }
    std::sort(times.begin(), times.end());
    if (!times.empty())
        Say("read-ms items " + std::to_string(session.items.size()) + " min " + std::to_string(times.front()) +
            " median " + std::to_string(times[times.size() / 2]) + " max " + std::to_string(times.back()));
    sync->Release();
    session.group->Release();
    session.server->Release();
    Say("done");
}

}  // namespace

int main(int argc, char **argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command != "session" && command != "methods" && command != "da3" &&
        !((command == "time" || command == "lag" || command == "stream") && argc > 2)) {
        std::fputs("usage: opc_probe session | methods | da3 | time ROUNDS | lag SECONDS | stream SECONDS\n", stderr);
        return 2;
    }
    // The multithreaded apartment: callbacks arrive without a message loop.
    Check("CoInitializeEx", CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    const auto number = static_cast<unsigned>(argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 0);
    if (command == "session") {
        RunSession();
    } else if (command == "methods") {
        RunMethods();
    } else if (command == "da3") {
        RunDa3();
    } else if (command == "stream") {
        RunStreams(number);
    } else if (command == "time") {
        RunTimes(number);
    } else {
        RunLag(number);
    }
    CoUninitialize();
    return 0;
}
