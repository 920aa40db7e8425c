// The server object: what loClientCreate_agg makes for each OPC client. It
// is the client's OPC server (IOPCServer, IOPCCommon, browsing, item
// properties, the IOPCShutdown connection point) and it is aggregatable: its
// reference count lives in the non-delegating inner unknown, its interfaces
// delegate to the controlling unknown (the outer one, or the inner one).
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "connection_point.h"
#include "server_core.h"
#include "task_memory.h"

class ServerObject final : public loClient,
                           public ComInterfaces<IOPCServer, IOPCCommon, IOPCBrowseServerAddressSpace,
                                                IOPCItemProperties, IConnectionPointContainer, IOPCBrowse, IOPCItemIO> {
public:
    ServerObject(std::shared_ptr<TagCache> cache, loService *owner, IUnknown *outer, const loVendorInfo *vendor,
                 loReleaseCallback release, void *releaseArgument);
    ServerObject(const ServerObject &) = delete;
    ServerObject &operator=(const ServerObject &) = delete;

    IUnknown *Inner() { return &inner_; }
    // The unknown its clients know it by: the outer one when aggregated.
    IUnknown *Identity() const { return controlling_; }
    // The handle the creator knows this object by (set once, before anyone sees it).
    void SetHandle(loClient *handle) { handle_ = handle; }
    loService *Owner() const { return owner_; }
    // Records what the server said about the session; nothing a client sees
    // changes. The reason is what a shutdown request will carry. False when
    // the reason could not be stored.
    bool SetState(int operation, int state, const char *reason);
    // Frees an object whose creation failed before anyone saw it; no callback.
    void Abandon() { delete this; }
    // A reference unless the object is already on its way out.
    bool AddRefUnlessGone() { return references_.AddUnlessGone(); }
    ULONG ReleaseInner() { return inner_.Release(); }
    // The service is going away: asks every IOPCShutdown sink to let go. A
    // sink whose client vanished ends its subscription like a group's.
    void RequestShutdown();

    // IUnknown, delegating.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IOPCServer
    HRESULT STDMETHODCALLTYPE AddGroup(LPCOLESTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                                       OPCHANDLE hClientGroup, LONG *pTimeBias, FLOAT *pPercentDeadband, DWORD dwLCID,
                                       OPCHANDLE *phServerGroup, DWORD *pRevisedUpdateRate, REFIID riid,
                                       IUnknown **ppUnk) override;
    HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LCID dwLocale, LPOLESTR *ppString) override;
    HRESULT STDMETHODCALLTYPE GetGroupByName(LPCOLESTR szName, REFIID riid, IUnknown **ppUnk) override;
    HRESULT STDMETHODCALLTYPE GetStatus(OPCSERVERSTATUS **ppServerStatus) override;
    HRESULT STDMETHODCALLTYPE RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) override;
    HRESULT STDMETHODCALLTYPE CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, IUnknown **ppUnk) override;

    // IOPCCommon
    HRESULT STDMETHODCALLTYPE SetLocaleID(LCID dwLcid) override;
    HRESULT STDMETHODCALLTYPE GetLocaleID(LCID *pdwLcid) override;
    HRESULT STDMETHODCALLTYPE QueryAvailableLocaleIDs(DWORD *pdwCount, LCID **pdwLcid) override;
    HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LPOLESTR *ppString) override;
    HRESULT STDMETHODCALLTYPE SetClientName(LPCOLESTR szName) override;

    // IOPCBrowseServerAddressSpace
    HRESULT STDMETHODCALLTYPE QueryOrganization(OPCNAMESPACETYPE *pNameSpaceType) override;
    HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCOLESTR szString) override;
    HRESULT STDMETHODCALLTYPE BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCOLESTR szFilterCriteria,
                                               VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                               IEnumString **ppIEnumString) override;
    HRESULT STDMETHODCALLTYPE GetItemID(LPOLESTR szItemDataID, LPOLESTR *szItemID) override;
    HRESULT STDMETHODCALLTYPE BrowseAccessPaths(LPCOLESTR szItemID, IEnumString **ppIEnumString) override;

    // IOPCItemProperties
    HRESULT STDMETHODCALLTYPE QueryAvailableProperties(LPOLESTR szItemID, DWORD *pdwCount, DWORD **ppPropertyIDs,
                                                       LPOLESTR **ppDescriptions, VARTYPE **ppvtDataTypes) override;
    HRESULT STDMETHODCALLTYPE GetItemProperties(LPOLESTR szItemID, DWORD dwCount, DWORD *pdwPropertyIDs,
                                                VARIANT **ppvData, HRESULT **ppErrors) override;
    HRESULT STDMETHODCALLTYPE LookupItemIDs(LPOLESTR szItemID, DWORD dwCount, DWORD *pdwPropertyIDs,
                                            LPOLESTR **ppszNewItemIDs, HRESULT **ppErrors) override;

    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints **ppEnum) override;
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint **ppCP) override;

    // IOPCBrowse (server_browse3.cpp)
    HRESULT STDMETHODCALLTYPE GetProperties(DWORD dwItemCount, LPOLESTR *pszItemIDs, BOOL bReturnPropertyValues,
                                            DWORD dwPropertyCount, DWORD *pdwPropertyIDs,
                                            OPCITEMPROPERTIES **ppItemProperties) override;
    HRESULT STDMETHODCALLTYPE Browse(LPOLESTR szItemID, LPOLESTR *pszContinuationPoint, DWORD dwMaxElementsReturned,
                                     OPCBROWSEFILTER dwBrowseFilter, LPOLESTR szElementNameFilter,
                                     LPOLESTR szVendorFilter, BOOL bReturnAllProperties, BOOL bReturnPropertyValues,
                                     DWORD dwPropertyCount, DWORD *pdwPropertyIDs, BOOL *pbMoreElements,
                                     DWORD *pdwCount, OPCBROWSEELEMENT **ppBrowseElements) override;

    // IOPCItemIO (server_item_io.cpp)
    HRESULT STDMETHODCALLTYPE Read(DWORD dwCount, LPCOLESTR *pszItemIDs, DWORD *pdwMaxAge, VARIANT **ppvValues,
                                   WORD **ppwQualities, FILETIME **ppftTimeStamps, HRESULT **ppErrors) override;
    HRESULT STDMETHODCALLTYPE WriteVQT(DWORD dwCount, LPCOLESTR *pszItemIDs, OPCITEMVQT *pItemVQT,
                                       HRESULT **ppErrors) override;

