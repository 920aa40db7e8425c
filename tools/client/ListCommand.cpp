#include "Commands.h"
#include "ExitCodes.h"
#include "ItemText.h"
#include "JsonText.h"
#include "OpcSession.h"
#include "ValueText.h"

int ListCommand(IOPCServer *server, const ClientOptions &options, ClientIo &io) {
    std::vector<OleString> names;
    const char *call = "";
    HRESULT result = S_OK;
    if (!BrowseTagNames(server, names, call, result)) {
        io.CallFailed(call, result);
        return kExitFailure;
    }
    // The types come from validating the names in a group of our own, which
    // adds nothing to it.
    ClientGroup group(server);
    std::vector<TagResult> types;
    if (FAILED(result = group.Add(0)) || FAILED(result = group.ValidateItems(names, types))) {
        io.CallFailed(group.Items() == nullptr ? "AddGroup" : "ValidateItems", result);
        return kExitFailure;
    }
    group.Remove();

    std::size_t widest = 0;
    const std::vector<std::string> utf8 = Utf8Names(names, widest);
    std::string text = options.json ? "{\"tags\":[" : "";
    for (std::size_t k = 0; k < utf8.size(); ++k) {
        // A browsed name that does not validate is shown without a type.
        const std::string type = FAILED(types[k].error) ? "" : VarTypeName(types[k].canonicalType);
        if (options.json) {
            text += (k == 0 ? "" : ",") + std::string("{\"name\":") + JsonString(utf8[k]) +
                    ",\"type\":" + (type.empty() ? "null" : JsonString(type)) + "}";
        } else {
            text += Padded(utf8[k], widest) + "  " + (type.empty() ? "?" : type) + "\n";
        }
    }
    if (options.json) text += "]}\n";
    io.Out(text);
    return kExitOk;
}
