#include "client_object.h"

#include "handles.h"

#include <new>

ClientObject::ClientObject(std::shared_ptr<TagCache> cache, loService *owner, IUnknown *outer,
                           loReleaseCallback release, void *releaseArgument)
    : cache_(std::move(cache)),
      owner_(owner),
      inner_(*this),
      controlling_(outer != nullptr ? outer : &inner_),
      release_(release),
      releaseArgument_(releaseArgument) {}

bool ClientObject::SetState(int operation, int state, const char *reason) {
    std::lock_guard<std::mutex> held(stateLock_);
    try {
        reason_ = reason != nullptr ? reason : "";
    } catch (const std::bad_alloc &) {
        return false;
    }
    operation_ = operation;
    state_ = state;
    return true;
}

HRESULT ClientObject::InnerUnknown::QueryInterface(REFIID riid, void **object) {
    if (object == nullptr) return E_POINTER;
    if (IsEqualGUID(riid, IID_IUnknown)) {
        *object = static_cast<IUnknown *>(this);
    } else if (IsEqualGUID(riid, IID_IloCacheReader)) {
        *object = static_cast<IloCacheReader *>(&object_);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // Through the interface handed out: an aggregated object's interfaces count on the outer unknown.
    static_cast<IUnknown *>(*object)->AddRef();
    return S_OK;
}

ULONG ClientObject::InnerUnknown::AddRef() {
    return ++object_.references_;
}

ULONG ClientObject::InnerUnknown::Release() {
    const ULONG left = --object_.references_;
    if (left == 0) object_.FinalRelease();
    return left;
}

void ClientObject::FinalRelease() {
    loService *const service = handles::RemoveClient(this, owner_);
    if (release_ != nullptr) release_(releaseArgument_, service, this);
    delete this;
}

HRESULT ClientObject::QueryInterface(REFIID riid, void **object) {
    return controlling_->QueryInterface(riid, object);
}

ULONG ClientObject::AddRef() {
    return controlling_->AddRef();
}

ULONG ClientObject::Release() {
    return controlling_->Release();
}

HRESULT ClientObject::GetTagCount(DWORD *count) {
    if (count == nullptr) return E_POINTER;
    *count = cache_->Count();
    return S_OK;
}

HRESULT ClientObject::GetTagInfo(DWORD index, loTagId *tagId, char *name, DWORD nameSize, VARTYPE *type,
                                 DWORD *accessRights) {
    return cache_->Info(index, tagId, name, nameSize, type, accessRights);
}

HRESULT ClientObject::FindTag(const char *name, loTagId *tagId) {
    try {
        return cache_->Find(name, tagId);
    } catch (const std::bad_alloc &) {
        return E_OUTOFMEMORY;
    }
}

HRESULT ClientObject::ReadTag(loTagId tagId, VARIANT *value, FILETIME *timestamp, WORD *quality, HRESULT *error) {
    return cache_->Read(tagId, value, timestamp, quality, error);
}

HRESULT ClientObject::GetState(int *operation, int *state, char *reason, DWORD reasonSize) {
    std::lock_guard<std::mutex> held(stateLock_);
    if (operation != nullptr) *operation = operation_;
    if (state != nullptr) *state = state_;
    return CopyBounded(reason_, reason, reasonSize);
}
