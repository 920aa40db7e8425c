// The server object's life (aggregation, final release, shutdown requests),
// IOPCServer and IOPCCommon.
#include "server_object.h"

#include "group.h"
#include "handles.h"
#include "liveness.h"
#include "opc_errors.h"

namespace {
constexpr LCID kAvailableLocales[] = {0x0800, 0x0409};
}  // namespace

ServerObject::ServerObject(std::shared_ptr<TagCache> cache, loService *owner, IUnknown *outer,
                           const loVendorInfo *vendor, loReleaseCallback release, void *releaseArgument)
    : cache_(std::move(cache)),
      core_(std::make_shared<ServerCore>(cache_, this)),
      owner_(owner),
      inner_(*this),
      controlling_(outer != nullptr ? outer : &inner_),
      release_(release),
      releaseArgument_(releaseArgument),
      vendor_(vendor != nullptr ? *vendor : loVendorInfo{0, 0, 0, 0, nullptr}),
      vendorText_(vendor != nullptr && vendor->lviInfo != nullptr ? vendor->lviInfo : "") {}

bool ServerObject::SetState(int, int, const char *reason) {
    std::lock_guard<std::mutex> held(stateLock_);
    try {
        reason_ = reason != nullptr ? reason : "";
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

void ServerObject::RequestShutdown() {
    try {
        OleString reason;
        {
            std::lock_guard<std::mutex> held(stateLock_);
            reason = ToOle(reason_);
        }
        for (const ComPtr<IOPCShutdown> &sink : shutdown_.Sinks<IOPCShutdown>()) {
            if (ClientVanished(sink->ShutdownRequest(reason.c_str())) && shutdown_.Remove(sink.get()))
                core_->SubscriptionLost(nullptr);
        }
    } catch (const std::bad_alloc &) {
        // Nobody to tell: the clients notice when their calls fail.
    }
}

HRESULT ServerObject::InnerUnknown::QueryInterface(REFIID riid, void **object) {
    if (object == nullptr) return E_POINTER;
    *object = IsEqualGUID(riid, IID_IUnknown) ? static_cast<IUnknown *>(this) : object_.Find(riid);
    if (*object == nullptr) return E_NOINTERFACE;
    // Through the interface handed out: an aggregated object's interfaces count on the outer unknown.
    static_cast<IUnknown *>(*object)->AddRef();
    return S_OK;
}

ULONG ServerObject::InnerUnknown::AddRef() {
    return object_.references_.Add();
}

ULONG ServerObject::InnerUnknown::Release() {
    const ULONG left = object_.references_.Drop();
    if (left == 0) object_.FinalRelease();
    return left;
}

void ServerObject::FinalRelease() {
    core_->Close();
    shutdown_.Clear();
    loService *const service = handles::RemoveClient(handle_, owner_);
    if (release_ != nullptr) release_(releaseArgument_, service, handle_);
    delete this;
}

HRESULT ServerObject::QueryInterface(REFIID riid, void **object) {
    return controlling_->QueryInterface(riid, object);
}

ULONG ServerObject::AddRef() {
    return controlling_->AddRef();
}

ULONG ServerObject::Release() {
    return controlling_->Release();
}

LCID ServerObject::Locale() const {
    std::lock_guard<std::mutex> held(stateLock_);
    return locale_;
}

HRESULT ServerObject::AddGroup(LPCOLESTR szName, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup,
                               LONG *pTimeBias, FLOAT *pPercentDeadband, DWORD dwLCID, OPCHANDLE *phServerGroup,
                               DWORD *pRevisedUpdateRate, REFIID riid, IUnknown **ppUnk) {
    if (ppUnk != nullptr) *ppUnk = nullptr;
    if (phServerGroup == nullptr || pRevisedUpdateRate == nullptr || ppUnk == nullptr) return E_INVALIDARG;
    *phServerGroup = 0;
    *pRevisedUpdateRate = 0;
    if (pPercentDeadband != nullptr && !(*pPercentDeadband >= 0 && *pPercentDeadband <= 100)) return E_INVALIDARG;
    return NoThrow([&] {
        GroupSettings settings;
        if (szName != nullptr && !ReadClientText(szName, &settings.name)) return E_INVALIDARG;
        settings.active = bActive != FALSE;
        settings.rate = dwRequestedUpdateRate;
        settings.timeBias = pTimeBias != nullptr ? *pTimeBias : 0;
        settings.deadband = pPercentDeadband != nullptr ? *pPercentDeadband : 0;
        settings.locale = dwLCID;
        settings.client = hClientGroup;
        const ComPtr<Group> group = ComPtr<Group>::Adopt(new Group(core_, settings));
        // Queried before it is added, so that an interface it lacks adds nothing.
        IUnknown *handed = nullptr;
        const HRESULT queried = HandOut(group, riid, &handed);
        if (FAILED(queried)) return queried;
        const HRESULT inserted = core_->Insert(group, settings.name);
        if (FAILED(inserted)) {
            handed->Release();
            return inserted;
        }
        *ppUnk = handed;
        *phServerGroup = group->Handle();
        *pRevisedUpdateRate = ReviseRate(dwRequestedUpdateRate);
        return *pRevisedUpdateRate == dwRequestedUpdateRate ? S_OK : OPC_S_UNSUPPORTEDRATE;
    });
}

HRESULT ServerObject::GetErrorString(HRESULT dwError, LCID dwLocale, LPOLESTR *ppString) {
    if (ppString == nullptr) return E_INVALIDARG;
    *ppString = nullptr;
    if (!SupportedLocale(dwLocale)) return E_INVALIDARG;
    return NoThrow([&] {
        OleString text;
        if (!ErrorText(dwError, &text)) return E_INVALIDARG;
        *ppString = TaskText(text);
        return *ppString != nullptr ? S_OK : E_OUTOFMEMORY;
    });
}

HRESULT ServerObject::GetGroupByName(LPCOLESTR szName, REFIID riid, IUnknown **ppUnk) {
    if (ppUnk == nullptr) return E_INVALIDARG;
    *ppUnk = nullptr;
    return NoThrow([&] {
        std::string name;
        if (!ReadClientText(szName, &name)) return E_INVALIDARG;
        const ComPtr<Group> group = core_->FindByName(name);
        if (!group) return E_INVALIDARG;
        return HandOut(group, riid, ppUnk);
    });
}

HRESULT ServerObject::GetStatus(OPCSERVERSTATUS **ppServerStatus) {
    if (ppServerStatus == nullptr) return E_INVALIDARG;
    *ppServerStatus = nullptr;
    return NoThrow([&] {
        TaskArray<OPCSERVERSTATUS> status;
        if (!status.Allocate(1)) return E_OUTOFMEMORY;
        status[0].szVendorInfo = TaskText(vendorText_);
        if (status[0].szVendorInfo == nullptr) return E_OUTOFMEMORY;
        status[0].ftStartTime = cache_->StartTime();
        GetSystemTimeAsFileTime(&status[0].ftCurrentTime);
        status[0].ftLastUpdateTime = cache_->LastUpdate();
        status[0].dwServerState = OPC_STATUS_RUNNING;
        status[0].dwGroupCount = core_->GroupCount();
        status[0].dwBandWidth = 0xFFFFFFFF;  // not known
        status[0].wMajorVersion = vendor_.lviMajor;
        status[0].wMinorVersion = vendor_.lviMinor;
        status[0].wBuildNumber = vendor_.lviBuild;
        *ppServerStatus = status.Detach();
        return S_OK;
    });
}

HRESULT ServerObject::RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) {
    ComPtr<Group> removed = core_->Remove(hServerGroup);
    if (!removed) return E_INVALIDARG;
    // Forced: the group sends nothing more, whoever still holds it.
    if (bForce != FALSE) removed->Disconnect();
    // The table's reference goes; a client that still holds the group keeps it
    // alive (so may the toolkit's thread, for the moment of a data change).
    const ULONG left = removed.Detach()->Release();
    return left == 0 || bForce != FALSE ? S_OK : OPC_S_INUSE;
}

HRESULT ServerObject::CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, IUnknown **ppUnk) {
    if (ppUnk == nullptr) return E_INVALIDARG;
    *ppUnk = nullptr;
    if (dwScope < OPC_ENUM_PRIVATE_CONNECTIONS || dwScope > OPC_ENUM_ALL) return E_INVALIDARG;
    // The server has no public groups: those scopes list nothing.
    const bool privateOnes = dwScope != OPC_ENUM_PUBLIC_CONNECTIONS && dwScope != OPC_ENUM_PUBLIC;
    return NoThrow([&] {
        std::vector<ComPtr<Group>> groups;
        if (privateOnes) groups = core_->Groups();
        if (IsEqualGUID(riid, IID_IEnumString)) {
            std::vector<OleString> names;
            for (const ComPtr<Group> &group : groups) names.push_back(ToOle(group->Name()));
            return MakeEnumerator<TextEnumerator>(std::move(names), riid, ppUnk);
        }
        if (IsEqualGUID(riid, IID_IEnumUnknown)) {
            std::vector<ComPtr<IUnknown>> unknowns;
            for (const ComPtr<Group> &group : groups)
                unknowns.push_back(ComPtr<IUnknown>::Share(static_cast<IOPCItemMgt *>(group.get())));
            return MakeEnumerator<UnknownEnumerator>(std::move(unknowns), riid, ppUnk);
        }
        return E_NOINTERFACE;
    });
}

