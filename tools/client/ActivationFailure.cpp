#include "Activation.h"
#include "ClientIo.h"
#include "ExitCodes.h"

namespace {

bool IsStartFailure(HRESULT result) {
    switch (static_cast<unsigned>(result)) {
        case 0x80080005:  // CO_E_SERVER_EXEC_FAILURE
        case 0x80080004:  // CO_E_SERVER_STOPPING
        case 0x800401FE:  // CO_E_APPDIDNTREG
        case 0x800706BA:  // RPC_S_SERVER_UNAVAILABLE
        case 0x80070002:  // the registered executable is missing
        case 0x80070003:  // ... or its folder
        case 0x800700C1:  // ... or it is not a program
            return true;
        default:
            return false;
    }
}

}  // namespace

Activation ActivationFailure(const std::string &progId, ActivationStep step, HRESULT result) {
    Activation failed;
    const std::string code = " (" + ResultText(result) + ")";
    const unsigned number = static_cast<unsigned>(result);
    if (step == ActivationStep::LookUp && number == 0x80070005 /* E_ACCESSDENIED */) {
        failed.exitCode = kExitNotRegistered;
        failed.message = progId + " is registered where another user may change it; not used" + code;
    } else if (step == ActivationStep::LookUp || number == 0x80040154 /* REGDB_E_CLASSNOTREG */) {
        failed.exitCode = kExitNotRegistered;
        failed.message = progId + " is not registered" + code;
    } else if (number == 0x8001011F /* RPC_E_TIMEOUT */) {
        failed.exitCode = kExitCannotStart;
        failed.message = progId + " did not answer in time" + code;
    } else if (IsStartFailure(result)) {
        failed.exitCode = kExitCannotStart;
        failed.message = progId + " is registered but could not be started" + code;
    } else if (number == 0x80070004 /* ERROR_TOO_MANY_OPEN_FILES */) {
        failed.exitCode = kExitFailure;
        failed.message = "this client may open no more files to reach " + progId + code;
    } else if (number == 0x800706BB /* RPC_S_SERVER_TOO_BUSY */) {
        failed.exitCode = kExitRefused;
        failed.message = progId + " is busy: it serves as many clients as it may; try again later" + code;
    } else {
        failed.exitCode = kExitRefused;
        failed.message = progId + " refused the client" + code;
    }
    return failed;
}
