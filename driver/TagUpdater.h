// The driver object: publishes one toolkit tag per configured register and
// polls the query blocks into the toolkit's cache, each at its own period.
// Lives on the main thread only; the cache update is its one hand-over to
// the clients.
#pragma once

#include <array>
#include <cstdint>
#include <map>

#include "BlockValueBuffer.h"
#include "ModbusLink.h"
#include "TagModel.h"
#include "lightopc.h"

// How one device address fares on the line: its consecutive failed reads,
// and whether it is demoted, since the start of which pass.
struct DeviceStanding {
    std::int32_t failures = 0;
    bool demoted = false;
    std::int64_t demotedAt = 0;  // FILETIME ticks
};

class TagUpdater {
public:
    // One entry per 8-bit device address, so that a pass looks a device up
    // without allocating.
    static constexpr std::size_t kDeviceAddresses = 256;

    BlockValueBuffer blockValues;
    // Block key to the start of the pass whose read of the block last succeeded.
    std::map<std::uint32_t, FILETIME> lastPoll;
    // Device address to its standing; demotion is configured in config.
    std::array<DeviceStanding, kDeviceAddresses> devices{};
    TagConfig config;
    // Tag key (low 16 bits of the block key, shifted up, plus the tag's
    // index in its block) to the toolkit's tag id.
    std::map<std::uint32_t, loTagId> tagIds;
    // One record per tag plus one spare, so it is never empty.
    loTagValue *tagValues = nullptr;
    std::int32_t tagCount = 0;
    ModbusLink *link;
    loService *service = nullptr;
    // Block key to the record of the block's first tag: each block keeps its
    // own run of records, so a failed read sends every tag with its own last value.
    std::map<std::uint32_t, std::int32_t> firstRecord;

    explicit TagUpdater(ModbusLink *link) : link(link) {}
    ~TagUpdater();
    TagUpdater(const TagUpdater &) = delete;
    TagUpdater &operator=(const TagUpdater &) = delete;

    // Adds every tag of the configuration to the service, in file order, and
    // makes every block due. Throws CError.
    void PublishTags();
    // One pass over all blocks: reads the due ones and updates their tags.
    // A CError is logged per block and the pass goes on.
    void PollBlocks();
    ReadOutcome ReadBlock(QueryBlock &block);
    // Fills the block's records for time now; returns how many it wrote.
    std::int32_t FillTagValues(QueryBlock &block, const FILETIME &now);
    // Where the block's run of records begins.
    std::int32_t FirstRecord(const QueryBlock &block) const;

private:
    // Whether the device is demoted and its time out is not over at now.
    bool LeftOut(const DeviceStanding &device, std::int64_t now) const;
    // Counts a read of the device: demotes it after too many failures in a
    // row, restores it after a good read.
    void Account(std::uint8_t address, ReadOutcome outcome, std::int64_t now);
};

// The tag key of the index-th tag of the block with that key.
inline std::uint32_t TagKey(std::uint32_t blockKey, std::uint16_t index) {
    return ((blockKey & 0xFFFFu) << 16) + index;
}
