// Reading and writing a group's items: IOPCSyncIO, IOPCAsyncIO2 and the data
// changes (the Data Access 3.0 calls are in group_io3.cpp, Data Access 1.0a's IOPCAsyncIO in group_async1.cpp),
// all answered from the cache (values reach the toolkit only through loCacheUpdate, so a device read has nothing
// fresher to offer).
#include "group.h"
#include "liveness.h"
#include "scheduler.h"

namespace {

using Target = ReadTarget;

Target TargetOf(const Item &item) {
    return Target{item.server, item.client, item.tag, item.requested, item.active};
}

// The values of a read or a data change, in the arrays the callbacks take.
struct Values {
    std::vector<OPCHANDLE> clients;
    std::vector<VARIANT> values;
    std::vector<WORD> qualities;
    std::vector<FILETIME> times;
    std::vector<HRESULT> errors;

    explicit Values(std::size_t count) : clients(count), values(count), qualities(count), times(count), errors(count) {
        for (VARIANT &value : values) VariantInit(&value);
    }
    Values(const Values &) = delete;
    Values &operator=(const Values &) = delete;
    ~Values() {
        for (VARIANT &value : values) VariantClear(&value);
    }
    DWORD Count() const { return static_cast<DWORD>(values.size()); }
    StreamItems Items() const {
        return StreamItems{Count(), clients.data(), values.data(), qualities.data(), times.data()};
    }
    // One more place, for the item with this client handle.
    void Grow(OPCHANDLE client) {
        clients.push_back(client);
        qualities.push_back(0);
        times.push_back(FILETIME{0, 0});
        errors.push_back(S_OK);
        VARIANT empty;
        VariantInit(&empty);
        values.push_back(empty);
    }
    // S_FALSE when any quality is not good, S_OK otherwise.
    HRESULT MasterQuality() const {
        for (WORD quality : qualities) {
            if ((quality & OPC_QUALITY_MASK) != OPC_QUALITY_GOOD) return S_FALSE;
        }
        return S_OK;
    }
    HRESULT MasterError() const {
        for (HRESULT error : errors) {
            if (error != S_OK) return S_FALSE;
        }
        return S_OK;
    }
};

// The tag ids of targets, for one visit of the cache.
std::vector<loTagId> Tags(const std::vector<Target> &targets) {
    std::vector<loTagId> tags;
    tags.reserve(targets.size());
    for (const Target &target : targets) tags.push_back(target.tag);
    return tags;
}

}  // namespace

HRESULT Group::Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE *phServer, OPCITEMSTATE **ppItemValues,
                    HRESULT **ppErrors) {
    if (ppItemValues != nullptr) *ppItemValues = nullptr;
    if (ppErrors != nullptr) *ppErrors = nullptr;
    if (dwCount == 0 || phServer == nullptr || ppItemValues == nullptr || ppErrors == nullptr) return E_INVALIDARG;
    if (dwSource != OPC_DS_CACHE && dwSource != OPC_DS_DEVICE) return E_INVALIDARG;
    return NoThrow([&] {
        TaskArray<OPCITEMSTATE> states;
        TaskArray<HRESULT> errors;
        if (!states.Allocate(dwCount) || !errors.Allocate(dwCount)) return E_OUTOFMEMORY;
        std::vector<Target> targets(dwCount, Target{0, 0, 0, VT_EMPTY, false});
        bool groupActive = false;
        {
            std::lock_guard<std::mutex> held(lock_);
            groupActive = settings_.active;
            for (DWORD k = 0; k < dwCount; ++k) {
                const auto found = items_.find(phServer[k]);
                if (found == items_.end()) continue;
                targets[k] = TargetOf(found->second);
            }
        }
        for (DWORD k = 0; k < dwCount; ++k) {
            VariantInit(&states[k].vDataValue);
            states[k].hClient = targets[k].client;
            errors[k] = targets[k].tag == 0 ? OPC_E_INVALIDHANDLE : S_OK;
        }
        const std::vector<loTagId> tags = Tags(targets);
        cache_->Visit(tags.data(), tags.size(), [&](std::size_t k, const TagState &state) {
            const bool outOfService = dwSource == OPC_DS_CACHE && (!groupActive || !targets[k].active);
            FillRecord(targets[k].requested, state, outOfService, &states[k].vDataValue, &states[k].wQuality,
                       &states[k].ftTimeStamp, &errors[k]);
        });
        *ppItemValues = states.Detach();
        *ppErrors = errors.Detach();
        return OverallResult(*ppErrors, dwCount);
    });
}

