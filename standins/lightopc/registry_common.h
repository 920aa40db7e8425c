// What both registries share: the keys recorded for a server, the checks on
// what is recorded, and the toolkit's registration calls built on the
// platform's own operations below.
#pragma once

#include <string>

#include "platform/com.h"

// The OPC Data Access 1.0, 2.0 and 3.0 server categories, so that OPC browsers list the server.
constexpr const char *kOpcServerCategories[] = {
    "{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}",
    "{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}",
    "{CC603642-66D7-48F1-B69A-B625E73652D7}",
};
constexpr const char *kCategoriesKey = "Implemented Categories";
constexpr const char *kLocalServerKey = "LocalServer32";
constexpr const char *kProgIdKey = "ProgID";
constexpr const char *kClsidKey = "CLSID";
constexpr const char *kIndependentProgIdKey = "VersionIndependentProgID";
// The vendor OPC browsers show under the ProgID's OPC key: the server's vendor record's.
constexpr const char *kOpcVendorName = "Brisvale OPC Server";

// A value the registries can hold on one line: not null, no line end.
bool ValidRegistryText(const char *text);
// A ProgID that is also a safe file and key name: 1 to 255 of A-Z a-z 0-9 . _ -,
// not starting with a period.
bool ValidProgId(const char *progId);
// The ProgID without its version ("OPC.Brisvale" for "OPC.Brisvale.1"); empty
// when it ends in no version number after a name.
std::string VersionIndependentProgId(const char *progId);

// Each platform's registry; results are 0 or that platform's error numbers.
int RegisterServer(const CLSID *clsid, const char *progId, const char *description, const char *exePath);
int UnregisterServer(const CLSID *clsid, const char *progId);
// The class's description, local-server command line and ProgID, in that
// order; a missing value reads as empty.
int ReadServer(const CLSID *clsid, std::string (&values)[3]);
int ReadProgId(const char *progId, CLSID *clsid);

// Removes a class's key, then its ProgID's: 0 when either was there, notFound
// when neither was, or the first other failure, which stops it.
template <class RemoveClass, class RemoveProgId>
int RemoveBoth(int notFound, RemoveClass removeClass, RemoveProgId removeProgId) {
    const int classResult = removeClass();
    if (classResult != 0 && classResult != notFound) return classResult;
    const int progIdResult = removeProgId();
    if (progIdResult != 0 && progIdResult != notFound) return progIdResult;
    return classResult == 0 || progIdResult == 0 ? 0 : notFound;
}
