#include "ComRef.h"
#include "Commands.h"
#include "ExitCodes.h"
#include "JsonText.h"
#include "OleText.h"
#include "TimeText.h"

namespace {

std::string StateName(OPCSERVERSTATE state) {
    switch (state) {
        case OPC_STATUS_RUNNING:
            return "running";
        case OPC_STATUS_FAILED:
            return "failed";
        case OPC_STATUS_NOCONFIG:
            return "no configuration";
        case OPC_STATUS_SUSPENDED:
            return "suspended";
        case OPC_STATUS_TEST:
            return "test";
        default:
            return "unknown (" + std::to_string(static_cast<int>(state)) + ")";
    }
}

// A time the server has not set yet (no update so far) is "none" or null.
std::string Time(const FILETIME &time, bool json) {
    if (IsZeroTime(time)) return json ? "null" : "none";
    return json ? JsonString(TimeText(time)) : TimeText(time);
}

}  // namespace

int StatusCommand(IOPCServer *server, const ClientOptions &options, ClientIo &io) {
    OPCSERVERSTATUS *status = nullptr;
    const HRESULT result = server->GetStatus(&status);
    TaskRef<OPCSERVERSTATUS> owned(status);
    if (FAILED(result) || status == nullptr) {
        io.CallFailed("GetStatus", FAILED(result) ? result : E_POINTER);
        return kExitFailure;
    }
    const std::string vendor = Utf8FromOle(status->szVendorInfo);
    CoTaskMemFree(status->szVendorInfo);
    const std::string version = std::to_string(status->wMajorVersion) + "." + std::to_string(status->wMinorVersion) +
                                "." + std::to_string(status->wBuildNumber);
    const bool json = options.json;
    if (json) {
        io.Out("{\"state\":" + JsonString(StateName(status->dwServerState)) + ",\"start_time\":" +
               Time(status->ftStartTime, json) + ",\"current_time\":" + Time(status->ftCurrentTime, json) +
               ",\"last_update\":" + Time(status->ftLastUpdateTime, json) +
               ",\"group_count\":" + std::to_string(status->dwGroupCount) + ",\"vendor\":" + JsonString(vendor) +
               ",\"version\":" + JsonString(version) + "}\n");
    } else {
        io.Out("state         " + StateName(status->dwServerState) + "\n" + "start time    " +
               Time(status->ftStartTime, json) + "\n" + "current time  " + Time(status->ftCurrentTime, json) + "\n" +
               "last update   " + Time(status->ftLastUpdateTime, json) + "\n" + "groups        " +
               std::to_string(status->dwGroupCount) + "\n" + "vendor        " + vendor + "\n" + "version       " +
               version + "\n");
    }
    return kExitOk;
}
