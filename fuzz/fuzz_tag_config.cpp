// Feeds arbitrary bytes to the configuration loader, then walks whatever
// loaded the way publication and polling do: every input must end in a
// configuration or a CError, never in a crash, a leak or undefined behaviour.
#include <cstddef>
#include <cstdint>
#include <string>

#include "CError.h"
#include "ConfigNumbers.h"
#include "TagModel.h"

namespace {

void Walk(TagConfig &config) {
    try {
        config.TotalTagCount();
    } catch (const CError &) {
    }
    BlockIterator blocks(config);
    while (blocks.Next()) {
        QueryBlock &block = blocks.Current();
        try {
            block.RegisterCount();
            block.StartAddress();
        } catch (const CError &) {
        }
        QueryBlock::TagIterator tags(block);
        char name[kTagNameSize];
        while (tags.Next()) tags.TagName(name, sizeof name);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    ParseAddress(text);
    ParseDecimal(text);

    TagConfig config;
    try {
        config.Parse(text);
    } catch (const CError &) {
        // What loaded before the error is kept and must be as sound.
    }
    Walk(config);
    TagConfig copy;
    copy = config;
    Walk(copy);
    return 0;
}
