#include "proxies.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace comremote {

namespace {

// A copy in task memory, for the caller to free; null for a null text.
LPOLESTR TaskText(bool present, const std::u16string &text) {
    if (!present) return nullptr;
    auto *copy = static_cast<LPOLESTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(OLECHAR)));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, text.data(), text.size() * sizeof(OLECHAR));
    copy[text.size()] = 0;
    return copy;
}

template <class T>
T *TaskArray(std::size_t count) {
    return static_cast<T *>(CoTaskMemAlloc(count * sizeof(T)));
}

// The strings of a browse, enumerated in the client's own process.
class StringList final : public IEnumString {
public:
    explicit StringList(std::vector<std::u16string> texts) : texts_(std::move(texts)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (riid != IID_IUnknown && riid != IID_IEnumString) return E_NOINTERFACE;
        *object = static_cast<IEnumString *>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE Next(ULONG count, LPOLESTR *items, ULONG *fetched) override {
        if (items == nullptr || (fetched == nullptr && count != 1)) return E_INVALIDARG;
        ULONG done = 0;
        while (done < count && position_ < texts_.size()) {
            items[done] = TaskText(true, texts_[position_]);
            if (items[done] == nullptr) break;
            ++done;
            ++position_;
        }
        if (fetched != nullptr) *fetched = done;
        return done == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        const std::size_t left = texts_.size() - position_;
        position_ += count < left ? count : left;
        return count <= left ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        position_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumString **copy) override {
        if (copy == nullptr) return E_POINTER;
        auto *clone = new StringList(texts_);
        clone->position_ = position_;
        *copy = clone;
        return S_OK;
    }

private:
    ~StringList() = default;

    std::vector<std::u16string> texts_;
    std::size_t position_ = 0;
    std::atomic<ULONG> references_{1};
};

// What every stand-in shares: the connection, the object's id there, its
// reference count, and the interfaces the server confirmed.
class Proxy {
public:
    Proxy(std::shared_ptr<ClientCore> core, std::uint32_t id) : core_(std::move(core)), id_(id) { core_->Attach(); }
    virtual ~Proxy() {
        // Answered once the server's objects have let go of what they held,
        // the client's sinks included: the caller may free those afterwards.
        const std::uint32_t callId = core_->NextCallId();
        Writer release(kRelease, callId, id_);
        std::vector<std::uint8_t> reply;
        core_->Call(callId, release.Finish(), &reply);
        core_->Drain();
        core_->Detach();
    }
    Proxy(const Proxy &) = delete;
    Proxy &operator=(const Proxy &) = delete;

protected:
    // One call: the request's arguments written by build, the answer's
    // read by parse (after its HRESULT), which fills the caller's
    // out-arguments only once it has read them all.
    template <class Build, class Parse>
    HRESULT Invoke(Kind kind, Build build, Parse parse) {
        const std::uint32_t callId = core_->NextCallId();
        Writer request(kind, callId, id_);
        build(request);
        std::vector<std::uint8_t> reply;
        const HRESULT transport = core_->Call(callId, request.Finish(), &reply);
        if (FAILED(transport)) return transport;
        Reader in(reply.data(), reply.size());
        const HRESULT result = in.I32();
        if (!in.Ok()) return RPC_S_CALL_FAILED;
        // A failure alone: the object is gone, or the answer was too big.
        if (in.Done()) return result;
        return parse(in) ? result : RPC_S_CALL_FAILED;
    }
    template <class Build>
    HRESULT Invoke(Kind kind, Build build) {
        return Invoke(kind, build, [](Reader &in) { return in.Done(); });
    }

    // Asks the server once whether the object has an interface this
    // stand-in can forward.
    HRESULT Confirm(REFIID riid) {
        {
            std::lock_guard<std::mutex> held(confirmedLock_);
            for (const IID &known : confirmed_)
                if (known == riid) return S_OK;
        }
        const HRESULT result = Invoke(kQueryInterface, [&](Writer &out) { out.Guid(riid); });
        if (FAILED(result)) return result;
        std::lock_guard<std::mutex> held(confirmedLock_);
        confirmed_.push_back(riid);
        return S_OK;
    }

