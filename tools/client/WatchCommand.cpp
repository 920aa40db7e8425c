#include "ChangeSink.h"
#include "ComRef.h"
#include "Commands.h"
#include "ExitCodes.h"
#include "ItemText.h"
#include "TagSelection.h"

namespace {

// How often watch asks for the server's status while it waits: a server that
// has gone sends no more changes, and the user should hear of it.
constexpr unsigned kLivenessCheckMs = 2000;

}  // namespace

int WatchCommand(IOPCServer *server, const ClientOptions &options, ClientIo &io) {
    int exitCode = kExitOk;
    std::vector<OleString> names;
    if (!SelectTags(server, options.tags, names, io, exitCode)) return exitCode;
    ClientGroup group(server);
    HRESULT result = group.Add(options.rateMs);
    if (FAILED(result)) {
        io.CallFailed("AddGroup", result);
        return kExitFailure;
    }
    std::vector<TagResult> added;
    if (!AddSelectedTags(group, names, added, io, exitCode)) return exitCode;

    std::size_t widest = 0;
    std::vector<std::string> utf8 = Utf8Names(names, widest);
    ComRef<ChangeSink> sink(new ChangeSink(io, std::move(utf8), widest, options.json));
    ComRef<IConnectionPointContainer> container =
        QueryRef<IConnectionPointContainer>(group.Items(), IID_IConnectionPointContainer);
    IConnectionPoint *found = nullptr;
    result = container ? container->FindConnectionPoint(IID_IOPCDataCallback, &found) : E_NOINTERFACE;
    ComRef<IConnectionPoint> point(found);
    DWORD cookie = 0;
    if (SUCCEEDED(result)) result = point->Advise(static_cast<IOPCDataCallback *>(sink.get()), &cookie);
    if (FAILED(result)) {
        // A failed Advise may have delivered the first values all the same.
        sink->Close();
        io.CallFailed(point ? "Advise" : "FindConnectionPoint", result);
        return kExitFailure;
    }

    while (!io.StopRequested(kLivenessCheckMs)) {
        OPCSERVERSTATUS *status = nullptr;
        result = server->GetStatus(&status);
        if (status != nullptr) CoTaskMemFree(status->szVendorInfo);
        CoTaskMemFree(status);
        if (FAILED(result)) {
            io.CallFailed("GetStatus", result);
            exitCode = kExitFailure;
            break;
        }
    }
    point->Unadvise(cookie);
    sink->Close();
    return exitCode;
}
