// The OPC Data Access declarations on Linux, written by hand: the same names,
// method order, layouts and ids as opc_da.idl, from which the Windows build
// takes its own (a test compares the two).
#pragma once

#include "platform/clock.h"
#include "platform/com.h"
#include "platform/com_interfaces.h"
#include "platform/variant.h"

using OPCHANDLE = DWORD;

// The enumerations are 32-bit on the wire; a fixed underlying type lets a
// client's out-of-range value arrive without undefined behaviour.
enum OPCDATASOURCE : int { OPC_DS_CACHE = 1, OPC_DS_DEVICE = 2 };
enum OPCBROWSETYPE : int { OPC_BRANCH = 1, OPC_LEAF = 2, OPC_FLAT = 3 };
enum OPCNAMESPACETYPE : int { OPC_NS_HIERARCHIAL = 1, OPC_NS_FLAT = 2 };
enum OPCBROWSEDIRECTION : int { OPC_BROWSE_UP = 1, OPC_BROWSE_DOWN = 2, OPC_BROWSE_TO = 3 };
enum OPCEUTYPE : int { OPC_NOENUM = 0, OPC_ANALOG = 1, OPC_ENUMERATED = 2 };
enum OPCSERVERSTATE : int {
    OPC_STATUS_RUNNING = 1,
    OPC_STATUS_FAILED = 2,
    OPC_STATUS_NOCONFIG = 3,
    OPC_STATUS_SUSPENDED = 4,
    OPC_STATUS_TEST = 5
};
enum OPCENUMSCOPE : int {
    OPC_ENUM_PRIVATE_CONNECTIONS = 1,
    OPC_ENUM_PUBLIC_CONNECTIONS = 2,
    OPC_ENUM_ALL_CONNECTIONS = 3,
    OPC_ENUM_PRIVATE = 4,
    OPC_ENUM_PUBLIC = 5,
    OPC_ENUM_ALL = 6
};

struct OPCITEMSTATE {
    OPCHANDLE hClient;
    FILETIME ftTimeStamp;
    WORD wQuality;
    WORD wReserved;
    VARIANT vDataValue;
};

struct OPCSERVERSTATUS {
    FILETIME ftStartTime;
    FILETIME ftCurrentTime;
    FILETIME ftLastUpdateTime;
    OPCSERVERSTATE dwServerState;
    DWORD dwGroupCount;
    DWORD dwBandWidth;
    WORD wMajorVersion;
    WORD wMinorVersion;
    WORD wBuildNumber;
    WORD wReserved;
    LPOLESTR szVendorInfo;
};

struct OPCITEMDEF {
    LPOLESTR szAccessPath;
    LPOLESTR szItemID;
    BOOL bActive;
    OPCHANDLE hClient;
    DWORD dwBlobSize;
    BYTE *pBlob;
    VARTYPE vtRequestedDataType;
    WORD wReserved;
};

struct OPCITEMATTRIBUTES {
    LPOLESTR szAccessPath;
    LPOLESTR szItemID;
    BOOL bActive;
    OPCHANDLE hClient;
    OPCHANDLE hServer;
    DWORD dwAccessRights;
    DWORD dwBlobSize;
    BYTE *pBlob;
    VARTYPE vtRequestedDataType;
    VARTYPE vtCanonicalDataType;
    OPCEUTYPE dwEUType;
    VARIANT vEUInfo;
};

struct OPCITEMRESULT {
    OPCHANDLE hServer;
    VARTYPE vtCanonicalDataType;
    WORD wReserved;
    DWORD dwAccessRights;
    DWORD dwBlobSize;
    BYTE *pBlob;
};

struct IOPCServer : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE AddGroup(LPCOLESTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                                               OPCHANDLE hClientGroup, LONG *pTimeBias, FLOAT *pPercentDeadband,
                                               DWORD dwLCID, OPCHANDLE *phServerGroup, DWORD *pRevisedUpdateRate,
                                               REFIID riid, IUnknown **ppUnk) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LCID dwLocale, LPOLESTR *ppString) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetGroupByName(LPCOLESTR szName, REFIID riid, IUnknown **ppUnk) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetStatus(OPCSERVERSTATUS **ppServerStatus) = 0;
    virtual HRESULT STDMETHODCALLTYPE RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, IUnknown **ppUnk) = 0;

protected:
    ~IOPCServer() = default;
};