    // The proxy for an object id the server just handed out.
    template <class Made>
    HRESULT Wrap(std::uint32_t id, REFIID riid, void **object) {
        auto *made = new Made(core_, id);
        const HRESULT result = made->QueryInterface(riid, object);
        made->Release();
        return result;
    }

    const std::shared_ptr<ClientCore> &Core() const { return core_; }

    std::atomic<ULONG> references_{1};

private:
    const std::shared_ptr<ClientCore> core_;
    const std::uint32_t id_;
    std::mutex confirmedLock_;
    std::vector<IID> confirmed_;
};

#define PROXY_IUNKNOWN(primary)                                                      \
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {  \
        if (object == nullptr) return E_POINTER;                                     \
        *object = nullptr;                                                           \
        void *as = riid == IID_IUnknown ? static_cast<primary *>(this) : Cast(riid); \
        if (as == nullptr) return E_NOINTERFACE;                                     \
        if (riid != IID_IUnknown) {                                                  \
            const HRESULT result = Confirm(riid);                                    \
            if (FAILED(result)) return result;                                       \
        }                                                                            \
        AddRef();                                                                    \
        *object = as;                                                                \
        return S_OK;                                                                 \
    }                                                                                \
    ULONG STDMETHODCALLTYPE AddRef() override {                                      \
        return ++references_;                                                        \
    }                                                                                \
    ULONG STDMETHODCALLTYPE Release() override {                                     \
        const ULONG left = --references_;                                            \
        if (left == 0) delete this;                                                  \
        return left;                                                                 \
    }

class PointProxy final : public IConnectionPoint, Proxy {
public:
    using Proxy::Proxy;
    PROXY_IUNKNOWN(IConnectionPoint)

    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections **) override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE Advise(IUnknown *sink, DWORD *cookie) override {
        if (sink == nullptr || cookie == nullptr) return E_POINTER;
        *cookie = 0;
        IOPCDataCallback *callback = nullptr;
        if (FAILED(sink->QueryInterface(IID_IOPCDataCallback, reinterpret_cast<void **>(&callback))))
            return CONNECT_E_CANNOTCONNECT;
        const std::uint32_t sinkId = Core()->AddSink(callback);
        callback->Release();
        if (sinkId == 0) return RPC_S_SERVER_UNAVAILABLE;
        DWORD given = 0;
        const HRESULT result = Invoke(
            kAdvise, [&](Writer &out) { out.U32(sinkId); },
            [&](Reader &in) {
                given = in.U32();
                return in.Done();
            });
        // Refused: the server made no stand-in that would ever let it go.
        if (FAILED(result)) Core()->DropSink(sinkId);
        *cookie = given;
        return result;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
        const HRESULT result = Invoke(kUnadvise, [&](Writer &out) { out.U32(cookie); });
        // The server let the sink go before it answered; so does the client
        // before it returns, as the caller may free the sink now.
        Core()->Drain();
        return result;
    }

private:
    ~PointProxy() override = default;
    void *Cast(REFIID riid) { return riid == IID_IConnectionPoint ? static_cast<IConnectionPoint *>(this) : nullptr; }
};

// The item definitions as AddItems and ValidateItems send them.
void WriteDefinitions(Writer &out, DWORD count, const OPCITEMDEF *items) {
    out.U32(count);
    for (DWORD k = 0; k < count; ++k) {
        out.Text(items[k].szAccessPath);
        out.Text(items[k].szItemID);
        out.U32(static_cast<std::uint32_t>(items[k].bActive));
        out.U32(items[k].hClient);
        out.Blob(items[k].pBlob, items[k].dwBlobSize);
        out.U16(items[k].vtRequestedDataType);
    }
}