private:
    class InnerUnknown final : public IUnknown {
    public:
        explicit InnerUnknown(ServerObject &object) : object_(object) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override;
        ULONG STDMETHODCALLTYPE AddRef() override;
        ULONG STDMETHODCALLTYPE Release() override;

    private:
        ServerObject &object_;
    };

    ~ServerObject() = default;
    void FinalRelease();
    // The item named by a client's item id: OPC_E_INVALIDITEMID or OPC_E_UNKNOWNITEMID.
    HRESULT FindItem(LPCOLESTR itemId, TagEntry *tag) const;
    LCID Locale() const;

    const std::shared_ptr<TagCache> cache_;
    const std::shared_ptr<ServerCore> core_;
    loService *const owner_;  // compared and handed back, never dereferenced
    loClient *handle_ = nullptr;
    InnerUnknown inner_;
    IUnknown *const controlling_;
    ReferenceCount references_;
    const loReleaseCallback release_;
    void *const releaseArgument_;
    const loVendorInfo vendor_;
    const std::string vendorText_;

    SinkList shutdown_{IID_IOPCShutdown, 0};

    // Where each page of IOPCBrowse::Browse that had more to give ended: the
    // continuation point's text and the position in the tag list. One use
    // each; the oldest are forgotten beyond kContinuations.
    static constexpr std::size_t kContinuations = 32;
    std::deque<std::pair<OleString, std::size_t>> continuations_;
    unsigned long nextContinuation_ = 1;

    mutable std::mutex stateLock_;
    std::string reason_;
    LCID locale_ = 0x0800;
    std::string clientName_;
};
