// The server side of each call a client may make: the arguments read from
// the message, the call made on the real object on this thread, and what it
// returned written back, with the task memory it handed out freed here.
#include <memory>
#include <string>
#include <vector>

#include "callback_proxy.h"
#include "layer_log.h"
#include "opc_da.h"
#include "server_connection.h"

namespace comremote {

namespace {

constexpr std::uint32_t kMaxBrowsed = 200000;

struct Released {
    void operator()(IUnknown *object) const { object->Release(); }
};
using Held = std::unique_ptr<IUnknown, Released>;

template <class Interface>
Interface *Query(IUnknown *object, REFIID iid, HRESULT *result) {
    void *found = nullptr;
    *result = object->QueryInterface(iid, &found);
    if (FAILED(*result)) found = nullptr;
    return static_cast<Interface *>(found);
}

// Texts that may be null; the pointer stays valid while the holder lives.
struct Text {
    bool present = false;
    std::u16string text;
    bool Read(Reader &in) { return present = in.Text(&text); }
    LPOLESTR Get() { return present ? &text[0] : nullptr; }
};

void WriteTaskText(Writer &out, LPOLESTR text) {
    out.Text(text);
    CoTaskMemFree(text);
}

// The item definitions of AddItems and ValidateItems, with their storage.
struct ItemDefinitions {
    std::vector<Text> paths;
    std::vector<Text> ids;
    std::vector<std::vector<BYTE>> blobs;
    std::vector<OPCITEMDEF> items;

