#include "proxy_registration.h"

#include <string>

#include "opc_da.h"
#include "opc_da_proxy.h"
#include "platform/guid_text.h"
#include "registry_keys.h"

namespace {

struct ProxiedInterface {
    const IID *iid;
    const char *name;
};

const ProxiedInterface kProxied[] = {
    {&IID_IOPCServer, "IOPCServer"},
    {&IID_IOPCCommon, "IOPCCommon"},
    {&IID_IOPCShutdown, "IOPCShutdown"},
    {&IID_IOPCBrowseServerAddressSpace, "IOPCBrowseServerAddressSpace"},
    {&IID_IOPCItemProperties, "IOPCItemProperties"},
    {&IID_IOPCGroupStateMgt, "IOPCGroupStateMgt"},
    {&IID_IOPCSyncIO, "IOPCSyncIO"},
    {&IID_IOPCItemMgt, "IOPCItemMgt"},
    {&IID_IEnumOPCItemAttributes, "IEnumOPCItemAttributes"},
    {&IID_IOPCDataCallback, "IOPCDataCallback"},
    {&IID_IOPCAsyncIO2, "IOPCAsyncIO2"},
    {&IID_IOPCBrowse, "IOPCBrowse"},
    {&IID_IOPCItemIO, "IOPCItemIO"},
    {&IID_IOPCSyncIO2, "IOPCSyncIO2"},
    {&IID_IOPCAsyncIO3, "IOPCAsyncIO3"},
    {&IID_IOPCGroupStateMgt2, "IOPCGroupStateMgt2"},
    {&IID_IOPCItemDeadbandMgt, "IOPCItemDeadbandMgt"},
    {&IID_IOPCAsyncIO, "IOPCAsyncIO"},
};

const CLSID kProxyClsid = BRISVALE_OPC_PROXY_CLSID;

// Each view's proxy/stub DLL; the same class serves both.
struct ProxyView {
    View view;
    const char *dll;
};
const ProxyView kProxyViews[] = {{View::k64, BRISVALE_OPC_PROXY_DLL}, {View::k32, BRISVALE_OPC_PROXY_DLL_32}};

std::string InterfaceKey(const IID &iid) {
    return "Interface\\" + GuidText(iid);
}

std::string ProxyKey(const IID &iid) {
    return InterfaceKey(iid) + "\\ProxyStubClsid32";
}

// The DLL's full path, beside the executable; false when it is not there.
bool ProxyDllPath(const char *dll, std::string *path) {
    char module[MAX_PATH * 4] = "";
    const DWORD length = GetModuleFileNameA(nullptr, module, sizeof module);
    if (length == 0 || length >= sizeof module) return false;
    std::string text(module, length);
    const std::string::size_type slash = text.find_last_of("\\/");
    text = (slash == std::string::npos ? std::string() : text.substr(0, slash + 1)) + dll;
    const DWORD attributes = GetFileAttributesA(text.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
    *path = text;
    return true;
}

// Whether the interface's key holds nothing but the name RegisterMissingProxies
// gives a key it makes: a key another product made keeps its name or entries.
bool HoldsOnlyOurName(const ProxiedInterface &entry, View view) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, InterfaceKey(*entry.iid).c_str(), 0, KEY_READ | static_cast<REGSAM>(view),
                      &key) != ERROR_SUCCESS)
        return false;
    DWORD subkeys = 0;
    DWORD values = 0;
    const LONG error = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                                        nullptr, nullptr, nullptr);
    RegCloseKey(key);
    std::string name;
    return error == ERROR_SUCCESS && subkeys == 0 && values == 1 &&
           ReadDefault(InterfaceKey(*entry.iid), &name, view) == ERROR_SUCCESS && name == entry.name;
}

LONG RegisterIn(const ProxyView &target, RegistryChanges *changes) {
    std::string dll;
    if (!ProxyDllPath(target.dll, &dll)) return ERROR_SUCCESS;
    const View view = target.view;
    const std::string ours = GuidText(kProxyClsid);
    const std::string classKey = "CLSID\\" + ours;
    bool wrote = false;
    for (const ProxiedInterface &entry : kProxied) {
        std::string current;
        const LONG found = ReadDefault(ProxyKey(*entry.iid), &current, view);
        if (found == ERROR_SUCCESS && !current.empty() && current != ours) continue;  // another product's
        if (found != ERROR_SUCCESS && found != ERROR_FILE_NOT_FOUND) return found;
        // An interface key that is already there keeps its name.
        const bool named = KeyExists(InterfaceKey(*entry.iid), view);
        LONG error = changes->SetDefault(view, InterfaceKey(*entry.iid), named ? nullptr : entry.name);
        if (error == ERROR_SUCCESS) error = changes->SetDefault(view, ProxyKey(*entry.iid), ours.c_str());
        if (error != ERROR_SUCCESS) return error;
        wrote = true;
    }
    if (!wrote) return ERROR_SUCCESS;
    LONG error = changes->SetDefault(view, classKey, "Brisvale OPC Data Access proxy/stub");
    if (error == ERROR_SUCCESS) error = changes->SetDefault(view, classKey + "\\InprocServer32", dll.c_str());
    // Clients and servers in either apartment load it.
    if (error == ERROR_SUCCESS) error = changes->Set(view, classKey + "\\InprocServer32", "ThreadingModel", "Both");
    return error;
}

}  // namespace

LONG RegisterMissingProxies(RegistryChanges *changes) {
    for (const ProxyView &target : kProxyViews) {
        const LONG error = RegisterIn(target, changes);
        if (error != ERROR_SUCCESS) return error;
    }
    return ERROR_SUCCESS;
}

LONG UnregisterOurProxies() {
    const std::string ours = GuidText(kProxyClsid);
    for (const View view : kBothViews) {
        for (const ProxiedInterface &entry : kProxied) {
            std::string current;
            if (ReadDefault(ProxyKey(*entry.iid), &current, view) != ERROR_SUCCESS || current != ours) continue;
            const LONG error = DeleteTree(ProxyKey(*entry.iid), view);
            if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) return error;
            if (HoldsOnlyOurName(entry, view)) DeleteTree(InterfaceKey(*entry.iid), view);
        }
        const LONG error = DeleteTree("CLSID\\" + ours, view);
        if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) return error;
    }
    return ERROR_SUCCESS;
}
