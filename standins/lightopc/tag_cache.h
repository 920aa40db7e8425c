// The service's tag cache: names, ids, types, access rights and the last value,
// timestamp, quality and error of every tag. One lock guards it all, so that a
// reader always sees a record as one update left it.
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

#include "lightopc.h"

class TagCache {
public:
    explicit TagCache(unsigned capacity) : capacity_(capacity) {}
    ~TagCache();
    TagCache(const TagCache &) = delete;
    TagCache &operator=(const TagCache &) = delete;

    // 0 or an errno-style code (EINVAL, EEXIST, ENOSPC); std::bad_alloc leaves the cache as it was.
    int Add(const char *name, loRealTag realTag, unsigned accessRights, VARIANT *initialValue, loTagId *id);
    // True when every record was applied; the good ones are applied regardless.
    bool Update(unsigned count, loTagValue *records);

    DWORD Count() const;
    HRESULT Info(DWORD index, loTagId *id, char *name, DWORD nameSize, VARTYPE *type, DWORD *accessRights) const;
    HRESULT Find(const char *name, loTagId *id) const;
    HRESULT Read(loTagId id, VARIANT *value, FILETIME *timestamp, WORD *quality, HRESULT *error) const;

private:
    struct Tag {
        Tag() { VariantInit(&value); }
        ~Tag() { VariantClear(&value); }
        Tag(const Tag &) = delete;
        Tag &operator=(const Tag &) = delete;

        std::string name;
        loRealTag realTag = nullptr;
        DWORD accessRights = 0;
        VARTYPE type = VT_EMPTY;
        // mutable: the Windows VariantCopy takes a non-const source.
        mutable VARIANT value;
        FILETIME timestamp{0, 0};
        WORD quality = loInitialQuality;
        HRESULT error = S_OK;
    };

    const unsigned capacity_;
    mutable std::mutex lock_;
    std::deque<Tag> tags_;  // a deque never moves its elements
    std::unordered_map<std::string, loTagId> byName_;
};

// Copies text into buffer (size bytes), always terminated when size > 0.
// S_FALSE when it had to be cut; a null buffer asks for nothing.
HRESULT CopyBounded(const std::string &text, char *buffer, DWORD size);
