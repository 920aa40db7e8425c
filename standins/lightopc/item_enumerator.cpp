#include "item_enumerator.h"

namespace {

void FreeAttributes(OPCITEMATTRIBUTES *attributes, ULONG count) {
    for (ULONG k = 0; k < count; ++k) {
        CoTaskMemFree(attributes[k].szAccessPath);
        CoTaskMemFree(attributes[k].szItemID);
    }
}

}  // namespace

HRESULT ItemEnumerator::Next(ULONG celt, OPCITEMATTRIBUTES **ppItemArray, ULONG *pceltFetched) {
    if (pceltFetched != nullptr) *pceltFetched = 0;
    if (ppItemArray == nullptr || (celt != 1 && pceltFetched == nullptr)) return E_INVALIDARG;
    *ppItemArray = nullptr;
    std::lock_guard<std::mutex> held(lock_);
    const std::size_t left = items_->size() - position_;
    const ULONG n = static_cast<ULONG>(celt < left ? celt : left);
    TaskArray<OPCITEMATTRIBUTES> out;
    if (n > 0 && !out.Allocate(n)) return E_OUTOFMEMORY;
    for (ULONG k = 0; k < n; ++k) {
        const Item &item = (*items_)[position_ + k];
        OPCITEMATTRIBUTES &a = out[k];
        a.szAccessPath = TaskText(OleString());
        a.szItemID = TaskText(item.id);
        if (a.szAccessPath == nullptr || a.szItemID == nullptr) {
            FreeAttributes(out.get(), k + 1);
            return E_OUTOFMEMORY;
        }
        a.bActive = item.active ? TRUE : FALSE;
        a.hClient = item.client;
        a.hServer = item.server;
        a.dwAccessRights = item.accessRights;
        a.vtRequestedDataType = item.requested == VT_EMPTY ? item.canonical : item.requested;
        a.vtCanonicalDataType = item.canonical;
        a.dwEUType = OPC_NOENUM;
        VariantInit(&a.vEUInfo);
    }
    position_ += n;
    *ppItemArray = out.Detach();
    if (pceltFetched != nullptr) *pceltFetched = n;
    return n == celt ? S_OK : S_FALSE;
}

HRESULT ItemEnumerator::Skip(ULONG celt) {
    std::lock_guard<std::mutex> held(lock_);
    const std::size_t left = items_->size() - position_;
    position_ += celt < left ? celt : left;
    return celt <= left ? S_OK : S_FALSE;
}

HRESULT ItemEnumerator::Reset() {
    std::lock_guard<std::mutex> held(lock_);
    position_ = 0;
    return S_OK;
}

HRESULT ItemEnumerator::Clone(IEnumOPCItemAttributes **ppEnumItemAttributes) {
    if (ppEnumItemAttributes == nullptr) return E_INVALIDARG;
    std::lock_guard<std::mutex> held(lock_);
    *ppEnumItemAttributes = new (std::nothrow) ItemEnumerator(items_, position_);
    return *ppEnumItemAttributes != nullptr ? S_OK : E_OUTOFMEMORY;
}
