// The built DLL as the host sees it: a PE32 image whose export directory holds
// exactly the 37 names and the module name, importing only system DLLs, and
// whose entry points work when resolved by those names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "host/action_catalogue.h"
#include "host/plugin_abi.h"

namespace {

std::string plugin_path() {
    const char* path = std::getenv("QUELTO_PLUGIN_DLL");
    std::string result = path ? path : "VasaQuelto3D.dll";
    if (!result.empty() && result[0] == '/') result = "Z:" + result;  // Wine maps Z: to /
    return result;
}

// A read-only view of a PE file on disk, enough to walk its directories.
struct pe_file {
    std::vector<unsigned char> bytes;
    const IMAGE_NT_HEADERS32* nt = nullptr;

    explicit pe_file(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
        if (bytes.size() < sizeof(IMAGE_DOS_HEADER)) return;
        auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(bytes.data());
        if (dos->e_magic != IMAGE_DOS_SIGNATURE) return;
        nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(bytes.data() + dos->e_lfanew);
    }
    const unsigned char* at_rva(DWORD rva) const {
        auto section = IMAGE_FIRST_SECTION(nt);
        for (int i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section)
            if (rva >= section->VirtualAddress && rva < section->VirtualAddress + section->Misc.VirtualSize)
                return bytes.data() + section->PointerToRawData + (rva - section->VirtualAddress);
        return nullptr;
    }
    const IMAGE_DATA_DIRECTORY& directory(int index) const { return nt->OptionalHeader.DataDirectory[index]; }
};

std::set<std::string> expected_exports() {
    std::set<std::string> names = {"_pgInitPlugIn@16",   "_pgRegisterPlugIn@16", "_pgRegisterScriptProcessor@4",
                                   "_pgRegisterInterfaceAccess@4", "_pgMessage@8", "_pgExecAction@8",
                                   "_pgEditAction@8"};
    for (const action_entry& row : action_catalogue) names.insert(row.handler);
    return names;
}

TEST(BinaryContract, Pe32ForI386) {
    pe_file pe(plugin_path());
    ASSERT_NE(pe.nt, nullptr) << plugin_path();
    EXPECT_EQ(pe.nt->Signature, IMAGE_NT_SIGNATURE);
    EXPECT_EQ(pe.nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
    EXPECT_EQ(pe.nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC);
    EXPECT_TRUE(pe.nt->FileHeader.Characteristics & IMAGE_FILE_DLL);
}

TEST(BinaryContract, ExportsExactlyTheHostNamesAndModuleName) {
    pe_file pe(plugin_path());
    ASSERT_NE(pe.nt, nullptr);
    const auto& dir = pe.directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
    auto exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(pe.at_rva(dir.VirtualAddress));
    ASSERT_NE(exports, nullptr);
    EXPECT_STREQ(reinterpret_cast<const char*>(pe.at_rva(exports->Name)), "VasaQuelto3D.dll");

    auto name_rvas = reinterpret_cast<const DWORD*>(pe.at_rva(exports->AddressOfNames));
    std::vector<std::string> names;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
        names.push_back(reinterpret_cast<const char*>(pe.at_rva(name_rvas[i])));
    EXPECT_EQ(names.size(), 37u);
    EXPECT_EQ(exports->NumberOfFunctions, 37u) << "no export by ordinal only";
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), expected_exports());
}

TEST(BinaryContract, ImportsOnlyWindowsSystemDlls) {
    pe_file pe(plugin_path());
    ASSERT_NE(pe.nt, nullptr);
    const std::set<std::string> system = {"kernel32.dll", "user32.dll", "gdi32.dll",   "ole32.dll",
                                          "oleaut32.dll", "msvcrt.dll", "advapi32.dll"};
    const auto& dir = pe.directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
    auto import = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(pe.at_rva(dir.VirtualAddress));
    ASSERT_NE(import, nullptr);
    int count = 0;
    for (; import->Name; ++import, ++count) {
        std::string name = reinterpret_cast<const char*>(pe.at_rva(import->Name));
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        EXPECT_TRUE(system.count(name)) << "imports " << name;
    }
    EXPECT_GT(count, 0);
}

// ---- The loaded DLL, resolved by export name as a host does it -------------

std::vector<std::string> registered_names;
void WINAPI collect(std::int32_t, const char* name, const char*, const char*, std::uint32_t, std::uint32_t) {
    registered_names.push_back(name);
}

TEST(LoadedPlugin, EntryPointsWorkByTheirExportedNames) {
    HMODULE dll = LoadLibraryA(plugin_path().c_str());
    ASSERT_NE(dll, nullptr);
    auto init = reinterpret_cast<pgInitPlugIn_fn>(GetProcAddress(dll, "_pgInitPlugIn@16"));
    auto reg = reinterpret_cast<pgRegisterPlugIn_fn>(GetProcAddress(dll, "_pgRegisterPlugIn@16"));
    auto exec = reinterpret_cast<pgExecAction_fn>(GetProcAddress(dll, "_pgExecAction@8"));
    auto edit = reinterpret_cast<pgEditAction_fn>(GetProcAddress(dll, "_pgEditAction@8"));
    auto message = reinterpret_cast<pgMessage_fn>(GetProcAddress(dll, "_pgMessage@8"));
    ASSERT_TRUE(init && reg && exec && edit && message);

    host_variable title = 0, publisher = 0, hint = 0;
    init(7, &title, &publisher, &hint);
    EXPECT_STREQ(reinterpret_cast<const char*>(title), "VasaQuelto3D 1.0.2a");
    for (host_variable v : {title, publisher, hint}) GlobalFree(reinterpret_cast<HGLOBAL>(v));

    registered_names.clear();
    reg((void*)&collect, nullptr, nullptr, nullptr);
    ASSERT_EQ(registered_names.size(), 30u);
    EXPECT_EQ(registered_names[29], "KP_Quelto3D_ScaleLighting ");

    message(1, 2);
    const char* cell = nullptr;
    EXPECT_EQ(exec(2, &cell), 1) << "End before any Init";
    EXPECT_EQ(exec(31, &cell), 0);
    EXPECT_EQ(edit(30, nullptr), 1);

    // Every handler is reachable under its own name and returns the null string.
    for (const action_entry& row : action_catalogue) {
        auto handler = reinterpret_cast<action_handler>(GetProcAddress(dll, row.handler));
        ASSERT_NE(handler, nullptr) << row.handler;
    }
    auto end = reinterpret_cast<action_handler>(GetProcAddress(dll, "KP_QUELTO3D_END"));
    EXPECT_EQ(end(nullptr), nullptr);
    EXPECT_EQ(end(""), nullptr);
    FreeLibrary(dll);
}

}  // namespace
