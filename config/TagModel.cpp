#include "TagModel.h"

#include <atomic>

#include "CError.h"

namespace {
// Starts at 0 and only grows; Reset stores the current value, then increments.
std::atomic<std::uint32_t> nextBlockKey{0};
}  // namespace

void QueryBlock::Reset() {
    blockKey = nextBlockKey.fetch_add(1);
    cachedRegCount = -1;
    millisecondPeriod = 0;
    lstAddress.clear();
}

std::uint16_t QueryBlock::RegisterCount() {
    if (cachedRegCount != -1) return static_cast<std::uint16_t>(cachedRegCount);
    if (lstAddress.empty()) ThrowError(L"empty  lstAddress");

    // Unsigned, so that a very long list wraps instead of overflowing; only
    // the low 16 bits are ever used.
    std::uint32_t sum = 0;
    for (const AddressEntry &entry : lstAddress) {
        switch (entry.selector) {
            case AddressEntry::kSingleReg:
                sum += 1;
                break;
            case AddressEntry::kBlockOfRegs:
                sum += entry.blockOfRegs.count;
                break;
            default:
                ThrowError(L"whild selector");
        }
    }
    cachedRegCount = static_cast<std::int32_t>(sum);
    return static_cast<std::uint16_t>(sum);
}

std::uint16_t QueryBlock::StartAddress() const {
    if (lstAddress.empty()) ThrowError(L"empty lstAddress");

    // Only the first entry counts: the block is read as consecutive registers.
    const AddressEntry &first = lstAddress.front();
    switch (first.selector) {
        case AddressEntry::kSingleReg:
            return first.singleReg.addr;
        case AddressEntry::kBlockOfRegs:
            if (first.blockOfRegs.count == 0) ThrowError(L"wrong index");
            return first.blockOfRegs.addrStart;
        default:
            ThrowError(L"whild selector");
    }
}

std::int32_t TagConfig::TotalTagCount() {
    if (cachedTagCount != -1) return cachedTagCount;

    std::uint32_t sum = 0;
    for (QueryBlock &block : blocks) sum += block.RegisterCount();
    cachedTagCount = static_cast<std::int32_t>(sum);
    return cachedTagCount;
}
