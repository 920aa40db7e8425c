// One polling pass: read the due blocks and hand their tags to the cache.
#include <algorithm>
#include <cstdio>

#include "CError.h"
#include "TagUpdater.h"
#include "log_handle.h"
#include "pass_interrupt.h"
#include "poll_clock.h"

namespace {

constexpr WORD kQualityGood = 0xC0;
constexpr WORD kQualityCommFailure = 0x18;
constexpr std::int64_t kTicksPerMs = 10000;  // FILETIME counts 100 ns

std::int64_t Ticks(const FILETIME &time) {
    return static_cast<std::int64_t>((std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime);
}

// A period of zero or less asks for every pass; a positive one is honoured
// exactly however long, and after the clock was set back the block waits
// until its period has passed again.
bool IsDue(std::int32_t periodMs, const FILETIME &last, const FILETIME &now) {
    if (periodMs <= 0) return true;
    std::int64_t elapsed = 0;
    // Only a clock beyond any real date could overflow: such a block waits.
    if (__builtin_sub_overflow(Ticks(now), Ticks(last), &elapsed)) return false;
    return elapsed >= periodMs * kTicksPerMs;
}

}  // namespace

void TagUpdater::PollBlocks() {
    FILETIME now;
    poll_clock(&now);
    const std::int64_t nowTicks = Ticks(now);

    BlockIterator blocks(config);
    while (blocks.Next() && !pass_interrupted()) {
        QueryBlock &block = blocks.Current();
        try {
            const auto last = lastPoll.find(block.blockKey);
            const FILETIME never{0, 0};
            if (!IsDue(block.millisecondPeriod, last != lastPoll.end() ? last->second : never, now)) continue;
            // The loader keeps addresses within 8 bits.
            const auto address = static_cast<std::uint8_t>(block.deviceAddr);
            // Its tags keep their last value and quality, and print nothing.
            if (LeftOut(devices[address], nowTicks)) continue;

            const ReadOutcome outcome = ReadBlock(block);
            const bool ok = outcome == ReadOutcome::kGood;
            Account(address, outcome, nowTicks);
            const std::int32_t written = FillTagValues(block, now);
            // The records written: never more than the block's own, never past the array.
            const auto count = static_cast<unsigned>(written);
            if (loCacheUpdate(service, count, tagValues + FirstRecord(block), 0) == 0) {
                std::printf("loCacheUpdate failed");
            }
            if (ok && last != lastPoll.end()) last->second = now;
        } catch (const CError &error) {
            unilog_ERROR(log_handle, 0, "%s", error.narrowMessage);
        }
    }
}

ReadOutcome TagUpdater::ReadBlock(QueryBlock &block) {
    const std::uint16_t count = block.RegisterCount();
    const std::uint16_t start = block.StartAddress();
    std::uint16_t registers[BlockValueBuffer::kEntries];
    const ReadOutcome outcome = link->Read(static_cast<std::uint8_t>(block.deviceAddr), start, count, registers);
    if (outcome == ReadOutcome::kGood) {
        blockValues.Store(registers, count);
    } else {
        blockValues.valid = false;
    }
    return outcome;
}

bool TagUpdater::LeftOut(const DeviceStanding &device, std::int64_t now) const {
    if (!device.demoted) return false;
    // A clock set back, or one beyond any real date, ends the time out
    // rather than stretching it.
    std::int64_t since = 0;
    if (__builtin_sub_overflow(now, device.demotedAt, &since)) return false;
    return since >= 0 && since < config.demoteForMs * kTicksPerMs;
}

void TagUpdater::Account(std::uint8_t address, ReadOutcome outcome, std::int64_t now) {
    DeviceStanding &device = devices[address];
    if (outcome == ReadOutcome::kGood) {
        if (device.demoted) unilog_MESSAGE(log_handle, 0, "device %u answers again", unsigned{address});
        device = DeviceStanding{};
        return;
    }
    // A port that cannot be used says nothing about the device behind it.
    if (outcome != ReadOutcome::kDeviceFailed) return;
    if (device.failures < config.demoteAfter) ++device.failures;
    if (config.demoteAfter <= 0 || device.failures < config.demoteAfter) return;
    // A failed probe starts another period, without a word in the log.
    if (!device.demoted) {
        unilog_WARNING(log_handle, 0, "device %u demoted for %d ms after %d failed reads", unsigned{address},
                       config.demoteForMs, device.failures);
    }
    device.demoted = true;
    device.demotedAt = now;
}

std::int32_t TagUpdater::FillTagValues(QueryBlock &block, const FILETIME &now) {
    const std::int32_t start = FirstRecord(block);
    // The block's records end where the next block's begin; the last block's
    // at tagCount, which keeps every write inside the array.
    const std::int32_t room = std::max<std::int32_t>(0, tagCount - start);
    const std::int32_t limit = std::min<std::int32_t>(room, block.RegisterCount());

    std::int32_t k = 0;
    QueryBlock::TagIterator tags(block);
    while (k < limit && tags.Next()) {
        loTagValue &record = tagValues[start + k];
        const auto id = tagIds.find(TagKey(block.blockKey, static_cast<std::uint16_t>(k)));
        record.tvTi = id != tagIds.end() ? id->second : 0;
        if (blockValues.valid) {
            VariantCopy(&record.tvValue, &blockValues.buffer[k]);
            record.tvQuality = kQualityGood;
        } else {
            record.tvQuality = kQualityCommFailure;
        }
        record.tvErrorCode = 0;
        record.tvTimestamp = now;
        ++k;
    }
    return k;
}

std::int32_t TagUpdater::FirstRecord(const QueryBlock &block) const {
    const auto first = firstRecord.find(block.blockKey);
    return first != firstRecord.end() ? first->second : 0;
}
