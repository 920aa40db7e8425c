// IOPCBrowse: the flat name space as Data Access 3.0 clients browse it, in
// pages joined by continuation points, with the tags' properties.
#include <new>

#include "items.h"
#include "name_filter.h"
#include "properties.h"
#include "server_object.h"

namespace {

// Frees what one element's properties own, then the array.
void FreeProperties(OPCITEMPROPERTIES &properties) {
    for (DWORD k = 0; k < properties.dwNumProperties; ++k) {
        OPCITEMPROPERTY &property = properties.pItemProperties[k];
        CoTaskMemFree(property.szItemID);
        CoTaskMemFree(property.szDescription);
        VariantClear(&property.vValue);
    }
    CoTaskMemFree(properties.pItemProperties);
    properties = OPCITEMPROPERTIES{S_OK, 0, nullptr, 0};
}

// Which properties a client asks for: all of them, or the listed ids.
struct PropertyRequest {
    bool all;
    DWORD count;
    const DWORD *ids;
    bool values;
};

// Fills a tag's properties as asked: S_OK (S_FALSE when an id was unknown to
// it) or E_OUTOFMEMORY with nothing left allocated.
HRESULT FillProperties(const TagCache &cache, const TagEntry &tag, const PropertyRequest &request,
                       OPCITEMPROPERTIES *out) {
    *out = OPCITEMPROPERTIES{S_OK, 0, nullptr, 0};
    DWORD allCount = 0;
    const Property *all = AllProperties(&allCount);
    const DWORD count = request.all ? allCount : request.count;
    if (count == 0) return S_OK;
    TaskArray<OPCITEMPROPERTY> properties;
    if (!properties.Allocate(count)) return E_OUTOFMEMORY;
    // Zeroed, each property is empty and safe to free: out owns them all from here.
    *out = OPCITEMPROPERTIES{S_OK, count, properties.Detach(), 0};
    VARIANT value;
    VariantInit(&value);
    HRESULT overall = S_OK;
    try {
        FILETIME timestamp{0, 0};
        WORD quality = 0;
        if (request.values && cache.Read(tag.id, &value, &timestamp, &quality, nullptr) == E_OUTOFMEMORY)
            throw std::bad_alloc();
        const TagRecord record{value, timestamp, quality};
        for (DWORD k = 0; k < count; ++k) {
            OPCITEMPROPERTY &property = out->pItemProperties[k];
            property.dwPropertyID = request.all ? all[k].id : request.ids[k];
            const Property *known = FindProperty(property.dwPropertyID);
            if (known == nullptr) {
                property.hrErrorID = OPC_E_INVALID_PID;
                overall = S_FALSE;
                continue;
            }
            property.vtDataType = known->type;
            property.szDescription = TaskText(std::string(known->description));
            if (property.szDescription == nullptr) throw std::bad_alloc();
            if (request.values)
                property.hrErrorID =
                    PropertyValue(property.dwPropertyID, tag, record, cache.RefreshRate(), &property.vValue);
            if (property.hrErrorID == E_OUTOFMEMORY) throw std::bad_alloc();
            if (FAILED(property.hrErrorID)) overall = S_FALSE;
        }
    } catch (const std::bad_alloc &) {
        VariantClear(&value);
        FreeProperties(*out);
        return E_OUTOFMEMORY;
    }
    VariantClear(&value);
    out->hrErrorID = overall;
    return S_OK;
}

// A page of browse elements being made: freed whole unless handed over.
class Elements {
public:
    ~Elements() {
        for (OPCBROWSEELEMENT &element : list_) {
            CoTaskMemFree(element.szName);
            CoTaskMemFree(element.szItemID);
            FreeProperties(element.ItemProperties);
        }
    }
    // False when out of memory (the element is not added).
    bool Add(const TagCache &cache, const TagEntry &tag, const PropertyRequest &request) {
        // In the list before anything is made for it, so that the list frees whatever was.
        list_.push_back(OPCBROWSEELEMENT{nullptr, nullptr, OPC_BROWSE_ISITEM, 0, {S_OK, 0, nullptr, 0}});
        OPCBROWSEELEMENT &element = list_.back();
        element.szName = TaskText(tag.name);
        element.szItemID = TaskText(tag.name);
        return element.szName != nullptr && element.szItemID != nullptr &&
               SUCCEEDED(FillProperties(cache, tag, request, &element.ItemProperties));
    }
    DWORD Count() const { return static_cast<DWORD>(list_.size()); }
    // The elements in task memory, owned by the caller from here on; null when out of memory.
    OPCBROWSEELEMENT *HandOver() {
        TaskArray<OPCBROWSEELEMENT> handed;
        if (!handed.Allocate(list_.size())) return nullptr;
        for (std::size_t k = 0; k < list_.size(); ++k) handed[k] = list_[k];
        list_.clear();
        return handed.Detach();
    }

private:
    std::vector<OPCBROWSEELEMENT> list_;
};

}  // namespace

