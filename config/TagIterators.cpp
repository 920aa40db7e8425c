#include <cstdio>

#include "CError.h"
#include "TagModel.h"

namespace {

// Bounded by size, always terminated when size > 0; the stored names are
// read no further than their fields.
void CopyName(char *buffer, std::size_t size, const char *name) {
    if (size == 0) return;
    std::snprintf(buffer, size, "%.*s", static_cast<int>(kTagNameSize - 1), name);
}

// The run's prefix, then startIndex + index formed in 32 bits (65535 + 1 is
// 65536, not 0), without sign, fill or leading zeros.
void RunTagName(char *buffer, std::size_t size, const BlockOfRegs &run, std::uint16_t index) {
    if (size == 0) return;
    const unsigned long number = static_cast<unsigned long>(run.startIndex) + index;
    std::snprintf(buffer, size, "%.*s%lu", static_cast<int>(kNamePrefixSize - 1), run.namePrefix, number);
}

}  // namespace

bool AddrIterator::Next() {
    if (finished) return false;
    if (!started) {
        // Every entry yields at least one tag, a run of count 0 included.
        started = true;
        index = 0;
        return true;
    }
    switch (entry->selector) {
        case AddressEntry::kSingleReg:
            finished = true;
            return false;
        case AddressEntry::kBlockOfRegs:
            ++index;
            if (index < entry->blockOfRegs.count) return true;
            finished = true;
            return false;
        default:
            ThrowError(L"whild selector");
    }
}

void AddrIterator::TagName(char *buffer, std::size_t size) const {
    if (!started || finished) ThrowError(L"wrong iterator");
    switch (entry->selector) {
        case AddressEntry::kSingleReg:
            CopyName(buffer, size, entry->singleReg.name);
            return;
        case AddressEntry::kBlockOfRegs:
            RunTagName(buffer, size, entry->blockOfRegs, index);
            return;
        default:
            ThrowError(L"whild selector");
    }
}

bool QueryBlock::TagIterator::Next() {
    if (current == end) return false;
    if (!started) {
        started = true;
        address = AddrIterator(&*current);
        return address.Next();
    }
    if (address.Next()) return true;
    ++current;
    if (current == end) return false;
    address = AddrIterator(&*current);
    return address.Next();
}

void QueryBlock::TagIterator::TagName(char *buffer, std::size_t size) const {
    if (!started || current == end) ThrowError(L"wrong iterator QueryBlock::TagIterator");
    address.TagName(buffer, size);
}

bool BlockIterator::Next() {
    if (!started) {
        started = true;
    } else if (current != end) {
        ++current;
    }
    return current != end;
}

QueryBlock &BlockIterator::Current() const {
    if (!started || current == end) ThrowError(L"wrong QueryBlock (space) iterator");
    return *current;
}