HRESULT ServerObject::SetLocaleID(LCID dwLcid) {
    if (!SupportedLocale(dwLcid)) return E_INVALIDARG;
    std::lock_guard<std::mutex> held(stateLock_);
    locale_ = dwLcid;
    return S_OK;
}

HRESULT ServerObject::GetLocaleID(LCID *pdwLcid) {
    if (pdwLcid == nullptr) return E_INVALIDARG;
    *pdwLcid = Locale();
    return S_OK;
}

HRESULT ServerObject::QueryAvailableLocaleIDs(DWORD *pdwCount, LCID **pdwLcid) {
    if (pdwCount != nullptr) *pdwCount = 0;
    if (pdwLcid != nullptr) *pdwLcid = nullptr;
    if (pdwCount == nullptr || pdwLcid == nullptr) return E_INVALIDARG;
    constexpr DWORD count = sizeof kAvailableLocales / sizeof kAvailableLocales[0];
    TaskArray<LCID> locales;
    if (!locales.Allocate(count)) return E_OUTOFMEMORY;
    for (DWORD k = 0; k < count; ++k) locales[k] = kAvailableLocales[k];
    *pdwLcid = locales.Detach();
    *pdwCount = count;
    return S_OK;
}

HRESULT ServerObject::GetErrorString(HRESULT dwError, LPOLESTR *ppString) {
    return GetErrorString(dwError, Locale(), ppString);
}

HRESULT ServerObject::SetClientName(LPCOLESTR szName) {
    return NoThrow([&] {
        std::string name;
        if (!ReadClientText(szName, &name)) return E_INVALIDARG;
        std::lock_guard<std::mutex> held(stateLock_);
        clientName_ = std::move(name);
        return S_OK;
    });
}

HRESULT ServerObject::EnumConnectionPoints(IEnumConnectionPoints **ppEnum) {
    return EnumPoints(this, shutdown_, ppEnum);
}

HRESULT ServerObject::FindConnectionPoint(REFIID riid, IConnectionPoint **ppCP) {
    return FindPoint(this, shutdown_, riid, ppCP);
}
