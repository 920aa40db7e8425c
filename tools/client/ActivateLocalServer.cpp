#include "Activation.h"
#include "OleText.h"

Activation ActivateLocalServer(const std::string &progId) {
    const OleString name = OleFromUtf8(progId);
    CLSID clsid{};
    HRESULT result = CLSIDFromProgID(name.c_str(), &clsid);
    if (FAILED(result)) return ActivationFailure(progId, ActivationStep::LookUp, result);
    void *server = nullptr;
    result = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, &server);
    if (FAILED(result)) return ActivationFailure(progId, ActivationStep::Create, result);
    Activation done;
    done.server.reset(static_cast<IOPCServer *>(server));
    return done;
}
