// Registration as an ActiveX control with its type library: for all users
// under HKEY_CLASSES_ROOT (regsvr32), or for the current user only under
// HKCU\Software\Classes (regsvr32 /n /i:user, through DllInstall).
//
// The type library's keys are written here like the class's rather than by
// RegisterTypeLib(ForUser): those add keys of their own choosing (and Wine's
// per-user one writes for all users), so unregistering could not remove
// exactly what registering wrote, nor an installer write the same keys.
#include <cwchar>
#include <string>
#include <vector>

#include "control/com/viewer_control.h"

namespace {

constexpr char prog_id[] = "QUELTO3D.Quelto3dCtrl.1";
constexpr char independent_prog_id[] = "QUELTO3D.Quelto3dCtrl";
constexpr char description[] = "Quelto3D Viewer Control";

constexpr char type_library_name[] = "Quelto3D Viewer Control";
constexpr char members_interface_name[] = "DQuelto3dCtrl";
// The standard marshaller of dispinterfaces, PSDispatch.
constexpr char dispatch_proxy_stub[] = "{00020420-0000-0000-C000-000000000046}";

std::string guid_text(const GUID& guid) {
    wchar_t wide[40] = {};
    StringFromGUID2(guid, wide, 40);
    std::string text;
    for (const wchar_t* c = wide; *c; ++c) text += static_cast<char>(*c);
    return text;
}
std::string clsid_text() { return guid_text(viewer_control_clsid); }

std::string module_path() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(control_instance(), path, MAX_PATH);
    return path;
}

// The folder the DLL is in, with its trailing backslash, as the installer
// writes a folder: both registrations write the same bytes.
std::string module_folder() {
    const std::string path = module_path();
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string type_library_version() {
    return std::to_string(viewer_type_library_major) + "." + std::to_string(viewer_type_library_minor);
}

struct registry_value {
    std::string key;    // below the classes root
    const char* name;   // null: the key's default value
    std::string data;   // null data: the key only
    bool key_only;
};

// Everything the control writes, in one table; the top keys of it are what
// unregistering removes.
std::vector<registry_value> registry_values() {
    const std::string clsid_key = "CLSID\\" + clsid_text();
    const std::string library = guid_text(viewer_type_library_id);
    const std::string library_key = "TypeLib\\" + library + "\\" + type_library_version();
    const std::string interface_key = "Interface\\" + guid_text(viewer_members_iid);
    return {
        {prog_id, nullptr, description, false},
        {std::string(prog_id) + "\\CLSID", nullptr, clsid_text(), false},
        {independent_prog_id, nullptr, description, false},
        {std::string(independent_prog_id) + "\\CLSID", nullptr, clsid_text(), false},
        {std::string(independent_prog_id) + "\\CurVer", nullptr, prog_id, false},
        {clsid_key, nullptr, description, false},
        {clsid_key + "\\InprocServer32", nullptr, module_path(), false},
        {clsid_key + "\\InprocServer32", "ThreadingModel", "Apartment", false},
        {clsid_key + "\\ProgID", nullptr, prog_id, false},
        {clsid_key + "\\VersionIndependentProgID", nullptr, independent_prog_id, false},
        {clsid_key + "\\Control", nullptr, "", true},
        {clsid_key + "\\MiscStatus", nullptr, std::to_string(viewer_control_misc_status), false},
        {clsid_key + "\\TypeLib", nullptr, library, false},
        {clsid_key + "\\Version", nullptr, type_library_version(), false},
        // The library is the DLL's TYPELIB resource 1, for any locale (0).
        {library_key, nullptr, type_library_name, false},
        {library_key + "\\0\\win32", nullptr, module_path(), false},
        {library_key + "\\FLAGS", nullptr, "0", false},
        {library_key + "\\HELPDIR", nullptr, module_folder(), false},
        {interface_key, nullptr, members_interface_name, false},
        {interface_key + "\\ProxyStubClsid32", nullptr, dispatch_proxy_stub, false},
        {interface_key + "\\TypeLib", nullptr, library, false},
        {interface_key + "\\TypeLib", "Version", type_library_version(), false},
    };
}

std::vector<std::string> registry_top_keys() {
    return {prog_id, independent_prog_id, "CLSID\\" + clsid_text(), "TypeLib\\" + guid_text(viewer_type_library_id),
            "Interface\\" + guid_text(viewer_members_iid)};
}

HRESULT register_under(HKEY root) {
    for (const registry_value& value : registry_values()) {
        HKEY key = nullptr;
        LONG status = RegCreateKeyExA(root, value.key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
        if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
        if (!value.key_only)
            status = RegSetValueExA(key, value.name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.data.c_str()),
                                    static_cast<DWORD>(value.data.size() + 1));
        RegCloseKey(key);
        if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    }
    return S_OK;
}

// Removes what register_under wrote; keys already gone count as removed.
HRESULT unregister_under(HKEY root) {
    HRESULT result = S_OK;
    for (const std::string& key : registry_top_keys()) {
        const LONG status = RegDeleteTreeA(root, key.c_str());
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) result = HRESULT_FROM_WIN32(status);
    }
    return result;
}

// HKCU\Software\Classes, opened for writing (created if need be).
HKEY user_classes() {
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Classes", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    return key;
}

}  // namespace

STDAPI DllRegisterServer() { return register_under(HKEY_CLASSES_ROOT); }

STDAPI DllUnregisterServer() { return unregister_under(HKEY_CLASSES_ROOT); }

// regsvr32 /i:user registers for the current user only; /i alone (or any
// other text) as DllRegisterServer does.
STDAPI DllInstall(BOOL install, LPCWSTR command_line) {
    const bool per_user = command_line && _wcsicmp(command_line, L"user") == 0;
    if (!per_user) return install ? DllRegisterServer() : DllUnregisterServer();
    HKEY classes = user_classes();
    if (!classes) return E_ACCESSDENIED;
    const HRESULT hr = install ? register_under(classes) : unregister_under(classes);
    RegCloseKey(classes);
    return hr;
}
