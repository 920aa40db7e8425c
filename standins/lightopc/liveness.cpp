#include "liveness.h"

#include <cstdint>

bool ClientVanished(HRESULT result) {
    switch (static_cast<std::uint32_t>(result)) {
        case 0x80010007U:  // RPC_E_SERVER_DIED
        case 0x80010012U:  // RPC_E_SERVER_DIED_DNE
        case 0x80010108U:  // RPC_E_DISCONNECTED
        case 0x800401FDU:  // CO_E_OBJNOTCONNECTED
        case 0x800706BAU:  // the RPC server is unavailable
        case 0x800706BEU:  // the remote procedure call failed
        case 0x800706BFU:  // the remote procedure call failed and did not execute
            return true;
        default:
            return false;
    }
}

HRESULT(*disconnect_object)
(IUnknown *object, DWORD reserved) = [](IUnknown *object, DWORD reserved) {
    return CoDisconnectObject(object, reserved);
};
