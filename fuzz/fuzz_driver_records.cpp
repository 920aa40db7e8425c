// Loads an arbitrary configuration, publishes it to the toolkit and fills
// every block's value records after good and failed reads, as a pass does:
// whatever the configuration, every write stays inside the records and every
// cache update inside the array.
#include <cstddef>
#include <cstdint>
#include <string>

#include "CError.h"
#include "TagUpdater.h"
#include "misplaced_entries.h"

namespace {
// Room for every tag of any input that is worth the time.
constexpr unsigned kMostTags = 20000;
constexpr unsigned kServiceRoom = 4 * kMostTags;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    TagUpdater updater(nullptr);
    try {
        updater.config.Parse(text);
    } catch (const CError &) {
        return 0;
    }
    // Runs of 65,535 registers are valid but slow to publish: keep inputs
    // quick. Counted by entries, since register counts wrap at 16 bits.
    std::uint64_t tags = 0;
    for (const QueryBlock &block : updater.config.blocks) {
        for (const AddressEntry &entry : block.lstAddress) {
            tags += entry.selector == AddressEntry::kBlockOfRegs ? entry.blockOfRegs.count + 1u : 1u;
        }
    }
    if (tags > kMostTags) return 0;
    log_misplaced_entries(updater.config);

    const loDriver driver{};
    loService *service = nullptr;
    if (loServiceCreate(&service, &driver, kServiceRoom) != 0) return 0;
    updater.service = service;
    try {
        updater.PublishTags();
        const std::uint16_t registers[BlockValueBuffer::kEntries] = {};
        for (bool good : {true, false}) {
            BlockIterator blocks(updater.config);
            while (blocks.Next()) {
                QueryBlock &block = blocks.Current();
                updater.blockValues.valid = false;
                if (good && block.RegisterCount() <= BlockValueBuffer::kEntries) {
                    updater.blockValues.Store(registers, block.RegisterCount());
                }
                const std::int32_t written = updater.FillTagValues(block, FILETIME{1, 1});
                const auto start = updater.firstRecord.at(block.blockKey);
                if (start + written > updater.tagCount) __builtin_trap();
                loCacheUpdate(service, static_cast<unsigned>(written), updater.tagValues + start, 0);
            }
        }
    } catch (const CError &) {
    }
    loServiceDestroy(service);
    return 0;
}
