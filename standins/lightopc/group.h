// A group: a client's set of items with one update rate, read synchronously,
// asynchronously and through data-change callbacks. Locks, in the order they
// may be taken: the server core's, the group's, the cache's, the session
// delivery thread's (a cache update wakes the groups under the cache's lock).
// No client sink is ever called under any of them.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "connection_point.h"
#include "data_object.h"
#include "items.h"
#include "server_core.h"

// The fastest update rate a group gets, in ms: a faster request is revised.
constexpr DWORD kFastestRate = 50;
DWORD ReviseRate(DWORD requested);
bool SupportedLocale(LCID locale);

struct GroupSettings {
    std::string name;
    bool active = false;
    DWORD rate = 0;
    LONG timeBias = 0;
    FLOAT deadband = 0;
    LCID locale = 0;
    OPCHANDLE client = 0;
};

using Clock = std::chrono::steady_clock;

// One item as a read needs it, taken from the group when the read is asked
// for; tag 0 for a handle that named no item.
struct ReadTarget {
    OPCHANDLE server;
    OPCHANDLE client;
    loTagId tag;
    VARTYPE requested;
    bool active;
};

class Group final : public ComObject<Group, IOPCItemMgt, IOPCGroupStateMgt2, IOPCSyncIO2, IOPCAsyncIO3,
                                     IConnectionPointContainer, IOPCItemDeadbandMgt, IOPCAsyncIO, IDataObject>,
                    private TagWatcher {
public:
    Group(std::shared_ptr<ServerCore> core, const GroupSettings &settings);
    Group(const Group &) = delete;
    Group &operator=(const Group &) = delete;

    OPCHANDLE Handle() const { return handle_; }
    std::string Name() const;
    // Only the server core names a group, under its own lock.
    void StoreName(const std::string &name);

    // The toolkit's thread: does the queued asynchronous work and, when due,
    // the data change. Returns when it wants to run next.
    Clock::time_point Run(Clock::time_point now);
    // The cache changed a tag of an active item: the data change goes as soon
    // as the rate allows.
    void TagChanged() override;
    // Lets the callback sinks go (the service or the server is closing).
    void Disconnect() {
        callbacks_.Clear();
        streams_.Clear();
    }
    // Whether a client's callback (or an advise sink of a data format) is advised.
    bool Subscribed() const { return !callbacks_.Empty() || streams_.Delivers(); }
    IUnknown *Identity() { return static_cast<IOPCItemMgt *>(this); }

    // IOPCItemMgt
    HRESULT STDMETHODCALLTYPE AddItems(DWORD dwCount, OPCITEMDEF *pItemArray, OPCITEMRESULT **ppAddResults,
                                       HRESULT **ppErrors) override;
    HRESULT STDMETHODCALLTYPE ValidateItems(DWORD dwCount, OPCITEMDEF *pItemArray, BOOL bBlobUpdate,
                                            OPCITEMRESULT **ppValidationResults, HRESULT **ppErrors) override;
    HRESULT STDMETHODCALLTYPE RemoveItems(DWORD dwCount, OPCHANDLE *phServer, HRESULT **ppErrors) override;
    HRESULT STDMETHODCALLTYPE SetActiveState(DWORD dwCount, OPCHANDLE *phServer, BOOL bActive,
                                             HRESULT **ppErrors) override;
    HRESULT STDMETHODCALLTYPE SetClientHandles(DWORD dwCount, OPCHANDLE *phServer, OPCHANDLE *phClient,
                                               HRESULT **ppErrors) override;
    HRESULT STDMETHODCALLTYPE SetDatatypes(DWORD dwCount, OPCHANDLE *phServer, VARTYPE *pRequestedDatatypes,
                                           HRESULT **ppErrors) override;
    HRESULT STDMETHODCALLTYPE CreateEnumerator(REFIID riid, IUnknown **ppUnk) override;

    // IOPCGroupStateMgt
    HRESULT STDMETHODCALLTYPE GetState(DWORD *pUpdateRate, BOOL *pActive, LPOLESTR *ppName, LONG *pTimeBias,
                                       FLOAT *pPercentDeadband, LCID *pLCID, OPCHANDLE *phClientGroup,
                                       OPCHANDLE *phServerGroup) override;
    HRESULT STDMETHODCALLTYPE SetState(DWORD *pRequestedUpdateRate, DWORD *pRevisedUpdateRate, BOOL *pActive,
                                       LONG *pTimeBias, FLOAT *pPercentDeadband, LCID *pLCID,
                                       OPCHANDLE *phClientGroup) override;
    HRESULT STDMETHODCALLTYPE SetName(LPCOLESTR szName) override;
    HRESULT STDMETHODCALLTYPE CloneGroup(LPCOLESTR szName, REFIID riid, IUnknown **ppUnk) override;

    // IOPCSyncIO (Read) and IOPCAsyncIO2 (Read) share a name and differ in
    // their arguments; Write likewise.
    HRESULT STDMETHODCALLTYPE Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE *phServer,
                                   OPCITEMSTATE **ppItemValues, HRESULT **ppErrors) override;
    HRESULT STDMETHODCALLTYPE Write(DWORD dwCount, OPCHANDLE *phServer, VARIANT *pItemValues,
                                    HRESULT **ppErrors) override;

    // IOPCAsyncIO2
    HRESULT STDMETHODCALLTYPE Read(DWORD dwCount, OPCHANDLE *phServer, DWORD dwTransactionID, DWORD *pdwCancelID,
                                   HRESULT **ppErrors) override;
    HRESULT STDMETHODCALLTYPE Write(DWORD dwCount, OPCHANDLE *phServer, VARIANT *pItemValues, DWORD dwTransactionID,
                                    DWORD *pdwCancelID, HRESULT **ppErrors) override;
    HRESULT STDMETHODCALLTYPE Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD *pdwCancelID) override;
    HRESULT STDMETHODCALLTYPE Cancel2(DWORD dwCancelID) override;
    HRESULT STDMETHODCALLTYPE SetEnable(BOOL bEnable) override;
    HRESULT STDMETHODCALLTYPE GetEnable(BOOL *pbEnable) override;

    // IOPCSyncIO2 (ReadMaxAge, WriteVQT) and IOPCAsyncIO3 (the same names,
    // asynchronous, and RefreshMaxAge): group_io3.cpp.
    HRESULT STDMETHODCALLTYPE ReadMaxAge(DWORD dwCount, OPCHANDLE *phServer, DWORD *pdwMaxAge, VARIANT **ppvValues,
                                         WORD **ppwQualities, FILETIME **ppftTimeStamps, HRESULT **ppErrors) override;
    HRESULT STDMETHODCALLTYPE WriteVQT(DWORD dwCount, OPCHANDLE *phServer, OPCITEMVQT *pItemVQT,
                                       HRESULT **ppErrors) override;
    HRESULT STDMETHODCALLTYPE ReadMaxAge(DWORD dwCount, OPCHANDLE *phServer, DWORD *pdwMaxAge, DWORD dwTransactionID,
                                         DWORD *pdwCancelID, HRESULT **ppErrors) override;
    HRESULT STDMETHODCALLTYPE WriteVQT(DWORD dwCount, OPCHANDLE *phServer, OPCITEMVQT *pItemVQT, DWORD dwTransactionID,
                                       DWORD *pdwCancelID, HRESULT **ppErrors) override;
    HRESULT STDMETHODCALLTYPE RefreshMaxAge(DWORD dwMaxAge, DWORD dwTransactionID, DWORD *pdwCancelID) override;

    // IOPCGroupStateMgt2
    HRESULT STDMETHODCALLTYPE SetKeepAlive(DWORD dwKeepAliveTime, DWORD *pdwRevisedKeepAliveTime) override;
    HRESULT STDMETHODCALLTYPE GetKeepAlive(DWORD *pdwKeepAliveTime) override;

    // IOPCItemDeadbandMgt
    HRESULT STDMETHODCALLTYPE SetItemDeadband(DWORD dwCount, OPCHANDLE *phServer, FLOAT *pPercentDeadband,
                                              HRESULT **ppErrors) override;
    HRESULT STDMETHODCALLTYPE GetItemDeadband(DWORD dwCount, OPCHANDLE *phServer, FLOAT **ppPercentDeadband,
                                              HRESULT **ppErrors) override;
    HRESULT STDMETHODCALLTYPE ClearItemDeadband(DWORD dwCount, OPCHANDLE *phServer, HRESULT **ppErrors) override;

    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints **ppEnum) override;
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint **ppCP) override;

    // IOPCAsyncIO (Data Access 1.0a): answered through the advise sinks.
    HRESULT STDMETHODCALLTYPE Read(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE *phServer,
                                   DWORD *pTransactionID, HRESULT **ppErrors) override;
    HRESULT STDMETHODCALLTYPE Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE *phServer, VARIANT *pItemValues,
                                    DWORD *pTransactionID, HRESULT **ppErrors) override;
    HRESULT STDMETHODCALLTYPE Refresh(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD *pTransactionID) override;
    HRESULT STDMETHODCALLTYPE Cancel(DWORD dwTransactionID) override;

    // IDataObject: only the advise sinks of the three stream formats.
    HRESULT STDMETHODCALLTYPE GetData(FORMATETC *format, STGMEDIUM *medium) override;
    HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC *format, STGMEDIUM *medium) override;
    HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC *format) override;
    HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC *format, FORMATETC *canonical) override;
    HRESULT STDMETHODCALLTYPE SetData(FORMATETC *format, STGMEDIUM *medium, BOOL release) override;
    HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD direction, IEnumFORMATETC **formats) override;
    HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC *format, DWORD advf, IAdviseSink *sink, DWORD *connection) override;
    HRESULT STDMETHODCALLTYPE DUnadvise(DWORD connection) override;
    HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA **advises) override;