class GroupProxy final : public IOPCItemMgt,
                         public IOPCSyncIO,
                         public IOPCGroupStateMgt,
                         public IConnectionPointContainer,
                         Proxy {
public:
    using Proxy::Proxy;
    PROXY_IUNKNOWN(IOPCItemMgt)

    HRESULT STDMETHODCALLTYPE AddItems(DWORD count, OPCITEMDEF *items, OPCITEMRESULT **results,
                                       HRESULT **errors) override {
        return ItemCall(kAddItems, count, items, FALSE, results, errors);
    }
    HRESULT STDMETHODCALLTYPE ValidateItems(DWORD count, OPCITEMDEF *items, BOOL blobUpdate, OPCITEMRESULT **results,
                                            HRESULT **errors) override {
        return ItemCall(kValidateItems, count, items, blobUpdate, results, errors);
    }
    HRESULT STDMETHODCALLTYPE RemoveItems(DWORD count, OPCHANDLE *handles, HRESULT **errors) override {
        if (errors == nullptr) return E_POINTER;
        *errors = nullptr;
        if (count > 0 && handles == nullptr) return E_INVALIDARG;
        return Invoke(
            kRemoveItems,
            [&](Writer &out) {
                out.U32(count);
                for (DWORD k = 0; k < count; ++k) out.U32(handles[k]);
            },
            [&](Reader &in) { return in.U32() == count && TakeErrors(in, count, errors); });
    }
    HRESULT STDMETHODCALLTYPE SetActiveState(DWORD, OPCHANDLE *, BOOL, HRESULT **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetClientHandles(DWORD, OPCHANDLE *, OPCHANDLE *, HRESULT **) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetDatatypes(DWORD, OPCHANDLE *, VARTYPE *, HRESULT **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateEnumerator(REFIID, IUnknown **) override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE Read(OPCDATASOURCE source, DWORD count, OPCHANDLE *handles, OPCITEMSTATE **states,
                                   HRESULT **errors) override {
        if (states == nullptr || errors == nullptr) return E_POINTER;
        *states = nullptr;
        *errors = nullptr;
        if (count > 0 && handles == nullptr) return E_INVALIDARG;
        return Invoke(
            kSyncRead,
            [&](Writer &out) {
                out.I32(source);
                out.U32(count);
                for (DWORD k = 0; k < count; ++k) out.U32(handles[k]);
            },
            [&](Reader &in) {
                if (in.U32() != count) return false;
                std::vector<OPCITEMSTATE> read;
                if (in.U8() != 0) {
                    read.resize(count);
                    for (OPCITEMSTATE &state : read) VariantInit(&state.vDataValue);
                    for (DWORD k = 0; k < count && in.Ok(); ++k) {
                        read[k].hClient = in.U32();
                        read[k].ftTimeStamp = in.Time();
                        read[k].wQuality = in.U16();
                        read[k].wReserved = 0;
                        in.Variant(&read[k].vDataValue);
                    }
                }
                if (!in.Ok() || !TakeErrors(in, count, errors)) {
                    for (OPCITEMSTATE &state : read) VariantClear(&state.vDataValue);
                    return false;
                }
                if (in.Ok() && !read.empty()) {
                    *states = TaskArray<OPCITEMSTATE>(count);
                    if (*states != nullptr) std::memcpy(*states, read.data(), count * sizeof(OPCITEMSTATE));
                }
                return true;
            });
    }
    HRESULT STDMETHODCALLTYPE Write(DWORD, OPCHANDLE *, VARIANT *, HRESULT **) override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE GetState(DWORD *rate, BOOL *active, LPOLESTR *name, LONG *bias, FLOAT *deadband,
                                       LCID *locale, OPCHANDLE *client, OPCHANDLE *server) override {
        if (rate == nullptr || active == nullptr || name == nullptr || bias == nullptr || deadband == nullptr ||
            locale == nullptr || client == nullptr || server == nullptr)
            return E_POINTER;
        *name = nullptr;
        return Invoke(
            kGetState, [](Writer &) {},
            [&](Reader &in) {
                const DWORD r = in.U32();
                const BOOL a = static_cast<BOOL>(in.U32());
                std::u16string text;
                const bool present = in.Text(&text);
                const LONG b = in.I32();
                const FLOAT d = in.F32();
                const LCID l = in.U32();
                const OPCHANDLE c = in.U32();
                const OPCHANDLE s = in.U32();
                if (!in.Done()) return false;
                *rate = r;
                *active = a;
                *name = TaskText(present, text);
                *bias = b;
                *deadband = d;
                *locale = l;
                *client = c;
                *server = s;
                return true;
            });
    }
    HRESULT STDMETHODCALLTYPE SetState(DWORD *rate, DWORD *revised, BOOL *active, LONG *bias, FLOAT *deadband,
                                       LCID *locale, OPCHANDLE *client) override {
        return Invoke(
            kSetState,
            [&](Writer &out) {
                out.U8(rate != nullptr);
                out.U32(rate != nullptr ? *rate : 0);
                out.U8(active != nullptr);
                out.U32(active != nullptr ? static_cast<std::uint32_t>(*active) : 0);
                out.U8(bias != nullptr);
                out.I32(bias != nullptr ? *bias : 0);
                out.U8(deadband != nullptr);
                out.F32(deadband != nullptr ? *deadband : 0.0f);
                out.U8(locale != nullptr);
                out.U32(locale != nullptr ? *locale : 0);
                out.U8(client != nullptr);
                out.U32(client != nullptr ? *client : 0);
                out.U8(revised != nullptr);
            },
            [&](Reader &in) {
                const DWORD r = in.U32();
                if (!in.Done()) return false;
                if (revised != nullptr) *revised = r;
                return true;
            });
    }
    HRESULT STDMETHODCALLTYPE SetName(LPCOLESTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CloneGroup(LPCOLESTR, REFIID, IUnknown **) override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint **point) override {
        if (point == nullptr) return E_POINTER;
        *point = nullptr;
        std::uint32_t id = 0;
        const HRESULT result = Invoke(
            kFindConnectionPoint, [&](Writer &out) { out.Guid(iid); },
            [&](Reader &in) {
                id = in.U32();
                return in.Done();
            });
        if (FAILED(result) || id == 0) return FAILED(result) ? result : E_UNEXPECTED;
        const HRESULT wrapped = Wrap<PointProxy>(id, IID_IConnectionPoint, reinterpret_cast<void **>(point));
        return FAILED(wrapped) ? wrapped : result;
    }

private:
    ~GroupProxy() override = default;
    void *Cast(REFIID riid) {
        if (riid == IID_IOPCItemMgt) return static_cast<IOPCItemMgt *>(this);
        if (riid == IID_IOPCSyncIO) return static_cast<IOPCSyncIO *>(this);
        if (riid == IID_IOPCGroupStateMgt) return static_cast<IOPCGroupStateMgt *>(this);
        if (riid == IID_IConnectionPointContainer) return static_cast<IConnectionPointContainer *>(this);
        return nullptr;
    }

    // The per-item HRESULTs that follow an answer, into task memory.
    static bool TakeErrors(Reader &in, DWORD count, HRESULT **errors) {
        if (in.U8() == 0) return in.Done();
        if (in.Count(4) != count) return false;
        std::vector<HRESULT> read(count);
        for (HRESULT &error : read) error = in.I32();
        if (!in.Done()) return false;
        *errors = TaskArray<HRESULT>(count);
        if (*errors != nullptr && count > 0) std::memcpy(*errors, read.data(), count * sizeof(HRESULT));
        return true;
    }

    HRESULT ItemCall(Kind kind, DWORD count, OPCITEMDEF *items, BOOL blobUpdate, OPCITEMRESULT **results,
                     HRESULT **errors) {
        if (results == nullptr || errors == nullptr) return E_POINTER;
        *results = nullptr;
        *errors = nullptr;
        if (count > 0 && items == nullptr) return E_INVALIDARG;
        return Invoke(
            kind,
            [&](Writer &out) {
                WriteDefinitions(out, count, items);
                if (kind == kValidateItems) out.U32(static_cast<std::uint32_t>(blobUpdate));
            },
            [&](Reader &in) {
                if (in.U32() != count) return false;
                std::vector<OPCITEMRESULT> read;
                std::vector<std::vector<BYTE>> blobs;
                if (in.U8() != 0) {
                    read.resize(count);
                    blobs.resize(count);
                    for (DWORD k = 0; k < count && in.Ok(); ++k) {
                        read[k].hServer = in.U32();
                        read[k].vtCanonicalDataType = in.U16();
                        read[k].wReserved = 0;
                        read[k].dwAccessRights = in.U32();
                        in.Blob(&blobs[k]);
                    }
                }
                if (!in.Ok() || !TakeErrors(in, count, errors)) return false;
                if (!read.empty()) {
                    for (DWORD k = 0; k < count; ++k) {
                        read[k].dwBlobSize = static_cast<DWORD>(blobs[k].size());
                        read[k].pBlob = nullptr;
                        if (!blobs[k].empty()) {
                            read[k].pBlob = TaskArray<BYTE>(blobs[k].size());
                            if (read[k].pBlob != nullptr) std::memcpy(read[k].pBlob, blobs[k].data(), blobs[k].size());
                        }
                    }
                    *results = TaskArray<OPCITEMRESULT>(count);
                    if (*results != nullptr) std::memcpy(*results, read.data(), count * sizeof(OPCITEMRESULT));
                }
                return true;
            });
    }
};

class ServerProxy final : public IOPCServer, public IOPCBrowseServerAddressSpace, Proxy {
public:
    using Proxy::Proxy;
    PROXY_IUNKNOWN(IOPCServer)

    HRESULT STDMETHODCALLTYPE AddGroup(LPCOLESTR name, BOOL active, DWORD rate, OPCHANDLE client, LONG *bias,
                                       FLOAT *deadband, DWORD locale, OPCHANDLE *server, DWORD *revised, REFIID riid,
                                       IUnknown **group) override {
        if (server == nullptr || revised == nullptr || group == nullptr) return E_POINTER;
        *group = nullptr;
        std::uint32_t id = 0;
        const HRESULT result = Invoke(
            kAddGroup,
            [&](Writer &out) {
                out.Text(name);
                out.U32(static_cast<std::uint32_t>(active));
                out.U32(rate);
                out.U32(client);
                out.U8(bias != nullptr);
                out.I32(bias != nullptr ? *bias : 0);
                out.U8(deadband != nullptr);
                out.F32(deadband != nullptr ? *deadband : 0.0f);
                out.U32(locale);
                out.Guid(riid);
            },
            [&](Reader &in) {
                const OPCHANDLE handle = in.U32();
                const DWORD given = in.U32();
                id = in.U32();
                if (!in.Done()) return false;
                *server = handle;
                *revised = given;
                return true;
            });
        if (FAILED(result) || id == 0) return FAILED(result) ? result : E_UNEXPECTED;
        const HRESULT wrapped = Wrap<GroupProxy>(id, riid, reinterpret_cast<void **>(group));
        if (FAILED(wrapped)) {
            // Made, but not as an interface this layer carries: the server
            // keeps no group that its client never got.
            RemoveGroup(*server, FALSE);
            *server = 0;
            return wrapped;
        }
        return result;
    }
    HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT error, LCID locale, LPOLESTR *text) override {
        if (text == nullptr) return E_POINTER;
        *text = nullptr;
        return Invoke(
            kGetErrorString,
            [&](Writer &out) {
                out.I32(error);
                out.U32(locale);
            },
            [&](Reader &in) { return TakeText(in, text); });
    }
    HRESULT STDMETHODCALLTYPE GetGroupByName(LPCOLESTR, REFIID, IUnknown **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetStatus(OPCSERVERSTATUS **status) override {
        if (status == nullptr) return E_POINTER;
        *status = nullptr;
        return Invoke(
            kGetStatus, [](Writer &) {},
            [&](Reader &in) {
                if (in.U8() == 0) return in.Done();
                OPCSERVERSTATUS read{};
                read.ftStartTime = in.Time();
                read.ftCurrentTime = in.Time();
                read.ftLastUpdateTime = in.Time();
                read.dwServerState = static_cast<OPCSERVERSTATE>(in.I32());
                read.dwGroupCount = in.U32();
                read.dwBandWidth = in.U32();
                read.wMajorVersion = in.U16();
                read.wMinorVersion = in.U16();
                read.wBuildNumber = in.U16();
                std::u16string vendor;
                const bool present = in.Text(&vendor);
                if (!in.Done()) return false;
                read.szVendorInfo = TaskText(present, vendor);
                *status = TaskArray<OPCSERVERSTATUS>(1);
                if (*status != nullptr)
                    **status = read;
                else
                    CoTaskMemFree(read.szVendorInfo);
                return true;
            });
    }
    HRESULT STDMETHODCALLTYPE RemoveGroup(OPCHANDLE handle, BOOL force) override {
        return Invoke(kRemoveGroup, [&](Writer &out) {
            out.U32(handle);
            out.U32(static_cast<std::uint32_t>(force));
        });
    }
    HRESULT STDMETHODCALLTYPE CreateGroupEnumerator(OPCENUMSCOPE, REFIID, IUnknown **) override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE QueryOrganization(OPCNAMESPACETYPE *type) override {
        if (type == nullptr) return E_POINTER;
        return Invoke(
            kQueryOrganization, [](Writer &) {},
            [&](Reader &in) {
                const OPCNAMESPACETYPE read = static_cast<OPCNAMESPACETYPE>(in.I32());
                if (!in.Done()) return false;
                *type = read;
                return true;
            });
    }
    HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCBROWSEDIRECTION, LPCOLESTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE BrowseOPCItemIDs(OPCBROWSETYPE type, LPCOLESTR filter, VARTYPE vt, DWORD rights,
                                               IEnumString **strings) override {
        if (strings == nullptr) return E_POINTER;
        *strings = nullptr;
        return Invoke(
            kBrowseItemIds,
            [&](Writer &out) {
                out.I32(type);
                out.Text(filter);
                out.U16(vt);
                out.U32(rights);
            },
            [&](Reader &in) {
                if (in.U8() == 0) return in.Done();
                const std::uint32_t count = in.Count(4);
                std::vector<std::u16string> texts(count);
                for (std::u16string &text : texts) in.Text(&text);
                if (!in.Done()) return false;
                *strings = new StringList(std::move(texts));
                return true;
            });
    }
    HRESULT STDMETHODCALLTYPE GetItemID(LPOLESTR name, LPOLESTR *id) override {
        if (id == nullptr) return E_POINTER;
        *id = nullptr;
        return Invoke(
            kGetItemId, [&](Writer &out) { out.Text(name); }, [&](Reader &in) { return TakeText(in, id); });
    }
    HRESULT STDMETHODCALLTYPE BrowseAccessPaths(LPCOLESTR, IEnumString **) override { return E_NOTIMPL; }

private:
    ~ServerProxy() override = default;
    void *Cast(REFIID riid) {
        if (riid == IID_IOPCServer) return static_cast<IOPCServer *>(this);
        if (riid == IID_IOPCBrowseServerAddressSpace) return static_cast<IOPCBrowseServerAddressSpace *>(this);
        return nullptr;
    }
    static bool TakeText(Reader &in, LPOLESTR *text) {
        std::u16string read;
        const bool present = in.Text(&read);
        if (!in.Done()) return false;
        *text = TaskText(present, read);
        return true;
    }
};

}  // namespace

HRESULT NewServerProxy(const std::shared_ptr<ClientCore> &core, std::uint32_t id, REFIID riid, void **object) {
    auto *made = new ServerProxy(core, id);
    const HRESULT result = made->QueryInterface(riid, object);
    made->Release();
    return result;
}

}  // namespace comremote