struct IOPCCommon : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetLocaleID(LCID dwLcid) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetLocaleID(LCID *pdwLcid) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryAvailableLocaleIDs(DWORD *pdwCount, LCID **pdwLcid) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LPOLESTR *ppString) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetClientName(LPCOLESTR szName) = 0;

protected:
    ~IOPCCommon() = default;
};

struct IOPCShutdown : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCOLESTR szReason) = 0;

protected:
    ~IOPCShutdown() = default;
};

struct IOPCBrowseServerAddressSpace : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryOrganization(OPCNAMESPACETYPE *pNameSpaceType) = 0;
    virtual HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection,
                                                           LPCOLESTR szString) = 0;
    virtual HRESULT STDMETHODCALLTYPE BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCOLESTR szFilterCriteria,
                                                       VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                                       IEnumString **ppIEnumString) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetItemID(LPOLESTR szItemDataID, LPOLESTR *szItemID) = 0;
    virtual HRESULT STDMETHODCALLTYPE BrowseAccessPaths(LPCOLESTR szItemID, IEnumString **ppIEnumString) = 0;

protected:
    ~IOPCBrowseServerAddressSpace() = default;
};

struct IOPCItemProperties : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryAvailableProperties(LPOLESTR szItemID, DWORD *pdwCount,
                                                               DWORD **ppPropertyIDs, LPOLESTR **ppDescriptions,
                                                               VARTYPE **ppvtDataTypes) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetItemProperties(LPOLESTR szItemID, DWORD dwCount, DWORD *pdwPropertyIDs,
                                                        VARIANT **ppvData, HRESULT **ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE LookupItemIDs(LPOLESTR szItemID, DWORD dwCount, DWORD *pdwPropertyIDs,
                                                    LPOLESTR **ppszNewItemIDs, HRESULT **ppErrors) = 0;

protected:
    ~IOPCItemProperties() = default;
};

struct IOPCGroupStateMgt : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetState(DWORD *pUpdateRate, BOOL *pActive, LPOLESTR *ppName, LONG *pTimeBias,
                                               FLOAT *pPercentDeadband, LCID *pLCID, OPCHANDLE *phClientGroup,
                                               OPCHANDLE *phServerGroup) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetState(DWORD *pRequestedUpdateRate, DWORD *pRevisedUpdateRate, BOOL *pActive,
                                               LONG *pTimeBias, FLOAT *pPercentDeadband, LCID *pLCID,
                                               OPCHANDLE *phClientGroup) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetName(LPCOLESTR szName) = 0;
    virtual HRESULT STDMETHODCALLTYPE CloneGroup(LPCOLESTR szName, REFIID riid, IUnknown **ppUnk) = 0;

protected:
    ~IOPCGroupStateMgt() = default;
};

struct IOPCSyncIO : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE *phServer,
                                           OPCITEMSTATE **ppItemValues, HRESULT **ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE Write(DWORD dwCount, OPCHANDLE *phServer, VARIANT *pItemValues,
                                            HRESULT **ppErrors) = 0;

protected:
    ~IOPCSyncIO() = default;
};

struct IOPCItemMgt : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE AddItems(DWORD dwCount, OPCITEMDEF *pItemArray, OPCITEMRESULT **ppAddResults,
                                               HRESULT **ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE ValidateItems(DWORD dwCount, OPCITEMDEF *pItemArray, BOOL bBlobUpdate,
                                                    OPCITEMRESULT **ppValidationResults, HRESULT **ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE RemoveItems(DWORD dwCount, OPCHANDLE *phServer, HRESULT **ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetActiveState(DWORD dwCount, OPCHANDLE *phServer, BOOL bActive,
                                                     HRESULT **ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetClientHandles(DWORD dwCount, OPCHANDLE *phServer, OPCHANDLE *phClient,
                                                       HRESULT **ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetDatatypes(DWORD dwCount, OPCHANDLE *phServer, VARTYPE *pRequestedDatatypes,
                                                   HRESULT **ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateEnumerator(REFIID riid, IUnknown **ppUnk) = 0;

protected:
    ~IOPCItemMgt() = default;
};

struct IEnumOPCItemAttributes : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, OPCITEMATTRIBUTES **ppItemArray, ULONG *pceltFetched) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IEnumOPCItemAttributes **ppEnumItemAttributes) = 0;

protected:
    ~IEnumOPCItemAttributes() = default;
};

struct IOPCDataCallback : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                                                   HRESULT hrMastererror, DWORD dwCount, OPCHANDLE *phClientItems,
                                                   VARIANT *pvValues, WORD *pwQualities, FILETIME *pftTimeStamps,
                                                   HRESULT *pErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                                                     HRESULT hrMastererror, DWORD dwCount, OPCHANDLE *phClientItems,
                                                     VARIANT *pvValues, WORD *pwQualities, FILETIME *pftTimeStamps,
                                                     HRESULT *pErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMastererr,
                                                      DWORD dwCount, OPCHANDLE *pClienthandles, HRESULT *pErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD dwTransid, OPCHANDLE hGroup) = 0;

protected:
    ~IOPCDataCallback() = default;
};

