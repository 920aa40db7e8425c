#include "platform/system_message.h"

namespace {

struct Message {
    HRESULT code;
    const char *text;
};

// The system texts of the results the COM layer itself gives, as Windows words them.
constexpr Message kMessages[] = {
    {S_OK, "The operation completed successfully."},
    {E_NOTIMPL, "Not implemented"},
    {E_NOINTERFACE, "No such interface supported"},
    {E_POINTER, "Invalid pointer"},
    {E_FAIL, "Unspecified error"},
    {E_UNEXPECTED, "Catastrophic failure"},
    {E_ACCESSDENIED, "Access is denied."},
    {E_OUTOFMEMORY, "Not enough memory resources are available to complete this operation."},
    {E_INVALIDARG, "The parameter is incorrect."},
    {CLASS_E_NOAGGREGATION, "Class does not support aggregation (or class object is remote)"},
    {CLASS_E_CLASSNOTAVAILABLE, "ClassFactory cannot supply requested class"},
    {REGDB_E_CLASSNOTREG, "Class not registered"},
    {CO_E_NOTINITIALIZED, "CoInitialize has not been called."},
    {CO_E_OBJISREG, "Object is already registered"},
    {CO_E_OBJNOTREG, "Object is not registered"},
    {RPC_E_CHANGED_MODE, "Cannot change thread mode after it is set."},
    {RPC_S_SERVER_TOO_BUSY, "The RPC server is too busy to complete this operation."},
    {HRESULT_NOT_ENOUGH_QUOTA, "Not enough quota is available to process this command."},
    {static_cast<HRESULT>(0x80020005L), "Type mismatch."},
    {static_cast<HRESULT>(0x80020008L), "Bad variable type."},
    {static_cast<HRESULT>(0x8002000AL), "Out of present range."},
    {static_cast<HRESULT>(0x80040200L), "Connection point not connected"},
    {static_cast<HRESULT>(0x80040201L), "Connection limit reached"},
};

}  // namespace

bool SystemMessageText(HRESULT code, std::basic_string<OLECHAR> *text) {
    for (const Message &message : kMessages) {
        if (message.code != code) continue;
        text->clear();
        for (const char *c = message.text; *c != '\0'; ++c) *text += static_cast<OLECHAR>(*c);
        return true;
    }
    return false;
}
