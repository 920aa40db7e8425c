// IEnumOPCItemAttributes: a snapshot of a group's items.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "com_object.h"
#include "items.h"

class ItemEnumerator final : public ComObject<ItemEnumerator, IEnumOPCItemAttributes> {
public:
    using Items = std::shared_ptr<const std::vector<Item>>;
    explicit ItemEnumerator(Items items, std::size_t position = 0) : items_(std::move(items)), position_(position) {}

    HRESULT STDMETHODCALLTYPE Next(ULONG celt, OPCITEMATTRIBUTES **ppItemArray, ULONG *pceltFetched) override;
    HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE Clone(IEnumOPCItemAttributes **ppEnumItemAttributes) override;

private:
    friend class ComObject<ItemEnumerator, IEnumOPCItemAttributes>;
    ~ItemEnumerator() = default;

    const Items items_;
    std::mutex lock_;
    std::size_t position_;
};
