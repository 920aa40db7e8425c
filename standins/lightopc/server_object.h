// The client object: a reference-counted COM object that lets one OPC client
// read the service's cache, aggregatable. Its reference count lives in the
// non-delegating inner unknown; its other interfaces delegate to the
// controlling unknown (the outer one, or the inner one when not aggregated).
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "tag_cache.h"

class ClientObject final : public loClient, public IloCacheReader {
public:
    ClientObject(std::shared_ptr<TagCache> cache, loService *owner, IUnknown *outer, loReleaseCallback release,
                 void *releaseArgument);
    ClientObject(const ClientObject &) = delete;
    ClientObject &operator=(const ClientObject &) = delete;

    IUnknown *Inner() { return &inner_; }
    loService *Owner() const { return owner_; }
    // False when the reason could not be stored.
    bool SetState(int operation, int state, const char *reason);
    // Frees an object whose creation failed before anyone saw it; no callback.
    void Abandon() { delete this; }

    // IUnknown, delegating.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IloCacheReader.
    HRESULT STDMETHODCALLTYPE GetTagCount(DWORD *count) override;
    HRESULT STDMETHODCALLTYPE GetTagInfo(DWORD index, loTagId *tagId, char *name, DWORD nameSize, VARTYPE *type,
                                         DWORD *accessRights) override;
    HRESULT STDMETHODCALLTYPE FindTag(const char *name, loTagId *tagId) override;
    HRESULT STDMETHODCALLTYPE ReadTag(loTagId tagId, VARIANT *value, FILETIME *timestamp, WORD *quality,
                                      HRESULT *error) override;
    HRESULT STDMETHODCALLTYPE GetState(int *operation, int *state, char *reason, DWORD reasonSize) override;

private:
    class InnerUnknown final : public IUnknown {
    public:
        explicit InnerUnknown(ClientObject &object) : object_(object) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override;
        ULONG STDMETHODCALLTYPE AddRef() override;
        ULONG STDMETHODCALLTYPE Release() override;

    private:
        ClientObject &object_;
    };

    ~ClientObject() = default;
    void FinalRelease();

    const std::shared_ptr<TagCache> cache_;
    loService *const owner_;  // compared and handed back, never dereferenced
    InnerUnknown inner_;
    IUnknown *const controlling_;
    std::atomic<ULONG> references_{1};
    const loReleaseCallback release_;
    void *const releaseArgument_;

    std::mutex stateLock_;
    int operation_ = 0;
    int state_ = 0;
    std::string reason_;
};