HRESULT Group::Write(DWORD dwCount, OPCHANDLE *phServer, VARIANT *pItemValues, HRESULT **ppErrors) {
    if (pItemValues == nullptr) {
        if (ppErrors != nullptr) *ppErrors = nullptr;
        return E_INVALIDARG;
    }
    // The tags are read-only: every known item refuses the write.
    return NoThrow([&] {
        return EachItem(dwCount, phServer, ppErrors,
                        [](DWORD, std::map<OPCHANDLE, Item>::iterator) { return OPC_E_BADRIGHTS; });
    });
}

HRESULT Group::Queue(Transaction transaction, DWORD *cancel, HRESULT **errors) {
    const HRESULT queued = NoThrow([&] {
        std::lock_guard<std::mutex> held(lock_);
        const DWORD id = nextCancel_;
        if (transaction.connection != 0) transaction.transaction = id;
        transaction.cancel = id;
        pending_.push_back(std::move(transaction));  // may need memory: nothing is handed out before it
        nextCancel_ = id + 1 == 0 ? 1 : id + 1;
        *cancel = id;
        return S_OK;
    });
    if (FAILED(queued)) {
        // Nothing queued: the caller's per-item errors are not handed out either.
        if (errors != nullptr) {
            CoTaskMemFree(*errors);
            *errors = nullptr;
        }
        return queued;
    }
    core_->delivery->Wake(this);
    return S_OK;
}

// An asynchronous read or write: its items are taken now, its completion
// comes from the toolkit's thread. A write's refusal of the read-only tags
// comes with its completion.
HRESULT Group::QueueItems(Transaction::Kind kind, DWORD count, OPCHANDLE *handles, DWORD transactionId, DWORD *cancel,
                          HRESULT **errors) {
    *cancel = 0;
    return NoThrow([&] {
        if (callbacks_.Empty()) {
            if (errors != nullptr) *errors = nullptr;
            return CONNECT_E_NOCONNECTION;
        }
        Transaction queued{kind, transactionId, 0, {}, OPC_DS_DEVICE};
        const HRESULT checked = EachItem(count, handles, errors, [&](DWORD, std::map<OPCHANDLE, Item>::iterator found) {
            queued.targets.push_back(TargetOf(found->second));
            return S_OK;
        });
        if (FAILED(checked) || queued.targets.empty()) return checked;
        const HRESULT result = Queue(std::move(queued), cancel, errors);
        return FAILED(result) ? result : checked;
    });
}

HRESULT Group::Read(DWORD dwCount, OPCHANDLE *phServer, DWORD dwTransactionID, DWORD *pdwCancelID, HRESULT **ppErrors) {
    if (pdwCancelID == nullptr) {
        if (ppErrors != nullptr) *ppErrors = nullptr;
        return E_INVALIDARG;
    }
    return QueueItems(Transaction::kRead, dwCount, phServer, dwTransactionID, pdwCancelID, ppErrors);
}

HRESULT Group::Write(DWORD dwCount, OPCHANDLE *phServer, VARIANT *pItemValues, DWORD dwTransactionID,
                     DWORD *pdwCancelID, HRESULT **ppErrors) {
    if (pdwCancelID == nullptr || pItemValues == nullptr) {
        if (ppErrors != nullptr) *ppErrors = nullptr;
        return E_INVALIDARG;
    }
    return QueueItems(Transaction::kWrite, dwCount, phServer, dwTransactionID, pdwCancelID, ppErrors);
}

HRESULT Group::Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD *pdwCancelID) {
    if (pdwCancelID == nullptr) return E_INVALIDARG;
    *pdwCancelID = 0;
    if (dwSource != OPC_DS_CACHE && dwSource != OPC_DS_DEVICE) return E_INVALIDARG;
    return NoThrow([&] {
        if (callbacks_.Empty()) return CONNECT_E_NOCONNECTION;
        return QueueRefresh(Transaction{Transaction::kRefresh, dwTransactionID, 0, {}, dwSource}, pdwCancelID);
    });
}

HRESULT Group::QueueRefresh(Transaction refresh, DWORD *cancel) {
    {
        std::lock_guard<std::mutex> held(lock_);
        if (!settings_.active) return E_FAIL;
        for (const auto &entry : items_) {
            if (entry.second.active) refresh.targets.push_back(TargetOf(entry.second));
        }
    }
    if (refresh.targets.empty()) return E_FAIL;
    return Queue(std::move(refresh), cancel);
}

