// The tag configuration grammar: one Parse per element, each reading its own
// start tag, attributes, content and end tag from the reader.
#include <cstring>
#include <type_traits>

#include "CError.h"
#include "ConfigNumbers.h"
#include "MarkupReader.h"
#include "TagModel.h"

namespace {

// Appending a block moves it, and a growing list moves the blocks it holds
// instead of copying their entries: loading stays linear in the file's size.
static_assert(std::is_nothrow_move_constructible<QueryBlock>::value, "blocks must move cheaply");

// Tag keys keep only the low 16 bits of a block key, so the keys of one
// configuration must lie within this distance of each other.
constexpr std::uint32_t kBlockKeySpan = 0xFFFF;

constexpr std::int32_t kMaxDeviceAddr = 255;

bool IsStart(const MarkupTag &tag, const char *name) {
    return tag.kind == MarkupTag::kStart && tag.name == name;
}
bool IsEnd(const MarkupTag &tag, const char *name) {
    return tag.kind == MarkupTag::kEnd && tag.name == name;
}

const std::string *Find(const MarkupTag &tag, const char *attribute) {
    const auto found = tag.attributes.find(attribute);
    return found == tag.attributes.end() ? nullptr : &found->second;
}

// A name is never cut short, neither by its field (size includes the
// terminator) nor by a zero byte: such a text is refused.
void StoreText(char *field, std::size_t size, const std::string *text, const wchar_t *tooLong,
               const wchar_t *holdsNul) {
    if (text != nullptr && text->size() >= size) ThrowError(tooLong);
    if (text != nullptr && text->find('\0') != std::string::npos) ThrowError(holdsNul);
    std::memset(field, 0, size);
    if (text != nullptr) std::memcpy(field, text->data(), text->size());
}

std::size_t DecimalDigits(std::uint32_t number) {
    std::size_t digits = 1;
    while (number >= 10) {
        number /= 10;
        ++digits;
    }
    return digits;
}

// The root's other attributes stay ignored, so that older servers load files
// that carry these and this one loads files without them.
void ParseDemotion(const MarkupTag &root, TagConfig &config) {
    const std::string *after = Find(root, "demoteAfter");
    config.demoteAfter = after != nullptr ? ParseDecimal(*after) : 0;
    if (config.demoteAfter < 0) ThrowError(L"demoteAfter is negative");
    const std::string *period = Find(root, "demoteForMs");
    config.demoteForMs = period != nullptr ? ParseDecimal(*period) : TagConfig::kDefaultDemoteForMs;
    if (config.demoteForMs < TagConfig::kShortestDemoteForMs || config.demoteForMs > TagConfig::kLongestDemoteForMs) {
        ThrowError(L"demoteForMs out of range 1000 to 3600000");
    }
}

}  // namespace

void TagConfig::Parse(std::string text) {
    cachedTagCount = -1;
    blocks.clear();
    demoteAfter = 0;
    demoteForMs = kDefaultDemoteForMs;

    MarkupReader reader(text.data(), text.data() + text.size());
    MarkupTag tag = reader.ReadTag();
    if (!IsStart(tag, "TagConfig")) ThrowError(L"wrong config syntax");
    ParseDemotion(tag, *this);
    if (tag.closed) return;

    tag = reader.ReadTag();
    while (IsStart(tag, "QueryBlock")) {
        reader.Rewind();
        QueryBlock block;
        block.Parse(reader);
        // Blocks whose keys agree in the low 16 bits would share tag keys, and
        // one block's values would reach the other's tags.
        if (!blocks.empty() && block.blockKey - blocks.front().blockKey > kBlockKeySpan) {
            ThrowError(L"too many QueryBlocks");
        }
        blocks.push_back(std::move(block));
        tag = reader.ReadTag();
    }

    // Nothing after the root's end tag is read.
    reader.Rewind();
    tag = reader.ReadTag();
    if (!IsEnd(tag, "TagConfig")) ThrowError(L"not closed TagConfig");
}

