// What both registries share: the keys recorded for a server, and the checks
// and copies around them.
#pragma once

#include <cerrno>
#include <new>
#include <string>

// The OPC Data Access 1.0 and 2.0 server categories, so that OPC browsers list the server.
constexpr const char *kOpcServerCategories[] = {
    "{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}",
    "{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}",
};
constexpr const char *kCategoriesKey = "Implemented Categories";
constexpr const char *kLocalServerKey = "LocalServer32";
constexpr const char *kProgIdKey = "ProgID";
constexpr const char *kClsidKey = "CLSID";

// A value the registries can hold on one line: not null, no line end.
bool ValidRegistryText(const char *text);
// A ProgID that is also a safe file and key name: 1 to 255 of A-Z a-z 0-9 . _ -,
// not starting with a period.
bool ValidProgId(const char *progId);
// Copies text whole and terminated into buffer (size bytes): 0, or ERANGE when
// it does not fit. A null buffer asks for nothing.
int CopyWhole(const std::string &text, char *buffer, unsigned size);

// Runs a registry action: its result, or ENOMEM when memory ran out.
template <class Action>
int NoThrow(Action action) {
    try {
        return action();
    } catch (const std::bad_alloc &) {
        return ENOMEM;
    }
}
