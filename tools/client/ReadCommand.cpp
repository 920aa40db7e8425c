#include "ComRef.h"
#include "Commands.h"
#include "ExitCodes.h"
#include "ItemText.h"
#include "TagSelection.h"

namespace {

// The rate of read's group: it gets no callbacks, so any rate serves.
constexpr DWORD kReadGroupRateMs = 1000;

}  // namespace

int ReadCommand(IOPCServer *server, const ClientOptions &options, ClientIo &io) {
    int exitCode = kExitOk;
    std::vector<OleString> names;
    if (!SelectTags(server, options.tags, names, io, exitCode)) return exitCode;
    ClientGroup group(server);
    HRESULT result = group.Add(kReadGroupRateMs);
    if (FAILED(result)) {
        io.CallFailed("AddGroup", result);
        return kExitFailure;
    }
    std::vector<TagResult> added;
    if (!AddSelectedTags(group, names, added, io, exitCode)) return exitCode;

    std::vector<OPCHANDLE> handles;
    for (const TagResult &tag : added) handles.push_back(tag.serverHandle);
    OPCITEMSTATE *states = nullptr;
    HRESULT *errors = nullptr;
    if (!handles.empty()) {
        ComRef<IOPCSyncIO> sync = QueryRef<IOPCSyncIO>(group.Items(), IID_IOPCSyncIO);
        result = sync ? sync->Read(OPC_DS_CACHE, static_cast<DWORD>(handles.size()), handles.data(), &states, &errors)
                      : E_NOINTERFACE;
    }
    TaskRef<OPCITEMSTATE> ownedStates(states);
    TaskRef<HRESULT> ownedErrors(errors);
    if (FAILED(result)) {
        io.CallFailed("Read", result);
        return kExitFailure;
    }
    if (!handles.empty() && (states == nullptr || errors == nullptr)) {
        io.CallFailed("Read", E_POINTER);
        return kExitFailure;
    }

    std::size_t widest = 0;
    const std::vector<std::string> utf8 = Utf8Names(names, widest);
    std::string text = options.json ? "{\"items\":[" : "";
    for (std::size_t k = 0; k < handles.size(); ++k) {
        if (options.json && k > 0) text += ",";
        if (FAILED(errors[k])) {
            exitCode = kExitFailure;
            text += options.json ? ItemErrorJson(utf8[k], errors[k]) : ItemErrorLine(utf8[k], widest, errors[k]);
        } else {
            const OPCITEMSTATE &state = states[k];
            text += options.json ? ItemJson(utf8[k], state.vDataValue, state.ftTimeStamp, state.wQuality)
                                 : ItemLine(utf8[k], widest, state.vDataValue, state.ftTimeStamp, state.wQuality);
        }
        if (states != nullptr) VariantClear(&states[k].vDataValue);
    }
    if (options.json) text += "]}\n";
    io.Out(text);
    return exitCode;
}
