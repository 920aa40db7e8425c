// IOPCItemMgt: adding, checking, changing and removing a group's items.
#include "group.h"
#include "item_enumerator.h"

namespace {

// Resolves every definition into results and errors; the good ones are
// returned in items (with their index), not yet added anywhere.
HRESULT Resolve(const TagCache &cache, DWORD count, const OPCITEMDEF *definitions, OPCITEMRESULT **results,
                HRESULT **errors, std::vector<std::pair<DWORD, Item>> *items) {
    if (results != nullptr) *results = nullptr;
    const HRESULT checked = StartItemCall(count, definitions, errors);
    if (FAILED(checked)) return checked;
    if (results == nullptr) return E_INVALIDARG;
    TaskArray<OPCITEMRESULT> out;
    TaskArray<HRESULT> failures;
    if (!out.Allocate(count) || !failures.Allocate(count)) return E_OUTOFMEMORY;
    items->reserve(count);
    for (DWORD k = 0; k < count; ++k) {
        Item item;
        failures[k] = ResolveItem(cache, definitions[k], &item);
        if (FAILED(failures[k])) continue;
        out[k].vtCanonicalDataType = item.canonical;
        out[k].dwAccessRights = item.accessRights;
        items->emplace_back(k, std::move(item));
    }
    const HRESULT overall = OverallResult(failures.get(), count);
    *results = out.Detach();
    *errors = failures.Detach();
    return overall;
}

}  // namespace

HRESULT Group::AddItems(DWORD dwCount, OPCITEMDEF *pItemArray, OPCITEMRESULT **ppAddResults, HRESULT **ppErrors) {
    return NoThrow([&] {
        std::vector<std::pair<DWORD, Item>> items;
        const HRESULT resolved = Resolve(*cache_, dwCount, pItemArray, ppAddResults, ppErrors, &items);
        if (FAILED(resolved)) return resolved;
        bool report = false;
        try {
            std::lock_guard<std::mutex> held(lock_);
            for (auto &entry : items) {
                Item &item = entry.second;
                item.server = NewServerHandle();
                (*ppAddResults)[entry.first].hServer = item.server;
                // Watched first, so that every item in the group is watched if active.
                WatchItem(item);
                report = report || item.active;
                try {
                    items_.emplace(item.server, std::move(item));
                } catch (...) {
                    UnwatchItem(item);  // its handle, tag and state are still there
                    throw;
                }
            }
        } catch (...) {
            // Nothing is left allocated, and nothing half-added, for a failed call.
            std::lock_guard<std::mutex> held(lock_);
            for (const auto &entry : items) {
                const auto added = items_.find((*ppAddResults)[entry.first].hServer);
                if (added == items_.end()) continue;
                UnwatchItem(added->second);
                items_.erase(added);
            }
            CoTaskMemFree(*ppAddResults);
            CoTaskMemFree(*ppErrors);
            *ppAddResults = nullptr;
            *ppErrors = nullptr;
            throw;
        }
        // A new active item reports its value at the next data change.
        if (report) Touch();
        return resolved;
    });
}

HRESULT Group::ValidateItems(DWORD dwCount, OPCITEMDEF *pItemArray, BOOL, OPCITEMRESULT **ppValidationResults,
                             HRESULT **ppErrors) {
    return NoThrow([&] {
        std::vector<std::pair<DWORD, Item>> items;
        return Resolve(*cache_, dwCount, pItemArray, ppValidationResults, ppErrors, &items);
    });
}

HRESULT Group::RemoveItems(DWORD dwCount, OPCHANDLE *phServer, HRESULT **ppErrors) {
    return EachItem(dwCount, phServer, ppErrors, [&](DWORD, std::map<OPCHANDLE, Item>::iterator found) {
        UnwatchItem(found->second);
        items_.erase(found);
        return S_OK;
    });
}

HRESULT Group::SetActiveState(DWORD dwCount, OPCHANDLE *phServer, BOOL bActive, HRESULT **ppErrors) {
    bool report = false;
    const HRESULT result = EachItem(dwCount, phServer, ppErrors, [&](DWORD, std::map<OPCHANDLE, Item>::iterator found) {
        Item &item = found->second;
        const bool active = bActive != FALSE;
        if (active == item.active) return S_OK;
        if (active) {
            try {
                cache_->Watch(item.tag, this);
            } catch (const std::bad_alloc &) {
                return E_OUTOFMEMORY;
            }
            // An item that becomes active reports its current value at the next data change.
            item.SendNextTime();
            report = true;
        } else {
            cache_->Unwatch(item.tag, this);
        }
        item.active = active;
        return S_OK;
    });
    if (report) Touch();
    return result;
}

HRESULT Group::SetClientHandles(DWORD dwCount, OPCHANDLE *phServer, OPCHANDLE *phClient, HRESULT **ppErrors) {
    if (phClient == nullptr) {
        if (ppErrors != nullptr) *ppErrors = nullptr;
        return E_INVALIDARG;
    }
    return EachItem(dwCount, phServer, ppErrors, [&](DWORD k, std::map<OPCHANDLE, Item>::iterator found) {
        found->second.client = phClient[k];
        return S_OK;
    });
}

HRESULT Group::SetDatatypes(DWORD dwCount, OPCHANDLE *phServer, VARTYPE *pRequestedDatatypes, HRESULT **ppErrors) {
    if (pRequestedDatatypes == nullptr) {
        if (ppErrors != nullptr) *ppErrors = nullptr;
        return E_INVALIDARG;
    }
    bool report = false;
    const HRESULT result =
        EachItem(dwCount, phServer, ppErrors, [&](DWORD k, std::map<OPCHANDLE, Item>::iterator found) {
            Item &item = found->second;
            const HRESULT typed = CheckRequestedType(pRequestedDatatypes[k], item.canonical);
            if (FAILED(typed)) return typed;
            if (item.requested != pRequestedDatatypes[k]) {
                item.SendNextTime();
                report = report || item.active;
            }
            item.requested = pRequestedDatatypes[k];
            return S_OK;
        });
    if (report) Touch();
    return result;
}

HRESULT Group::CreateEnumerator(REFIID riid, IUnknown **ppUnk) {
    if (ppUnk == nullptr) return E_INVALIDARG;
    *ppUnk = nullptr;
    if (!IsEqualGUID(riid, IID_IEnumOPCItemAttributes)) return E_NOINTERFACE;
    return NoThrow([&] {
        auto items = std::make_shared<std::vector<Item>>();
        {
            std::lock_guard<std::mutex> held(lock_);
            items->reserve(items_.size());
            for (const auto &entry : items_) items->push_back(entry.second);
        }
        const bool empty = items->empty();
        const ComPtr<ItemEnumerator> made =
            ComPtr<ItemEnumerator>::Adopt(new (std::nothrow) ItemEnumerator(std::move(items)));
        if (!made) return E_OUTOFMEMORY;
        const HRESULT handed = HandOut(made, riid, ppUnk);
        if (FAILED(handed)) return handed;
        return empty ? S_FALSE : S_OK;
    });
}
