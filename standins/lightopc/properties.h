// The standard properties every tag has (IOPCItemProperties and IOPCBrowse).
#pragma once

#include "tag_cache.h"

struct Property {
    DWORD id;
    const char *description;
    VARTYPE type;
};

// A tag's cached record, as its properties show it.
struct TagRecord {
    const VARIANT &value;
    FILETIME timestamp;
    WORD quality;
};

// The property with this id: null when a tag has none such.
const Property *FindProperty(DWORD id);
// Every property a tag has, in their order; *count of them.
const Property *AllProperties(DWORD *count);
// Property id's value for tag into out (initialised by the caller): S_OK,
// OPC_E_INVALID_PID, or the copy's failure. scanRate: the driver's rate in ms.
HRESULT PropertyValue(DWORD id, const TagEntry &tag, const TagRecord &record, DWORD scanRate, VARIANT *out);
