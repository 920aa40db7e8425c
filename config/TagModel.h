// The in-memory tag configuration: query blocks, their address entries, the
// counts derived from them, and the iterators that turn entries into tags.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class MarkupReader;

// A tag name is at most 32 characters; a run's prefix leaves room for digits.
constexpr std::size_t kTagNameSize = 33;
constexpr std::size_t kNamePrefixSize = 29;

// One register, published under its own name.
struct SingleReg {
    std::uint16_t addr;
    char name[kTagNameSize];

    void Parse(MarkupReader &reader);
};

// A run of registers, published as namePrefix followed by startIndex, startIndex + 1, ...
struct BlockOfRegs {
    std::uint16_t addrStart;
    std::uint16_t count;
    char namePrefix[kNamePrefixSize];
    std::uint16_t startIndex;

    void Parse(MarkupReader &reader);
};

struct AddressEntry {
    static constexpr std::int32_t kSingleReg = 1;
    static constexpr std::int32_t kBlockOfRegs = 2;

    std::int32_t selector;
    union {
        SingleReg singleReg;
        BlockOfRegs blockOfRegs;
    };
};

// Walks one AddressEntry: one tag for a single register, count tags for a run.
class AddrIterator {
public:
    explicit AddrIterator(const AddressEntry *entry = nullptr) : entry(entry) {}

    bool Next();
    void TagName(char *buffer, std::size_t size) const;

private:
    const AddressEntry *entry;
    std::uint16_t index = 0;
    bool started = false;
    bool finished = false;
};

// One Modbus read of consecutive holding registers from one device.
class QueryBlock {
public:
    // Keys come from one process-wide counter and identify a block for the
    // life of the process; copies keep the key.
    std::uint32_t blockKey;
    std::int32_t cachedRegCount;
    std::uint16_t deviceAddr = 0;
    std::vector<AddressEntry> lstAddress;
    std::int32_t millisecondPeriod;

    QueryBlock() { Reset(); }

    // Takes a new key and forgets the entries; deviceAddr stays.
    void Reset();
    std::uint16_t RegisterCount();
    std::uint16_t StartAddress() const;
    void Parse(MarkupReader &reader);

    class TagIterator {
    public:
        explicit TagIterator(const QueryBlock &block)
            : current(block.lstAddress.begin()), end(block.lstAddress.end()) {}

        bool Next();
        void TagName(char *buffer, std::size_t size) const;

    private:
        std::vector<AddressEntry>::const_iterator current;
        std::vector<AddressEntry>::const_iterator end;
        bool started = false;
        AddrIterator address;
    };
};

class TagConfig {
public:
    // How long a demoted device is left out: the default and the bounds.
    static constexpr std::int32_t kDefaultDemoteForMs = 10000;
    static constexpr std::int32_t kShortestDemoteForMs = 1000;
    static constexpr std::int32_t kLongestDemoteForMs = 3600000;

    std::int32_t cachedTagCount = -1;
    std::vector<QueryBlock> blocks;
    // After how many consecutive failed reads a device is left out (0: never),
    // and for how long.
    std::int32_t demoteAfter = 0;
    std::int32_t demoteForMs = kDefaultDemoteForMs;

    std::int32_t TotalTagCount();
    // The whole file's text; the reader runs over this copy.
    void Parse(std::string text);
};

class BlockIterator {
public:
    explicit BlockIterator(TagConfig &config) : current(config.blocks.begin()), end(config.blocks.end()) {}

    bool Next();
    QueryBlock &Current() const;

private:
    std::vector<QueryBlock>::iterator current;
    std::vector<QueryBlock>::iterator end;
    bool started = false;
};
