#include "platform/serial.h"

BOOL IsSerialDeviceLost(DWORD error) {
    switch (error) {
        // What the calls on the handle of a removed device report, depending
        // on its driver (Wine reports ERROR_NOT_READY for a hung-up line).
        case ERROR_ACCESS_DENIED:
        case ERROR_NOT_READY:
        case ERROR_BAD_COMMAND:
        case ERROR_GEN_FAILURE:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED:
            return TRUE;
        default:
            return FALSE;
    }
}
