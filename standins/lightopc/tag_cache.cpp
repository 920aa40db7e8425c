#include "tag_cache.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {
// VT_BYREF: the value would point into the caller's memory; a cache cannot keep that.
constexpr VARTYPE kByReference = 0x4000;

bool Storable(const VARIANT *value) {
    return (V_VT(value) & kByReference) == 0;
}

// The OPC quality's two high bits: 00 bad.
constexpr DWORD kQualityStatusMask = 0xC0;

// The bytes of the value field that a type uses: what a caller left in the
// others is no change.
std::size_t ValueBytes(VARTYPE type) {
    switch (type) {
        case VT_EMPTY:
        case VT_NULL:
            return 0;
        case VT_I1:
        case VT_UI1:
            return 1;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            return 2;
        case VT_R8:
        case VT_DATE:
        case VT_I8:
        case VT_UI8:
            return 8;
        default:
            return 4;
    }
}

bool SameValue(const VARIANT &a, const VARIANT &b) {
    if (V_VT(&a) != V_VT(&b)) return false;
    if (V_VT(&a) != VT_BSTR) return std::memcmp(&a.llVal, &b.llVal, ValueBytes(V_VT(&a))) == 0;
    const UINT length = SysStringByteLen(a.bstrVal);
    return length == SysStringByteLen(b.bstrVal) && std::memcmp(a.bstrVal, b.bstrVal, length) == 0;
}

// Stores an update's value as the tag's own type: false when it cannot be.
// A bad record without a value keeps the last value, so that a client still
// sees the tag's type. *changed tells whether the value is another one now.
bool StoreAsTagType(VARIANT *stored, VARTYPE type, const loTagValue &record, bool *changed) {
    VARIANT *given = const_cast<VARIANT *>(&record.tvValue);
    *changed = false;
    if (V_VT(given) == VT_EMPTY && type != VT_EMPTY && (record.tvQuality & kQualityStatusMask) == 0) return true;
    VARIANT converted;
    VariantInit(&converted);
    if (FAILED(V_VT(given) == type ? VariantCopy(&converted, given) : VariantChangeType(&converted, given, 0, type)))
        return false;
    *changed = !SameValue(*stored, converted);
    VariantClear(stored);
    *stored = converted;
    return true;
}
}  // namespace

TagCache::TagCache(unsigned capacity, DWORD refreshRate) : capacity_(capacity), refreshRate_(refreshRate) {
    GetSystemTimeAsFileTime(&started_);
}

TagCache::~TagCache() = default;

int TagCache::Add(const char *name, loRealTag realTag, unsigned accessRights, VARIANT *initialValue, loTagId *id) {
    if (name == nullptr || name[0] == '\0' || initialValue == nullptr || id == nullptr) return EINVAL;
    if (!Storable(initialValue)) return EINVAL;
    std::lock_guard<std::mutex> held(lock_);
    if (tags_.size() >= capacity_) return ENOSPC;
    if (byName_.count(name) != 0) return EEXIST;
    tags_.emplace_back();
    Tag &tag = tags_.back();
    if (FAILED(VariantCopy(&tag.value, initialValue))) {
        tags_.pop_back();
        return EINVAL;
    }
    tag.realTag = realTag;
    tag.accessRights = accessRights;
    tag.type = V_VT(initialValue);
    const loTagId assigned = static_cast<loTagId>(tags_.size());
    try {
        tag.name = name;
        byName_.emplace(tag.name, assigned);
    } catch (...) {
        tags_.pop_back();
        throw;
    }
    *id = assigned;
    return 0;
}

bool TagCache::Update(unsigned count, loTagValue *records) {
    bool all = true;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    std::lock_guard<std::mutex> held(lock_);
    lastUpdate_ = now;
    for (unsigned k = 0; k < count; ++k) {
        loTagValue &record = records[k];
        if (record.tvTi == 0 || record.tvTi > tags_.size() || !Storable(&record.tvValue)) {
            all = false;
            continue;
        }
        Tag &tag = tags_[record.tvTi - 1];
        bool changed = false;
        if (!StoreAsTagType(&tag.value, tag.type, record, &changed)) {
            all = false;
            continue;
        }
        const WORD quality = static_cast<WORD>(record.tvQuality & 0xFFFF);
        if (changed || quality != tag.quality) {
            ++tag.changes;
            for (const Tag::Watch &watch : tag.watchers) watch.watcher->TagChanged();
        }
        tag.timestamp = record.tvTimestamp;
        tag.quality = quality;
        tag.error = record.tvErrorCode;
    }
    return all;
}

void TagCache::Watch(loTagId id, TagWatcher *watcher) {
    std::lock_guard<std::mutex> held(lock_);
    if (id == 0 || id > tags_.size()) return;
    Tag &tag = tags_[id - 1];
    const auto found = tag.WatchOf(watcher);
    if (found != tag.watchers.end())
        ++found->count;
    else
        tag.watchers.push_back({watcher, 1});
}

void TagCache::Unwatch(loTagId id, TagWatcher *watcher) {
    std::lock_guard<std::mutex> held(lock_);
    if (id == 0 || id > tags_.size()) return;
    Tag &tag = tags_[id - 1];
    const auto found = tag.WatchOf(watcher);
    if (found != tag.watchers.end() && --found->count == 0) tag.watchers.erase(found);
}

HRESULT TagCache::Read(loTagId id, VARIANT *value, FILETIME *timestamp, WORD *quality, HRESULT *error) const {
    std::lock_guard<std::mutex> held(lock_);
    if (id == 0 || id > tags_.size()) return E_INVALIDARG;
    const Tag &tag = tags_[id - 1];
    if (value != nullptr) {
        const HRESULT copied = VariantCopy(value, &tag.value);
        if (FAILED(copied)) return copied;
    }
    if (timestamp != nullptr) *timestamp = tag.timestamp;
    if (quality != nullptr) *quality = tag.quality;
    if (error != nullptr) *error = tag.error;
    return S_OK;
}

bool TagCache::Lookup(const std::string &name, TagEntry *entry) const {
    std::lock_guard<std::mutex> held(lock_);
    const auto found = byName_.find(name);
    if (found == byName_.end()) return false;
    const Tag &tag = tags_[found->second - 1];
    *entry = TagEntry{found->second, tag.name, tag.type, tag.accessRights};
    return true;
}

std::vector<TagEntry> TagCache::List() const {
    std::lock_guard<std::mutex> held(lock_);
    std::vector<TagEntry> entries;
    entries.reserve(tags_.size());
    loTagId id = 0;
    for (const Tag &tag : tags_) entries.push_back(TagEntry{++id, tag.name, tag.type, tag.accessRights});
    return entries;
}

void TagCache::Visit(const loTagId *ids, std::size_t count,
                     const std::function<void(std::size_t, const TagState &)> &visit) const {
    std::lock_guard<std::mutex> held(lock_);
    for (std::size_t k = 0; k < count; ++k) {
        if (ids[k] == 0 || ids[k] > tags_.size()) continue;
        const Tag &tag = tags_[ids[k] - 1];
        visit(k, TagState{tag.value, tag.timestamp, tag.quality, tag.error, tag.changes});
    }
}

FILETIME TagCache::LastUpdate() const {
    std::lock_guard<std::mutex> held(lock_);
    return lastUpdate_;
}
