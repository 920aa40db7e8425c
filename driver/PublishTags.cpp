// Publication of the configuration's tags to the toolkit.
#include <algorithm>
#include <cstdlib>

#include "CError.h"
#include "TagUpdater.h"

namespace {
constexpr unsigned kReadable = 1;
}  // namespace

void TagUpdater::PublishTags() {
    tagCount = config.TotalTagCount();
    // calloc: every byte zero, so every record's value is VT_EMPTY until filled.
    tagValues = static_cast<loTagValue *>(std::calloc(static_cast<std::size_t>(tagCount) + 1, sizeof(loTagValue)));
    if (tagValues == nullptr) ThrowError(L"calloc in TagUpdater::TagUpdater");

    // Each block's records follow the previous block's register count, the
    // records a pass updates for it: the runs never overlap and end by tagCount.
    std::int64_t position = 0;
    BlockIterator blocks(config);
    while (blocks.Next()) {
        QueryBlock &block = blocks.Current();
        lastPoll.emplace(block.blockKey, FILETIME{0, 0});
        firstRecord.emplace(block.blockKey, static_cast<std::int32_t>(std::min<std::int64_t>(position, tagCount)));
        position += block.RegisterCount();

        std::uint16_t index = 0;
        QueryBlock::TagIterator tags(block);
        while (tags.Next()) {
            char name[kTagNameSize];
            tags.TagName(name, sizeof name);
            VARIANT initial;
            VariantInit(&initial);
            V_VT(&initial) = VT_I2;
            V_I2(&initial) = 0;
            loTagId id = 0;
            // The real-tag handle is never read back.
            if (loAddRealTag(service, &id, nullptr, name, 0, kReadable, &initial, 0, nullptr) != 0) {
                ThrowError(L"loAddRealTag");
            }
            tagIds.emplace(TagKey(block.blockKey, index), id);
            ++index;
        }
    }
}
