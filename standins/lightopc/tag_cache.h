// The service's tag cache: names, ids, types, access rights and the last value,
// timestamp, quality and error of every tag. One lock guards it all, so that a
// reader always sees a record as one update left it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "lightopc.h"

// A tag's last record as a reader sees it under the cache's lock. changes
// counts the updates that changed its value or quality: a subscriber that
// remembers the count knows whether there is anything new.
struct TagState {
    const VARIANT &value;
    FILETIME timestamp;
    WORD quality;
    HRESULT error;
    std::uint64_t changes;
};

// Who wants to hear of a tag's changes: a subscribed group. Told under the
// cache's lock, on the thread that updates the cache, so it must return at
// once, allocate nothing, take no client's lock and wait for no client.
class TagWatcher {
public:
    virtual void TagChanged() = 0;

protected:
    ~TagWatcher() = default;
};

// What a browsing client sees of a tag.
struct TagEntry {
    loTagId id;
    std::string name;
    VARTYPE type;
    DWORD accessRights;
};

class TagCache {
public:
    // refreshRate: the rate in ms at which the driver brings new values.
    TagCache(unsigned capacity, DWORD refreshRate);
    ~TagCache();
    TagCache(const TagCache &) = delete;
    TagCache &operator=(const TagCache &) = delete;

    // 0 or an errno-style code (EINVAL, EEXIST, ENOSPC); std::bad_alloc leaves the cache as it was.
    int Add(const char *name, loRealTag realTag, unsigned accessRights, VARIANT *initialValue, loTagId *id);
    // True when every record was applied; the good ones are applied regardless.
    // Tells the watchers of every tag whose value or quality it changed.
    bool Update(unsigned count, loTagValue *records);
    // Watches are counted: a watcher that watches a tag twice (two items of
    // one tag) is told once per change and let go of one watch per Unwatch,
    // so a group with thousands of items of one tag costs the update and
    // its removal no more than a group with one. Watch throws (out of memory) with nothing changed; once Unwatch has
    // returned, that watch is told nothing more, not even by an update under way.
    void Watch(loTagId id, TagWatcher *watcher);
    void Unwatch(loTagId id, TagWatcher *watcher);

    HRESULT Read(loTagId id, VARIANT *value, FILETIME *timestamp, WORD *quality, HRESULT *error) const;
    // The tag named name: false when there is none.
    bool Lookup(const std::string &name, TagEntry *entry) const;
    std::vector<TagEntry> List() const;
    // Calls visit(k, state) for ids[k] (k < count) under one hold of the lock,
    // so that the records form one consistent picture; unknown ids are skipped.
    void Visit(const loTagId *ids, std::size_t count,
               const std::function<void(std::size_t, const TagState &)> &visit) const;
    // When the last update arrived: zero before the first.
    FILETIME LastUpdate() const;
    DWORD RefreshRate() const { return refreshRate_; }
    // When the service was created.
    FILETIME StartTime() const { return started_; }

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
        std::uint64_t changes = 0;
        struct Watch {
            TagWatcher *watcher;
            std::size_t count;
        };
        std::vector<Watch> watchers;
        std::vector<Watch>::iterator WatchOf(TagWatcher *watcher) {
            return std::find_if(watchers.begin(), watchers.end(),
                                [watcher](const Watch &watch) { return watch.watcher == watcher; });
        }
    };

    const unsigned capacity_;
    const DWORD refreshRate_;
    FILETIME started_{0, 0};
    FILETIME lastUpdate_{0, 0};
    mutable std::mutex lock_;
    std::deque<Tag> tags_;  // a deque never moves its elements
    std::unordered_map<std::string, loTagId> byName_;
};
