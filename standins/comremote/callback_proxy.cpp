#include "callback_proxy.h"

#include <atomic>

#include "opc_da.h"
#include "wire.h"

namespace comremote {

namespace {

class CallbackProxy final : public IOPCDataCallback {
public:
    CallbackProxy(std::shared_ptr<Outbox> outbox, std::uint32_t sinkId) : outbox_(std::move(outbox)), sinkId_(sinkId) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
        if (object == nullptr) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IOPCDataCallback) {
            *object = static_cast<IOPCDataCallback *>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) {
            // The client may let its sink go now.
            Writer message(kReleaseCallback, 0, sinkId_);
            outbox_->Post(message.Finish(), false);
            delete this;
        }
        return left;
    }

    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD transaction, OPCHANDLE group, HRESULT masterQuality,
                                           HRESULT masterError, DWORD count, OPCHANDLE *clientItems, VARIANT *values,
                                           WORD *qualities, FILETIME *times, HRESULT *errors) override {
        return PostValues(kOnDataChange, transaction, group, masterQuality, masterError, count, clientItems, values,
                          qualities, times, errors);
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD transaction, OPCHANDLE group, HRESULT masterQuality,
                                             HRESULT masterError, DWORD count, OPCHANDLE *clientItems, VARIANT *values,
                                             WORD *qualities, FILETIME *times, HRESULT *errors) override {
        return PostValues(kOnReadComplete, transaction, group, masterQuality, masterError, count, clientItems, values,
                          qualities, times, errors);
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD transaction, OPCHANDLE group, HRESULT masterError, DWORD count,
                                              OPCHANDLE *clientItems, HRESULT *errors) override {
        if (count > 0 && (clientItems == nullptr || errors == nullptr)) return E_INVALIDARG;
        Writer message(kOnWriteComplete, 0, sinkId_);
        message.U32(transaction);
        message.U32(group);
        message.I32(masterError);
        message.U32(count);
        for (DWORD k = 0; k < count; ++k) {
            message.U32(clientItems[k]);
            message.I32(errors[k]);
        }
        return outbox_->Post(message.Finish(), false);
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD transaction, OPCHANDLE group) override {
        Writer message(kOnCancelComplete, 0, sinkId_);
        message.U32(transaction);
        message.U32(group);
        return outbox_->Post(message.Finish(), false);
    }

private:
    ~CallbackProxy() = default;

    HRESULT PostValues(Kind kind, DWORD transaction, OPCHANDLE group, HRESULT masterQuality, HRESULT masterError,
                       DWORD count, const OPCHANDLE *clientItems, const VARIANT *values, const WORD *qualities,
                       const FILETIME *times, const HRESULT *errors) {
        if (count > 0 && (clientItems == nullptr || values == nullptr || qualities == nullptr || times == nullptr ||
                          errors == nullptr))
            return E_INVALIDARG;
        Writer message(kind, 0, sinkId_);
        message.U32(transaction);
        message.U32(group);
        message.I32(masterQuality);
        message.I32(masterError);
        message.U32(count);
        for (DWORD k = 0; k < count; ++k) {
            message.U32(clientItems[k]);
            message.Variant(values[k]);
            message.U16(qualities[k]);
            message.Time(times[k]);
            message.I32(errors[k]);
        }
        return outbox_->Post(message.Finish(), false);
    }

    const std::shared_ptr<Outbox> outbox_;
    const std::uint32_t sinkId_;
    std::atomic<ULONG> references_{1};
};

}  // namespace

IUnknown *NewCallbackProxy(std::shared_ptr<Outbox> outbox, std::uint32_t sinkId) {
    return new CallbackProxy(std::move(outbox), sinkId);
}

}  // namespace comremote
