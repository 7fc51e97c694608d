// Registration as an ActiveX control: for all users under HKEY_CLASSES_ROOT
// (regsvr32), or for the current user only under HKCU\Software\Classes
// (regsvr32 /n /i:user, through DllInstall).
#include <cwchar>
#include <string>
#include <vector>

#include "control/com/viewer_control.h"

namespace {

constexpr char prog_id[] = "QUELTO3D.Quelto3dCtrl.1";
constexpr char independent_prog_id[] = "QUELTO3D.Quelto3dCtrl";
constexpr char description[] = "Quelto3D Viewer Control";

std::string clsid_text() {
    wchar_t wide[40] = {};
    StringFromGUID2(viewer_control_clsid, wide, 40);
    std::string text;
    for (const wchar_t* c = wide; *c; ++c) text += static_cast<char>(*c);
    return text;
}

std::string module_path() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(control_instance(), path, MAX_PATH);
    return path;
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
    };
}

std::vector<std::string> registry_top_keys() {
    return {prog_id, independent_prog_id, "CLSID\\" + clsid_text()};
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