void QueryBlock::Parse(MarkupReader &reader) {
    Reset();
    MarkupTag tag = reader.ReadTag();
    if (!IsStart(tag, "QueryBlock")) ThrowError(L"wrong QueryBlock syntax");
    if (tag.closed) ThrowError(L"empty QueryBlock");

    const std::string *period = Find(tag, "millisecondPeriod");
    millisecondPeriod = period != nullptr ? ParseDecimal(*period) : 0;
    const std::string *address = Find(tag, "deviceAddr");
    if (address == nullptr) ThrowError(L"deviceAddr is not optional");
    // The request carries the address in one byte: a larger one would poll
    // another device.
    const std::int32_t device = ParseDecimal(*address);
    if (device < 0 || device > kMaxDeviceAddr) ThrowError(L"deviceAddr out of range 0 to 255");
    deviceAddr = static_cast<std::uint16_t>(device);

    tag = reader.ReadTag();
    for (;;) {
        AddressEntry entry{};
        if (IsStart(tag, "SingleReg")) {
            reader.Rewind();
            entry.selector = AddressEntry::kSingleReg;
            entry.singleReg.Parse(reader);
        } else if (IsStart(tag, "BlockOfRegs")) {
            reader.Rewind();
            entry.selector = AddressEntry::kBlockOfRegs;
            entry.blockOfRegs.Parse(reader);
        } else {
            break;
        }
        lstAddress.push_back(entry);
        tag = reader.ReadTag();
    }

    reader.Rewind();
    tag = reader.ReadTag();
    if (!IsEnd(tag, "QueryBlock")) ThrowError(L"not closed QueryBlock");
    if (lstAddress.empty()) ThrowError(L"empty QueryBlock");
}

void SingleReg::Parse(MarkupReader &reader) {
    const MarkupTag tag = reader.ReadTag();
    if (!IsStart(tag, "SingleReg")) ThrowError(L"wrong SingleReg syntax");

    const std::string *address = Find(tag, "addr");
    addr = address != nullptr ? ParseAddress(*address) : 0;
    StoreText(name, kTagNameSize, Find(tag, "name"), L"SingleReg name too long",
              L"SingleReg name holds a NUL character");

    if (!tag.closed && !IsEnd(reader.ReadTag(), "SingleReg")) ThrowError(L"SingleReg tag not closed");
}

void BlockOfRegs::Parse(MarkupReader &reader) {
    const MarkupTag tag = reader.ReadTag();
    if (!IsStart(tag, "BlockOfRegs")) ThrowError(L"wrong BlockOfRegs syntax");

    const std::string *address = Find(tag, "addrStart");
    addrStart = address != nullptr ? ParseAddress(*address) : 0;
    const std::string *number = Find(tag, "count");
    count = number != nullptr ? static_cast<std::uint16_t>(ParseDecimal(*number)) : 0;
    number = Find(tag, "startIndex");
    startIndex = number != nullptr ? static_cast<std::uint16_t>(ParseDecimal(*number)) : 0;
    StoreText(namePrefix, kNamePrefixSize, Find(tag, "namePrefix"), L"BlockOfRegs namePrefix too long",
              L"BlockOfRegs namePrefix holds a NUL character");

    // A run of no registers would still be iterated as one tag, and every
    // later tag of its block would receive the wrong register.
    if (count == 0) ThrowError(L"BlockOfRegs count is zero");
    const std::uint32_t lastNumber = std::uint32_t{startIndex} + count - 1;
    if (std::strlen(namePrefix) + DecimalDigits(lastNumber) >= kTagNameSize) {
        ThrowError(L"BlockOfRegs tag name too long");
    }

    if (!tag.closed && !IsEnd(reader.ReadTag(), "BlockOfRegs")) ThrowError(L"BlockOfRegs tag not closed");
}
