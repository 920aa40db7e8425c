// The OPC calls the commands share: the tag names from the server's flat
// browse, and a private group that holds the tags and is removed again
// whatever way the command ends.
#pragma once

#include <string>
#include <vector>

#include "ComRef.h"
#include "OleText.h"
#include "opc_da.h"

// Every tag name, in the server's order. false with the failing call.
bool BrowseTagNames(IOPCServer *server, std::vector<OleString> &names, const char *&failedCall, HRESULT &result);

// The outcome of adding or validating one tag.
struct TagResult {
    HRESULT error = S_OK;
    OPCHANDLE serverHandle = 0;
    VARTYPE canonicalType = VT_EMPTY;
};

// True for the per-item errors that mean "no such tag".
bool IsUnknownTag(HRESULT error);

class ClientGroup {
public:
    explicit ClientGroup(IOPCServer *server) : server_(server) {}
    ClientGroup(const ClientGroup &) = delete;
    ClientGroup &operator=(const ClientGroup &) = delete;
    ~ClientGroup() { Remove(); }

    // An active group at rateMs, private to this client.
    HRESULT Add(DWORD rateMs);
    // Adds the tags (client handle = index) or only validates them; the call's
    // own failure is returned, each tag's in results.
    HRESULT AddItems(const std::vector<OleString> &names, std::vector<TagResult> &results);
    HRESULT ValidateItems(const std::vector<OleString> &names, std::vector<TagResult> &results);
    // Our references go first, then the group itself.
    void Remove();

    IOPCItemMgt *Items() const { return items_.get(); }
    DWORD RevisedRate() const { return revisedRate_; }

private:
    HRESULT ItemCall(bool add, const std::vector<OleString> &names, std::vector<TagResult> &results);

    IOPCServer *server_;
    ComRef<IOPCItemMgt> items_;
    OPCHANDLE handle_ = 0;
    DWORD revisedRate_ = 0;
};
