// The enumerators the toolkit hands out: over texts (item ids, group names),
// over objects (groups, connection points), over connections and over a
// group's items. Each holds a snapshot taken when it was made, so that it
// never sees a half-changed table and never holds a lock of its owner.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "com_object.h"
#include "task_memory.h"

// How one element is handed to a caller, and taken back when a later one fails.
struct TextHandOver {
    static bool Copy(const OleString &from, LPOLESTR *to) {
        *to = TaskText(from);
        return *to != nullptr;
    }
    static void Undo(LPOLESTR *to) { CoTaskMemFree(*to); }
};
template <class T>
struct ObjectHandOver {
    static bool Copy(const ComPtr<T> &from, T **to) {
        *to = ComPtr<T>(from).Detach();
        return true;
    }
    static void Undo(T **to) { (*to)->Release(); }
};
// An advised sink with its cookie.
struct Connection {
    ComPtr<IUnknown> sink;
    DWORD cookie;
};
struct ConnectionHandOver {
    static bool Copy(const Connection &from, CONNECTDATA *to) {
        to->pUnk = ComPtr<IUnknown>(from.sink).Detach();
        to->dwCookie = from.cookie;
        return true;
    }
    static void Undo(CONNECTDATA *to) { to->pUnk->Release(); }
};

template <class Interface, class Stored, class Out, class Policy>
class ListEnumerator final : public ComObject<ListEnumerator<Interface, Stored, Out, Policy>, Interface> {
public:
    using Items = std::shared_ptr<const std::vector<Stored>>;
    explicit ListEnumerator(Items items, std::size_t position = 0) : items_(std::move(items)), position_(position) {}

    HRESULT STDMETHODCALLTYPE Next(ULONG count, Out *out, ULONG *fetched) override {
        if (fetched != nullptr) *fetched = 0;
        if (out == nullptr || (count != 1 && fetched == nullptr)) return E_INVALIDARG;
        std::lock_guard<std::mutex> held(lock_);
        const std::size_t left = items_->size() - position_;
        const ULONG n = static_cast<ULONG>(count < left ? count : left);
        for (ULONG k = 0; k < n; ++k) {
            if (!Policy::Copy((*items_)[position_ + k], &out[k])) {
                while (k > 0) Policy::Undo(&out[--k]);
                return E_OUTOFMEMORY;
            }
        }
        position_ += n;
        if (fetched != nullptr) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        std::lock_guard<std::mutex> held(lock_);
        const std::size_t left = items_->size() - position_;
        position_ += count < left ? count : left;
        return count <= left ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        std::lock_guard<std::mutex> held(lock_);
        position_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(Interface **copy) override {
        if (copy == nullptr) return E_INVALIDARG;
        std::lock_guard<std::mutex> held(lock_);
        *copy = new (std::nothrow) ListEnumerator(items_, position_);
        return *copy != nullptr ? S_OK : E_OUTOFMEMORY;
    }

private:
    ~ListEnumerator() = default;
    friend class ComObject<ListEnumerator, Interface>;

    const Items items_;
    std::mutex lock_;
    std::size_t position_;
};

using TextEnumerator = ListEnumerator<IEnumString, OleString, LPOLESTR, TextHandOver>;
using UnknownEnumerator = ListEnumerator<IEnumUnknown, ComPtr<IUnknown>, IUnknown *, ObjectHandOver<IUnknown>>;
using ConnectionEnumerator = ListEnumerator<IEnumConnections, Connection, CONNECTDATA, ConnectionHandOver>;
using PointEnumerator = ListEnumerator<IEnumConnectionPoints, ComPtr<IConnectionPoint>, IConnectionPoint *,
                                       ObjectHandOver<IConnectionPoint>>;

// Makes an enumerator over items and answers riid through it; S_FALSE (with
// the enumerator) when there is nothing to enumerate.
template <class Enumerator, class Stored>
HRESULT MakeEnumerator(std::vector<Stored> items, REFIID riid, IUnknown **out) {
    const bool empty = items.empty();
    auto shared = std::make_shared<const std::vector<Stored>>(std::move(items));  // may throw std::bad_alloc
    const ComPtr<Enumerator> made = ComPtr<Enumerator>::Adopt(new (std::nothrow) Enumerator(std::move(shared)));
    if (!made) return E_OUTOFMEMORY;
    const HRESULT handed = HandOut(made, riid, out);
    if (FAILED(handed)) return handed;
    return empty ? S_FALSE : S_OK;
}
