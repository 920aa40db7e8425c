#include "OpcSession.h"

namespace {

// Names per IEnumString::Next: few round trips to a server in another process.
constexpr ULONG kNamesPerCall = 256;
constexpr LCID kEnglish = 0x0409;

}  // namespace

bool BrowseTagNames(IOPCServer *server, std::vector<OleString> &names, const char *&failedCall, HRESULT &result) {
    ComRef<IOPCBrowseServerAddressSpace> browse =
        QueryRef<IOPCBrowseServerAddressSpace>(server, IID_IOPCBrowseServerAddressSpace);
    if (!browse) {
        failedCall = "QueryInterface(IOPCBrowseServerAddressSpace)";
        result = E_NOINTERFACE;
        return false;
    }
    static const OLECHAR kAll[] = {0};
    IEnumString *found = nullptr;
    result = browse->BrowseOPCItemIDs(OPC_FLAT, kAll, VT_EMPTY, 0, &found);
    if (FAILED(result)) {
        failedCall = "BrowseOPCItemIDs";
        return false;
    }
    ComRef<IEnumString> enumerator(found);
    // S_FALSE with no enumerator: a server with no tags at all.
    while (enumerator) {
        LPOLESTR batch[kNamesPerCall] = {};
        ULONG fetched = 0;
        result = enumerator->Next(kNamesPerCall, batch, &fetched);
        if (FAILED(result)) {
            failedCall = "IEnumString::Next";
            return false;
        }
        for (ULONG k = 0; k < fetched && k < kNamesPerCall; ++k) {
            if (batch[k] != nullptr) {
                names.emplace_back(batch[k]);
            } else {
                names.emplace_back();
            }
            CoTaskMemFree(batch[k]);
        }
        if (result != S_OK || fetched == 0) break;
    }
    result = S_OK;
    return true;
}

bool IsUnknownTag(HRESULT error) {
    return error == OPC_E_UNKNOWNITEMID || error == OPC_E_INVALIDITEMID;
}

HRESULT ClientGroup::Add(DWORD rateMs) {
    static const OLECHAR kUnnamed[] = {0};  // the server names it, unique among its groups
    IUnknown *group = nullptr;
    const HRESULT result = server_->AddGroup(kUnnamed, TRUE, rateMs, 0, nullptr, nullptr, kEnglish, &handle_,
                                             &revisedRate_, IID_IOPCItemMgt, &group);
    if (FAILED(result)) return result;
    items_.reset(static_cast<IOPCItemMgt *>(group));
    return result;
}

HRESULT ClientGroup::AddItems(const std::vector<OleString> &names, std::vector<TagResult> &results) {
    return ItemCall(true, names, results);
}

HRESULT ClientGroup::ValidateItems(const std::vector<OleString> &names, std::vector<TagResult> &results) {
    return ItemCall(false, names, results);
}

HRESULT ClientGroup::ItemCall(bool add, const std::vector<OleString> &names, std::vector<TagResult> &results) {
    results.assign(names.size(), TagResult{});
    if (names.empty()) return S_OK;
    std::vector<OleString> ids = names;  // the call takes non-const texts
    std::vector<OPCITEMDEF> definitions(ids.size());
    for (std::size_t k = 0; k < ids.size(); ++k) {
        definitions[k] = OPCITEMDEF{};
        definitions[k].szAccessPath = nullptr;
        definitions[k].szItemID = &ids[k][0];
        definitions[k].bActive = TRUE;
        definitions[k].hClient = static_cast<OPCHANDLE>(k);
        definitions[k].vtRequestedDataType = VT_EMPTY;
    }
    OPCITEMRESULT *itemResults = nullptr;
    HRESULT *errors = nullptr;
    const DWORD count = static_cast<DWORD>(ids.size());
    const HRESULT result = add ? items_->AddItems(count, definitions.data(), &itemResults, &errors)
                               : items_->ValidateItems(count, definitions.data(), FALSE, &itemResults, &errors);
    TaskRef<OPCITEMRESULT> ownedResults(itemResults);
    TaskRef<HRESULT> ownedErrors(errors);
    if (FAILED(result)) return result;
    for (std::size_t k = 0; k < ids.size(); ++k) {
        if (itemResults == nullptr || errors == nullptr) break;
        results[k].error = errors[k];
        results[k].serverHandle = itemResults[k].hServer;
        results[k].canonicalType = itemResults[k].vtCanonicalDataType;
        CoTaskMemFree(itemResults[k].pBlob);
    }
    return result;
}

void ClientGroup::Remove() {
    if (!items_) return;
    items_.reset();
    server_->RemoveGroup(handle_, FALSE);
}
