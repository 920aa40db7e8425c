// Reads by maximum age (IOPCItemIO::Read, IOPCSyncIO2::ReadMaxAge): the values
// of tags in the four out arrays those calls hand back.
#pragma once

#include <vector>

#include "tag_cache.h"

// A value younger than its item's maximum age comes from the cache; an older
// one, or any with a maximum age of 0, is a device read, which this server
// answers from the cache too, as it does OPC_DS_DEVICE: the polling pass keeps
// the cache as current as the line allows, and nothing else knows the
// instrument's values. 0xFFFFFFFF accepts any age. So every maximum age reads
// the cache, whatever the active state of items and groups.
// One item of such a read: its tag in the requested type, or (tag 0) the error
// that refused it already.
struct AgedRead {
    loTagId tag;
    VARTYPE requested;
    HRESULT error;
};

// Fills the four arrays in task memory (all or none): S_OK, S_FALSE when an
// item failed, or E_OUTOFMEMORY.
HRESULT ReadByAge(const TagCache &cache, const std::vector<AgedRead> &items, VARIANT **values, WORD **qualities,
                  FILETIME **times, HRESULT **errors);

// Clears the four out pointers of such a read and checks its arguments.
HRESULT StartAgedRead(DWORD count, const void *input, const DWORD *maxAges, VARIANT **values, WORD **qualities,
                      FILETIME **times, HRESULT **errors);
