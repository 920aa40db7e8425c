#include "opc_errors.h"

#include "platform/system_message.h"

namespace {

struct OpcMessage {
    HRESULT code;
    const char *text;
};

constexpr OpcMessage kOpcMessages[] = {
    {OPC_E_INVALIDHANDLE, "The value of the handle is invalid."},
    {OPC_E_BADTYPE, "The server cannot convert the data between the requested data type and the canonical data type."},
    {OPC_E_PUBLIC, "The requested operation cannot be done on a public group."},
    {OPC_E_BADRIGHTS, "The item's access rights do not allow the operation."},
    {OPC_E_UNKNOWNITEMID, "The item is not defined in the server's address space."},
    {OPC_E_INVALIDITEMID, "The item definition does not conform to the server's syntax."},
    {OPC_E_INVALIDFILTER, "The filter string is not valid."},
    {OPC_E_UNKNOWNPATH, "The item's access path is not known to the server."},
    {OPC_E_RANGE, "The value is out of range."},
    {OPC_E_DUPLICATENAME, "Duplicate name not allowed."},
    {OPC_S_UNSUPPORTEDRATE, "The server does not support the requested rate but will use the closest available rate."},
    {OPC_S_CLAMP, "A value passed to write was accepted but the output was clamped."},
    {OPC_S_INUSE, "The operation cannot be performed because the object is being referenced."},
    {OPC_E_INVALIDCONFIG, "The server's configuration file is an invalid format."},
    {OPC_E_NOTFOUND, "The requested object was not found."},
    {OPC_E_INVALID_PID, "The specified property ID is not valid for the item."},
    {OPC_E_DEADBANDNOTSET, "The item deadband has not been set for this item."},
    {OPC_E_DEADBANDNOTSUPPORTED, "The item does not support deadband."},
    {OPC_E_NOBUFFERING,
     "The server does not support buffering of data items that are collected at a faster rate "
     "than the group update rate."},
    {OPC_E_INVALIDCONTINUATIONPOINT, "The continuation point is not valid."},
    {OPC_S_DATAQUEUEOVERFLOW,
     "Not every detected change has been returned since the server's buffer reached its "
     "limit and had to purge out the oldest data."},
    {OPC_E_RATENOTSET, "There is no sampling rate set for the specified item."},
    {OPC_E_NOTSUPPORTED, "The server does not support writing of quality and/or timestamp."},
};

}  // namespace

bool ErrorText(HRESULT code, OleString *text) {
    for (const OpcMessage &message : kOpcMessages) {
        if (message.code == code) {
            *text = ToOle(message.text);
            return true;
        }
    }
    return SystemMessageText(code, text);
}
