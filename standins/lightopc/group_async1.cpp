// Data Access 1.0a's IOPCAsyncIO: reads, writes and refreshes queued like
// IOPCAsyncIO2's, answered as streams through the advise sink whose
// connection the client names; the transaction id is the server's own.
#include "group.h"
#include "liveness.h"

namespace {

// The kind of connection a call is answered through.
bool Answers(StreamFormat format, bool write) {
    return (format == StreamFormat::kWriteComplete) == write;
}

}  // namespace

HRESULT Group::QueueStream(Transaction::Kind kind, DWORD connection, OPCDATASOURCE source, DWORD count,
                           OPCHANDLE *handles, DWORD *transaction, HRESULT **errors) {
    if (errors != nullptr) *errors = nullptr;
    if (transaction == nullptr) return E_INVALIDARG;
    *transaction = 0;
    if (source != OPC_DS_CACHE && source != OPC_DS_DEVICE) return E_INVALIDARG;
    return NoThrow([&] {
        StreamFormat format = StreamFormat::kData;
        if (!streams_.FormatOf(connection, &format) || !Answers(format, kind == Transaction::kWrite))
            return CONNECT_E_NOCONNECTION;
        Transaction queued{kind, 0, 0, {}, source, connection};
        if (kind == Transaction::kRefresh) return QueueRefresh(std::move(queued), transaction);
        const HRESULT checked = EachItem(count, handles, errors, [&](DWORD, std::map<OPCHANDLE, Item>::iterator found) {
            ReadTarget target{found->second.server, found->second.client, found->second.tag, found->second.requested,
                              found->second.active && settings_.active};
            queued.targets.push_back(target);
            return S_OK;
        });
        if (FAILED(checked) || queued.targets.empty()) return checked;
        const HRESULT result = Queue(std::move(queued), transaction, errors);
        return FAILED(result) ? result : checked;
    });
}

HRESULT Group::Read(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE *phServer,
                    DWORD *pTransactionID, HRESULT **ppErrors) {
    return QueueStream(Transaction::kRead, dwConnection, dwSource, dwCount, phServer, pTransactionID, ppErrors);
}

HRESULT Group::Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE *phServer, VARIANT *pItemValues,
                     DWORD *pTransactionID, HRESULT **ppErrors) {
    if (pItemValues == nullptr) {
        if (ppErrors != nullptr) *ppErrors = nullptr;
        if (pTransactionID != nullptr) *pTransactionID = 0;
        return E_INVALIDARG;
    }
    // The tags are read-only: the completion refuses every item.
    return QueueStream(Transaction::kWrite, dwConnection, OPC_DS_DEVICE, dwCount, phServer, pTransactionID, ppErrors);
}

HRESULT Group::Refresh(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD *pTransactionID) {
    return QueueStream(Transaction::kRefresh, dwConnection, dwSource, 0, nullptr, pTransactionID, nullptr);
}

HRESULT Group::Cancel(DWORD dwTransactionID) {
    // Data Access 1.0a has no word for a cancelled transaction: it just never completes.
    std::lock_guard<std::mutex> held(lock_);
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if (it->connection != 0 && it->cancel == dwTransactionID) {
            pending_.erase(it);
            return S_OK;
        }
    }
    return E_FAIL;  // too late (or never queued): the completion is on its way or done
}

void Group::SendStreams(DWORD connection, DWORD transaction, OPCHANDLE group, HRESULT status,
                        const StreamItems &items) {
    const std::vector<AdviseSinks::Sink> sinks = streams_.Sinks(connection);
    std::vector<BYTE> bytes;
    for (const AdviseSinks::Sink &sink : sinks) {
        WriteDataStream(sink.format, group, transaction, status, items, &bytes);
        if (ClientVanished(SendStream(sink.sink.get(), sink.format, bytes)) && streams_.Remove(sink.connection))
            core_->SubscriptionLost(this);
    }
}

void Group::SendWriteStream(DWORD connection, DWORD transaction, OPCHANDLE group, DWORD count, const OPCHANDLE *clients,
                            const HRESULT *errors) {
    const std::vector<AdviseSinks::Sink> sinks = streams_.Sinks(connection);
    if (sinks.empty()) return;
    std::vector<BYTE> bytes;
    WriteCompleteStream(group, transaction, OverallResult(errors, count), count, clients, errors, &bytes);
    for (const AdviseSinks::Sink &sink : sinks) {
        if (ClientVanished(SendStream(sink.sink.get(), sink.format, bytes)) && streams_.Remove(sink.connection))
            core_->SubscriptionLost(this);
    }
}
