// What every COM object of the toolkit shares: QueryInterface over the list of
// interfaces the object implements, an atomic reference count, and an owning
// reference type. An object lists its interfaces once:
//   class Group final : public ComObject<Group, IOPCItemMgt, IOPCSyncIO> { ... };
#pragma once

#include <atomic>
#include <new>
#include <system_error>
#include <type_traits>
#include <utility>

#include "opc_da.h"
#include "platform/data_transfer.h"

// The IID of each interface the toolkit implements or calls.
template <class Interface>
const IID &IidOf();

#define LIGHTOPC_IID_OF(Interface)         \
    template <>                            \
    inline const IID &IidOf<Interface>() { \
        return IID_##Interface;            \
    }
LIGHTOPC_IID_OF(IUnknown)
LIGHTOPC_IID_OF(IOPCServer)
LIGHTOPC_IID_OF(IOPCCommon)
LIGHTOPC_IID_OF(IOPCShutdown)
LIGHTOPC_IID_OF(IOPCBrowseServerAddressSpace)
LIGHTOPC_IID_OF(IOPCItemProperties)
LIGHTOPC_IID_OF(IOPCGroupStateMgt)
LIGHTOPC_IID_OF(IOPCSyncIO)
LIGHTOPC_IID_OF(IOPCItemMgt)
LIGHTOPC_IID_OF(IEnumOPCItemAttributes)
LIGHTOPC_IID_OF(IOPCDataCallback)
LIGHTOPC_IID_OF(IOPCAsyncIO2)
LIGHTOPC_IID_OF(IOPCBrowse)
LIGHTOPC_IID_OF(IOPCItemIO)
LIGHTOPC_IID_OF(IOPCSyncIO2)
LIGHTOPC_IID_OF(IOPCAsyncIO3)
LIGHTOPC_IID_OF(IOPCGroupStateMgt2)
LIGHTOPC_IID_OF(IOPCItemDeadbandMgt)
LIGHTOPC_IID_OF(IOPCAsyncIO)
LIGHTOPC_IID_OF(IDataObject)
LIGHTOPC_IID_OF(IAdviseSink)
LIGHTOPC_IID_OF(IEnumString)
LIGHTOPC_IID_OF(IEnumUnknown)
LIGHTOPC_IID_OF(IConnectionPoint)
LIGHTOPC_IID_OF(IConnectionPointContainer)
LIGHTOPC_IID_OF(IEnumConnectionPoints)
LIGHTOPC_IID_OF(IEnumConnections)
#undef LIGHTOPC_IID_OF

// An interface that extends another answers for it too (IOPCSyncIO2 is an
// IOPCSyncIO): listing the later one serves both.
template <class Interface>
struct BaseInterface {
    using Type = void;
};
template <>
struct BaseInterface<IOPCSyncIO2> {
    using Type = IOPCSyncIO;
};
template <>
struct BaseInterface<IOPCAsyncIO3> {
    using Type = IOPCAsyncIO2;
};
template <>
struct BaseInterface<IOPCGroupStateMgt2> {
    using Type = IOPCGroupStateMgt;
};

// The interfaces of an object and the lookup over them; the first one's
// IUnknown is the object's identity.
template <class First, class... Others>
class ComInterfaces : public First, public Others... {
protected:
    IUnknown *Identity() { return static_cast<First *>(this); }

    // The interface named by riid, without a reference; null when not implemented.
    void *Find(REFIID riid) {
        if (IsEqualGUID(riid, IID_IUnknown)) return Identity();
        void *found = nullptr;
        Match<First>(riid, &found);
        (Match<Others>(riid, &found), ...);
        return found;
    }

private:
    template <class Interface>
    void Match(REFIID riid, void **found) {
        if (*found != nullptr) return;
        if (IsEqualGUID(riid, IidOf<Interface>())) {
            *found = static_cast<Interface *>(this);
            return;
        }
        using Base = typename BaseInterface<Interface>::Type;
        if constexpr (!std::is_void<Base>::value) {
            Base *base = static_cast<Interface *>(this);
            if (IsEqualGUID(riid, IidOf<Base>())) *found = base;
        }
    }
};

// A reference count that can refuse to revive an object on its way out.
class ReferenceCount {
public:
    ULONG Add() { return ++count_; }
    ULONG Drop() { return --count_; }
    // A reference for someone who found the object in a table it is about to
    // leave: false once the count has reached zero.
    bool AddUnlessGone() {
        ULONG seen = count_.load();
        while (seen != 0) {
            if (count_.compare_exchange_weak(seen, seen + 1)) return true;
        }
        return false;
    }

private:
    std::atomic<ULONG> count_{1};
};

// A plain (not aggregatable) object, created with one reference.
template <class Derived, class... Interfaces>
class ComObject : public ComInterfaces<Interfaces...> {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
        if (object == nullptr) return E_POINTER;
        *object = this->Find(riid);
        if (*object == nullptr) return E_NOINTERFACE;
        references_.Add();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return references_.Add(); }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = references_.Drop();
        if (left == 0) delete static_cast<Derived *>(this);
        return left;
    }
    bool AddRefUnlessGone() { return references_.AddUnlessGone(); }

private:
    ReferenceCount references_;
};

// An owning reference to a COM object: released on destruction.
template <class T>
class ComPtr {
public:
    ComPtr() = default;
    // Takes over a reference the caller holds.
    static ComPtr Adopt(T *object) {
        ComPtr owned;
        owned.object_ = object;
        return owned;
    }
    // Takes a reference of its own.
    static ComPtr Share(T *object) {
        if (object != nullptr) object->AddRef();
        return Adopt(object);
    }
    ComPtr(const ComPtr &other) : object_(other.object_) {
        if (object_ != nullptr) object_->AddRef();
    }
    ComPtr(ComPtr &&other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    ComPtr &operator=(ComPtr other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~ComPtr() {
        if (object_ != nullptr) object_->Release();
    }

    T *get() const { return object_; }
    T *operator->() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    T *Detach() { return std::exchange(object_, nullptr); }

private:
    T *object_ = nullptr;
};

// Answers QueryInterface for riid through object into *out: the common tail of
// every call that hands out a new object.
template <class T>
HRESULT HandOut(const ComPtr<T> &object, REFIID riid, IUnknown **out) {
    return object->QueryInterface(riid, reinterpret_cast<void **>(out));
}

// Runs the body of a COM method: no exception may reach a client.
template <class Body>
HRESULT NoThrow(Body body) {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return E_OUTOFMEMORY;
    } catch (const std::system_error &) {
        return E_OUTOFMEMORY;  // no thread (or lock) to be had: a resource, like memory
    } catch (...) {
        return E_FAIL;
    }
}
