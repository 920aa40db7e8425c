// An item of a group: a tag of the cache as one client sees it, with the
// client's handle, its active state and the type it asked for.
#pragma once

#include <cstdint>
#include <string>

#include "tag_cache.h"
#include "task_memory.h"

struct Item {
    OPCHANDLE server = 0;
    OPCHANDLE client = 0;
    loTagId tag = 0;
    std::string id;
    bool active = false;
    VARTYPE requested = VT_EMPTY;  // VT_EMPTY: the canonical type
    VARTYPE canonical = VT_EMPTY;
    DWORD accessRights = 0;
    // The tag's change count at the last data change sent; kNeverSent makes
    // the next one include the item.
    std::uint64_t sent = kNeverSent;
    static constexpr std::uint64_t kNeverSent = ~std::uint64_t{0};
    // Counts the marks below: a data change that read the cache before the
    // latest mark must not record what it sent over it.
    std::uint64_t marks = 0;

    // The next data change includes the item, whatever it sent before.
    void SendNextTime() {
        sent = kNeverSent;
        ++marks;
    }
};

// What the toolkit can do with a tag: values come only from the driver's
// cache updates, so nothing is ever writable through it.
inline DWORD GrantedRights(DWORD tagRights) {
    return tagRights & OPC_READABLE;
}

// S_OK when values of canonical can be handed out as requested, else OPC_E_BADTYPE.
HRESULT CheckRequestedType(VARTYPE requested, VARTYPE canonical);

// Looks up a client's item definition: the item with its tag filled in, or the
// OPC error for it (OPC_E_INVALIDITEMID, OPC_E_UNKNOWNITEMID, OPC_E_BADTYPE).
HRESULT ResolveItem(const TagCache &cache, const OPCITEMDEF &definition, Item *item);

// The tag's value as requested (VT_EMPTY: as it is), into a VARIANT the
// caller has initialised: S_OK or the conversion's failure (value left empty).
HRESULT ValueFor(VARTYPE requested, const VARIANT &value, VARIANT *out);

// Reads one cached record as an item wants it: the value in the requested
// type, its quality (out of service when asked: an inactive item or group read
// from the cache), timestamp, and the conversion's error or else the record's own.
void FillRecord(VARTYPE requested, const TagState &state, bool outOfService, VARIANT *value, WORD *quality,
                FILETIME *time, HRESULT *error);

// A fresh server handle: never 0 and never handed out twice in a process.
OPCHANDLE NewServerHandle();
