// A group's Data Access 3.0 calls: reads by maximum age, writes of value,
// quality and timestamp (refused: the tags are read-only), the keep-alive and
// the item deadbands (the tags have no engineering-unit range to take one from).
#include "group.h"
#include "latest_values.h"
#include "scheduler.h"

HRESULT Group::ReadMaxAge(DWORD dwCount, OPCHANDLE *phServer, DWORD *pdwMaxAge, VARIANT **ppvValues,
                          WORD **ppwQualities, FILETIME **ppftTimeStamps, HRESULT **ppErrors) {
    const HRESULT checked =
        StartAgedRead(dwCount, phServer, pdwMaxAge, ppvValues, ppwQualities, ppftTimeStamps, ppErrors);
    if (FAILED(checked)) return checked;
    return NoThrow([&] {
        std::vector<AgedRead> reads(dwCount, AgedRead{0, VT_EMPTY, OPC_E_INVALIDHANDLE});
        {
            std::lock_guard<std::mutex> held(lock_);
            for (DWORD k = 0; k < dwCount; ++k) {
                const auto found = items_.find(phServer[k]);
                if (found != items_.end()) reads[k] = AgedRead{found->second.tag, found->second.requested, S_OK};
            }
        }
        return ReadByAge(*cache_, reads, ppvValues, ppwQualities, ppftTimeStamps, ppErrors);
    });
}

HRESULT Group::WriteVQT(DWORD dwCount, OPCHANDLE *phServer, OPCITEMVQT *pItemVQT, HRESULT **ppErrors) {
    if (pItemVQT == nullptr) {
        if (ppErrors != nullptr) *ppErrors = nullptr;
        return E_INVALIDARG;
    }
    return NoThrow([&] {
        return EachItem(dwCount, phServer, ppErrors,
                        [](DWORD, std::map<OPCHANDLE, Item>::iterator) { return OPC_E_BADRIGHTS; });
    });
}

HRESULT Group::ReadMaxAge(DWORD dwCount, OPCHANDLE *phServer, DWORD *pdwMaxAge, DWORD dwTransactionID,
                          DWORD *pdwCancelID, HRESULT **ppErrors) {
    // Every maximum age reads the cache (latest_values.h): the read of IOPCAsyncIO2.
    if (pdwMaxAge == nullptr) {
        if (ppErrors != nullptr) *ppErrors = nullptr;
        if (pdwCancelID != nullptr) *pdwCancelID = 0;
        return E_INVALIDARG;
    }
    return Read(dwCount, phServer, dwTransactionID, pdwCancelID, ppErrors);
}

HRESULT Group::WriteVQT(DWORD dwCount, OPCHANDLE *phServer, OPCITEMVQT *pItemVQT, DWORD dwTransactionID,
                        DWORD *pdwCancelID, HRESULT **ppErrors) {
    if (pdwCancelID == nullptr || pItemVQT == nullptr) {
        if (ppErrors != nullptr) *ppErrors = nullptr;
        if (pdwCancelID != nullptr) *pdwCancelID = 0;
        return E_INVALIDARG;
    }
    return QueueItems(Transaction::kWrite, dwCount, phServer, dwTransactionID, pdwCancelID, ppErrors);
}

HRESULT Group::RefreshMaxAge(DWORD, DWORD dwTransactionID, DWORD *pdwCancelID) {
    return Refresh2(OPC_DS_DEVICE, dwTransactionID, pdwCancelID);
}

HRESULT Group::SetKeepAlive(DWORD dwKeepAliveTime, DWORD *pdwRevisedKeepAliveTime) {
    if (pdwRevisedKeepAliveTime == nullptr) return E_INVALIDARG;
    const DWORD revised = dwKeepAliveTime == 0 ? 0 : ReviseRate(dwKeepAliveTime);
    {
        std::lock_guard<std::mutex> held(lock_);
        keepAlive_ = revised;
        keepAliveSet_ = Clock::now();
    }
    *pdwRevisedKeepAliveTime = revised;
    core_->delivery->Wake(this);
    return revised == dwKeepAliveTime ? S_OK : OPC_S_UNSUPPORTEDRATE;
}

