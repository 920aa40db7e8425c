// The client's IOPCDataCallback for watch: every item of every data change
// becomes one line (or one JSON object) on the output, as it arrives. The
// server calls it on its own threads until the subscription ends; Close makes
// a late call print nothing.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "ClientIo.h"
#include "opc_da.h"

class ChangeSink final : public IOPCDataCallback {
public:
    // names by client handle (the index given to AddItems).
    ChangeSink(ClientIo &io, std::vector<std::string> names, std::size_t nameWidth, bool json);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD transaction, OPCHANDLE group, HRESULT masterQuality,
                                           HRESULT masterError, DWORD count, OPCHANDLE *clientHandles, VARIANT *values,
                                           WORD *qualities, FILETIME *times, HRESULT *errors) override;
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE *, VARIANT *, WORD *,
                                             FILETIME *, HRESULT *) override;
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE *, HRESULT *) override;
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override;

    // After it returns, no call prints anything (one in progress has finished).
    void Close();

private:
    ~ChangeSink() = default;

    std::atomic<ULONG> references_{1};
    std::mutex lock_;
    bool closed_ = false;
    ClientIo &io_;
    const std::vector<std::string> names_;
    const std::size_t nameWidth_;
    const bool json_;
};
