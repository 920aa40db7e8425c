// A class object that counts its references and is never freed by them (its
// instances are itself, to see CreateInstance reached), and the runtime's
// class table seen through it.
#pragma once

#include <gtest/gtest.h>

#include <atomic>

#include "platform/com.h"

struct FakeClassObject final : IClassFactory {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
        const bool known = IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IClassFactory);
        *object = known ? this : nullptr;
        return known ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID riid, void **object) override {
        ++created;
        return outer != nullptr ? CLASS_E_NOAGGREGATION : QueryInterface(riid, object);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

    std::atomic<long> references{1};
    std::atomic<int> created{0};
};

// Test-only class ids.
inline CLSID TestClass(BYTE last) {
    return CLSID{0x5A1C0DE5, 0x7E57, 0x4C0D, {0x9A, 0x11, 0x0B, 0x5E, 0x77, 0x00, 0x00, last}};
}

// The class object the runtime hands out, its reference given back at once.
inline IUnknown *Get(const CLSID &clsid, DWORD context, HRESULT expected = S_OK) {
    void *found = nullptr;
    EXPECT_EQ(CoGetClassObject(clsid, context, nullptr, IID_IUnknown, &found), expected);
    if (found != nullptr) static_cast<IUnknown *>(found)->Release();
    return static_cast<IUnknown *>(found);
}