HRESULT Group::GetKeepAlive(DWORD *pdwKeepAliveTime) {
    if (pdwKeepAliveTime == nullptr) return E_INVALIDARG;
    std::lock_guard<std::mutex> held(lock_);
    *pdwKeepAliveTime = keepAlive_;
    return S_OK;
}

Clock::time_point Group::KeepAlive(Clock::time_point now) {
    OPCHANDLE clientGroup = 0;
    {
        std::lock_guard<std::mutex> held(lock_);
        // No keep-alive from an inactive group, as from one whose data
        // changes (transaction id 0, as a keep-alive's) are disabled.
        if (keepAlive_ == 0 || !settings_.active || !enabled_ || callbacks_.Empty()) return Clock::time_point::max();
        const Clock::time_point due = std::max(lastSend_, keepAliveSet_) + std::chrono::milliseconds(keepAlive_);
        if (now < due) return due;
        clientGroup = settings_.client;
    }
    // No items; the arrays are still real pointers, as a marshalled call needs.
    OPCHANDLE noClient = 0;
    VARIANT noValue;
    VariantInit(&noValue);
    WORD noQuality = 0;
    FILETIME noTime{0, 0};
    HRESULT noError = S_OK;
    for (const ComPtr<IOPCDataCallback> &sink : callbacks_.Sinks<IOPCDataCallback>()) {
        Answered(sink.get(),
                 sink->OnDataChange(0, clientGroup, S_OK, S_OK, 0, &noClient, &noValue, &noQuality, &noTime, &noError));
    }
    std::lock_guard<std::mutex> held(lock_);
    lastSend_ = Clock::now();
    return lastSend_ + std::chrono::milliseconds(keepAlive_);
}

HRESULT Group::SetItemDeadband(DWORD dwCount, OPCHANDLE *phServer, FLOAT *pPercentDeadband, HRESULT **ppErrors) {
    if (pPercentDeadband == nullptr) {
        if (ppErrors != nullptr) *ppErrors = nullptr;
        return E_INVALIDARG;
    }
    return NoThrow([&] {
        return EachItem(dwCount, phServer, ppErrors, [&](DWORD k, std::map<OPCHANDLE, Item>::iterator) {
            const FLOAT deadband = pPercentDeadband[k];
            return deadband >= 0 && deadband <= 100 ? OPC_E_DEADBANDNOTSUPPORTED : E_INVALIDARG;
        });
    });
}

HRESULT Group::GetItemDeadband(DWORD dwCount, OPCHANDLE *phServer, FLOAT **ppPercentDeadband, HRESULT **ppErrors) {
    if (ppPercentDeadband != nullptr) *ppPercentDeadband = nullptr;
    if (ppPercentDeadband == nullptr) {
        if (ppErrors != nullptr) *ppErrors = nullptr;
        return E_INVALIDARG;
    }
    return NoThrow([&] {
        TaskArray<FLOAT> deadbands;
        if (!deadbands.Allocate(dwCount)) return E_OUTOFMEMORY;
        const HRESULT result = EachItem(dwCount, phServer, ppErrors, [](DWORD, std::map<OPCHANDLE, Item>::iterator) {
            return OPC_E_DEADBANDNOTSUPPORTED;
        });
        if (SUCCEEDED(result)) *ppPercentDeadband = deadbands.Detach();
        return result;
    });
}

HRESULT Group::ClearItemDeadband(DWORD dwCount, OPCHANDLE *phServer, HRESULT **ppErrors) {
    // No item ever has a deadband of its own to clear.
    return NoThrow([&] {
        return EachItem(dwCount, phServer, ppErrors,
                        [](DWORD, std::map<OPCHANDLE, Item>::iterator) { return OPC_E_DEADBANDNOTSET; });
    });
}