    bool Read(Reader &in) {
        const std::uint32_t count = in.Count(4 + 4 + 4 + 4 + 4 + 2);
        paths.resize(count);
        ids.resize(count);
        blobs.resize(count);
        items.resize(count);
        for (std::uint32_t k = 0; k < count && in.Ok(); ++k) {
            paths[k].Read(in);
            ids[k].Read(in);
            items[k].bActive = static_cast<BOOL>(in.U32());
            items[k].hClient = in.U32();
            in.Blob(&blobs[k]);
            items[k].vtRequestedDataType = in.U16();
        }
        for (std::uint32_t k = 0; k < count && in.Ok(); ++k) {
            items[k].szAccessPath = paths[k].Get();
            items[k].szItemID = ids[k].Get();
            items[k].dwBlobSize = static_cast<DWORD>(blobs[k].size());
            items[k].pBlob = blobs[k].empty() ? nullptr : blobs[k].data();
        }
        return in.Ok();
    }
    OPCITEMDEF *Array() { return items.empty() ? nullptr : items.data(); }
};

void WriteErrors(Writer &out, DWORD count, HRESULT *errors) {
    out.U8(errors != nullptr ? 1 : 0);
    if (errors != nullptr) {
        out.U32(count);
        for (DWORD k = 0; k < count; ++k) out.I32(errors[k]);
    }
    CoTaskMemFree(errors);
}

void WriteItemResults(Writer &out, DWORD count, OPCITEMRESULT *results, HRESULT *errors) {
    out.U8(results != nullptr ? 1 : 0);
    if (results != nullptr) {
        for (DWORD k = 0; k < count; ++k) {
            out.U32(results[k].hServer);
            out.U16(results[k].vtCanonicalDataType);
            out.U32(results[k].dwAccessRights);
            out.Blob(results[k].pBlob, results[k].dwBlobSize);
            CoTaskMemFree(results[k].pBlob);
        }
    }
    CoTaskMemFree(results);
    WriteErrors(out, count, errors);
}

std::vector<OPCHANDLE> ReadHandles(Reader &in) {
    const std::uint32_t count = in.Count(4);
    std::vector<OPCHANDLE> handles(count);
    for (OPCHANDLE &handle : handles) handle = in.U32();
    return handles;
}

OPCHANDLE *Data(std::vector<OPCHANDLE> &handles) {
    return handles.empty() ? nullptr : handles.data();
}

// Copies an enumerator's strings for the client, to a bounded number.
void WriteStrings(Writer &out, IEnumString *strings) {
    out.U8(strings != nullptr ? 1 : 0);
    if (strings == nullptr) return;
    std::vector<LPOLESTR> all;
    LPOLESTR batch[64];
    for (;;) {
        ULONG fetched = 0;
        const HRESULT result = strings->Next(64, batch, &fetched);
        if (FAILED(result)) break;
        for (ULONG k = 0; k < fetched && k < 64; ++k) all.push_back(batch[k]);
        if (result != S_OK || fetched == 0 || all.size() >= kMaxBrowsed) break;
    }
    strings->Release();
    out.U32(static_cast<std::uint32_t>(all.size()));
    for (LPOLESTR text : all) WriteTaskText(out, text);
}

bool Activate(ServerConnection &connection, Reader &in, Writer &out) {
    const IID iid = in.Guid();
    if (!in.Done()) return false;
    IUnknown *object = nullptr;
    HRESULT result = S_OK;
    IClassFactory *factory = nullptr;
    if (connection.AdmitSession())
        factory = Query<IClassFactory>(connection.ClassObject(), IID_IClassFactory, &result);
    else
        result = HRESULT_NOT_ENOUGH_QUOTA;
    if (factory != nullptr) {
        result = factory->CreateInstance(nullptr, iid, reinterpret_cast<void **>(&object));
        factory->Release();
    }
    std::uint32_t id = 0;
    if (SUCCEEDED(result) && object != nullptr) id = connection.Export(object, Role::Session);
    out.I32(SUCCEEDED(result) && id == 0 ? HRESULT_NOT_ENOUGH_QUOTA : result);
    out.U32(id);
    return true;
}

bool CallServer(ServerConnection &connection, const Header &header, IUnknown *target, Reader &in, Writer &out) {
    HRESULT result = S_OK;
    IOPCServer *server = Query<IOPCServer>(target, IID_IOPCServer, &result);
    Held holder(server);
    switch (header.kind) {
        case kGetStatus: {
            if (!in.Done()) return false;
            OPCSERVERSTATUS *status = nullptr;
            if (server != nullptr) result = server->GetStatus(&status);
            out.I32(result);
            if (SUCCEEDED(result) && status != nullptr) {
                out.U8(1);
                out.Time(status->ftStartTime);
                out.Time(status->ftCurrentTime);
                out.Time(status->ftLastUpdateTime);
                out.I32(status->dwServerState);
                out.U32(status->dwGroupCount);
                out.U32(status->dwBandWidth);
                out.U16(status->wMajorVersion);
                out.U16(status->wMinorVersion);
                out.U16(status->wBuildNumber);
                WriteTaskText(out, status->szVendorInfo);
                CoTaskMemFree(status);
            } else {
                out.U8(0);
            }
            return true;
        }
        case kAddGroup: {
            Text name;
            name.Read(in);
            const BOOL active = static_cast<BOOL>(in.U32());
            const DWORD rate = in.U32();
            const OPCHANDLE client = in.U32();
            const bool hasBias = in.U8() != 0;
            LONG bias = in.I32();
            const bool hasDeadband = in.U8() != 0;
            FLOAT deadband = in.F32();
            const LCID locale = in.U32();
            const IID iid = in.Guid();
            if (!in.Done()) return false;
            OPCHANDLE handle = 0;
            DWORD revised = 0;
            IUnknown *group = nullptr;
            if (server != nullptr && !connection.AdmitGroup(header.objectId)) {
                result = HRESULT_NOT_ENOUGH_QUOTA;
            } else if (server != nullptr) {
                result = server->AddGroup(name.Get(), active, rate, client, hasBias ? &bias : nullptr,
                                          hasDeadband ? &deadband : nullptr, locale, &handle, &revised, iid, &group);
                if (result == E_OUTOFMEMORY)
                    LayerLog(UL_WARNING, "Client <%s> refused a group: no memory or thread left for it",
                             Narrow(connection.User()).c_str());
            }
            std::uint32_t id = 0;
            if (SUCCEEDED(result) && group != nullptr) {
                id = connection.Export(group, Role::Group, header.objectId, handle);
                if (id == 0) result = HRESULT_NOT_ENOUGH_QUOTA;
            }
            out.I32(result);
            out.U32(handle);
            out.U32(revised);
            out.U32(id);
            return true;
        }
        case kRemoveGroup: {
            const OPCHANDLE handle = in.U32();
            const BOOL force = static_cast<BOOL>(in.U32());
            if (!in.Done()) return false;
            if (server != nullptr) result = server->RemoveGroup(handle, force);
            if (SUCCEEDED(result)) connection.GroupRemoved(header.objectId, handle);
            out.I32(result);
            return true;
        }
        case kGetErrorString: {
            const HRESULT error = in.I32();
            const LCID locale = in.U32();
            if (!in.Done()) return false;
            LPOLESTR text = nullptr;
            if (server != nullptr) result = server->GetErrorString(error, locale, &text);
            out.I32(result);
            WriteTaskText(out, SUCCEEDED(result) ? text : nullptr);
            return true;
        }
        default:
            return false;
    }
}

bool CallBrowse(const Header &header, IUnknown *target, Reader &in, Writer &out) {
    HRESULT result = S_OK;
    IOPCBrowseServerAddressSpace *browse =
        Query<IOPCBrowseServerAddressSpace>(target, IID_IOPCBrowseServerAddressSpace, &result);
    Held holder(browse);
    switch (header.kind) {
        case kQueryOrganization: {
            if (!in.Done()) return false;
            OPCNAMESPACETYPE type = OPC_NS_FLAT;
            if (browse != nullptr) result = browse->QueryOrganization(&type);
            out.I32(result);
            out.I32(type);
            return true;
        }
        case kBrowseItemIds: {
            const OPCBROWSETYPE type = static_cast<OPCBROWSETYPE>(in.I32());
            Text filter;
            filter.Read(in);
            const VARTYPE vt = in.U16();
            const DWORD rights = in.U32();
            if (!in.Done()) return false;
            IEnumString *strings = nullptr;
            if (browse != nullptr) result = browse->BrowseOPCItemIDs(type, filter.Get(), vt, rights, &strings);
            out.I32(result);
            WriteStrings(out, SUCCEEDED(result) ? strings : nullptr);
            if (FAILED(result) && strings != nullptr) strings->Release();
            return true;
        }
        case kGetItemId: {
            Text name;
            name.Read(in);
            if (!in.Done()) return false;
            LPOLESTR id = nullptr;
            if (browse != nullptr) result = browse->GetItemID(name.Get(), &id);
            out.I32(result);
            WriteTaskText(out, SUCCEEDED(result) ? id : nullptr);
            return true;
        }
        default:
            return false;
    }
}

// The items of a call that succeeded, as its per-item errors tell.
long Succeeded(DWORD count, const HRESULT *errors) {
    long done = 0;
    for (DWORD k = 0; errors != nullptr && k < count; ++k) done += SUCCEEDED(errors[k]) ? 1 : 0;
    return done;
}

bool CallItems(ServerConnection &connection, const Header &header, IUnknown *target, Reader &in, Writer &out) {
    HRESULT result = S_OK;
    IOPCItemMgt *items = Query<IOPCItemMgt>(target, IID_IOPCItemMgt, &result);
    Held holder(items);
    switch (header.kind) {
        case kAddItems:
        case kValidateItems: {
            ItemDefinitions definitions;
            definitions.Read(in);
            const BOOL blobUpdate = header.kind == kValidateItems ? static_cast<BOOL>(in.U32()) : FALSE;
            if (!in.Done()) return false;
            const DWORD count = static_cast<DWORD>(definitions.items.size());
            OPCITEMRESULT *results = nullptr;
            HRESULT *errors = nullptr;
            if (items != nullptr && header.kind == kAddItems && !connection.AdmitItems(header.objectId, count))
                result = HRESULT_NOT_ENOUGH_QUOTA;
            else if (items != nullptr && header.kind == kAddItems)
                result = items->AddItems(count, definitions.Array(), &results, &errors);
            else if (items != nullptr)
                result = items->ValidateItems(count, definitions.Array(), blobUpdate, &results, &errors);
            if (header.kind == kAddItems && SUCCEEDED(result))
                connection.CountItems(header.objectId, Succeeded(count, errors));
            out.I32(result);
            out.U32(count);
            WriteItemResults(out, count, results, errors);
            return true;
        }
        case kRemoveItems: {
            std::vector<OPCHANDLE> handles = ReadHandles(in);
            if (!in.Done()) return false;
            HRESULT *errors = nullptr;
            const DWORD count = static_cast<DWORD>(handles.size());
            if (items != nullptr) result = items->RemoveItems(count, Data(handles), &errors);
            if (SUCCEEDED(result)) connection.CountItems(header.objectId, -Succeeded(count, errors));
            out.I32(result);
            out.U32(count);
            WriteErrors(out, count, errors);
            return true;
        }
        default:
            return false;
    }
}

bool CallSyncRead(IUnknown *target, Reader &in, Writer &out) {
    HRESULT result = S_OK;
    IOPCSyncIO *io = Query<IOPCSyncIO>(target, IID_IOPCSyncIO, &result);
    Held holder(io);
    const OPCDATASOURCE source = static_cast<OPCDATASOURCE>(in.I32());
    std::vector<OPCHANDLE> handles = ReadHandles(in);
    if (!in.Done()) return false;
    const DWORD count = static_cast<DWORD>(handles.size());
    OPCITEMSTATE *states = nullptr;
    HRESULT *errors = nullptr;
    if (io != nullptr) result = io->Read(source, count, Data(handles), &states, &errors);
    out.I32(result);
    out.U32(count);
    out.U8(states != nullptr ? 1 : 0);
    if (states != nullptr) {
        for (DWORD k = 0; k < count; ++k) {
            out.U32(states[k].hClient);
            out.Time(states[k].ftTimeStamp);
            out.U16(states[k].wQuality);
            out.Variant(states[k].vDataValue);
            VariantClear(&states[k].vDataValue);
        }
    }
    CoTaskMemFree(states);
    WriteErrors(out, count, errors);
    return true;
}

bool CallGroupState(const Header &header, IUnknown *target, Reader &in, Writer &out) {
    HRESULT result = S_OK;
    IOPCGroupStateMgt *state = Query<IOPCGroupStateMgt>(target, IID_IOPCGroupStateMgt, &result);
    Held holder(state);
    if (header.kind == kGetState) {
        if (!in.Done()) return false;
        DWORD rate = 0;
        BOOL active = FALSE;
        LPOLESTR name = nullptr;
        LONG bias = 0;
        FLOAT deadband = 0;
        LCID locale = 0;
        OPCHANDLE client = 0;
        OPCHANDLE server = 0;
        if (state != nullptr)
            result = state->GetState(&rate, &active, &name, &bias, &deadband, &locale, &client, &server);
        out.I32(result);
        out.U32(rate);
        out.U32(static_cast<std::uint32_t>(active));
        WriteTaskText(out, SUCCEEDED(result) ? name : nullptr);
        out.I32(bias);
        out.F32(deadband);
        out.U32(locale);
        out.U32(client);
        out.U32(server);
        return true;
    }
    // SetState: each in-argument may be absent.
    const bool hasRate = in.U8() != 0;
    DWORD rate = in.U32();
    const bool hasActive = in.U8() != 0;
    BOOL active = static_cast<BOOL>(in.U32());
    const bool hasBias = in.U8() != 0;
    LONG bias = in.I32();
    const bool hasDeadband = in.U8() != 0;
    FLOAT deadband = in.F32();
    const bool hasLocale = in.U8() != 0;
    LCID locale = in.U32();
    const bool hasClient = in.U8() != 0;
    OPCHANDLE client = in.U32();
    const bool wantsRevised = in.U8() != 0;
    if (!in.Done()) return false;
    DWORD revised = 0;
    if (state != nullptr)
        result =
            state->SetState(hasRate ? &rate : nullptr, wantsRevised ? &revised : nullptr, hasActive ? &active : nullptr,
                            hasBias ? &bias : nullptr, hasDeadband ? &deadband : nullptr, hasLocale ? &locale : nullptr,
                            hasClient ? &client : nullptr);
    out.I32(result);
    out.U32(revised);
    return true;
}

bool CallConnections(ServerConnection &connection, const Header &header, IUnknown *target, Reader &in, Writer &out) {
    HRESULT result = S_OK;
    if (header.kind == kFindConnectionPoint) {
        const IID iid = in.Guid();
        if (!in.Done()) return false;
        IConnectionPointContainer *container =
            Query<IConnectionPointContainer>(target, IID_IConnectionPointContainer, &result);
        Held holder(container);
        IConnectionPoint *point = nullptr;
        if (container != nullptr) result = container->FindConnectionPoint(iid, &point);
        std::uint32_t id = 0;
        if (SUCCEEDED(result) && point != nullptr) {
            id = connection.Export(point);
            if (id == 0) result = HRESULT_NOT_ENOUGH_QUOTA;
        }
        out.I32(result);
        out.U32(id);
        return true;
    }
    IConnectionPoint *point = Query<IConnectionPoint>(target, IID_IConnectionPoint, &result);
    Held holder(point);
    if (header.kind == kAdvise) {
        const std::uint32_t sinkId = in.U32();
        if (!in.Done() || sinkId == 0) return false;
        DWORD cookie = 0;
        if (point != nullptr) {
            IUnknown *sink = NewCallbackProxy(connection.Out(), sinkId);
            result = point->Advise(sink, &cookie);
            sink->Release();
        }
        out.I32(result);
        out.U32(cookie);
        return true;
    }
    const DWORD cookie = in.U32();
    if (!in.Done()) return false;
    if (point != nullptr) result = point->Unadvise(cookie);
    out.I32(result);
    return true;
}

}  // namespace

bool RunCall(ServerConnection &connection, const Header &header, Reader &in, Writer &out) {
    if (header.kind == kActivate) return header.objectId == 0 && Activate(connection, in, out);
    IUnknown *found = connection.Find(header.objectId);
    if (found == nullptr) {
        // Released or disconnected: the call fails, the connection stays.
        out.I32(RPC_E_DISCONNECTED);
        return true;
    }
    Held target(found);
    switch (header.kind) {
        case kQueryInterface: {
            const IID iid = in.Guid();
            if (!in.Done()) return false;
            HRESULT result = S_OK;
            IUnknown *asked = Query<IUnknown>(found, iid, &result);
            if (asked != nullptr) asked->Release();
            out.I32(result);
            return true;
        }
        case kGetStatus:
        case kAddGroup:
        case kRemoveGroup:
        case kGetErrorString:
            return CallServer(connection, header, found, in, out);
        case kQueryOrganization:
        case kBrowseItemIds:
        case kGetItemId:
            return CallBrowse(header, found, in, out);
        case kAddItems:
        case kValidateItems:
        case kRemoveItems:
            return CallItems(connection, header, found, in, out);
        case kSyncRead:
            return CallSyncRead(found, in, out);
        case kGetState:
        case kSetState:
            return CallGroupState(header, found, in, out);
        case kFindConnectionPoint:
        case kAdvise:
        case kUnadvise:
            return CallConnections(connection, header, found, in, out);
        default:
            return false;
    }
}

}  // namespace comremote
