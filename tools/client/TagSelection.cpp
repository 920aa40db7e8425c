#include "TagSelection.h"

#include "ExitCodes.h"

bool SelectTags(IOPCServer *server, const std::vector<std::string> &named, std::vector<OleString> &names, ClientIo &io,
                int &exitCode) {
    names.clear();
    if (!named.empty()) {
        for (const std::string &name : named) names.push_back(OleFromUtf8(name));
        return true;
    }
    const char *call = "";
    HRESULT result = S_OK;
    if (BrowseTagNames(server, names, call, result)) return true;
    io.CallFailed(call, result);
    exitCode = kExitFailure;
    return false;
}

bool AddSelectedTags(ClientGroup &group, const std::vector<OleString> &names, std::vector<TagResult> &results,
                     ClientIo &io, int &exitCode) {
    const HRESULT result = group.AddItems(names, results);
    if (FAILED(result)) {
        io.CallFailed("AddItems", result);
        exitCode = kExitFailure;
        return false;
    }
    bool unknown = false;
    bool failed = false;
    for (std::size_t k = 0; k < names.size(); ++k) {
        if (IsUnknownTag(results[k].error)) {
            io.Error("unknown tag <" + Utf8FromOle(names[k].c_str()) + ">");
            unknown = true;
        } else if (FAILED(results[k].error)) {
            io.Error("tag <" + Utf8FromOle(names[k].c_str()) + "> refused (" + ResultText(results[k].error) + ")");
            failed = true;
        }
    }
    if (!unknown && !failed) return true;
    exitCode = unknown ? kExitUnknownTag : kExitFailure;
    return false;
}
