// Ownership of COM references and of the task-memory arrays that OPC calls
// hand back, so that no path out of a command leaks either.
#pragma once

#include <memory>

#include "platform/com.h"

struct ComReleaser {
    void operator()(IUnknown *object) const { object->Release(); }
};
template <class T>
using ComRef = std::unique_ptr<T, ComReleaser>;

// object's interface iid, or null when it has none.
template <class T>
ComRef<T> QueryRef(IUnknown *object, const IID &iid) {
    void *found = nullptr;
    if (object == nullptr || FAILED(object->QueryInterface(iid, &found))) return ComRef<T>();
    return ComRef<T>(static_cast<T *>(found));
}

struct TaskFreer {
    void operator()(void *block) const { CoTaskMemFree(block); }
};
// A task-memory block whose elements own nothing, or whose contents the
// holder frees first.
template <class T>
using TaskRef = std::unique_ptr<T, TaskFreer>;
