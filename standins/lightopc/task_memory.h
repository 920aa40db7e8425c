// Out arrays and texts in task memory, owned until they are handed to the
// caller: an error path frees them, a success path detaches them. Nothing is
// left allocated for a failed call.
#pragma once

#include <cstring>
#include <string>

#include "opc_da.h"

template <class T>
class TaskArray {
public:
    TaskArray() = default;
    TaskArray(const TaskArray &) = delete;
    TaskArray &operator=(const TaskArray &) = delete;
    ~TaskArray() { CoTaskMemFree(items_); }

    // count zero-filled elements (at least one byte is asked for); false when out of memory.
    bool Allocate(std::size_t count) {
        CoTaskMemFree(items_);
        items_ = static_cast<T *>(CoTaskMemAlloc(count == 0 ? 1 : count * sizeof(T)));
        if (items_ != nullptr) std::memset(static_cast<void *>(items_), 0, count * sizeof(T));
        return items_ != nullptr;
    }
    T &operator[](std::size_t index) { return items_[index]; }
    T *get() const { return items_; }
    T *Detach() {
        T *handed = items_;
        items_ = nullptr;
        return handed;
    }

private:
    T *items_ = nullptr;
};

using OleString = std::basic_string<OLECHAR>;

// The longest text the toolkit reads from a client, in UTF-16 units: an item
// id without a terminator within it is refused rather than read on and on.
constexpr std::size_t kLongestClientText = 4096;

// Reads a client's terminated text into UTF-8: false for null, for a text
// without a terminator within kLongestClientText, and for broken UTF-16.
bool ReadClientText(LPCOLESTR text, std::string *utf8);
OleString ToOle(const std::string &utf8);
// A copy in task memory, or null when out of memory.
LPOLESTR TaskText(const std::string &utf8);
LPOLESTR TaskText(const OleString &text);
