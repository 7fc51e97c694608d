#include "runner/control_registration.h"

#include "runner/excerpt.h"
#include "runner/handles.h"
#include "runner/plugin_host.h"

#include <cstring>
#include <vector>

namespace {
bool running_on_64_bit_windows() {
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

// A text value of `key` ("" for the default value), environment variables
// expanded; false when there is no such text value.
bool read_text_value(HKEY key, const char* name, std::string& value) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    std::vector<char> data(size + 1, '\0');  // stored texts need not end in a zero
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS)
        return false;
    value = data.data();
    if (type == REG_EXPAND_SZ) {
        std::vector<char> expanded(32768);
        DWORD length = ExpandEnvironmentStringsA(value.c_str(), expanded.data(), static_cast<DWORD>(expanded.size()));
        if (length > 0 && length <= expanded.size()) value = expanded.data();
    }
    return true;
}

std::string narrow_guid(const GUID& guid) {
    wchar_t wide[40] = {};
    StringFromGUID2(guid, wide, 40);
    std::string text;
    for (const wchar_t* c = wide; *c; ++c) text += static_cast<char>(*c);
    return text;
}

// The server's file, looked for on the DLL search path when it is named
// without a folder, as COM loads it; empty when there is no such file.
std::string find_server_file(const std::string& server) {
    std::string path = server;
    if (path.find_first_of("\\/") == std::string::npos) {
        char found[MAX_PATH];
        DWORD length = SearchPathA(nullptr, path.c_str(), nullptr, MAX_PATH, found, nullptr);
        if (length == 0 || length >= MAX_PATH) return "";
        path = found;
    }
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) ? path : "";
}

bool read_exactly(HANDLE file, LONG offset, void* into, DWORD count) {
    DWORD got = 0;
    return SetFilePointer(file, offset, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
           ReadFile(file, into, count, &got, nullptr) && got == count;
}
}  // namespace

control_registration find_control_registration() {
    control_registration found;
    const std::wstring prog_id(viewer_prog_id, viewer_prog_id + std::strlen(viewer_prog_id));
    CLSID clsid;
    if (FAILED(CLSIDFromProgID(prog_id.c_str(), &clsid))) {
        // The 64-bit regsvr32 registers where only 64-bit programs look.
        const std::string key = std::string(viewer_prog_id) + "\\CLSID";
        found.only_for_64_bit =
            running_on_64_bit_windows() && open_registry_key(HKEY_CLASSES_ROOT, key.c_str(), KEY_WOW64_64KEY);
        return found;
    }
    found.registered = true;
    found.class_id = clsid;
    found.clsid = narrow_guid(clsid);
    const std::string server_key = "CLSID\\" + found.clsid + "\\InprocServer32";
    if (registry_key key = open_registry_key(HKEY_CLASSES_ROOT, server_key.c_str())) {
        if (read_text_value(key.get(), nullptr, found.server) && found.server.size() >= 2 &&
            found.server.front() == '"' && found.server.back() == '"')
            found.server = found.server.substr(1, found.server.size() - 2);
        read_text_value(key.get(), "ThreadingModel", found.threading_model);
    }
    if (!found.server.empty()) found.server_file = find_server_file(found.server);
    return found;
}

dll_kind read_dll_kind(const std::string& path) {
    file_handle file = open_file(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (!file) return dll_kind::unreadable;
    IMAGE_DOS_HEADER dos = {};
    DWORD signature = 0;
    IMAGE_FILE_HEADER header = {};
    if (!read_exactly(file.get(), 0, &dos, sizeof dos) || dos.e_magic != IMAGE_DOS_SIGNATURE ||
        !read_exactly(file.get(), dos.e_lfanew, &signature, sizeof signature) || signature != IMAGE_NT_SIGNATURE ||
        !read_exactly(file.get(), dos.e_lfanew + sizeof signature, &header, sizeof header))
        return dll_kind::not_a_program;
    if (!(header.Characteristics & IMAGE_FILE_DLL)) return dll_kind::not_a_dll;
    if (header.Machine == IMAGE_FILE_MACHINE_I386) return dll_kind::i386;
    if (header.Machine == IMAGE_FILE_MACHINE_AMD64) return dll_kind::x64;
    return dll_kind::other_machine;
}

std::string control_beside_runner() {
    std::string path = file_beside_runner(control_file_name);
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) ? path : "";
}

std::string registration_command(const std::string& dll) {
    // A 32-bit control is registered by the 32-bit regsvr32, which on 64-bit
    // Windows is the one in SysWOW64.
    char folder[MAX_PATH] = {};
    UINT length = running_on_64_bit_windows() ? GetSystemWow64DirectoryA(folder, MAX_PATH)
                                              : GetSystemDirectoryA(folder, MAX_PATH);
    std::string program = length > 0 && length < MAX_PATH ? std::string(folder) + "\\regsvr32" : "regsvr32";
    return program + " \"" + (dll.empty() ? std::string(control_file_name) : dll) + "\"";
}

std::string how_to_register() {
    std::string beside = control_beside_runner();
    if (!beside.empty())
        return "register the one beside quelto-runner from a command prompt started as administrator: " +
               registration_command(beside);
    return "register a viewer control: from a command prompt started as administrator, in the folder of the "
           "VasaQuelto3D package (cd /d \"<folder>\"), run " +
           registration_command("");
}

std::string control_warning(const control_registration& found) {
    std::string problem;
    if (found.only_for_64_bit)
        problem = "the viewer control " + std::string(viewer_prog_id) +
                  " is registered for 64-bit programs only (by the 64-bit regsvr32)";
    else if (!found.registered)
        problem = "no viewer control is registered as " + std::string(viewer_prog_id);
    else if (found.server.empty())
        problem = "the viewer control " + std::string(viewer_prog_id) + " names no server file (InprocServer32)";
    else if (found.server_file.empty())
        problem = "the viewer control " + std::string(viewer_prog_id) + " is registered with " +
                  quoted(found.server) + ", which does not exist";
    else
        return "";
    return problem + ", so the viewer will stay empty; " + how_to_register();
}
