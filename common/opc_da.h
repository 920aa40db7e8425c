// The OPC Data Access 2.05a and 3.0 custom interfaces, as OPC clients call them: the
// interfaces in their method order, the structures in their layout, the IIDs,
// the result codes, the qualities and the property ids of the published
// standard. Texts are OLECHAR strings (UTF-16 on both targets).
#pragma once

#include <cstddef>

// The interfaces, structures, enumerations and IIDs: from our IDL through widl
// on Windows, written by hand on Linux.
#include "opc_da_declarations.h"

// The layouts clients marshal: checked where a mistake would be silent.
static_assert(sizeof(OPCSERVERSTATE) == 4, "enumerations are 32-bit");
static_assert(offsetof(OPCITEMSTATE, vDataValue) == 16, "OPCITEMSTATE layout");
static_assert(offsetof(OPCSERVERSTATUS, szVendorInfo) == (sizeof(void *) == 8 ? 48 : 44), "OPCSERVERSTATUS layout");
static_assert(offsetof(OPCITEMDEF, vtRequestedDataType) == (sizeof(void *) == 8 ? 40 : 24), "OPCITEMDEF layout");
static_assert(offsetof(OPCITEMRESULT, pBlob) == 16, "OPCITEMRESULT layout");
static_assert(sizeof(OPCBROWSEFILTER) == 4, "enumerations are 32-bit");
static_assert(offsetof(OPCITEMVQT, bQualitySpecified) == sizeof(VARIANT) &&
                  offsetof(OPCITEMVQT, bTimeStampSpecified) == sizeof(VARIANT) + 8 &&
                  offsetof(OPCITEMVQT, ftTimeStamp) == sizeof(VARIANT) + 16,
              "OPCITEMVQT layout");
static_assert(offsetof(OPCITEMPROPERTY, dwPropertyID) == 4 && offsetof(OPCITEMPROPERTY, szItemID) == 8 &&
                  offsetof(OPCITEMPROPERTY, vValue) == 8 + 2 * sizeof(void *) &&
                  offsetof(OPCITEMPROPERTY, hrErrorID) == 8 + 2 * sizeof(void *) + sizeof(VARIANT),
              "OPCITEMPROPERTY layout");
static_assert(offsetof(OPCITEMPROPERTIES, pItemProperties) == 8 &&
                  offsetof(OPCITEMPROPERTIES, dwReserved) == 8 + sizeof(void *),
              "OPCITEMPROPERTIES layout");
static_assert(offsetof(OPCBROWSEELEMENT, dwFlagValue) == 2 * sizeof(void *) &&
                  offsetof(OPCBROWSEELEMENT, ItemProperties) == 2 * sizeof(void *) + 8,
              "OPCBROWSEELEMENT layout");
static_assert(sizeof(OPCGROUPHEADER) == 20 && sizeof(OPCGROUPHEADERWRITE) == 16, "stream group headers");
static_assert(sizeof(OPCITEMHEADER1) == 20 && offsetof(OPCITEMHEADER1, ftTimeStampItem) == 12, "OPCITEMHEADER1");
static_assert(sizeof(OPCITEMHEADER2) == 12 && sizeof(OPCITEMHEADERWRITE) == 8, "stream item headers");

constexpr DWORD OPC_READABLE = 1;
constexpr DWORD OPC_WRITEABLE = 2;

// The flags of a browse element.
constexpr DWORD OPC_BROWSE_HASCHILDREN = 0x01;
constexpr DWORD OPC_BROWSE_ISITEM = 0x02;

// Qualities: the status bits (mask 0xC0) and their substatus.
constexpr WORD OPC_QUALITY_MASK = 0xC0;
constexpr WORD OPC_STATUS_MASK = 0xFC;
constexpr WORD OPC_LIMIT_MASK = 0x03;
constexpr WORD OPC_QUALITY_BAD = 0x00;
constexpr WORD OPC_QUALITY_UNCERTAIN = 0x40;
constexpr WORD OPC_QUALITY_GOOD = 0xC0;
constexpr WORD OPC_QUALITY_CONFIG_ERROR = 0x04;
constexpr WORD OPC_QUALITY_NOT_CONNECTED = 0x08;
constexpr WORD OPC_QUALITY_DEVICE_FAILURE = 0x0C;
constexpr WORD OPC_QUALITY_SENSOR_FAILURE = 0x10;
constexpr WORD OPC_QUALITY_LAST_KNOWN = 0x14;
constexpr WORD OPC_QUALITY_COMM_FAILURE = 0x18;
constexpr WORD OPC_QUALITY_OUT_OF_SERVICE = 0x1C;

// Item property ids.
constexpr DWORD OPC_PROP_CDT = 1;
constexpr DWORD OPC_PROP_VALUE = 2;
constexpr DWORD OPC_PROP_QUALITY = 3;
constexpr DWORD OPC_PROP_TIME = 4;
constexpr DWORD OPC_PROP_RIGHTS = 5;
constexpr DWORD OPC_PROP_SCANRATE = 6;

// Result codes.
#define OPC_E_INVALIDHANDLE (static_cast<HRESULT>(0xC0040001L))
#define OPC_E_BADTYPE (static_cast<HRESULT>(0xC0040004L))
#define OPC_E_PUBLIC (static_cast<HRESULT>(0xC0040005L))
#define OPC_E_BADRIGHTS (static_cast<HRESULT>(0xC0040006L))
#define OPC_E_UNKNOWNITEMID (static_cast<HRESULT>(0xC0040007L))
#define OPC_E_INVALIDITEMID (static_cast<HRESULT>(0xC0040008L))
#define OPC_E_INVALIDFILTER (static_cast<HRESULT>(0xC0040009L))
#define OPC_E_UNKNOWNPATH (static_cast<HRESULT>(0xC004000AL))
#define OPC_E_RANGE (static_cast<HRESULT>(0xC004000BL))
#define OPC_E_DUPLICATENAME (static_cast<HRESULT>(0xC004000CL))
#define OPC_S_UNSUPPORTEDRATE (static_cast<HRESULT>(0x0004000DL))
#define OPC_S_CLAMP (static_cast<HRESULT>(0x0004000EL))
#define OPC_S_INUSE (static_cast<HRESULT>(0x0004000FL))
#define OPC_E_INVALIDCONFIG (static_cast<HRESULT>(0xC0040010L))
#define OPC_E_NOTFOUND (static_cast<HRESULT>(0xC0040011L))
#define OPC_E_INVALID_PID (static_cast<HRESULT>(0xC0040203L))
#define OPC_E_DEADBANDNOTSET (static_cast<HRESULT>(0xC0040400L))
#define OPC_E_DEADBANDNOTSUPPORTED (static_cast<HRESULT>(0xC0040401L))
#define OPC_E_NOBUFFERING (static_cast<HRESULT>(0xC0040402L))
#define OPC_E_INVALIDCONTINUATIONPOINT (static_cast<HRESULT>(0xC0040403L))
#define OPC_S_DATAQUEUEOVERFLOW (static_cast<HRESULT>(0x00040404L))
#define OPC_E_RATENOTSET (static_cast<HRESULT>(0xC0040405L))
#define OPC_E_NOTSUPPORTED (static_cast<HRESULT>(0xC0040406L))
