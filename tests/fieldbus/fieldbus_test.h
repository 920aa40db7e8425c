// What the field-bus tests share.
#pragma once

#include <string>

#include "CError.h"

// The message that call throws as CError, or "(nothing thrown)".
template <typename Call>
std::string Failure(Call call) {
    try {
        call();
    } catch (const CError &e) {
        return e.narrowMessage;
    }
    return "(nothing thrown)";
}
