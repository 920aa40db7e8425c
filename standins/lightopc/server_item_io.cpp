// IOPCItemIO: reads and writes by item id, without a group.
#include "group.h"
#include "items.h"
#include "latest_values.h"
#include "server_object.h"

HRESULT ServerObject::Read(DWORD dwCount, LPCOLESTR *pszItemIDs, DWORD *pdwMaxAge, VARIANT **ppvValues,
                           WORD **ppwQualities, FILETIME **ppftTimeStamps, HRESULT **ppErrors) {
    const HRESULT checked =
        StartAgedRead(dwCount, pszItemIDs, pdwMaxAge, ppvValues, ppwQualities, ppftTimeStamps, ppErrors);
    if (FAILED(checked)) return checked;
    return NoThrow([&] {
        std::vector<AgedRead> reads(dwCount);
        for (DWORD k = 0; k < dwCount; ++k) {
            TagEntry tag;
            const HRESULT found = FindItem(pszItemIDs[k], &tag);
            reads[k] = SUCCEEDED(found) ? AgedRead{tag.id, VT_EMPTY, S_OK} : AgedRead{0, VT_EMPTY, found};
        }
        return ReadByAge(*cache_, reads, ppvValues, ppwQualities, ppftTimeStamps, ppErrors);
    });
}

HRESULT ServerObject::WriteVQT(DWORD dwCount, LPCOLESTR *pszItemIDs, OPCITEMVQT *pItemVQT, HRESULT **ppErrors) {
    const HRESULT checked = StartItemCall(dwCount, pszItemIDs, ppErrors);
    if (FAILED(checked) || pItemVQT == nullptr) return FAILED(checked) ? checked : E_INVALIDARG;
    return NoThrow([&] {
        TaskArray<HRESULT> errors;
        if (!errors.Allocate(dwCount)) return E_OUTOFMEMORY;
        // The tags are read-only: every known one refuses the write.
        for (DWORD k = 0; k < dwCount; ++k) {
            TagEntry tag;
            const HRESULT found = FindItem(pszItemIDs[k], &tag);
            errors[k] = SUCCEEDED(found) ? OPC_E_BADRIGHTS : found;
        }
        *ppErrors = errors.Detach();
        return S_FALSE;
    });
}
