// What a call throws, for the tests of calls that report failures as CError.
#pragma once

#include <string>
#include <type_traits>

#include "CError.h"

// The message of the CError that f throws; otherwise f's result in decimal,
// or nothing when f returns nothing.
template <typename F>
std::string Outcome(F f) {
    try {
        if constexpr (std::is_void_v<decltype(f())>) {
            f();
            return "";
        } else {
            return std::to_string(f());
        }
    } catch (const CError &e) {
        return e.narrowMessage;
    }
}
