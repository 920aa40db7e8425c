// A class object that counts its references and is never freed by them.
#pragma once

#include <atomic>

#include "platform/com.h"

class FakeClassObject final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
        if (object == nullptr) return E_POINTER;
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IClassFactory)) {
            *object = static_cast<IClassFactory *>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *, REFIID, void **object) override {
        if (object != nullptr) *object = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

    std::atomic<long> references{1};
};

// Test-only class ids, distinct per test.
inline CLSID TestClass(BYTE last) {
    return CLSID{0x5A1C0DE5, 0x7E57, 0x4C0D, {0x9A, 0x11, 0x0B, 0x5E, 0x77, 0x00, 0x00, last}};
}