struct IOPCAsyncIO2 : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Read(DWORD dwCount, OPCHANDLE *phServer, DWORD dwTransactionID,
                                           DWORD *pdwCancelID, HRESULT **ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE Write(DWORD dwCount, OPCHANDLE *phServer, VARIANT *pItemValues,
                                            DWORD dwTransactionID, DWORD *pdwCancelID, HRESULT **ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD *pdwCancelID) = 0;
    virtual HRESULT STDMETHODCALLTYPE Cancel2(DWORD dwCancelID) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetEnable(BOOL bEnable) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetEnable(BOOL *pbEnable) = 0;

protected:
    ~IOPCAsyncIO2() = default;
};

// --- Data Access 3.0 ---------------------------------------------------------

enum OPCBROWSEFILTER : int { OPC_BROWSE_FILTER_ALL = 1, OPC_BROWSE_FILTER_BRANCHES = 2, OPC_BROWSE_FILTER_ITEMS = 3 };

struct OPCITEMVQT {
    VARIANT vDataValue;
    BOOL bQualitySpecified;
    WORD wQuality;
    WORD wReserved;
    BOOL bTimeStampSpecified;
    DWORD dwReserved;
    FILETIME ftTimeStamp;
};

struct OPCITEMPROPERTY {
    VARTYPE vtDataType;
    WORD wReserved;
    DWORD dwPropertyID;
    LPOLESTR szItemID;
    LPOLESTR szDescription;
    VARIANT vValue;
    HRESULT hrErrorID;
    DWORD dwReserved;
};

struct OPCITEMPROPERTIES {
    HRESULT hrErrorID;
    DWORD dwNumProperties;
    OPCITEMPROPERTY *pItemProperties;
    DWORD dwReserved;
};

struct OPCBROWSEELEMENT {
    LPOLESTR szName;
    LPOLESTR szItemID;
    DWORD dwFlagValue;
    DWORD dwReserved;
    OPCITEMPROPERTIES ItemProperties;
};

struct IOPCBrowse : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetProperties(DWORD dwItemCount, LPOLESTR *pszItemIDs, BOOL bReturnPropertyValues,
                                                    DWORD dwPropertyCount, DWORD *pdwPropertyIDs,
                                                    OPCITEMPROPERTIES **ppItemProperties) = 0;
    virtual HRESULT STDMETHODCALLTYPE Browse(LPOLESTR szItemID, LPOLESTR *pszContinuationPoint,
                                             DWORD dwMaxElementsReturned, OPCBROWSEFILTER dwBrowseFilter,
                                             LPOLESTR szElementNameFilter, LPOLESTR szVendorFilter,
                                             BOOL bReturnAllProperties, BOOL bReturnPropertyValues,
                                             DWORD dwPropertyCount, DWORD *pdwPropertyIDs, BOOL *pbMoreElements,
                                             DWORD *pdwCount, OPCBROWSEELEMENT **ppBrowseElements) = 0;

protected:
    ~IOPCBrowse() = default;
};

struct IOPCItemIO : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Read(DWORD dwCount, LPCOLESTR *pszItemIDs, DWORD *pdwMaxAge, VARIANT **ppvValues,
                                           WORD **ppwQualities, FILETIME **ppftTimeStamps, HRESULT **ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteVQT(DWORD dwCount, LPCOLESTR *pszItemIDs, OPCITEMVQT *pItemVQT,
                                               HRESULT **ppErrors) = 0;

protected:
    ~IOPCItemIO() = default;
};

