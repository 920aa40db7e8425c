#include "latest_values.h"

#include "group.h"

HRESULT StartAgedRead(DWORD count, const void *input, const DWORD *maxAges, VARIANT **values, WORD **qualities,
                      FILETIME **times, HRESULT **errors) {
    if (values != nullptr) *values = nullptr;
    if (qualities != nullptr) *qualities = nullptr;
    if (times != nullptr) *times = nullptr;
    if (errors != nullptr) *errors = nullptr;
    if (count == 0 || input == nullptr || maxAges == nullptr || values == nullptr || qualities == nullptr ||
        times == nullptr || errors == nullptr)
        return E_INVALIDARG;
    return S_OK;
}

HRESULT ReadByAge(const TagCache &cache, const std::vector<AgedRead> &items, VARIANT **values, WORD **qualities,
                  FILETIME **times, HRESULT **errors) {
    const std::size_t count = items.size();
    TaskArray<VARIANT> valueOut;
    TaskArray<WORD> qualityOut;
    TaskArray<FILETIME> timeOut;
    TaskArray<HRESULT> errorOut;
    if (!valueOut.Allocate(count) || !qualityOut.Allocate(count) || !timeOut.Allocate(count) ||
        !errorOut.Allocate(count))
        return E_OUTOFMEMORY;
    std::vector<loTagId> tags(count);
    for (std::size_t k = 0; k < count; ++k) {
        VariantInit(&valueOut[k]);
        errorOut[k] = items[k].error;
        tags[k] = items[k].tag;
    }
    cache.Visit(tags.data(), count, [&](std::size_t k, const TagState &state) {
        FillRecord(items[k].requested, state, false, &valueOut[k], &qualityOut[k], &timeOut[k], &errorOut[k]);
    });
    *values = valueOut.Detach();
    *qualities = qualityOut.Detach();
    *times = timeOut.Detach();
    *errors = errorOut.Detach();
    return OverallResult(*errors, static_cast<DWORD>(count));
}
