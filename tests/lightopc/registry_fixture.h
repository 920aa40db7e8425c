// Test-only class ids and ProgIDs, so that no test touches a real registration.
#pragma once

#include "lightopc.h"

// {B15A7E57-0000-4C1A-8E57-5E57C1A55000} + n
inline CLSID TestClsid(BYTE n) {
    return CLSID{0xB15A7E57, 0x0000, 0x4C1A, {0x8E, 0x57, 0x5E, 0x57, 0xC1, 0xA5, 0x50, n}};
}
