// IOPCBrowseServerAddressSpace: a flat name space, one leaf per tag.
#include "items.h"
#include "name_filter.h"
#include "server_object.h"

HRESULT ServerObject::FindItem(LPCOLESTR itemId, TagEntry *tag) const {
    std::string id;
    if (!ReadClientText(itemId, &id) || id.empty()) return OPC_E_INVALIDITEMID;
    return cache_->Lookup(id, tag) ? S_OK : OPC_E_UNKNOWNITEMID;
}

HRESULT ServerObject::QueryOrganization(OPCNAMESPACETYPE *pNameSpaceType) {
    if (pNameSpaceType == nullptr) return E_INVALIDARG;
    *pNameSpaceType = OPC_NS_FLAT;
    return S_OK;
}

HRESULT ServerObject::ChangeBrowsePosition(OPCBROWSEDIRECTION, LPCOLESTR) {
    // A flat name space has no branches to move between.
    return E_FAIL;
}

HRESULT ServerObject::BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCOLESTR szFilterCriteria,
                                       VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                       IEnumString **ppIEnumString) {
    if (ppIEnumString == nullptr) return E_INVALIDARG;
    *ppIEnumString = nullptr;
    if (dwBrowseFilterType != OPC_BRANCH && dwBrowseFilterType != OPC_LEAF && dwBrowseFilterType != OPC_FLAT)
        return E_INVALIDARG;
    return NoThrow([&] {
        std::string filter;
        if (szFilterCriteria != nullptr && !ReadClientText(szFilterCriteria, &filter)) return OPC_E_INVALIDFILTER;
        if (!ValidFilter(filter)) return OPC_E_INVALIDFILTER;
        std::vector<OleString> names;
        if (dwBrowseFilterType != OPC_BRANCH) {
            for (const TagEntry &tag : cache_->List()) {
                // The names that AddItems would take with this requested type.
                if (FAILED(CheckRequestedType(vtDataTypeFilter, tag.type))) continue;
                // Any one of the asked-for rights will do.
                const DWORD rights = GrantedRights(tag.accessRights);
                if (dwAccessRightsFilter != 0 && (rights & dwAccessRightsFilter) == 0) continue;
                if (!filter.empty() && !MatchesFilter(tag.name, filter)) continue;
                names.push_back(ToOle(tag.name));
            }
        }
        return MakeEnumerator<TextEnumerator>(std::move(names), IID_IEnumString,
                                              reinterpret_cast<IUnknown **>(ppIEnumString));
    });
}

HRESULT ServerObject::GetItemID(LPOLESTR szItemDataID, LPOLESTR *szItemID) {
    if (szItemID == nullptr) return E_INVALIDARG;
    *szItemID = nullptr;
    return NoThrow([&] {
        // An empty name asks for the current position: in a flat space, the root.
        if (szItemDataID != nullptr && szItemDataID[0] == 0) {
            *szItemID = TaskText(OleString());
            return *szItemID != nullptr ? S_OK : E_OUTOFMEMORY;
        }
        TagEntry tag;
        const HRESULT found = FindItem(szItemDataID, &tag);
        if (FAILED(found)) return szItemDataID == nullptr ? E_INVALIDARG : found;
        *szItemID = TaskText(tag.name);
        return *szItemID != nullptr ? S_OK : E_OUTOFMEMORY;
    });
}

HRESULT ServerObject::BrowseAccessPaths(LPCOLESTR, IEnumString **ppIEnumString) {
    if (ppIEnumString != nullptr) *ppIEnumString = nullptr;
    return E_NOTIMPL;
}
