// IOPCItemProperties: the six standard properties of every tag.
#include "properties.h"

#include "items.h"
#include "server_object.h"

namespace {

constexpr Property kProperties[] = {
    {OPC_PROP_CDT, "Item Canonical DataType", VT_I2}, {OPC_PROP_VALUE, "Item Value", VT_VARIANT},
    {OPC_PROP_QUALITY, "Item Quality", VT_I2},        {OPC_PROP_TIME, "Item Timestamp", VT_DATE},
    {OPC_PROP_RIGHTS, "Item Access Rights", VT_I4},   {OPC_PROP_SCANRATE, "Server Scan Rate", VT_R4},
};
constexpr DWORD kPropertyCount = sizeof kProperties / sizeof kProperties[0];

// 100-ns units from 1601-01-01 to the OLE date's day 0, 1899-12-30.
constexpr double kDaysBeforeOleEpoch = 109205.0;
constexpr double kUnitsPerDay = 864000000000.0;

DATE OleDate(const FILETIME &time) {
    const ULONGLONG units = (ULONGLONG{time.dwHighDateTime} << 32) | time.dwLowDateTime;
    return static_cast<double>(units) / kUnitsPerDay - kDaysBeforeOleEpoch;
}

}  // namespace

const Property *FindProperty(DWORD id) {
    for (const Property &property : kProperties) {
        if (property.id == id) return &property;
    }
    return nullptr;
}

const Property *AllProperties(DWORD *count) {
    *count = kPropertyCount;
    return kProperties;
}

HRESULT PropertyValue(DWORD id, const TagEntry &tag, const TagRecord &record, DWORD scanRate, VARIANT *out) {
    switch (id) {
        case OPC_PROP_CDT:
            V_VT(out) = VT_I2;
            V_I2(out) = static_cast<SHORT>(tag.type);
            return S_OK;
        case OPC_PROP_VALUE:
            // mutable: the Windows VariantCopy takes a non-const source.
            return VariantCopy(out, const_cast<VARIANT *>(&record.value));
        case OPC_PROP_QUALITY:
            V_VT(out) = VT_I2;
            V_I2(out) = static_cast<SHORT>(record.quality);
            return S_OK;
        case OPC_PROP_TIME:
            V_VT(out) = VT_DATE;
            out->date = OleDate(record.timestamp);
            return S_OK;
        case OPC_PROP_RIGHTS:
            V_VT(out) = VT_I4;
            V_I4(out) = static_cast<LONG>(GrantedRights(tag.accessRights));
            return S_OK;
        case OPC_PROP_SCANRATE:
            V_VT(out) = VT_R4;
            out->fltVal = static_cast<float>(scanRate);
            return S_OK;
        default:
            return OPC_E_INVALID_PID;
    }
}

HRESULT ServerObject::QueryAvailableProperties(LPOLESTR szItemID, DWORD *pdwCount, DWORD **ppPropertyIDs,
                                               LPOLESTR **ppDescriptions, VARTYPE **ppvtDataTypes) {
    if (pdwCount != nullptr) *pdwCount = 0;
    if (ppPropertyIDs != nullptr) *ppPropertyIDs = nullptr;
    if (ppDescriptions != nullptr) *ppDescriptions = nullptr;
    if (ppvtDataTypes != nullptr) *ppvtDataTypes = nullptr;
    if (pdwCount == nullptr || ppPropertyIDs == nullptr || ppDescriptions == nullptr || ppvtDataTypes == nullptr)
        return E_INVALIDARG;
    return NoThrow([&] {
        TagEntry tag;
        const HRESULT found = FindItem(szItemID, &tag);
        if (FAILED(found)) return found;
        TaskArray<DWORD> ids;
        TaskArray<LPOLESTR> descriptions;
        TaskArray<VARTYPE> types;
        if (!ids.Allocate(kPropertyCount) || !descriptions.Allocate(kPropertyCount) || !types.Allocate(kPropertyCount))
            return E_OUTOFMEMORY;
        for (DWORD k = 0; k < kPropertyCount; ++k) {
            ids[k] = kProperties[k].id;
            types[k] = kProperties[k].type;
            descriptions[k] = TaskText(std::string(kProperties[k].description));
            if (descriptions[k] == nullptr) {
                for (DWORD j = 0; j < k; ++j) CoTaskMemFree(descriptions[j]);
                return E_OUTOFMEMORY;
            }
        }
        *pdwCount = kPropertyCount;
        *ppPropertyIDs = ids.Detach();
        *ppDescriptions = descriptions.Detach();
        *ppvtDataTypes = types.Detach();
        return S_OK;
    });
}

HRESULT ServerObject::GetItemProperties(LPOLESTR szItemID, DWORD dwCount, DWORD *pdwPropertyIDs, VARIANT **ppvData,
                                        HRESULT **ppErrors) {
    if (ppvData != nullptr) *ppvData = nullptr;
    if (ppErrors != nullptr) *ppErrors = nullptr;
    if (dwCount == 0 || pdwPropertyIDs == nullptr || ppvData == nullptr || ppErrors == nullptr) return E_INVALIDARG;
    return NoThrow([&] {
        TagEntry tag;
        const HRESULT found = FindItem(szItemID, &tag);
        if (FAILED(found)) return found;
        TaskArray<VARIANT> values;
        TaskArray<HRESULT> errors;
        if (!values.Allocate(dwCount) || !errors.Allocate(dwCount)) return E_OUTOFMEMORY;
        VARIANT value;
        VariantInit(&value);
        FILETIME timestamp{0, 0};
        WORD quality = 0;
        const HRESULT read = cache_->Read(tag.id, &value, &timestamp, &quality, nullptr);
        if (FAILED(read)) return read;
        HRESULT overall = S_OK;
        for (DWORD k = 0; k < dwCount; ++k) {
            VARIANT &out = values[k];
            VariantInit(&out);
            errors[k] = PropertyValue(pdwPropertyIDs[k], tag, TagRecord{value, timestamp, quality},
                                      cache_->RefreshRate(), &out);
            if (FAILED(errors[k])) overall = S_FALSE;
        }
        VariantClear(&value);
        *ppvData = values.Detach();
        *ppErrors = errors.Detach();
        return overall;
    });
}

HRESULT ServerObject::LookupItemIDs(LPOLESTR szItemID, DWORD dwCount, DWORD *pdwPropertyIDs, LPOLESTR **ppszNewItemIDs,
                                    HRESULT **ppErrors) {
    if (ppszNewItemIDs != nullptr) *ppszNewItemIDs = nullptr;
    if (ppErrors != nullptr) *ppErrors = nullptr;
    if (dwCount == 0 || pdwPropertyIDs == nullptr || ppszNewItemIDs == nullptr || ppErrors == nullptr)
        return E_INVALIDARG;
    return NoThrow([&] {
        TagEntry tag;
        const HRESULT found = FindItem(szItemID, &tag);
        if (FAILED(found)) return found;
        TaskArray<LPOLESTR> ids;
        TaskArray<HRESULT> errors;
        if (!ids.Allocate(dwCount) || !errors.Allocate(dwCount)) return E_OUTOFMEMORY;
        // The standard properties have no item ids of their own, and there are no others.
        for (DWORD k = 0; k < dwCount; ++k) errors[k] = OPC_E_INVALID_PID;
        *ppszNewItemIDs = ids.Detach();
        *ppErrors = errors.Detach();
        return S_FALSE;
    });
}
