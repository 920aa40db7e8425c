#include "ChangeSink.h"

#include "ItemText.h"

ChangeSink::ChangeSink(ClientIo &io, std::vector<std::string> names, std::size_t nameWidth, bool json)
    : io_(io), names_(std::move(names)), nameWidth_(nameWidth), json_(json) {}

HRESULT ChangeSink::QueryInterface(REFIID riid, void **object) {
    if (object == nullptr) return E_POINTER;
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IOPCDataCallback)) {
        *object = static_cast<IOPCDataCallback *>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG ChangeSink::AddRef() {
    return ++references_;
}

ULONG ChangeSink::Release() {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
}

HRESULT ChangeSink::OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE *clientHandles,
                                 VARIANT *values, WORD *qualities, FILETIME *times, HRESULT *errors) {
    if (count > 0 && (clientHandles == nullptr || values == nullptr || qualities == nullptr || times == nullptr ||
                      errors == nullptr)) {
        return E_INVALIDARG;
    }
    std::string text;
    for (DWORD k = 0; k < count; ++k) {
        // Our handles are indexes into names; anything else is not ours to show.
        if (clientHandles[k] >= names_.size()) continue;
        const std::string &name = names_[clientHandles[k]];
        if (FAILED(errors[k])) {
            text += json_ ? ItemErrorJson(name, errors[k]) + "\n" : ItemErrorLine(name, nameWidth_, errors[k]);
        } else {
            text += json_ ? ItemJson(name, values[k], times[k], qualities[k]) + "\n"
                          : ItemLine(name, nameWidth_, values[k], times[k], qualities[k]);
        }
    }
    std::lock_guard<std::mutex> held(lock_);
    if (!closed_ && !text.empty()) io_.Out(text);
    return S_OK;
}

HRESULT ChangeSink::OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE *, VARIANT *, WORD *,
                                   FILETIME *, HRESULT *) {
    return S_OK;
}

HRESULT ChangeSink::OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE *, HRESULT *) {
    return S_OK;
}

HRESULT ChangeSink::OnCancelComplete(DWORD, OPCHANDLE) {
    return S_OK;
}

void ChangeSink::Close() {
    std::lock_guard<std::mutex> held(lock_);
    closed_ = true;
}