struct IOPCSyncIO2 : IOPCSyncIO {
    virtual HRESULT STDMETHODCALLTYPE ReadMaxAge(DWORD dwCount, OPCHANDLE *phServer, DWORD *pdwMaxAge,
                                                 VARIANT **ppvValues, WORD **ppwQualities, FILETIME **ppftTimeStamps,
                                                 HRESULT **ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteVQT(DWORD dwCount, OPCHANDLE *phServer, OPCITEMVQT *pItemVQT,
                                               HRESULT **ppErrors) = 0;

protected:
    ~IOPCSyncIO2() = default;
};

struct IOPCAsyncIO3 : IOPCAsyncIO2 {
    virtual HRESULT STDMETHODCALLTYPE ReadMaxAge(DWORD dwCount, OPCHANDLE *phServer, DWORD *pdwMaxAge,
                                                 DWORD dwTransactionID, DWORD *pdwCancelID, HRESULT **ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteVQT(DWORD dwCount, OPCHANDLE *phServer, OPCITEMVQT *pItemVQT,
                                               DWORD dwTransactionID, DWORD *pdwCancelID, HRESULT **ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE RefreshMaxAge(DWORD dwMaxAge, DWORD dwTransactionID, DWORD *pdwCancelID) = 0;

protected:
    ~IOPCAsyncIO3() = default;
};

struct IOPCGroupStateMgt2 : IOPCGroupStateMgt {
    virtual HRESULT STDMETHODCALLTYPE SetKeepAlive(DWORD dwKeepAliveTime, DWORD *pdwRevisedKeepAliveTime) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetKeepAlive(DWORD *pdwKeepAliveTime) = 0;

protected:
    ~IOPCGroupStateMgt2() = default;
};

struct IOPCItemDeadbandMgt : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetItemDeadband(DWORD dwCount, OPCHANDLE *phServer, FLOAT *pPercentDeadband,
                                                      HRESULT **ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetItemDeadband(DWORD dwCount, OPCHANDLE *phServer, FLOAT **ppPercentDeadband,
                                                      HRESULT **ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE ClearItemDeadband(DWORD dwCount, OPCHANDLE *phServer, HRESULT **ppErrors) = 0;

protected:
    ~IOPCItemDeadbandMgt() = default;
};

// Data Access 1.0a: the streams of IAdviseSink::OnDataChange and the calls
// whose answers they carry.
struct OPCGROUPHEADER {
    DWORD dwSize;
    DWORD dwItemCount;
    OPCHANDLE hClientGroup;
    DWORD dwTransactionID;
    HRESULT hrStatus;
};

struct OPCITEMHEADER1 {
    OPCHANDLE hClient;
    DWORD dwValueOffset;
    WORD wQuality;
    WORD wReserved;
    FILETIME ftTimeStampItem;
};

struct OPCITEMHEADER2 {
    OPCHANDLE hClient;
    DWORD dwValueOffset;
    WORD wQuality;
    WORD wReserved;
};

struct OPCGROUPHEADERWRITE {
    DWORD dwItemCount;
    OPCHANDLE hClientGroup;
    DWORD dwTransactionID;
    HRESULT hrStatus;
};

struct OPCITEMHEADERWRITE {
    OPCHANDLE hClient;
    HRESULT dwError;
};

struct IOPCAsyncIO : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Read(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount,
                                           OPCHANDLE *phServer, DWORD *pTransactionID, HRESULT **ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE *phServer,
                                            VARIANT *pItemValues, DWORD *pTransactionID, HRESULT **ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE Refresh(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD *pTransactionID) = 0;
    virtual HRESULT STDMETHODCALLTYPE Cancel(DWORD dwTransactionID) = 0;

protected:
    ~IOPCAsyncIO() = default;
};

extern const IID IID_IOPCServer;
extern const IID IID_IOPCCommon;
extern const IID IID_IOPCShutdown;
extern const IID IID_IOPCBrowseServerAddressSpace;
extern const IID IID_IOPCItemProperties;
extern const IID IID_IOPCGroupStateMgt;
extern const IID IID_IOPCSyncIO;
extern const IID IID_IOPCItemMgt;
extern const IID IID_IEnumOPCItemAttributes;
extern const IID IID_IOPCDataCallback;
extern const IID IID_IOPCAsyncIO2;
extern const IID IID_IOPCBrowse;
extern const IID IID_IOPCItemIO;
extern const IID IID_IOPCSyncIO2;
extern const IID IID_IOPCAsyncIO3;
extern const IID IID_IOPCGroupStateMgt2;
extern const IID IID_IOPCItemDeadbandMgt;
extern const IID IID_IOPCAsyncIO;