HRESULT ServerObject::GetProperties(DWORD dwItemCount, LPOLESTR *pszItemIDs, BOOL bReturnPropertyValues,
                                    DWORD dwPropertyCount, DWORD *pdwPropertyIDs,
                                    OPCITEMPROPERTIES **ppItemProperties) {
    if (ppItemProperties != nullptr) *ppItemProperties = nullptr;
    if (dwItemCount == 0 || pszItemIDs == nullptr || ppItemProperties == nullptr ||
        (dwPropertyCount != 0 && pdwPropertyIDs == nullptr))
        return E_INVALIDARG;
    return NoThrow([&] {
        TaskArray<OPCITEMPROPERTIES> results;
        if (!results.Allocate(dwItemCount)) return E_OUTOFMEMORY;
        // No ids asked for: all of them.
        const PropertyRequest request{dwPropertyCount == 0, dwPropertyCount, pdwPropertyIDs,
                                      bReturnPropertyValues != FALSE};
        HRESULT overall = S_OK;
        for (DWORD k = 0; k < dwItemCount; ++k) {
            HRESULT result = E_OUTOFMEMORY;
            try {
                TagEntry tag;
                result = FindItem(pszItemIDs[k], &tag);
                if (SUCCEEDED(result)) result = FillProperties(*cache_, tag, request, &results[k]);
            } catch (const std::bad_alloc &) {
                // results[k] holds nothing yet: FillProperties throws nothing.
            }
            if (result == E_OUTOFMEMORY) {
                for (DWORD j = 0; j < k; ++j) FreeProperties(results[j]);
                return E_OUTOFMEMORY;
            }
            if (FAILED(result)) results[k].hrErrorID = result;
            if (results[k].hrErrorID != S_OK) overall = S_FALSE;
        }
        *ppItemProperties = results.Detach();
        return overall;
    });
}

HRESULT ServerObject::Browse(LPOLESTR szItemID, LPOLESTR *pszContinuationPoint, DWORD dwMaxElementsReturned,
                             OPCBROWSEFILTER dwBrowseFilter, LPOLESTR szElementNameFilter, LPOLESTR,
                             BOOL bReturnAllProperties, BOOL bReturnPropertyValues, DWORD dwPropertyCount,
                             DWORD *pdwPropertyIDs, BOOL *pbMoreElements, DWORD *pdwCount,
                             OPCBROWSEELEMENT **ppBrowseElements) {
    if (pbMoreElements != nullptr) *pbMoreElements = FALSE;
    if (pdwCount != nullptr) *pdwCount = 0;
    if (ppBrowseElements != nullptr) *ppBrowseElements = nullptr;
    if (pszContinuationPoint == nullptr || pbMoreElements == nullptr || pdwCount == nullptr ||
        ppBrowseElements == nullptr || (dwPropertyCount != 0 && pdwPropertyIDs == nullptr))
        return E_INVALIDARG;
    if (dwBrowseFilter < OPC_BROWSE_FILTER_ALL || dwBrowseFilter > OPC_BROWSE_FILTER_ITEMS) return E_INVALIDARG;
    return NoThrow([&] {
        // The root (no name) is the only branch; a tag is a leaf, with nothing below it.
        const bool atRoot = szItemID == nullptr || szItemID[0] == 0;
        if (!atRoot) {
            TagEntry tag;
            const HRESULT found = FindItem(szItemID, &tag);
            if (FAILED(found)) return found;
        }
        std::string filter;
        if (szElementNameFilter != nullptr && !ReadClientText(szElementNameFilter, &filter)) return OPC_E_INVALIDFILTER;
        if (!ValidFilter(filter)) return OPC_E_INVALIDFILTER;
        std::size_t position = 0;
        LPOLESTR given = *pszContinuationPoint;
        if (given != nullptr && given[0] != 0) {
            std::lock_guard<std::mutex> held(stateLock_);
            auto found = continuations_.begin();
            while (found != continuations_.end() && found->first != given) ++found;
            if (found == continuations_.end()) return OPC_E_INVALIDCONTINUATIONPOINT;
            position = found->second;
            continuations_.erase(found);
        }
        const PropertyRequest request{bReturnAllProperties != FALSE, dwPropertyCount, pdwPropertyIDs,
                                      bReturnPropertyValues != FALSE};
        Elements elements;
        const std::vector<TagEntry> tags = cache_->List();
        const bool items = atRoot && dwBrowseFilter != OPC_BROWSE_FILTER_BRANCHES;
        bool more = false;
        for (; items && position < tags.size(); ++position) {
            const TagEntry &tag = tags[position];
            if (!filter.empty() && !MatchesFilter(tag.name, filter)) continue;
            if (dwMaxElementsReturned != 0 && elements.Count() == dwMaxElementsReturned) {
                more = true;
                break;
            }
            if (!elements.Add(*cache_, tag, request)) return E_OUTOFMEMORY;
        }
        LPOLESTR next = nullptr;
        if (more) {
            std::lock_guard<std::mutex> held(stateLock_);
            if (continuations_.size() == kContinuations) continuations_.pop_front();
            continuations_.emplace_back(ToOle("page" + std::to_string(nextContinuation_++)), position);
            // Last, so that nothing in task memory is lost when the lines above throw.
            next = TaskText(continuations_.back().first);
            if (next == nullptr) {
                continuations_.pop_back();
                return E_OUTOFMEMORY;
            }
        }
        const DWORD count = elements.Count();
        OPCBROWSEELEMENT *handed = count != 0 ? elements.HandOver() : nullptr;
        if (count != 0 && handed == nullptr) {
            CoTaskMemFree(next);
            return E_OUTOFMEMORY;
        }
        // The continuation point is in and out: the client's is freed, ours (or none) takes its place.
        CoTaskMemFree(given);
        *pszContinuationPoint = next;
        *pdwCount = count;
        *ppBrowseElements = handed;
        return S_OK;
    });
}