HRESULT Group::Cancel2(DWORD dwCancelID) {
    return NoThrow([&] {
        {
            std::lock_guard<std::mutex> held(lock_);
            auto found = pending_.begin();
            while (found != pending_.end() && (found->cancel != dwCancelID || found->connection != 0)) ++found;
            // Too late (or never queued): the completion is on its way or done.
            if (found == pending_.end()) return E_FAIL;
            cancelled_.push_back(found->transaction);
            pending_.erase(found);
        }
        core_->delivery->Wake(this);
        return S_OK;
    });
}

HRESULT Group::SetEnable(BOOL bEnable) {
    if (callbacks_.Empty()) return CONNECT_E_NOCONNECTION;
    {
        std::lock_guard<std::mutex> held(lock_);
        enabled_ = bEnable != FALSE;
    }
    core_->delivery->Wake(this);
    return S_OK;
}

HRESULT Group::GetEnable(BOOL *pbEnable) {
    if (pbEnable == nullptr) return E_INVALIDARG;
    if (callbacks_.Empty()) return CONNECT_E_NOCONNECTION;
    std::lock_guard<std::mutex> held(lock_);
    *pbEnable = enabled_ ? TRUE : FALSE;
    return S_OK;
}

Clock::time_point Group::Run(Clock::time_point now) {
    std::deque<Transaction> work;
    std::vector<DWORD> cancelled;
    OPCHANDLE clientGroup = 0;
    {
        std::lock_guard<std::mutex> held(lock_);
        work.swap(pending_);
        cancelled.swap(cancelled_);
        clientGroup = settings_.client;
    }
    try {
        if (!cancelled.empty()) {
            for (const ComPtr<IOPCDataCallback> &sink : callbacks_.Sinks<IOPCDataCallback>()) {
                for (DWORD transaction : cancelled) {
                    if (!Answered(sink.get(), sink->OnCancelComplete(transaction, clientGroup))) break;
                }
            }
        }
        for (const Transaction &transaction : work) Complete(transaction);
        SendDataChange(now);
    } catch (const std::bad_alloc &) {
        // Out of memory on the toolkit's thread: this round is lost, the one a period later may do.
        dirty_ = true;
        std::lock_guard<std::mutex> held(lock_);
        return now + std::chrono::milliseconds(settings_.rate);
    }
    const Clock::time_point alive = KeepAlive(now);
    std::lock_guard<std::mutex> held(lock_);
    if (!pending_.empty() || !cancelled_.empty()) return now;
    // Nothing to send until a change (or a client) wakes the group, or the
    // keep-alive is due; a change that came too early waits for the rate.
    if (!settings_.active || !enabled_ || !Subscribed() || !dirty_) return alive;
    return std::min(alive, std::max(now, Earliest()));
}

void Group::TagChanged() {
    // Once until the group has looked: a group that cannot send (inactive,
    // disabled, not advised) is woken once, and again by whatever lets it send.
    // A plain read first: a group of many changed items is told for each.
    if (dirty_.load(std::memory_order_relaxed)) return;
    if (!dirty_.exchange(true)) core_->delivery->Wake(this);
}

void Group::Complete(const Transaction &transaction) {
    // The tags outlive every item, so the items taken at the call still read.
    const std::vector<Target> &targets = transaction.targets;
    OPCHANDLE clientGroup = 0;
    {
        std::lock_guard<std::mutex> held(lock_);
        clientGroup = settings_.client;
    }
    const bool streamed = transaction.connection != 0;
    const std::vector<ComPtr<IOPCDataCallback>> sinks =
        streamed ? std::vector<ComPtr<IOPCDataCallback>>() : callbacks_.Sinks<IOPCDataCallback>();
    if ((sinks.empty() && !streamed) || targets.empty()) return;
    Values values(targets.size());
    for (std::size_t k = 0; k < targets.size(); ++k) values.clients[k] = targets[k].client;
    if (transaction.kind == Transaction::kWrite) {
        for (HRESULT &error : values.errors) error = OPC_E_BADRIGHTS;
        if (streamed)
            SendWriteStream(transaction.connection, transaction.transaction, clientGroup, values.Count(),
                            values.clients.data(), values.errors.data());
        for (const ComPtr<IOPCDataCallback> &sink : sinks)
            Answered(sink.get(), sink->OnWriteComplete(transaction.transaction, clientGroup, S_FALSE, values.Count(),
                                                       values.clients.data(), values.errors.data()));
        return;
    }
    // A refresh took only active items of an active group: nothing it
    // answers is out of service, whatever changed since. A read from the
    // cache took an item as inactive when it or its group was.
    const std::vector<loTagId> tags = Tags(targets);
    cache_->Visit(tags.data(), tags.size(), [&](std::size_t k, const TagState &state) {
        FillRecord(targets[k].requested, state, transaction.source == OPC_DS_CACHE && !targets[k].active,
                   &values.values[k], &values.qualities[k], &values.times[k], &values.errors[k]);
    });
    if (streamed) {
        SendStreams(transaction.connection, transaction.transaction, clientGroup, values.MasterError(), values.Items());
        return;
    }
    for (const ComPtr<IOPCDataCallback> &sink : sinks) {
        if (transaction.kind == Transaction::kRead) {
            Answered(sink.get(), sink->OnReadComplete(transaction.transaction, clientGroup, values.MasterQuality(),
                                                      values.MasterError(), values.Count(), values.clients.data(),
                                                      values.values.data(), values.qualities.data(),
                                                      values.times.data(), values.errors.data()));
        } else {
            Answered(sink.get(), sink->OnDataChange(transaction.transaction, clientGroup, values.MasterQuality(),
                                                    values.MasterError(), values.Count(), values.clients.data(),
                                                    values.values.data(), values.qualities.data(), values.times.data(),
                                                    values.errors.data()));
        }
    }
}

