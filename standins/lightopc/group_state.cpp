// The group's life and settings: IOPCGroupStateMgt and its connection point.
#include "group.h"
#include "scheduler.h"

DWORD ReviseRate(DWORD requested) {
    return requested < kFastestRate ? kFastestRate : requested;
}

bool SupportedLocale(LCID locale) {
    // Neutral, user default, system default and English (United States): the
    // texts are English in all of them. A group's locale is only kept for its
    // client, so groups take any.
    return locale == 0x0000 || locale == 0x0400 || locale == 0x0800 || locale == 0x0409;
}

Group::Group(std::shared_ptr<ServerCore> core, const GroupSettings &settings)
    : core_(std::move(core)), cache_(core_->cache), handle_(NewServerHandle()), settings_(settings) {
    settings_.rate = ReviseRate(settings.rate);
    core_->delivery->Add(this);
}

Group::~Group() {
    // First of all: the cache may be telling the group of a change right now.
    for (const auto &entry : items_) UnwatchItem(entry.second);
    core_->delivery->Remove(this);
}

void Group::WatchItem(const Item &item) {
    if (item.active) cache_->Watch(item.tag, this);
}

void Group::UnwatchItem(const Item &item) {
    if (item.active) cache_->Unwatch(item.tag, this);
}

Clock::time_point Group::Earliest() const {
    if (lastSend_ == Clock::time_point::min()) return lastSend_;
    return lastSend_ + std::chrono::milliseconds(settings_.rate);
}

void Group::Touch() {
    dirty_ = true;
    core_->delivery->Wake(this);
}

std::string Group::Name() const {
    std::lock_guard<std::mutex> held(lock_);
    return settings_.name;
}

void Group::StoreName(const std::string &name) {
    std::lock_guard<std::mutex> held(lock_);
    settings_.name = name;
}

HRESULT Group::GetState(DWORD *pUpdateRate, BOOL *pActive, LPOLESTR *ppName, LONG *pTimeBias, FLOAT *pPercentDeadband,
                        LCID *pLCID, OPCHANDLE *phClientGroup, OPCHANDLE *phServerGroup) {
    if (ppName != nullptr) *ppName = nullptr;
    if (pUpdateRate == nullptr || pActive == nullptr || ppName == nullptr || pTimeBias == nullptr ||
        pPercentDeadband == nullptr || pLCID == nullptr || phClientGroup == nullptr || phServerGroup == nullptr)
        return E_INVALIDARG;
    return NoThrow([&] {
        GroupSettings settings;
        {
            std::lock_guard<std::mutex> held(lock_);
            settings = settings_;
        }
        *ppName = TaskText(settings.name);
        if (*ppName == nullptr) return E_OUTOFMEMORY;
        *pUpdateRate = settings.rate;
        *pActive = settings.active ? TRUE : FALSE;
        *pTimeBias = settings.timeBias;
        *pPercentDeadband = settings.deadband;
        *pLCID = settings.locale;
        *phClientGroup = settings.client;
        *phServerGroup = handle_;
        return S_OK;
    });
}

HRESULT Group::SetState(DWORD *pRequestedUpdateRate, DWORD *pRevisedUpdateRate, BOOL *pActive, LONG *pTimeBias,
                        FLOAT *pPercentDeadband, LCID *pLCID, OPCHANDLE *phClientGroup) {
    if (pPercentDeadband != nullptr && !(*pPercentDeadband >= 0 && *pPercentDeadband <= 100)) return E_INVALIDARG;
    HRESULT result = S_OK;
    bool wake = false;
    bool touch = false;
    {
        std::lock_guard<std::mutex> held(lock_);
        if (pRequestedUpdateRate != nullptr) {
            // The next data change waits for the new rate from the last one.
            settings_.rate = ReviseRate(*pRequestedUpdateRate);
            if (settings_.rate != *pRequestedUpdateRate) result = OPC_S_UNSUPPORTEDRATE;
            wake = true;
        }
        if (pRevisedUpdateRate != nullptr) *pRevisedUpdateRate = settings_.rate;
        if (pActive != nullptr) {
            const bool active = *pActive != FALSE;
            // A group that becomes active reports every active item at its next data change.
            if (active && !settings_.active) {
                for (auto &entry : items_) entry.second.SendNextTime();
                touch = true;
            }
            settings_.active = active;
        }
        if (pTimeBias != nullptr) settings_.timeBias = *pTimeBias;
        if (pPercentDeadband != nullptr) settings_.deadband = *pPercentDeadband;
        if (pLCID != nullptr) settings_.locale = *pLCID;
        if (phClientGroup != nullptr) settings_.client = *phClientGroup;
    }
    if (touch) {
        Touch();
    } else if (wake) {
        core_->delivery->Wake(this);
    }
    return result;
}

HRESULT Group::SetName(LPCOLESTR szName) {
    return NoThrow([&] {
        std::string name;
        if (!ReadClientText(szName, &name) || name.empty()) return E_INVALIDARG;
        return core_->Rename(*this, name);
    });
}

HRESULT Group::CloneGroup(LPCOLESTR szName, REFIID riid, IUnknown **ppUnk) {
    if (ppUnk == nullptr) return E_INVALIDARG;
    *ppUnk = nullptr;
    return NoThrow([&] {
        std::string name;
        if (szName != nullptr && !ReadClientText(szName, &name)) return E_INVALIDARG;
        GroupSettings settings;
        std::map<OPCHANDLE, Item> items;
        {
            std::lock_guard<std::mutex> held(lock_);
            settings = settings_;
            items = items_;
        }
        // The clone starts inactive, with the same items under new server handles.
        settings.active = false;
        const ComPtr<Group> clone = ComPtr<Group>::Adopt(new Group(core_, settings));
        {
            std::lock_guard<std::mutex> held(clone->lock_);  // the toolkit's thread knows it already
            for (auto &entry : items) {
                Item item = entry.second;
                item.server = NewServerHandle();
                item.SendNextTime();
                // Only a watched item enters: the clone, if it fails, lets go of exactly those.
                clone->WatchItem(item);
                try {
                    clone->items_.emplace(item.server, std::move(item));
                } catch (...) {
                    clone->UnwatchItem(item);
                    throw;
                }
            }
        }
        // Queried before it is added, so that an interface it lacks adds nothing.
        IUnknown *handed = nullptr;
        const HRESULT queried = HandOut(clone, riid, &handed);
        if (FAILED(queried)) return queried;
        const HRESULT inserted = core_->Insert(clone, name);
        if (FAILED(inserted)) {
            handed->Release();
            return inserted;
        }
        *ppUnk = handed;
        return S_OK;
    });
}

HRESULT Group::EnumConnectionPoints(IEnumConnectionPoints **ppEnum) {
    return EnumPoints(this, callbacks_, ppEnum);
}

HRESULT Group::FindConnectionPoint(REFIID riid, IConnectionPoint **ppCP) {
    return FindPoint(this, callbacks_, riid, ppCP);
}
