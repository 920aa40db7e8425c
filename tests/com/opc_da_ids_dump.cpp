// Prints the interface ids this build's OPC declarations hold, "name {GUID}" a
// line, for the test that compares them with the IDL.
#include <cstdio>

#include "opc_da.h"

namespace {

void Print(const char *name, const IID &g) {
    std::printf("%s {%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}\n", name, static_cast<unsigned>(g.Data1),
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                g.Data4[7]);
}

}  // namespace

// The interface's name as written, and its id.
#define PRINT(name) Print(#name, IID_##name)

int main() {
    PRINT(IOPCServer);
    PRINT(IOPCCommon);
    PRINT(IOPCShutdown);
    PRINT(IOPCBrowseServerAddressSpace);
    PRINT(IOPCItemProperties);
    PRINT(IOPCGroupStateMgt);
    PRINT(IOPCSyncIO);
    PRINT(IOPCItemMgt);
    PRINT(IEnumOPCItemAttributes);
    PRINT(IOPCDataCallback);
    PRINT(IOPCAsyncIO2);
    PRINT(IOPCBrowse);
    PRINT(IOPCItemIO);
    PRINT(IOPCSyncIO2);
    PRINT(IOPCAsyncIO3);
    PRINT(IOPCGroupStateMgt2);
    PRINT(IOPCItemDeadbandMgt);
    PRINT(IOPCAsyncIO);
    return 0;
}