bool Group::Answered(IUnknown *sink, HRESULT result) {
    if (!ClientVanished(result)) return true;
    // Only once per sink: it may have been let go (or replaced) meanwhile.
    if (callbacks_.Remove(sink)) core_->SubscriptionLost(this);
    return false;
}

void Group::Advising() {
    std::lock_guard<std::mutex> held(lock_);
    for (auto &entry : items_) entry.second.SendNextTime();
    dirty_ = true;
}

void Group::Advised() {
    core_->delivery->Wake(this);
}

void Group::SendDataChange(Clock::time_point now) {
    std::vector<Target> targets;
    std::vector<std::uint64_t> sent;
    std::vector<std::uint64_t> marks;
    OPCHANDLE clientGroup = 0;
    {
        std::lock_guard<std::mutex> held(lock_);
        if (!settings_.active || !enabled_ || now < Earliest() || !Subscribed()) return;
        // Cleared before the cache is read: a change from here on wakes the group again.
        if (!dirty_.exchange(false)) return;
        clientGroup = settings_.client;
        targets.reserve(items_.size());
        sent.reserve(items_.size());
        marks.reserve(items_.size());
        for (const auto &entry : items_) {
            const Item &item = entry.second;
            if (!item.active) continue;
            targets.push_back(TargetOf(item));
            sent.push_back(item.sent);
            marks.push_back(item.marks);
        }
    }
    // Only the items whose value or quality changed since the last data change,
    // read in one visit so that they form one picture.
    std::vector<std::size_t> changed;
    std::vector<std::uint64_t> seen;
    Values values(0);
    const std::vector<loTagId> tags = Tags(targets);
    cache_->Visit(tags.data(), tags.size(), [&](std::size_t k, const TagState &state) {
        if (state.changes == sent[k]) return;
        changed.push_back(k);
        seen.push_back(state.changes);
        values.Grow(targets[k].client);
        const std::size_t j = values.Count() - 1;
        FillRecord(targets[k].requested, state, false, &values.values[j], &values.qualities[j], &values.times[j],
                   &values.errors[j]);
    });
    if (changed.empty()) return;
    {
        std::lock_guard<std::mutex> held(lock_);
        for (std::size_t j = 0; j < changed.size(); ++j) {
            const auto found = items_.find(targets[changed[j]].server);
            // Marked again meanwhile (made active, retyped, newly advised): it goes next time too.
            if (found != items_.end() && found->second.marks == marks[changed[j]]) found->second.sent = seen[j];
        }
    }
    for (const ComPtr<IOPCDataCallback> &sink : callbacks_.Sinks<IOPCDataCallback>()) {
        Answered(sink.get(), sink->OnDataChange(0, clientGroup, values.MasterQuality(), values.MasterError(),
                                                values.Count(), values.clients.data(), values.values.data(),
                                                values.qualities.data(), values.times.data(), values.errors.data()));
    }
    SendStreams(0, 0, clientGroup, values.MasterError(), values.Items());
    // Counted from its return: the next one cannot reach the client sooner than one period after this one.
    std::lock_guard<std::mutex> held(lock_);
    lastSend_ = Clock::now();
}
