#include "items.h"

#include <atomic>

HRESULT CheckRequestedType(VARTYPE requested, VARTYPE canonical) {
    if (requested == VT_EMPTY || requested == canonical) return S_OK;
    // A value converted to VT_NULL is no value at all.
    if (requested == VT_NULL) return OPC_E_BADTYPE;
    VARIANT sample;
    VariantInit(&sample);
    V_VT(&sample) = canonical;
    VARIANT converted;
    VariantInit(&converted);
    const HRESULT result = VariantChangeType(&converted, &sample, 0, requested);
    VariantClear(&converted);
    return result == DISP_E_BADVARTYPE || result == DISP_E_TYPEMISMATCH ? OPC_E_BADTYPE : S_OK;
}

HRESULT ResolveItem(const TagCache &cache, const OPCITEMDEF &definition, Item *item) {
    std::string id;
    if (!ReadClientText(definition.szItemID, &id) || id.empty()) return OPC_E_INVALIDITEMID;
    TagEntry tag;
    if (!cache.Lookup(id, &tag)) return OPC_E_UNKNOWNITEMID;
    const HRESULT typed = CheckRequestedType(definition.vtRequestedDataType, tag.type);
    if (FAILED(typed)) return typed;
    item->client = definition.hClient;
    item->tag = tag.id;
    item->id = std::move(id);
    item->active = definition.bActive != FALSE;
    item->requested = definition.vtRequestedDataType;
    item->canonical = tag.type;
    item->accessRights = GrantedRights(tag.accessRights);
    return S_OK;
}

HRESULT ValueFor(VARTYPE requested, const VARIANT &value, VARIANT *out) {
    VARIANT *source = const_cast<VARIANT *>(&value);
    if (requested == VT_EMPTY || requested == V_VT(source)) return VariantCopy(out, source);
    return VariantChangeType(out, source, 0, requested);
}

OPCHANDLE NewServerHandle() {
    static std::atomic<OPCHANDLE> next{0};
    OPCHANDLE handle = ++next;
    while (handle == 0) handle = ++next;  // after 2^32 handles: never 0
    return handle;
}

void FillRecord(VARTYPE requested, const TagState &state, bool outOfService, VARIANT *value, WORD *quality,
                FILETIME *time, HRESULT *error) {
    *time = state.timestamp;
    *quality = outOfService ? OPC_QUALITY_OUT_OF_SERVICE : state.quality;
    *error = ValueFor(requested, state.value, value);
    if (FAILED(*error)) {
        *quality = OPC_QUALITY_BAD;
    } else if (state.error != S_OK) {
        *error = state.error;  // the driver's own word on the record
    }
}
