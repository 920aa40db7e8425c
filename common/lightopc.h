// The OPC toolkit's interface: the service with its tag cache, the client
// objects that OPC clients talk to, and the server's COM registration.
// Results: 0 means done, except loCacheUpdate (non-zero means done). Failures
// are errno-style codes (EINVAL, EEXIST, ENOSPC, ENOENT, ...) or, for the
// Windows registry, the system's error number.
//
// Every call is thread-safe. A service handle that was destroyed (or never
// created) is refused, never dereferenced: service handles, like the OPC
// group and item handles, are numbers never reused within a process. A client
// handle stands for its client object (its IUnknown calls reach the object)
// while the object lives, and names no other client ever after.
#pragma once

#include "platform/clock.h"
#include "platform/com.h"
#include "platform/variant.h"

struct loService;

// A client object is a COM object, an OPC Data Access 2.05a server (see
// opc_da.h): the server queries it for the interface that an OPC client asked
// for, and releases the reference creation returned.
struct loClient : IUnknown {
protected:
    ~loClient() = default;
};
using loTagId = DWORD;
using loRealTag = void *;

// The driver descriptor, in the toolkit's 76-byte layout.
struct loDriver {
    DWORD ldReserved0;
    DWORD ldRefreshRate;  // byte 4: the cache's refresh rate in ms
    DWORD ldReserved1[2];
    DWORD ldFlags;     // byte 16
    BYTE ldBranchSep;  // byte 20: 0, a flat name space
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

// Called once per client object, on the thread of its final release, before
// the object is freed. service is null when the service was destroyed first.
using loReleaseCallback = void (*)(void *argument, loService *service, loClient *client);

// The quality of a tag until its first cache update: bad, not connected.
constexpr WORD loInitialQuality = 0x08;

// Records the server under the server's CLSID and its ProgID; exePath is the
// whole command line that COM starts. Registering again overwrites. Windows:
// HKCR\CLSID\{clsid} (default: description) with LocalServer32, ProgID and the
// OPC DA 1.0 and 2.0 "Implemented Categories"; HKCR\<progId> (default:
// description) with CLSID. Linux: files under the folder named by the
// environment variable BRISVALE_COM_REGISTRY, else $HOME/.local/share/brisvale-com:
//   CLSID/{GUID}     lines "@=<description>", "LocalServer32=<command line>",
//                    "ProgID=<progId>", "Implemented Categories\{category}="
//   ProgID/<progId>  lines "@=<description>", "CLSID={GUID}"
// GUIDs in registry form, upper case. Texts holding a line end are refused.
int loServerRegister(const CLSID *clsid, const char *progId, const char *description, const char *exePath, int flags);
// Removes the class's key and the ProgID's key if that names this class.
// Non-zero, with nothing changed, when neither was registered.
int loServerUnregister(const CLSID *clsid, const char *progId);
// Not called by the server: reads back what loServerRegister recorded. Each
// text is copied whole and terminated, or the call fails with ERANGE; a null
// buffer skips its text. A missing subkey reads as "".
int loServerLookup(const CLSID *clsid, char *description, unsigned descriptionSize, char *commandLine,
                   unsigned commandLineSize, char *progId, unsigned progIdSize);
int loProgIdLookup(const char *progId, CLSID *clsid);

// A service with room for tagCount tags (0 is allowed).
int loServiceCreate(loService **service, const loDriver *driver, unsigned tagCount);
// Asks the attached clients to let go (IOPCShutdown, with the reason that
// loSetState recorded); clients that are still alive keep the cache readable
// after this.
int loServiceDestroy(loService *service);

// Adds a tag named name (unique, case-sensitive, not empty) whose type is the
// initial value's type. The initial value is copied; the quality is
// loInitialQuality, the timestamp 0 and the error 0 until the first update.
// Ids are 1, 2, 3... in the order of adding. flags, reserved1 and reserved2
// are ignored. EEXIST for a name taken, ENOSPC beyond the service's tag count.
int loAddRealTag(loService *service, loTagId *tagId, loRealTag realTag, const char *name, int flags,
                 unsigned accessRights, VARIANT *initialValue, int reserved1, void *reserved2);
// Copies value, timestamp, quality (low 16 bits) and error of each record into
// the cache, the whole batch under one lock. A tag keeps the type it was added
// with: a value of another type is converted (VariantChangeType), and a bad
// record without a value (VT_EMPTY) keeps the last value and takes the rest.
// A record with an unknown tag id or a value that cannot be converted is
// skipped, the others are applied, and the call returns 0. A count of 0 is a
// success.
int loCacheUpdate(loService *service, unsigned count, loTagValue *values, int flags);

// Creates a client object holding one reference. With an outer unknown, the
// object is aggregated: *inner receives its non-delegating IUnknown, which
// holds that reference, and its other interfaces delegate to the outer.
// Without one, *inner receives the object's own IUnknown (the identity), with
// no reference of its own: the one reference is released through *client.
// The object keeps the cache alive. flags are ignored.
int loClientCreate_agg(loService *service, loClient **client, IUnknown *outer, IUnknown **inner, int flags,
                       const loVendorInfo *vendor, loReleaseCallback release, void *releaseArgument);
// Records the reason on a live client of this service (operation and state
// are accepted and not used). Nothing a client sees changes: the reason is
// what the client's shutdown request (IOPCShutdown) carries when the service
// is destroyed.
int loSetState(loService *service, loClient *client, int operation, int state, const char *reason);
