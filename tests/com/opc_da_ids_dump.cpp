// Prints the interface ids this build's OPC declarations hold, "name {GUID}" a
// line, for the test that compares them with the IDL.
#include <cstdio>

#include "opc_da.h"

int main() {
    const struct {
        const char *name;
        const IID &iid;
    } ids[] = {
        {"IOPCServer", IID_IOPCServer},
        {"IOPCCommon", IID_IOPCCommon},
        {"IOPCShutdown", IID_IOPCShutdown},
        {"IOPCBrowseServerAddressSpace", IID_IOPCBrowseServerAddressSpace},
        {"IOPCItemProperties", IID_IOPCItemProperties},
        {"IOPCGroupStateMgt", IID_IOPCGroupStateMgt},
        {"IOPCSyncIO", IID_IOPCSyncIO},
        {"IOPCItemMgt", IID_IOPCItemMgt},
        {"IEnumOPCItemAttributes", IID_IEnumOPCItemAttributes},
        {"IOPCDataCallback", IID_IOPCDataCallback},
        {"IOPCAsyncIO2", IID_IOPCAsyncIO2},
        {"IOPCBrowse", IID_IOPCBrowse},
        {"IOPCItemIO", IID_IOPCItemIO},
        {"IOPCSyncIO2", IID_IOPCSyncIO2},
        {"IOPCAsyncIO3", IID_IOPCAsyncIO3},
        {"IOPCGroupStateMgt2", IID_IOPCGroupStateMgt2},
        {"IOPCItemDeadbandMgt", IID_IOPCItemDeadbandMgt},
        {"IOPCAsyncIO", IID_IOPCAsyncIO},
    };
    for (const auto &id : ids) {
        const IID &g = id.iid;
        std::printf("%s {%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}\n", id.name, static_cast<unsigned>(g.Data1),
                    g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
                    g.Data4[6], g.Data4[7]);
    }
    return 0;
}
