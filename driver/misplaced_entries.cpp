#include "misplaced_entries.h"

#include <cstdint>

#include "log_handle.h"

namespace {

std::uint16_t ConfiguredAddress(const AddressEntry &entry) {
    return entry.selector == AddressEntry::kSingleReg ? entry.singleReg.addr : entry.blockOfRegs.addrStart;
}

std::uint16_t RegisterSpan(const AddressEntry &entry) {
    return entry.selector == AddressEntry::kSingleReg ? 1 : entry.blockOfRegs.count;
}

}  // namespace

void log_misplaced_entries(TagConfig &config) {
    BlockIterator blocks(config);
    while (blocks.Next()) {
        const QueryBlock &block = blocks.Current();
        if (block.lstAddress.empty()) continue;
        // Counted in 32 bits: an entry past register 65535 is read from no
        // register at all, which is worth a warning too.
        std::uint32_t register_read = ConfiguredAddress(block.lstAddress.front());
        for (const AddressEntry &entry : block.lstAddress) {
            const std::uint32_t configured = ConfiguredAddress(entry);
            if (configured != register_read) {
                char name[kTagNameSize];
                AddrIterator tag(&entry);
                tag.Next();
                tag.TagName(name, sizeof name);
                unilog_WARNING(log_handle, 0, "entry <%s> is configured at register %u but is read from register %u",
                               name, static_cast<unsigned>(configured), static_cast<unsigned>(register_read));
            }
            register_read += RegisterSpan(entry);
        }
    }
}