private:
    friend class ComObject<Group, IOPCItemMgt, IOPCGroupStateMgt2, IOPCSyncIO2, IOPCAsyncIO3, IConnectionPointContainer,
                           IOPCItemDeadbandMgt, IOPCAsyncIO, IDataObject>;
    ~Group();

    // Asynchronous work waiting for the toolkit's thread. The items are taken
    // when the client asks: a transaction once accepted is answered for them
    // even if they are removed, deactivated or retyped before it runs.
    struct Transaction {
        enum Kind { kRead, kWrite, kRefresh } kind;
        DWORD transaction;
        DWORD cancel;
        std::vector<ReadTarget> targets;  // read and write: the valid ones; refresh: the active ones
        OPCDATASOURCE source;
        // Data Access 1.0a: the advise connection that is answered (its
        // transaction id is the cancel id); 0 for the IOPCDataCallback.
        DWORD connection = 0;
    };

    // The items for handles, under the lock; a null entry for an unknown handle.
    std::vector<const Item *> FindItems(DWORD count, const OPCHANDLE *handles) const;
    // E_OUTOFMEMORY when it cannot be queued: then *cancel is untouched and
    // the per-item errors (when given) are freed and cleared.
    HRESULT Queue(Transaction transaction, DWORD *cancel, HRESULT **errors = nullptr);
    HRESULT QueueItems(Transaction::Kind kind, DWORD count, OPCHANDLE *handles, DWORD transactionId, DWORD *cancel,
                       HRESULT **errors);
    // A refresh of the active items of an active group; E_FAIL when there are none.
    HRESULT QueueRefresh(Transaction refresh, DWORD *cancel);
    void Complete(const Transaction &transaction);
    // Data Access 1.0a: the stream to the sink of connection, or for
    // connection 0 (a data change) to every sink of a data format.
    void SendStreams(DWORD connection, DWORD transaction, OPCHANDLE group, HRESULT status, const StreamItems &items);
    void SendWriteStream(DWORD connection, DWORD transaction, OPCHANDLE group, DWORD count, const OPCHANDLE *clients,
                         const HRESULT *errors);
    HRESULT QueueStream(Transaction::Kind kind, DWORD connection, OPCDATASOURCE source, DWORD count, OPCHANDLE *handles,
                        DWORD *transaction, HRESULT **errors);
    void SendDataChange(Clock::time_point now);
    // Sends the keep-alive when no data change went for the keep-alive time;
    // returns when the next one is due (never, with none set or no sink).
    Clock::time_point KeepAlive(Clock::time_point now);
    // Something to report (a change, an item to report again): the group runs
    // as soon as its rate allows.
    void Touch();
    // The earliest time of the next data change, under the lock: one revised
    // update period after the last one.
    Clock::time_point Earliest() const;
    // The active items' tags are watched in the cache; both under the lock.
    void WatchItem(const Item &item);
    void UnwatchItem(const Item &item);
    // Calls fill(k, item) for each handle under the group's lock and answers
    // the per-item errors: OPC_E_INVALIDHANDLE for unknown handles.
    template <class Fill>
    HRESULT EachItem(DWORD count, const OPCHANDLE *handles, HRESULT **errors, Fill fill);

    const std::shared_ptr<ServerCore> core_;
    const std::shared_ptr<TagCache> cache_;
    const OPCHANDLE handle_;

    mutable std::mutex lock_;
    GroupSettings settings_;
    std::map<OPCHANDLE, Item> items_;
    bool enabled_ = true;
    std::deque<Transaction> pending_;
    std::vector<DWORD> cancelled_;  // transactions whose OnCancelComplete is due
    DWORD nextCancel_ = 1;
    // When the last data change or keep-alive went.
    Clock::time_point lastSend_ = Clock::time_point::min();
    DWORD keepAlive_ = 0;  // ms, 0: none
    Clock::time_point keepAliveSet_;
    // Set by the cache (and by whatever makes items due again), cleared by the
    // data change that reads the cache after it.
    std::atomic<bool> dirty_{false};

    // A callback about to be advised gets every active item at the next data
    // change, which comes as soon as it is advised and the rate allows.
    void Advising();
    void Advised();
    // Forgets the sink when its answer says the client is gone, and tells the
    // session; false then, so that the sink is called no more.
    bool Answered(IUnknown *sink, HRESULT result);

    SinkList callbacks_{IID_IOPCDataCallback, 1, [this] { Advising(); }, [this] { Advised(); }};
    AdviseSinks streams_{[this] { Advising(); }, [this] { Advised(); }};
};

