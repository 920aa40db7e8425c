// The OPC toolkit's interface: the service with its tag cache, the client
// objects that OPC clients talk to, and the server's COM registration.
// Results: 0 means done, except loCacheUpdate (non-zero means done).
#pragma once

#include "platform/clock.h"
#include "platform/com.h"
#include "platform/variant.h"

struct loService;

// A client object is a COM object: the server queries it for the interface
// that an OPC client asked for, and releases the reference creation returned.
struct loClient : IUnknown {
protected:
    ~loClient() = default;
};
using loTagId = DWORD;
using loRealTag = void *;

// The driver descriptor, in the toolkit's 76-byte layout.
struct loDriver {
    DWORD ldReserved0;
    DWORD ldRefreshRate;    // byte 4: the cache's refresh rate in ms
    DWORD ldReserved1[2];
    DWORD ldFlags;          // byte 16
    BYTE ldBranchSep;       // byte 20: 0, a flat name space
    BYTE ldReserved2[55];
};
static_assert(sizeof(loDriver) == 76, "the driver descriptor is 76 bytes");

// The vendor record handed over with every client.
struct loVendorInfo {
    WORD lviMajor;
    WORD lviMinor;
    WORD lviBuild;
    WORD lviReserved;
    const char *lviInfo;
};

// One cache update: records lie back to back.
struct loTagValue {
    VARIANT tvValue;
    FILETIME tvTimestamp;
    HRESULT tvErrorCode;
    DWORD tvQuality;  // the 16-bit OPC quality, written with its two padding bytes
    loTagId tvTi;
};

using loReleaseCallback = void (*)(void *argument, loService *service, loClient *client);

int loServerRegister(const CLSID *clsid, const char *progId, const char *description, const char *exePath,
                     int flags);
int loServerUnregister(const CLSID *clsid, const char *progId);

int loServiceCreate(loService **service, const loDriver *driver, unsigned tagCount);
int loServiceDestroy(loService *service);

int loAddRealTag(loService *service, loTagId *tagId, loRealTag realTag, const char *name, int flags,
                 unsigned accessRights, VARIANT *initialValue, int reserved1, void *reserved2);
int loCacheUpdate(loService *service, unsigned count, loTagValue *values, int flags);

int loClientCreate_agg(loService *service, loClient **client, IUnknown *outer, IUnknown **inner, int flags,
                       const loVendorInfo *vendor, loReleaseCallback release, void *releaseArgument);
int loSetState(loService *service, loClient *client, int operation, int state, const char *reason);
