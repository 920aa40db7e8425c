#include "tag_cache.h"

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

// Stores an update's value as the tag's own type: false when it cannot be.
// A bad record without a value keeps the last value, so that a client still
// sees the tag's type.
bool StoreAsTagType(VARIANT *stored, VARTYPE type, const loTagValue &record) {
    VARIANT *given = const_cast<VARIANT *>(&record.tvValue);
    if (V_VT(given) == type) return SUCCEEDED(VariantCopy(stored, given));
    if (V_VT(given) == VT_EMPTY && (record.tvQuality & kQualityStatusMask) == 0) return true;
    VARIANT converted;
    VariantInit(&converted);
    if (FAILED(VariantChangeType(&converted, given, 0, type))) return false;
    VariantClear(stored);
    *stored = converted;
    return true;
}
}  // namespace

HRESULT CopyBounded(const std::string &text, char *buffer, DWORD size) {
    if (buffer == nullptr) return S_OK;
    if (size == 0) return text.empty() ? S_OK : S_FALSE;
    const std::size_t length = text.size() < size ? text.size() : size - 1;
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return length == text.size() ? S_OK : S_FALSE;
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
    std::lock_guard<std::mutex> held(lock_);
    for (unsigned k = 0; k < count; ++k) {
        loTagValue &record = records[k];
        if (record.tvTi == 0 || record.tvTi > tags_.size() || !Storable(&record.tvValue)) {
            all = false;
            continue;
        }
        Tag &tag = tags_[record.tvTi - 1];
        if (!StoreAsTagType(&tag.value, tag.type, record)) {
            all = false;
            continue;
        }
        tag.timestamp = record.tvTimestamp;
        tag.quality = static_cast<WORD>(record.tvQuality & 0xFFFF);
        tag.error = record.tvErrorCode;
    }
    return all;
}

DWORD TagCache::Count() const {
    std::lock_guard<std::mutex> held(lock_);
    return static_cast<DWORD>(tags_.size());
}

HRESULT TagCache::Info(DWORD index, loTagId *id, char *name, DWORD nameSize, VARTYPE *type, DWORD *accessRights) const {
    std::lock_guard<std::mutex> held(lock_);
    if (index >= tags_.size()) return E_INVALIDARG;
    const Tag &tag = tags_[index];
    if (id != nullptr) *id = index + 1;
    if (type != nullptr) *type = tag.type;
    if (accessRights != nullptr) *accessRights = tag.accessRights;
    return CopyBounded(tag.name, name, nameSize);
}

HRESULT TagCache::Find(const char *name, loTagId *id) const {
    if (name == nullptr) return E_INVALIDARG;
    std::lock_guard<std::mutex> held(lock_);
    const auto found = byName_.find(name);
    if (found == byName_.end()) return E_INVALIDARG;
    if (id != nullptr) *id = found->second;
    return S_OK;
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
