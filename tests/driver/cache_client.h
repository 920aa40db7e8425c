// The toolkit's cache as an OPC client reads it: one server object made for
// the service, one active group, items added by name, sync reads from cache.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "../lightopc/opc_client.h"
#include "lightopc.h"
#include "opc_da.h"

class CacheClient {
public:
    explicit CacheClient(loService *service) : CacheClient(Client(service)) {}
    // On a server object an OPC client got elsewhere, held until the end.
    explicit CacheClient(opc_test::Ref<IOPCServer> server) : server_(std::move(server)) {
        if (!server_) return;
        OPCHANDLE group = 0;
        DWORD rate = 0;
        IUnknown *items = nullptr;
        if (FAILED(server_->AddGroup(opc_test::Ole("").c_str(), TRUE, 0, 1, nullptr, nullptr, 0, &group, &rate,
                                     IID_IOPCItemMgt, &items))) {
            return;
        }
        items_.reset(static_cast<IOPCItemMgt *>(items));
        sync_ = opc_test::Query<IOPCSyncIO>(items, IID_IOPCSyncIO);
    }

    // "name:type:access" of every tag, in the order the server lists them.
    std::vector<std::string> Tags() {
        std::vector<std::string> tags;
        const auto browser =
            opc_test::Query<IOPCBrowseServerAddressSpace>(server_.get(), IID_IOPCBrowseServerAddressSpace);
        IEnumString *names = nullptr;
        // S_FALSE: nothing to list, with an empty enumerator all the same.
        if (!browser || FAILED(browser->BrowseOPCItemIDs(OPC_FLAT, opc_test::Ole("").c_str(), VT_EMPTY, 0, &names)) ||
            names == nullptr) {
            return tags;
        }
        LPOLESTR name = nullptr;
        ULONG fetched = 0;
        while (names->Next(1, &name, &fetched) == S_OK && fetched == 1) {
            OPCITEMRESULT result{};
            if (Add(opc_test::Narrow(name), &result)) {
                tags.push_back(opc_test::Narrow(name) + ":" + std::to_string(result.vtCanonicalDataType) + ":" +
                               std::to_string(result.dwAccessRights));
            }
            CoTaskMemFree(name);
        }
        names->Release();
        return tags;
    }

    // One item's value, quality and timestamp from the cache; false for an unknown name.
    bool Read(const std::string &name, VARIANT *value, WORD *quality, FILETIME *time) {
        OPCITEMRESULT added{};
        if (!sync_ || !Add(name, &added)) return false;
        opc_test::TaskOut<OPCITEMSTATE> states{nullptr, [](OPCITEMSTATE &s) { VariantClear(&s.vDataValue); }, 0};
        HRESULT *errors = nullptr;
        if (sync_->Read(OPC_DS_CACHE, 1, &added.hServer, &states.items, &errors) != S_OK) return false;
        states.count = 1;
        CoTaskMemFree(errors);
        VariantCopy(value, &states[0].vDataValue);
        *quality = states[0].wQuality;
        *time = states[0].ftTimeStamp;
        return true;
    }

private:
    static opc_test::Ref<IOPCServer> Client(loService *service) {
        loClient *client = nullptr;
        IUnknown *inner = nullptr;
        if (loClientCreate_agg(service, &client, nullptr, &inner, 0, nullptr, nullptr, nullptr) != 0) return {};
        opc_test::Ref<IOPCServer> server = opc_test::Query<IOPCServer>(client, IID_IOPCServer);
        client->Release();
        return server;
    }

    bool Add(const std::string &name, OPCITEMRESULT *result) {
        if (!items_) return false;
        opc_test::OleText id = opc_test::Ole(name);
        opc_test::OleText path = opc_test::Ole("");
        OPCITEMDEF item{path.data(), id.data(), TRUE, 1, 0, nullptr, VT_EMPTY, 0};
        OPCITEMRESULT *results = nullptr;
        HRESULT *errors = nullptr;
        const bool ok = items_->AddItems(1, &item, &results, &errors) == S_OK;
        if (results != nullptr) {
            *result = results[0];
            CoTaskMemFree(results[0].pBlob);
        }
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        return ok;
    }

    opc_test::Ref<IOPCServer> server_;
    opc_test::Ref<IOPCItemMgt> items_;
    opc_test::Ref<IOPCSyncIO> sync_;
};
