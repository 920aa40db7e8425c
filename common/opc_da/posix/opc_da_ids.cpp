// The interface ids of the OPC Data Access 2.05a custom interfaces.
#include "opc_da.h"

namespace {
// The Data Access 1.0 interfaces share one tail, the later common ones another.
constexpr GUID DataAccess(DWORD first) {
    return {first, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
}
constexpr GUID Common(DWORD first) {
    return {first, 0x07B6, 0x11D2, {0xB2, 0xD8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};
}
}  // namespace

const IID IID_IOPCServer = DataAccess(0x39C13A4D);
const IID IID_IOPCBrowseServerAddressSpace = DataAccess(0x39C13A4F);
const IID IID_IOPCGroupStateMgt = DataAccess(0x39C13A50);
const IID IID_IOPCSyncIO = DataAccess(0x39C13A52);
const IID IID_IOPCAsyncIO = DataAccess(0x39C13A53);
const IID IID_IOPCItemMgt = DataAccess(0x39C13A54);
const IID IID_IEnumOPCItemAttributes = DataAccess(0x39C13A55);
const IID IID_IOPCDataCallback = DataAccess(0x39C13A70);
const IID IID_IOPCAsyncIO2 = DataAccess(0x39C13A71);
const IID IID_IOPCItemProperties = DataAccess(0x39C13A72);
const IID IID_IOPCShutdown = Common(0xF31DFDE1);
const IID IID_IOPCCommon = Common(0xF31DFDE2);