// Clears the out pointer of a per-item call and checks its arguments.
inline HRESULT StartItemCall(DWORD count, const void *input, HRESULT **errors) {
    if (errors != nullptr) *errors = nullptr;
    if (count == 0 || input == nullptr || errors == nullptr) return E_INVALIDARG;
    return S_OK;
}

// S_FALSE when any item failed: the per-item errors tell which.
inline HRESULT OverallResult(const HRESULT *errors, DWORD count) {
    for (DWORD k = 0; k < count; ++k) {
        if (FAILED(errors[k])) return S_FALSE;
    }
    return S_OK;
}

template <class Fill>
HRESULT Group::EachItem(DWORD count, const OPCHANDLE *handles, HRESULT **errors, Fill fill) {
    const HRESULT checked = StartItemCall(count, handles, errors);
    if (FAILED(checked)) return checked;
    TaskArray<HRESULT> failures;
    if (!failures.Allocate(count)) return E_OUTOFMEMORY;
    {
        std::lock_guard<std::mutex> held(lock_);
        for (DWORD k = 0; k < count; ++k) {
            const auto found = items_.find(handles[k]);
            failures[k] = found == items_.end() ? OPC_E_INVALIDHANDLE : fill(k, found);
        }
    }
    const HRESULT overall = OverallResult(failures.get(), count);
    *errors = failures.Detach();
    return overall;
}
