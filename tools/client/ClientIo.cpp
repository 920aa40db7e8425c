#include "ClientIo.h"

#include <cstdio>

void ClientIo::Out(const std::string &text) {
    std::lock_guard<std::mutex> held(lock_);
    out_ << text;
    out_.flush();
}

void ClientIo::Error(const std::string &message) {
    std::lock_guard<std::mutex> held(lock_);
    err_ << "brisvale-client: " << message << '\n';
    err_.flush();
}

void ClientIo::CallFailed(const char *call, HRESULT result) {
    const std::string code = std::string(call) + ": " + ResultText(result) + ")";
    if (static_cast<unsigned>(result) == 0x8001011F /* RPC_E_TIMEOUT */) {
        Error("the server did not answer in time (" + code);
    } else if (static_cast<unsigned>(result) == 0x80070718 /* ERROR_NOT_ENOUGH_QUOTA */) {
        Error("the server dropped this client, which fell behind with the changes (" + code);
    } else if (IsDisconnection(result)) {
        Error(std::string("the server went away (") + call + ": " + ResultText(result) + ")");
    } else {
        Error(std::string(call) + " failed (" + ResultText(result) + ")");
    }
}

std::string ResultText(HRESULT result) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(result));
    return text;
}

bool IsDisconnection(HRESULT result) {
    switch (static_cast<unsigned>(result)) {
        case 0x80010108:  // RPC_E_DISCONNECTED
        case 0x800706BA:  // RPC_S_SERVER_UNAVAILABLE
        case 0x80010007:  // RPC_E_SERVER_DIED
        case 0x80010012:  // RPC_E_SERVER_DIED_DNE
        case 0x800401FD:  // CO_E_OBJNOTCONNECTED
        case 0x800706BE:  // RPC_S_CALL_FAILED
        case 0x800706BF:  // RPC_S_CALL_FAILED_DNE
            return true;
        default:
            return false;
    }
}
