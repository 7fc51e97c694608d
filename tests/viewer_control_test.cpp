// Our viewer control (Quelto3dCtrl.dll) as hosts meet it: its registry keys
// (its own calls, DllInstall and the real regsvr32), its members through
// IDispatch, hosting by ATL through the plug-in with pictures checked by
// SaveImage, and its lifetime. The real DLL is registered at start, because
// other test programs in the same Wine prefix point the ProgID at a fake.
#include <gtest/gtest.h>

#include <windows.h>
#include <olectl.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include <wrl/client.h>

#include "control/com/member_table.h"
#include "host/action_handlers.h"
#include "tests/counting_site.h"
#include "tests/process_memory.h"
#include "tests/scratch_files.h"
#include "tests/viewer_session.h"
#include "viewer/startup_sequence.h"
#include "viewer/viewer_state.h"

using Microsoft::WRL::ComPtr;
using namespace viewer_session;

namespace {

constexpr char prog_id[] = "QUELTO3D.Quelto3dCtrl.1";
constexpr char independent_prog_id[] = "QUELTO3D.Quelto3dCtrl";
// Fixed for good: installed hosts and registries keep it.
constexpr char clsid_text[] = "{8E7A4C02-3B6D-4F1E-A5C9-2D40B7E19F63}";
// The type library and its dispinterface of the members, version 1.0.
constexpr char library_text[] = "{3646CA3F-3D0F-493D-890C-1D03D68EC078}";
constexpr char members_text[] = "{F80EF011-F95C-43D0-80AE-03E4762DF8E0}";
constexpr LCID plugin_locale = 0x800;

// ---- The DLL under test ---------------------------------------------------------

HMODULE control_module;
std::string control_path;  // Z:\ form, as registered

using register_fn = HRESULT(WINAPI*)();
using install_fn = HRESULT(WINAPI*)(BOOL, LPCWSTR);

template <class Function>
Function control_export(const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(control_module, name)));
}
HRESULT register_server() { return control_export<register_fn>("DllRegisterServer")(); }
HRESULT unregister_server() { return control_export<register_fn>("DllUnregisterServer")(); }
HRESULT install(BOOL yes, const wchar_t* command) { return control_export<install_fn>("DllInstall")(yes, command); }
HRESULT can_unload_now() { return control_export<register_fn>("DllCanUnloadNow")(); }

class control_environment : public ::testing::Environment {
public:
    void SetUp() override {
        const char* path = std::getenv("QUELTO_CONTROL_DLL");
        std::string unix_or_dos = path ? path : "..\\control\\Quelto3dCtrl.dll";
        if (!unix_or_dos.empty() && unix_or_dos[0] == '/') {
            unix_or_dos = "Z:" + unix_or_dos;  // Wine maps Z: to /
            for (char& c : unix_or_dos)
                if (c == '/') c = '\\';
        }
        char full[MAX_PATH] = {};
        GetFullPathNameA(unix_or_dos.c_str(), MAX_PATH, full, nullptr);
        control_path = full;
        control_module = LoadLibraryA(control_path.c_str());
        if (!control_module || FAILED(register_server()) || FAILED(OleInitialize(nullptr))) {
            std::fprintf(stderr, "could not load and register %s\n", control_path.c_str());
            std::exit(2);
        }
    }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new control_environment);

// ---- Registry ------------------------------------------------------------------

// Every key and value below `root\key`, one line each ("key" or
// "key|name=data", "@" naming the default value), sorted by enumeration.
void dump_tree(HKEY root, const std::string& key, std::vector<std::string>& lines) {
    HKEY opened = nullptr;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return;
    lines.push_back(key);
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD name_length = sizeof name, type = 0;
        BYTE data[1024];
        DWORD data_length = sizeof data;
        if (RegEnumValueA(opened, i, name, &name_length, nullptr, &type, data, &data_length) != ERROR_SUCCESS) break;
        std::string line = key + "|" + (name_length ? name : "@") + "=";
        if (type == REG_SZ) line += reinterpret_cast<const char*>(data);
        else line += "<type " + std::to_string(type) + ">";
        lines.push_back(line);
    }
    std::vector<std::string> children;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD name_length = sizeof name;
        if (RegEnumKeyExA(opened, i, name, &name_length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        children.push_back(name);
    }
    RegCloseKey(opened);
    for (const std::string& child : children) dump_tree(root, key + "\\" + child, lines);
}

std::vector<std::string> control_keys(HKEY root, const std::string& prefix = "") {
    std::vector<std::string> lines;
    for (const std::string& top :
         {std::string(prog_id), std::string(independent_prog_id), std::string("CLSID\\") + clsid_text,
          std::string("TypeLib\\") + library_text, std::string("Interface\\") + members_text})
        dump_tree(root, prefix + top, lines);
    // Comparable whatever the prefix and the case Windows keeps for names.
    for (std::string& line : lines) line.erase(0, prefix.size());
    return lines;
}

std::vector<std::string> expected_keys() {
    const std::string description = "Quelto3D Viewer Control";
    const std::string clsid_key = std::string("CLSID\\") + clsid_text;
    const std::string library_key = std::string("TypeLib\\") + library_text;
    const std::string interface_key = std::string("Interface\\") + members_text;
    return {
        std::string(prog_id),
        std::string(prog_id) + "|@=" + description,
        std::string(prog_id) + "\\CLSID",
        std::string(prog_id) + "\\CLSID|@=" + clsid_text,
        std::string(independent_prog_id),
        std::string(independent_prog_id) + "|@=" + description,
        std::string(independent_prog_id) + "\\CLSID",
        std::string(independent_prog_id) + "\\CLSID|@=" + clsid_text,
        std::string(independent_prog_id) + "\\CurVer",
        std::string(independent_prog_id) + "\\CurVer|@=" + prog_id,
        clsid_key,
        clsid_key + "|@=" + description,
        clsid_key + "\\Control",
        clsid_key + "\\InprocServer32",
        clsid_key + "\\InprocServer32|@=" + control_path,
        clsid_key + "\\InprocServer32|ThreadingModel=Apartment",
        clsid_key + "\\MiscStatus",
        clsid_key + "\\MiscStatus|@=131473",  // what GetMiscStatus answers
        clsid_key + "\\ProgID",
        clsid_key + "\\ProgID|@=" + prog_id,
        clsid_key + "\\VersionIndependentProgID",
        clsid_key + "\\VersionIndependentProgID|@=" + independent_prog_id,
        clsid_key + "\\TypeLib",
        clsid_key + "\\TypeLib|@=" + library_text,
        clsid_key + "\\Version",
        clsid_key + "\\Version|@=1.0",
        library_key,
        library_key + "\\1.0",
        library_key + "\\1.0|@=" + description,
        library_key + "\\1.0\\0",
        library_key + "\\1.0\\0\\win32",
        library_key + "\\1.0\\0\\win32|@=" + control_path,
        library_key + "\\1.0\\FLAGS",
        library_key + "\\1.0\\FLAGS|@=0",
        library_key + "\\1.0\\HELPDIR",
        library_key + "\\1.0\\HELPDIR|@=" + control_path.substr(0, control_path.find_last_of('\\') + 1),
        interface_key,
        interface_key + "|@=DQuelto3dCtrl",
        interface_key + "\\ProxyStubClsid32",
        interface_key + "\\ProxyStubClsid32|@={00020420-0000-0000-C000-000000000046}",  // PSDispatch
        interface_key + "\\TypeLib",
        interface_key + "\\TypeLib|@=" + library_text,
        interface_key + "\\TypeLib|Version=1.0",
    };
}

// Key names compare without regard to case; the registry may keep either.
std::vector<std::string> sorted_upper(std::vector<std::string> lines) {
    for (std::string& line : lines)
        for (char& c : line) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::sort(lines.begin(), lines.end());
    return lines;
}

constexpr char user_classes[] = "Software\\Classes\\";
const std::vector<std::string> none;

DWORD subkey_count(HKEY root, const char* key) {
    HKEY opened = nullptr;
    DWORD count = 0;
    if (RegOpenKeyExA(root, key, 0, KEY_READ, &opened) == ERROR_SUCCESS) {
        RegQueryInfoKeyA(opened, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr);
        RegCloseKey(opened);
    }
    return count;
}

// Runs a program to its end; its exit code, or -1 when it could not start.
long run_program(const std::string& command_line) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::string writable = command_line;
    if (!CreateProcessA(nullptr, writable.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return -1;
    WaitForSingleObject(process.hProcess, 30000);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<long>(code);
}

class Registration : public ::testing::Test {
protected:
    // Whatever a test leaves, later tests find the control registered for
    // all users and nothing for the user alone.
    static void TearDownTestSuite() {
        install(FALSE, L"user");
        register_server();
    }
    // Each test starts from nothing registered, whatever an earlier run left.
    void SetUp() override {
        ASSERT_EQ(unregister_server(), S_OK);
        ASSERT_EQ(install(FALSE, L"user"), S_OK);
    }
    const std::vector<std::string> expected = sorted_upper(expected_keys());
};

TEST_F(Registration, MachineRegistrationWritesExactlyItsKeysAndUnregistrationRemovesThemAll) {
    ASSERT_EQ(control_keys(HKEY_CLASSES_ROOT), none);
    const DWORD classes_before = subkey_count(HKEY_CLASSES_ROOT, "CLSID");

    // What another program left: the ProgID pointing at some other class.
    HKEY stale = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, (std::string(prog_id) + "\\CLSID").c_str(), 0, nullptr, 0,
                              KEY_WRITE, nullptr, &stale, nullptr),
              ERROR_SUCCESS);
    const char other[] = "{11111111-2222-3333-4444-555555555555}";
    RegSetValueExA(stale, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(other), sizeof other);
    RegCloseKey(stale);

    ASSERT_EQ(register_server(), S_OK);
    ASSERT_EQ(register_server(), S_OK) << "registering twice";
    EXPECT_EQ(sorted_upper(control_keys(HKEY_CLASSES_ROOT)), expected);
    EXPECT_EQ(subkey_count(HKEY_CLASSES_ROOT, "CLSID"), classes_before + 1) << "one class added, nothing else";
    EXPECT_EQ(control_keys(HKEY_CURRENT_USER, user_classes), none) << "nothing for the user alone";
    // COM finds the class from either ProgID.
    for (const wchar_t* name : {L"QUELTO3D.Quelto3dCtrl.1", L"quelto3d.quelto3dctrl"}) {
        CLSID found = {};
        EXPECT_EQ(CLSIDFromProgID(name, &found), S_OK);
        wchar_t text[40] = {};
        StringFromGUID2(found, text, 40);
        EXPECT_EQ(std::wstring(text), std::wstring(clsid_text, clsid_text + 38));
    }

    EXPECT_EQ(unregister_server(), S_OK);
    EXPECT_EQ(control_keys(HKEY_CLASSES_ROOT), none);
    EXPECT_EQ(subkey_count(HKEY_CLASSES_ROOT, "CLSID"), classes_before) << "only its own class removed";
    EXPECT_EQ(unregister_server(), S_OK) << "already gone";
}

TEST_F(Registration, PerUserInstallWritesUnderTheUsersClassesOnly) {
    ASSERT_EQ(install(TRUE, L"user"), S_OK);
    EXPECT_EQ(sorted_upper(control_keys(HKEY_CURRENT_USER, user_classes)), expected);
    EXPECT_EQ(control_keys(HKEY_LOCAL_MACHINE, user_classes), none) << "nothing for all users";

    EXPECT_EQ(install(FALSE, L"user"), S_OK);
    EXPECT_EQ(control_keys(HKEY_CURRENT_USER, user_classes), none);
    EXPECT_EQ(install(FALSE, L"user"), S_OK) << "already gone";
}

TEST_F(Registration, Regsvr32RegistersAndRemovesForAllUsersAndForTheUser) {
    const std::string regsvr32 = "C:\\windows\\system32\\regsvr32.exe /s ";
    const std::string dll = " \"" + control_path + "\"";

    ASSERT_EQ(run_program(regsvr32 + dll), 0);
    EXPECT_EQ(sorted_upper(control_keys(HKEY_CLASSES_ROOT)), expected);
    EXPECT_EQ(run_program(regsvr32 + "/u" + dll), 0);
    EXPECT_EQ(control_keys(HKEY_CLASSES_ROOT), none);

    ASSERT_EQ(run_program(regsvr32 + "/n /i:user" + dll), 0);
    EXPECT_EQ(sorted_upper(control_keys(HKEY_CURRENT_USER, user_classes)), expected);
    EXPECT_EQ(control_keys(HKEY_LOCAL_MACHINE, user_classes), none);
    EXPECT_EQ(run_program(regsvr32 + "/u /n /i:user" + dll), 0);
    EXPECT_EQ(control_keys(HKEY_CURRENT_USER, user_classes), none);
}

// ---- Member calls ------------------------------------------------------------------

// A VARIANT that clears itself. Zeroed whole: VariantInit sets only the
// type, and of_type(VT_DISPATCH) relies on a null pointer.
struct variant : VARIANT {
    variant() : VARIANT() { VariantInit(this); }
    variant(const variant& other) : variant() { VariantCopy(this, const_cast<variant*>(&other)); }
    variant& operator=(const variant&) = delete;
    ~variant() { VariantClear(this); }
};
variant number(double value) {
    variant v;
    v.vt = VT_R8;
    v.dblVal = value;
    return v;
}
variant text(const std::wstring& value) {
    variant v;
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
    return v;
}
variant of_type(VARTYPE type) {
    variant v;
    v.vt = type;
    if (type == VT_I4) v.lVal = 7;
    if (type == VT_BOOL) v.boolVal = VARIANT_TRUE;
    return v;
}

constexpr WORD method = DISPATCH_METHOD, put = DISPATCH_PROPERTYPUT;

// A member call as hosts make it: look the name up, then invoke it with the
// arguments given in their positional order.
HRESULT member(IDispatch* control, const wchar_t* name, WORD kind, const std::vector<variant>& arguments) {
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    const HRESULT found = control->GetIDsOfNames(IID_NULL, names, 1, plugin_locale, &id);
    if (FAILED(found)) return found;
    std::vector<VARIANTARG> reversed(arguments.rbegin(), arguments.rend());  // shallow: `arguments` owns them
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params = {reversed.data(), kind == put ? &named : nullptr, static_cast<UINT>(reversed.size()),
                         kind == put ? 1u : 0u};
    EXCEPINFO exception = {};
    UINT argument_error = 0;
    return control->Invoke(id, IID_NULL, plugin_locale, kind, &params, nullptr, &exception, &argument_error);
}

// The members, the kinds they are documented to take and their arguments:
// 'n' a number, 't' a text. The plug-in uses a subset: GRIDMODE as both,
// BKPICTURE and the switches as puts, the rest as methods.
struct member_row {
    const wchar_t* name;
    const char* method_arguments;  // null: no method call
    char put_value;                // 0: no property put
};
const member_row members[] = {
    {L"INIT", "tt", 0},
    {L"LOADFILE", "t", 0},
    {L"RESETSCENE", "", 0},
    {L"SETCOLOR", "nn", 0},
    {L"BKPICTURE", "t", 't'},
    {L"RENDERMODE", "n", 'n'},
    {L"GRIDMODE", "n", 'n'},
    {L"RENDERAPI", "n", 'n'},
    {L"SCALELIGHTING", "n", 'n'},
    {L"INERTIALROTATION", "n", 'n'},
    {L"LIGHTMODE", "n", 'n'},
    {L"LEFTMBUTTONMODE", "n", 'n'},
    {L"RIGHTMBUTTONMODE", "n", 'n'},
    {L"GRIDSIZE", "n", 'n'},
    {L"SPECULARLIGHTING", "n", 'n'},
    {L"SMOOTHING", "n", 'n'},
    {L"CREASEANGLE", "n", 'n'},
    {L"USEDEFAULTMATERIAL", "n", 'n'},
    {L"SHOWTRANSPARENCY", "n", 'n'},
    {L"SHOWTEXTURES", "n", 'n'},
    {L"SHOWFOG", "n", 'n'},
    {L"SHOWHIDDENGEOMETRY", "n", 'n'},
    {L"SHOWVERTEXES", "n", 'n'},
    {L"SHOWLIGHTS", "n", 'n'},
    {L"SHOWWORLDAXIS", "n", 'n'},
    {L"SHOWBOUNDINGBOX", "n", 'n'},
    {L"HWINDOW", "n", 'n'},
};

std::string narrow(const std::wstring& wide) { return std::string(wide.begin(), wide.end()); }

// Plausible arguments of the given kinds, as the plug-in sends them. No file
// name reaches a real file: a load from an unhosted control would only slow
// the test down.
std::vector<variant> plain_arguments(const char* kinds) {
    std::vector<variant> result;
    for (const char* k = kinds; *k; ++k) result.push_back(*k == 'n' ? number(1) : text(L"Z:\\no\\such\\file.obj"));
    return result;
}

// What a call with a bad value may answer: done, or refused cleanly.
bool clean(HRESULT hr) {
    return hr == S_OK || hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW || hr == DISP_E_BADVARTYPE ||
           hr == E_INVALIDARG || hr == DISP_E_MEMBERNOTFOUND || hr == DISP_E_PARAMNOTOPTIONAL;
}

std::string hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

class Members : public ::testing::Test {
protected:
    // As ATL makes it: from the ProgID, asking for IOleObject first.
    void SetUp() override {
        CLSID clsid = {};
        ASSERT_EQ(CLSIDFromProgID(L"QUELTO3D.Quelto3dCtrl.1", &clsid), S_OK);
        ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject,
                                   reinterpret_cast<void**>(&object)),
                  S_OK);
        ASSERT_EQ(object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&control)), S_OK);
    }
    void TearDown() override {
        if (control) control->Release();
        if (object) object->Release();
    }
    IOleObject* object = nullptr;
    IDispatch* control = nullptr;
};

TEST_F(Members, AnswersAsAWindowedControlWithOneIdentityAndKeepsItsSite) {
    const IID interfaces[] = {IID_IUnknown,          IID_IDispatch,   IID_IOleObject,       IID_IOleWindow,
                              IID_IOleInPlaceObject, IID_IOleControl, IID_IProvideClassInfo};
    IUnknown* identity = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    for (const IID& iid : interfaces) {
        IUnknown* answer = nullptr;
        ASSERT_EQ(object->QueryInterface(iid, reinterpret_cast<void**>(&answer)), S_OK);
        IUnknown* back = nullptr;
        ASSERT_EQ(answer->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&back)), S_OK);
        EXPECT_EQ(back, identity) << "IUnknown from every interface is the same";
        back->Release();
        answer->Release();
    }
    identity->Release();

    // ATL's site lives only on the references its control holds.
    counting_site site;
    ASSERT_EQ(object->SetClientSite(&site), S_OK);
    EXPECT_GT(site.references, 1);
    IOleClientSite* given = nullptr;
    EXPECT_EQ(object->GetClientSite(&given), S_OK);
    EXPECT_EQ(given, &site);
    if (given) given->Release();
    // ATL gives up hosting when SetExtent fails.
    SIZEL extent = {8467, 6350}, read = {};
    EXPECT_EQ(object->SetExtent(DVASPECT_CONTENT, &extent), S_OK);
    EXPECT_EQ(object->GetExtent(DVASPECT_CONTENT, &read), S_OK);
    EXPECT_EQ(read.cx, extent.cx);
    EXPECT_EQ(read.cy, extent.cy);
    ASSERT_EQ(object->SetClientSite(nullptr), S_OK);
    EXPECT_EQ(site.references, 1) << "the site is released again";
}

// In-place activation as any OLE container makes it, not only ATL: the window
// appears where DoVerb says, follows SetObjectRects, and goes with
// InPlaceDeactivate or Close, each telling the site once.
TEST_F(Members, ActivatesInPlaceInAnyContainerAndLetsItsSiteGo) {
    HWND parent = CreateWindowExA(0, "STATIC", "", WS_POPUP | WS_CLIPCHILDREN, 0, 0, 300, 200, nullptr, nullptr,
                                  nullptr, nullptr);
    ASSERT_NE(parent, nullptr);
    counting_site site;
    site.parent = parent;
    IOleInPlaceObject* in_place = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&in_place)), S_OK);
    ASSERT_EQ(object->SetClientSite(&site), S_OK);

    const RECT position = {5, 6, 105, 86};
    EXPECT_EQ(object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, parent, &position), S_OK);
    HWND window = nullptr;
    EXPECT_EQ(in_place->GetWindow(&window), S_OK);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(GetParent(window), parent);
    EXPECT_EQ(placement(window, parent), "5,6 100x80");
    EXPECT_EQ(site.activations, 1);
    EXPECT_EQ(object->DoVerb(OLEIVERB_SHOW, nullptr, &site, 0, parent, &position), S_OK);
    EXPECT_EQ(GetWindow(parent, GW_CHILD), window);
    EXPECT_EQ(GetWindow(window, GW_HWNDNEXT), nullptr) << "a second verb makes no second window";
    EXPECT_EQ(site.activations, 1);

    const RECT moved = {1, 2, 251, 172};
    EXPECT_EQ(in_place->SetObjectRects(&moved, &moved), S_OK);
    EXPECT_EQ(placement(window, parent), "1,2 250x170");
    EXPECT_EQ(object->DoVerb(OLEIVERB_HIDE, nullptr, &site, 0, parent, &moved), S_OK);
    EXPECT_FALSE(GetWindowLongA(window, GWL_STYLE) & WS_VISIBLE);

    EXPECT_EQ(in_place->InPlaceDeactivate(), S_OK);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(site.deactivations, 1);
    EXPECT_EQ(in_place->InPlaceDeactivate(), S_OK) << "a second time does nothing";
    EXPECT_EQ(site.deactivations, 1);

    // Active again, then closed as containers end their controls.
    EXPECT_EQ(object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, parent, &position), S_OK);
    EXPECT_EQ(in_place->GetWindow(&window), S_OK);
    EXPECT_EQ(object->Close(OLECLOSE_NOSAVE), S_OK);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(site.deactivations, 2);
    EXPECT_EQ(object->SetClientSite(nullptr), S_OK);
    EXPECT_EQ(site.references, 1) << "every reference to the site is given back";
    in_place->Release();
    DestroyWindow(parent);
}

TEST_F(Members, EveryNameResolvesWithoutRegardToCaseToItsOwnId) {
    std::vector<DISPID> ids;
    for (const member_row& row : members) {
        const std::wstring upper = row.name;
        std::wstring lower = upper, mixed = upper;
        for (wchar_t& c : lower) c = static_cast<wchar_t>(towlower(c));
        for (size_t i = 0; i < mixed.size(); i += 2) mixed[i] = static_cast<wchar_t>(towlower(mixed[i]));
        DISPID first = DISPID_UNKNOWN;
        for (const std::wstring& name : {upper, lower, mixed}) {
            SCOPED_TRACE(narrow(name));
            LPOLESTR names[] = {const_cast<LPOLESTR>(name.c_str())};
            DISPID id = DISPID_UNKNOWN;
            EXPECT_EQ(control->GetIDsOfNames(IID_NULL, names, 1, plugin_locale, &id), S_OK);
            EXPECT_NE(id, DISPID_UNKNOWN);
            if (name == upper) first = id;
            else EXPECT_EQ(id, first) << "every spelling names the same member";
        }
        EXPECT_EQ(std::count(ids.begin(), ids.end(), first), 0) << narrow(upper) << " shares its id";
        ids.push_back(first);
    }
}

TEST_F(Members, EveryMemberTakesTheKindsAndArgumentsHostsUse) {
    for (const member_row& row : members) {
        SCOPED_TRACE(narrow(row.name));
        if (row.method_arguments) {
            EXPECT_EQ(member(control, row.name, method, plain_arguments(row.method_arguments)), S_OK) << "method";
        }
        if (row.put_value) {
            const char kind[] = {row.put_value, 0};
            EXPECT_EQ(member(control, row.name, put, plain_arguments(kind)), S_OK) << "property put";
        }
    }
    // The plug-in's own start-up calls, with its values.
    const std::string guid = control_init_guid;
    EXPECT_EQ(member(control, L"INIT", method, {text(std::wstring(guid.begin(), guid.end())), text(L".\\Plugins")}),
              S_OK);
    EXPECT_EQ(member(control, L"SETCOLOR", method, {number(0), number(16711680)}), S_OK);
    EXPECT_EQ(member(control, L"BKPICTURE", put, {text(L"")}), S_OK) << "the empty text removes the picture";
    // A number written as text is still a number.
    EXPECT_EQ(member(control, L"GRIDSIZE", put, {text(L"2.5")}), S_OK);
}

TEST_F(Members, UnknownNamesIdsAndArgumentCountsAreRefused) {
    for (const std::wstring& name : {std::wstring(L"NOSUCHMEMBER"), std::wstring(L""), std::wstring(L"LOADFIL"),
                                     std::wstring(L"LOADFILEX"), std::wstring(L"INIT "), std::wstring(L"\u00CDNIT"),
                                     std::wstring(L"GRID\u0130MODE")}) {
        SCOPED_TRACE(narrow(name));
        LPOLESTR names[] = {const_cast<LPOLESTR>(name.c_str())};
        DISPID id = 0;
        EXPECT_EQ(control->GetIDsOfNames(IID_NULL, names, 1, plugin_locale, &id), DISP_E_UNKNOWNNAME);
        EXPECT_EQ(id, DISPID_UNKNOWN);
    }
    // Members take no named arguments.
    LPOLESTR two[] = {const_cast<LPOLESTR>(L"LOADFILE"), const_cast<LPOLESTR>(L"FILENAME")};
    DISPID ids[2] = {};
    EXPECT_EQ(control->GetIDsOfNames(IID_NULL, two, 2, plugin_locale, ids), DISP_E_UNKNOWNNAME);
    EXPECT_NE(ids[0], DISPID_UNKNOWN);
    EXPECT_EQ(ids[1], DISPID_UNKNOWN);

    DISPPARAMS none = {};
    for (DISPID id : {DISPID(0), DISPID(-1), DISPID(9999), DISPID(0x7fffffff)})
        EXPECT_EQ(control->Invoke(id, IID_NULL, plugin_locale, method, &none, nullptr, nullptr, nullptr),
                  DISP_E_MEMBERNOTFOUND)
            << id;

    for (const member_row& row : members) {
        SCOPED_TRACE(narrow(row.name));
        if (row.method_arguments) {
            const std::string kinds = row.method_arguments;
            EXPECT_EQ(member(control, row.name, method, plain_arguments((kinds + "n").c_str())), DISP_E_BADPARAMCOUNT)
                << "one too many";
            if (!kinds.empty()) {
                EXPECT_EQ(member(control, row.name, method, plain_arguments(kinds.substr(1).c_str())),
                          DISP_E_BADPARAMCOUNT)
                    << "one too few";
            }
        }
        if (row.put_value) {
            EXPECT_EQ(member(control, row.name, put, plain_arguments("nn")), DISP_E_BADPARAMCOUNT) << "put of two";
        }
    }
}

TEST_F(Members, OutOfRangeAndMistypedValuesNeverCrash) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    std::vector<variant> odd = {number(nan), number(inf),   number(-inf), number(1e300), number(-1e300),
                                number(-5),  number(1e-300), number(4294967296.0), number(0),
                                text(L"abc"), text(L""),     text(L"1e999"), of_type(VT_EMPTY), of_type(VT_NULL),
                                of_type(VT_I4), of_type(VT_BOOL), of_type(VT_DISPATCH)};
    // A text too long for any path, and one with an embedded NUL.
    odd.push_back(text(std::wstring(40000, L'x') + L".obj"));
    odd.push_back(text(std::wstring(L"Z:\\tmp\\a.obj\0b.obj", 18)));

    // Each value as a put and in every argument position of a method call,
    // whether or not the member takes that kind.
    for (const member_row& row : members) {
        SCOPED_TRACE(narrow(row.name));
        const std::string kinds = row.method_arguments ? row.method_arguments : "n";
        for (const variant& value : odd) {
            HRESULT hr = member(control, row.name, put, {value});
            EXPECT_TRUE(clean(hr)) << "put of VT " << value.vt << ": " << hex(hr);
            for (size_t position = 0; position < kinds.size(); ++position) {
                std::vector<variant> arguments = plain_arguments(kinds.c_str());
                VariantClear(&arguments[position]);
                VariantCopy(&arguments[position], const_cast<variant*>(&value));
                for (WORD kind : {method, WORD(method | DISPATCH_PROPERTYGET)}) {
                    hr = member(control, row.name, kind, arguments);
                    EXPECT_TRUE(clean(hr)) << "VT " << value.vt << " as argument " << position << ": " << hex(hr);
                }
            }
        }
    }
    // Still answering afterwards.
    EXPECT_EQ(member(control, L"RESETSCENE", method, {}), S_OK);

    // Calls that break the rules of IDispatch itself.
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"GRIDMODE")};
    ASSERT_EQ(control->GetIDsOfNames(IID_NULL, names, 1, plugin_locale, &id), S_OK);
    EXPECT_TRUE(FAILED(control->Invoke(id, IID_NULL, plugin_locale, method, nullptr, nullptr, nullptr, nullptr)));
    DISPPARAMS missing = {nullptr, nullptr, 1, 0};
    EXPECT_TRUE(FAILED(control->Invoke(id, IID_NULL, plugin_locale, method, &missing, nullptr, nullptr, nullptr)));
    DISPPARAMS unnamed_put = {nullptr, nullptr, 0, 0};
    EXPECT_TRUE(FAILED(control->Invoke(id, IID_NULL, plugin_locale, put, &unnamed_put, nullptr, nullptr, nullptr)));
    EXPECT_EQ(control->GetIDsOfNames(IID_IDispatch, names, 1, plugin_locale, &id), DISP_E_UNKNOWNINTERFACE);
}

// A property get as a client makes it; `flags` may add DISPATCH_METHOD, as
// Visual Basic does for `x = control.GRIDMODE`.
HRESULT read(IDispatch* control, const wchar_t* name, variant& value, WORD flags = DISPATCH_PROPERTYGET,
             const std::vector<variant>& arguments = {}) {
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    const HRESULT found = control->GetIDsOfNames(IID_NULL, names, 1, plugin_locale, &id);
    if (FAILED(found)) return found;
    VariantClear(&value);
    std::vector<VARIANTARG> reversed(arguments.rbegin(), arguments.rend());
    DISPPARAMS params = {reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    return control->Invoke(id, IID_NULL, plugin_locale, flags, &params, &value, nullptr, nullptr);
}

std::string shown(const variant& value) {
    if (value.vt == VT_R8) return std::to_string(value.dblVal);
    if (value.vt == VT_BSTR) return "\"" + narrow(value.bstrVal ? value.bstrVal : L"") + "\"";
    return "VT " + std::to_string(value.vt);
}

TEST_F(Members, SettingsReadBackAsTheyAreInEffect) {
    // Every member with a value answers a get with it, as a number or a text.
    for (int i = 0; i < member_count; ++i) {
        const member_entry& entry = member_table[i];
        const std::wstring name(entry.name, entry.name + std::strlen(entry.name));
        SCOPED_TRACE(entry.name);
        variant value;
        if (!(entry.kinds & as_property_get)) {
            EXPECT_EQ(read(control, name.c_str(), value), DISP_E_MEMBERNOTFOUND);
            continue;
        }
        EXPECT_EQ(read(control, name.c_str(), value), S_OK);
        EXPECT_EQ(value.vt, entry.arguments == argument_type::number ? VT_R8 : VT_BSTR);
    }

    // What is read is what the control uses: clamped, rounded or ignored.
    struct case_row {
        const wchar_t* name;
        double written, read;
    };
    const case_row cases[] = {
        {L"RENDERMODE", 9, 4},        {L"GRIDMODE", 2.4, 2},         {L"RENDERAPI", 0.8, 1},
        {L"SCALELIGHTING", 100, 16},  {L"SCALELIGHTING", 1.5, 1.5},  {L"SCALELIGHTING", -2, 1},
        {L"INERTIALROTATION", 5, 1},  {L"LIGHTMODE", -1, 0},         {L"LEFTMBUTTONMODE", 3, 3},
        {L"LEFTMBUTTONMODE", 7, 3},   {L"RIGHTMBUTTONMODE", 1, 1},   {L"GRIDSIZE", -3, 0},
        {L"GRIDSIZE", 2.5, 2.5},      {L"SPECULARLIGHTING", 1, 1},   {L"SMOOTHING", 0, 0},
        {L"CREASEANGLE", 200, 180},   {L"SHOWFOG", std::numeric_limits<double>::quiet_NaN(), 0},
        {L"SHOWVERTEXES", -0.5, 1},   {L"HWINDOW", 0, 0},            {L"HWINDOW", 1, 1},
        {L"RENDERAPI", 3.25, 1},      {L"RENDERAPI", 0, 0},
    };
    for (const case_row& row : cases) {
        SCOPED_TRACE(narrow(row.name) + " = " + std::to_string(row.written));
        ASSERT_EQ(member(control, row.name, put, {number(row.written)}), S_OK);
        variant value;
        EXPECT_EQ(read(control, row.name, value), S_OK);
        EXPECT_EQ(shown(value), shown(number(row.read)));
    }
    // Set as a method, read as Visual Basic reads: both flags, no argument.
    variant value;
    ASSERT_EQ(member(control, L"lightmode", method, {number(2)}), S_OK);
    EXPECT_EQ(read(control, L"LightMode", value, method | DISPATCH_PROPERTYGET), S_OK);
    EXPECT_EQ(shown(value), shown(number(2)));
    // With its argument that call is the method, which returns nothing.
    EXPECT_EQ(read(control, L"LIGHTMODE", value, method | DISPATCH_PROPERTYGET, {number(1)}), S_OK);
    EXPECT_EQ(value.vt, VT_EMPTY);
    EXPECT_EQ(read(control, L"LIGHTMODE", value), S_OK);
    EXPECT_EQ(shown(value), shown(number(1)));

    // The picture's name while it is shown; nothing once a load fails.
    const std::string folder = scratch_files::folder("control");
    const std::string bmp = folder + "one-pixel.bmp";
    const unsigned char one_pixel[] = {'B', 'M', 58, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,  // file header
                                       40, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 24, 0, 0, 0, 0, 0, 4, 0, 0, 0,
                                       0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 1 by 1, 24-bit
                                       0x20, 0x40, 0x80, 0};
    scratch_files::write(bmp, std::string(one_pixel, one_pixel + sizeof one_pixel));
    const std::wstring wide_bmp(bmp.begin(), bmp.end());
    ASSERT_EQ(member(control, L"BKPICTURE", put, {text(wide_bmp)}), S_OK);
    EXPECT_EQ(read(control, L"BKPICTURE", value), S_OK);
    EXPECT_EQ(shown(value), shown(text(wide_bmp)));
    ASSERT_EQ(member(control, L"BKPICTURE", put, {text(L"Z:\\no\\such\\picture.bmp")}), S_OK);
    EXPECT_EQ(read(control, L"BKPICTURE", value), S_OK);
    EXPECT_EQ(shown(value), "\"\"");

    // A get takes no argument and needs somewhere to put the value.
    EXPECT_EQ(read(control, L"GRIDMODE", value, DISPATCH_PROPERTYGET, {number(1)}), DISP_E_BADPARAMCOUNT);
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"GRIDMODE")};
    ASSERT_EQ(control->GetIDsOfNames(IID_NULL, names, 1, plugin_locale, &id), S_OK);
    DISPPARAMS none = {};
    EXPECT_EQ(control->Invoke(id, IID_NULL, plugin_locale, DISPATCH_PROPERTYGET, &none, nullptr, nullptr, nullptr),
              E_INVALIDARG);
}

// ---- Type library ----------------------------------------------------------------------

GUID guid_of(const char* text) {
    const std::wstring wide(text, text + std::strlen(text));
    GUID guid = {};
    CLSIDFromString(wide.c_str(), &guid);
    return guid;
}

// Each function of a dispinterface as a client browsing it sees it:
// "NAME id kind(argument types) result type". IUnknown's and IDispatch's own
// methods (0x60000000 to 0x60010003), which oleaut32 may list first as
// inherited, are left out. Read until GetFuncDesc runs out rather than up to
// cFuncs: where the inherited methods come first, cFuncs may still count only
// the dispinterface's own functions (widl records only those in its size).
std::vector<std::string> described_functions(ITypeInfo* info) {
    auto type_name = [](VARTYPE type) -> std::string {
        return type == VT_R8 ? "double" : type == VT_BSTR ? "text" : type == VT_VOID ? "void"
                                                                  : "VT " + std::to_string(type);
    };
    std::vector<std::string> lines;
    for (UINT i = 0; i < 1000; ++i) {
        FUNCDESC* function = nullptr;
        if (FAILED(info->GetFuncDesc(i, &function))) break;
        if (function->memid >= 0x60000000 && function->memid <= 0x60010003) {
            info->ReleaseFuncDesc(function);
            continue;
        }
        BSTR name = nullptr;
        info->GetDocumentation(function->memid, &name, nullptr, nullptr, nullptr);
        std::string line = narrow(name ? name : L"?") + " " + std::to_string(function->memid) + " ";
        SysFreeString(name);
        line += function->invkind == INVOKE_FUNC           ? "method("
                : function->invkind == INVOKE_PROPERTYPUT ? "put("
                : function->invkind == INVOKE_PROPERTYGET ? "get("
                                                          : "invkind " + std::to_string(function->invkind) + "(";
        for (SHORT p = 0; p < function->cParams; ++p)
            line += (p ? "," : "") + type_name(function->lprgelemdescParam[p].tdesc.vt);
        line += ") " + type_name(function->elemdescFunc.tdesc.vt);
        if (function->funckind != FUNC_DISPATCH) line += " not FUNC_DISPATCH";
        lines.push_back(line);
        info->ReleaseFuncDesc(function);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

// The same lines from the member table Invoke and GetIDsOfNames run on.
std::vector<std::string> table_functions() {
    std::vector<std::string> lines;
    for (int i = 0; i < member_count + readout_count; ++i) {
        const member_entry& entry = i < member_count ? member_table[i] : readout_table[i - member_count];
        const std::string type = entry.arguments == argument_type::number ? "double" : "text";
        const std::string head = std::string(entry.name) + " " + std::to_string(static_cast<int>(entry.id)) + " ";
        if (entry.kinds & as_method) {
            std::string arguments;
            for (int a = 0; a < entry.argument_count; ++a) arguments += (a ? "," : "") + type;
            lines.push_back(head + "method(" + arguments + ") void");
        }
        if (entry.kinds & as_property_put) lines.push_back(head + "put(" + type + ") void");
        if (entry.kinds & as_property_get) lines.push_back(head + "get() " + type);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

// MESSAGELINE and MESSAGECOUNT, read as quelto-runner reads them: the name
// looked up, then a property get, in the plug-in's locale and in locale 0.
// LOADFILE's line is there as the call returns; a put or a call is refused.
TEST_F(Members, MessageLineAndCountAreReadOnlyAndFollowEachLine) {
    auto get = [&](const wchar_t* name, LCID locale, variant& value) {
        DISPID id = DISPID_UNKNOWN;
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        const HRESULT found = control->GetIDsOfNames(IID_NULL, names, 1, locale, &id);
        if (FAILED(found)) return found;
        VariantClear(&value);
        DISPPARAMS none = {};
        return control->Invoke(id, IID_NULL, locale, DISPATCH_PROPERTYGET, &none, &value, nullptr, nullptr);
    };
    auto line = [&](LCID locale = plugin_locale) {
        variant value;
        EXPECT_EQ(get(L"MESSAGELINE", locale, value), S_OK);
        EXPECT_EQ(value.vt, VT_BSTR);
        return value.vt == VT_BSTR && value.bstrVal ? narrow(value.bstrVal) : std::string("(not a text)");
    };
    auto count = [&](LCID locale = plugin_locale) {
        variant value;
        EXPECT_EQ(get(L"MessageCount", locale, value), S_OK);
        EXPECT_EQ(value.vt, VT_R8);
        return value.vt == VT_R8 ? value.dblVal : -1.0;
    };
    EXPECT_EQ(line(), "");
    EXPECT_EQ(line(0), "");
    EXPECT_EQ(count(), 0.0);

    const std::wstring missing = L"Z:\\no\\such\\folder\\gone.obj";
    ASSERT_EQ(member(control, L"LOADFILE", method, {text(missing)}), S_OK);
    EXPECT_EQ(line(), "gone.obj: could not be opened (missing or not readable)") << "set before LOADFILE returns";
    EXPECT_EQ(count(0), 1.0);
    ASSERT_EQ(member(control, L"LOADFILE", method, {text(missing)}), S_OK);
    EXPECT_EQ(line(0), "gone.obj: could not be opened (missing or not readable)");
    EXPECT_EQ(count(), 2.0) << "the same text set again counts again";
    ASSERT_EQ(member(control, L"HWINDOW", method, {number(1)}), S_OK);
    EXPECT_EQ(count(), 2.0) << "a line that only stays up does not count";
    ASSERT_EQ(member(control, L"RENDERMODE", put, {number(2)}), S_OK);
    EXPECT_EQ(line(), "") << "the next change clears it";
    EXPECT_EQ(count(), 2.0);
    ASSERT_EQ(member(control, L"GRIDMODE", put, {number(0)}), S_OK);
    ASSERT_EQ(member(control, L"GRIDSIZE", put, {number(0.25)}), S_OK);
    EXPECT_EQ(line(), "GridSize 0.25 is kept, but no grid is shown (GridMode 0)");
    EXPECT_EQ(count(), 3.0);

    for (const wchar_t* name : {L"MESSAGELINE", L"MESSAGECOUNT"}) {
        SCOPED_TRACE(narrow(name));
        EXPECT_EQ(member(control, name, put, {number(5)}), DISP_E_MEMBERNOTFOUND);
        EXPECT_EQ(member(control, name, put, {text(L"x")}), DISP_E_MEMBERNOTFOUND);
        EXPECT_EQ(member(control, name, method, {}), DISP_E_MEMBERNOTFOUND);
        variant value;
        EXPECT_EQ(read(control, name, value, DISPATCH_PROPERTYGET, {number(1)}), DISP_E_BADPARAMCOUNT);
        EXPECT_EQ(read(control, name, value, DISPATCH_PROPERTYGET | DISPATCH_PROPERTYPUT), DISP_E_MEMBERNOTFOUND);
        EXPECT_EQ(value.vt, VT_EMPTY);
    }
    EXPECT_EQ(count(), 3.0) << "refused calls put up no line";
}

// As a client finds it: by the library's GUID in the registry. The README's
// member table is held to the same member table by readme_tables_test.
TEST(TypeLibrary, RegisteredLibraryListsEveryMemberAsTheControlTakesIt) {
    const GUID library_id = guid_of(library_text);
    BSTR path = nullptr;
    ASSERT_EQ(QueryPathOfRegTypeLib(library_id, 1, 0, 0, &path), S_OK);
    EXPECT_EQ(sorted_upper({narrow(path)}), sorted_upper({control_path})) << "the DLL itself";
    SysFreeString(path);
    ComPtr<ITypeLib> library;
    ASSERT_EQ(LoadRegTypeLib(library_id, 1, 0, 0, library.GetAddressOf()), S_OK);

    ComPtr<ITypeInfo> members_info;
    ASSERT_EQ(library->GetTypeInfoOfGuid(guid_of(members_text), members_info.GetAddressOf()), S_OK);
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(members_info->GetTypeAttr(&attributes), S_OK);
    EXPECT_EQ(attributes->typekind, TKIND_DISPATCH);
    members_info->ReleaseTypeAttr(attributes);
    EXPECT_EQ(described_functions(members_info.Get()), table_functions());

    // The class, creatable and a control, with the members as its default.
    ComPtr<ITypeInfo> coclass, default_interface;
    ASSERT_EQ(library->GetTypeInfoOfGuid(guid_of(clsid_text), coclass.GetAddressOf()), S_OK);
    ASSERT_EQ(coclass->GetTypeAttr(&attributes), S_OK);
    EXPECT_EQ(attributes->typekind, TKIND_COCLASS);
    EXPECT_EQ(attributes->wTypeFlags & (TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL),
              TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL);
    EXPECT_EQ(attributes->cImplTypes, 1);
    coclass->ReleaseTypeAttr(attributes);
    INT flags = 0;
    EXPECT_EQ(coclass->GetImplTypeFlags(0, &flags), S_OK);
    EXPECT_EQ(flags, IMPLTYPEFLAG_FDEFAULT);
    HREFTYPE reference = 0;
    ASSERT_EQ(coclass->GetRefTypeOfImplType(0, &reference), S_OK);
    ASSERT_EQ(coclass->GetRefTypeInfo(reference, default_interface.GetAddressOf()), S_OK);
    ASSERT_EQ(default_interface->GetTypeAttr(&attributes), S_OK);
    EXPECT_TRUE(IsEqualGUID(attributes->guid, guid_of(members_text)));
    default_interface->ReleaseTypeAttr(attributes);
}

// The control answers from the library in its own DLL, registered or not,
// and the library resolves every name, in any case, to the control's DISPID.
TEST_F(Members, TypeInformationComesFromTheDllAndAgreesWithItsNames) {
    UINT count = 0;
    EXPECT_EQ(control->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    ITypeInfo* none = reinterpret_cast<ITypeInfo*>(1);
    EXPECT_EQ(control->GetTypeInfo(1, plugin_locale, &none), DISP_E_BADINDEX);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(control->GetTypeInfo(0, plugin_locale, nullptr), E_POINTER);

    ComPtr<ITypeInfo> info, coclass;
    ComPtr<IProvideClassInfo> class_info;
    ASSERT_EQ(object->QueryInterface(IID_PPV_ARGS(class_info.GetAddressOf())), S_OK);
    ASSERT_EQ(unregister_server(), S_OK);
    const HRESULT type_info = control->GetTypeInfo(0, plugin_locale, info.GetAddressOf());
    const HRESULT class_type_info = class_info->GetClassInfo(coclass.GetAddressOf());
    ASSERT_EQ(register_server(), S_OK);
    ASSERT_EQ(type_info, S_OK);
    ASSERT_EQ(class_type_info, S_OK);

    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attributes), S_OK);
    EXPECT_TRUE(IsEqualGUID(attributes->guid, guid_of(members_text)));
    info->ReleaseTypeAttr(attributes);
    ASSERT_EQ(coclass->GetTypeAttr(&attributes), S_OK);
    EXPECT_TRUE(IsEqualGUID(attributes->guid, guid_of(clsid_text)));
    coclass->ReleaseTypeAttr(attributes);

    for (const member_row& row : members) {
        std::wstring lower = row.name;
        for (wchar_t& c : lower) c = static_cast<wchar_t>(towlower(c));
        SCOPED_TRACE(narrow(lower));
        LPOLESTR names[] = {const_cast<LPOLESTR>(lower.c_str())};
        MEMBERID from_library = DISPID_UNKNOWN;
        DISPID from_control = DISPID_UNKNOWN;
        EXPECT_EQ(info->GetIDsOfNames(names, 1, &from_library), S_OK);
        EXPECT_EQ(control->GetIDsOfNames(IID_NULL, names, 1, plugin_locale, &from_control), S_OK);
        EXPECT_EQ(from_library, from_control);
    }
}

// ---- Hosted by ATL through the plug-in ----------------------------------------------

// A saved BMP's pixels: 32-bit, bottom row first.
struct picture {
    int width = 0, height = 0;
    std::vector<unsigned char> bytes;
    bool valid() const { return width > 0 && height > 0 && bytes.size() == 54 + 4u * width * height; }
    // B, G, R of the pixel `y` rows from the top.
    std::uint32_t at(int x, int y) const {
        const unsigned char* p = &bytes[54 + 4 * ((height - 1 - y) * width + x)];
        return p[0] | p[1] << 8 | p[2] << 16;
    }
    // Pixels in [x0, x1) x [y0, y1) that are not `colour`.
    int differing(std::uint32_t colour, int x0, int y0, int x1, int y1) const {
        int count = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) count += at(x, y) != colour;
        return count;
    }
};

picture read_picture(const std::string& name) {
    picture result;
    result.bytes = scratch_files::read_bytes(name);
    if (result.bytes.size() >= 54) {
        auto u32 = [&](size_t at) {
            return static_cast<int>(result.bytes[at] | result.bytes[at + 1] << 8 | result.bytes[at + 2] << 16 |
                                    result.bytes[at + 3] << 24);
        };
        result.width = u32(18);
        result.height = u32(22);
    }
    return result;
}

std::string scratch(const std::string& name) {
    static const std::string folder = scratch_files::folder("control");
    return folder + name;
}

const auto write_file = scratch_files::write;

const std::string box_obj = "Z:\\usr\\share\\assimp\\models\\OBJ\\box.obj";
// As a unix path: Wine reads it on the current drive, Z:.
const std::string spider_obj = "/usr/share/assimp/models/OBJ/spider.obj";

// A square facing the camera, which fills the view's centre; nothing about
// it calls for a line in the view.
const std::string quad_obj = "v -1 -1 0\nv 1 -1 0\nv 1 1 0\nv -1 1 0\nf 1 2 3 4\n";

// SetBKColor's text and the B, G, R the picture must show for it.
constexpr char background_text[] = "40,60,90";
constexpr std::uint32_t background = 90 | 60 << 8 | 40 << 16;

// The control's own window, as the control reports it to its container.
HWND control_window() {
    IOleWindow* window = nullptr;
    HWND handle = nullptr;
    if (control_object && SUCCEEDED(control_object->QueryInterface(IID_IOleWindow, reinterpret_cast<void**>(&window)))) {
        window->GetWindow(&handle);
        window->Release();
    }
    return handle;
}

// Threads of this process, as the system lists them.
int thread_count() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snapshot);
    return count;
}

class Hosted : public ::testing::Test {
protected:
    static constexpr int width = 320, height = 240;
    // One frame for the program: destroying a visible top-level window takes
    // about 2 s under Xvfb; each test gets a child rectangle of its own.
    static void SetUpTestSuite() {
        frame = create_host(width, height);
        DestroyWindow(frame.rectangle);
    }
    static void TearDownTestSuite() { destroy_host(frame); }
    void SetUp() override {
        rectangle = create_rectangle(frame.frame, width, height);
        ASSERT_NE(rectangle, nullptr);
    }
    void TearDown() override {
        if (IsWindow(rectangle)) DestroyWindow(rectangle);
        pump_messages(10);
    }

    // Init, a plain scene over the test's background (the start-up turns the
    // grid on, and its lines could cross any pixel), then `steps`, then End.
    int run(std::vector<step> steps) {
        steps.insert(steps.begin(), {[] {
                         KP_QUELTO3D_SETBKCOLOR(background_text);
                         KP_QUELTO3D_GRIDMODE("0");
                     }});
        steps.push_back({[] { KP_QUELTO3D_END(nullptr); }});
        return run_in_viewer(handle_text(rectangle), std::move(steps));
    }
    // A step that saves what the viewer shows once it has had time to draw.
    // The file is removed first: a folder named after a reused process id may
    // hold one from an earlier run.
    static step save(const std::string& name, int after_ms = 500) {
        DeleteFileA(name.c_str());
        return {[name] { KP_QUELTO3D_SAVEIMAGE(name.c_str()); }, after_ms};
    }
    static step act(BSTR(WINAPI* action)(const char*), const std::string& parameter) {
        return {[action, parameter] { action(parameter.c_str()); }};
    }

    static host_window frame;
    HWND rectangle = nullptr;
};
host_window Hosted::frame;

TEST_F(Hosted, ControlWindowFillsTheAtlHostFollowsResizeAndHWindow) {
    watchdog guard(30, "Hosted.ControlWindowFillsTheAtlHostFollowsResizeAndHWindow");
    HWND window = nullptr, atl = nullptr, parent = nullptr, first_child = nullptr;
    std::string at_start, grown, atl_grown;
    BOOL visible = FALSE, hidden = TRUE, shown_again = FALSE;
    const int left = run({{[&] {
                              atl = atl_host_window;
                              window = control_window();
                              parent = GetParent(window);
                              first_child = GetWindow(atl, GW_CHILD);
                              at_start = placement(window, atl);
                              visible = IsWindowVisible(window);
                              SetWindowPos(rectangle, nullptr, 0, 0, width + 37, height + 23,
                                           SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
                              KP_QUELTO3D_RESIZE(nullptr);
                          }},
                          {[&] {
                               grown = placement(window, atl);
                               atl_grown = placement(atl, container_handle);
                               KP_QUELTO3D_HWINDOW("0");
                           },
                           50},
                          {[&] {
                               hidden = IsWindowVisible(window);
                               KP_QUELTO3D_HWINDOW("1");
                           }},
                          {[&] { shown_again = IsWindowVisible(window); }}});
    EXPECT_EQ(left, 0);
    ASSERT_NE(atl, nullptr);
    ASSERT_NE(window, nullptr) << "the control reports its window";
    EXPECT_EQ(parent, atl) << "a child of ATL's host window";
    EXPECT_EQ(first_child, window) << "ATL's host window holds the control's window";
    EXPECT_EQ(at_start, "0,0 320x240");
    EXPECT_TRUE(visible);
    EXPECT_EQ(atl_grown, "0,0 357x263");
    EXPECT_EQ(grown, "0,0 357x263") << "SetObjectRects moves the control's window";
    EXPECT_FALSE(hidden) << "HWINDOW 0";
    EXPECT_TRUE(shown_again) << "HWINDOW 1";
    EXPECT_FALSE(IsWindow(window)) << "gone with the container";
}

TEST_F(Hosted, SavedPictureShowsTheModelOverTheBackgroundColour) {
    watchdog guard(30, "Hosted.SavedPictureShowsTheModelOverTheBackgroundColour");
    const std::string box = scratch("box.bmp"), spider = scratch("spider.bmp");
    run({act(KP_QUELTO3D_SHOW, box_obj), save(box), act(KP_QUELTO3D_SHOW, spider_obj), save(spider)});
    for (const std::string& name : {box, spider}) {
        SCOPED_TRACE(name);
        const picture shot = read_picture(name);
        ASSERT_TRUE(shot.valid());
        EXPECT_EQ(shot.width, width);
        EXPECT_EQ(shot.height, height);
        for (const auto& corner : {std::pair{0, 0}, {width - 1, 0}, {0, height - 1}, {width - 1, height - 1}})
            EXPECT_EQ(shot.at(corner.first, corner.second), background)
                << "corner " << corner.first << "," << corner.second;
        EXPECT_NE(shot.at(width / 2, height / 2), background) << "the model covers the centre";
    }
}

TEST_F(Hosted, MissingFileShowsALineOverAnEmptySceneAndClearEmptiesIt) {
    watchdog guard(30, "Hosted.MissingFileShowsALineOverAnEmptySceneAndClearEmptiesIt");
    const std::string missing = scratch("missing.bmp"), cleared = scratch("cleared.bmp"),
                      reloaded = scratch("reloaded.bmp"), cleared_model = scratch("cleared-model.bmp");
    write_file(scratch("quad.obj"), quad_obj);
    run({act(KP_QUELTO3D_SHOW, "Z:\\no\\such\\folder\\model.obj"), save(missing), act(KP_QUELTO3D_CLEAR, ""),
         save(cleared), act(KP_QUELTO3D_SHOW, scratch("quad.obj")), save(reloaded), act(KP_QUELTO3D_CLEAR, ""),
         save(cleared_model)});

    const picture failed = read_picture(missing);
    ASSERT_TRUE(failed.valid());
    EXPECT_GT(failed.differing(background, 0, 0, width / 2, 30), 20) << "a line of text at the top left";
    EXPECT_EQ(failed.differing(background, 0, 40, width, height), 0) << "nothing else: the scene is empty";

    const picture after_clear = read_picture(cleared);
    ASSERT_TRUE(after_clear.valid());
    EXPECT_EQ(after_clear.differing(background, 0, 0, width, height), 0) << "Clear removes the line too";

    const picture model = read_picture(reloaded);
    ASSERT_TRUE(model.valid());
    EXPECT_NE(model.at(width / 2, height / 2), background) << "a good file after a missing one";
    EXPECT_EQ(model.differing(background, 0, 0, width / 2, 30), 0) << "and no line left over";

    const picture emptied = read_picture(cleared_model);
    ASSERT_TRUE(emptied.valid());
    EXPECT_EQ(emptied.differing(background, 0, 0, width, height), 0) << "Clear empties the scene";
}

// The control draws a member call's change before the call returns: its
// window shows the model at once, with no paint message dispatched between.
TEST_F(Hosted, AChangeIsDrawnBeforeTheMemberCallReturns) {
    watchdog guard(30, "Hosted.AChangeIsDrawnBeforeTheMemberCallReturns");
    COLORREF before = CLR_INVALID, after = CLR_INVALID;
    run({{[&] {
        HDC dc = GetDC(control_window());
        before = GetPixel(dc, width / 2, height / 2);
        KP_QUELTO3D_SHOW(box_obj.c_str());
        after = GetPixel(dc, width / 2, height / 2);
        ReleaseDC(control_window(), dc);
    }, 300}});
    const COLORREF background_colour = RGB(40, 60, 90);
    EXPECT_EQ(before, background_colour);
    EXPECT_NE(after, CLR_INVALID);
    EXPECT_NE(after, background_colour) << "the box is in the window as Show returns";
}

// A failed action's line goes with the next change to the picture; a call
// that changes nothing leaves it. ScaleLighting sets the brightness relative
// to the default, so the same value twice is the same picture.
TEST_F(Hosted, AnOldMessageLineGoesWithTheNextChangeAndScaleLightingIsAbsolute) {
    watchdog guard(40, "Hosted.AnOldMessageLineGoesWithTheNextChangeAndScaleLightingIsAbsolute");
    const std::string failed = scratch("failed-bk.bmp"), unchanged = scratch("unchanged.bmp"),
                      changed = scratch("changed.bmp"), dim = scratch("dim.bmp"), dim_again = scratch("dim2.bmp"),
                      restored = scratch("restored.bmp");
    run({act(KP_QUELTO3D_BKIMAGE, "Z:\\no\\such\\picture.bmp"), save(failed, 150),
         act(KP_QUELTO3D_APIMODE, "7"), save(unchanged, 150), act(KP_QUELTO3D_GRIDMODE, "0"),
         save(changed, 150), act(KP_QUELTO3D_SHOW, box_obj), act(KP_QUELTO3D_SCALELIGHTING, "0.5"),
         save(dim, 150), act(KP_QUELTO3D_SCALELIGHTING, "0.5"), save(dim_again, 150),
         act(KP_QUELTO3D_SCALELIGHTING, "0"), save(restored, 150)});

    const picture line = read_picture(failed), kept = read_picture(unchanged), gone = read_picture(changed);
    ASSERT_TRUE(line.valid() && kept.valid() && gone.valid());
    EXPECT_GT(line.differing(background, 0, 0, width / 2, 30), 20) << "the missing picture's line";
    EXPECT_GT(kept.differing(background, 0, 0, width / 2, 30), 20) << "a RenderAPI value that selects no renderer changes nothing and keeps it";
    EXPECT_EQ(gone.differing(background, 0, 0, width, height), 0) << "GridMode changed the picture: no line";

    const picture half = read_picture(dim), half_again = read_picture(dim_again), full = read_picture(restored);
    ASSERT_TRUE(half.valid() && half_again.valid() && full.valid());
    EXPECT_NE(half.at(width / 2, height / 2), full.at(width / 2, height / 2)) << "0.5 is dimmer than the default";
    EXPECT_EQ(half_again.at(width / 2, height / 2), half.at(width / 2, height / 2)) << "0.5 twice is still 0.5";
}

// A file that ends early shows what it holds, with a line saying so, and so
// does a model whose texture is missing; the line stays while that model is
// shown and goes with it.
TEST_F(Hosted, WhatAModelLacksStaysInALineWhileItIsShown) {
    watchdog guard(30, "Hosted.WhatAModelLacksStaysInALineWhileItIsShown");
    write_file(scratch("cut.obj"), quad_obj + "f 1 2");
    write_file(scratch("textured.mtl"), "newmtl skin\nKd 1 1 1\nmap_Kd no-such-picture.png\n");
    write_file(scratch("textured.obj"), "mtllib textured.mtl\nusemtl skin\n" + quad_obj);
    write_file(scratch("quad.obj"), quad_obj);
    const std::string names[] = {"cut", "cut-grid", "textured", "quad"};
    std::vector<step> steps = {act(KP_QUELTO3D_SHOW, scratch("cut.obj")), save(scratch("cut.bmp"), 150),
                               act(KP_QUELTO3D_GRIDMODE, "0"), save(scratch("cut-grid.bmp"), 150),
                               act(KP_QUELTO3D_SHOW, scratch("textured.obj")), save(scratch("textured.bmp"), 150),
                               act(KP_QUELTO3D_SHOW, scratch("quad.obj")), save(scratch("quad.bmp"), 150)};
    EXPECT_EQ(run(steps), 0);
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const picture shot = read_picture(scratch(name + ".bmp"));
        ASSERT_TRUE(shot.valid());
        EXPECT_NE(shot.at(width / 2, height / 2), background) << "the model is shown";
        if (name == "quad") EXPECT_EQ(shot.differing(background, 0, 0, width / 2, 30), 0) << "no line";
        else EXPECT_GT(shot.differing(background, 0, 0, width / 2, 30), 20) << "a line saying what is missing";
    }
}

TEST_F(Hosted, GarbageFilesLeaveAnEmptySceneWithALine) {
    watchdog guard(40, "Hosted.GarbageFilesLeaveAnEmptySceneWithALine");
    struct garbage {
        std::string file, content;
    };
    std::string huge_binary_stl(80, 'h');
    huge_binary_stl += std::string("\x00\xCA\x9A\x3B", 4);  // a billion triangles promised, none given
    huge_binary_stl += std::string(50, '\0');
    const garbage files[] = {
        {"text.stl", "This is a note, not a model.\r\nIt only has the extension of one.\r\n"},
        {"empty.obj", ""},
        {"solid.stl", "solid broken\n facet normal 0 0 1\n outer loop\n vertex 1 2\n"},
        {"billion.stl", huge_binary_stl},
        {"nan.obj", "v nan nan nan\nv 1e999 0 0\nv 0 1 0\nf 1 2 3\n"},
        {"faces.obj", "v 0 0 0\nf 1 2 3\nf -7 99 0\n"},
        {"header.ply", "ply\nformat binary_little_endian 1.0\nelement vertex 4000000000\nproperty float x\n"
                       "end_header\n"},
        {"noise.ply", std::string("\x89PNG\r\n\x1a\n\0\0\0\0garbage", 20)},
    };
    std::vector<step> steps;
    for (const garbage& entry : files) {
        write_file(scratch(entry.file), entry.content);
        steps.push_back(act(KP_QUELTO3D_SHOW, scratch(entry.file)));
        steps.push_back(save(scratch(entry.file + ".bmp"), 150));
    }
    // A good model afterwards still loads.
    steps.push_back(act(KP_QUELTO3D_SHOW, box_obj));
    steps.push_back(save(scratch("after-garbage.bmp")));
    EXPECT_EQ(run(steps), 0);

    for (const garbage& entry : files) {
        SCOPED_TRACE(entry.file);
        const picture shot = read_picture(scratch(entry.file + ".bmp"));
        ASSERT_TRUE(shot.valid());
        EXPECT_GT(shot.differing(background, 0, 0, width / 2, 30), 20) << "a line saying what failed";
        EXPECT_EQ(shot.differing(background, 0, 40, width, height), 0) << "an empty scene";
    }
    const picture good = read_picture(scratch("after-garbage.bmp"));
    ASSERT_TRUE(good.valid());
    EXPECT_NE(good.at(width / 2, height / 2), background);
}

// glTF's base colour factor is linear: an unlit 0.5 is sRGB's 188 in the
// saved picture, as in every conformant viewer.
TEST_F(Hosted, UnlitGltfHalfGreyIsSavedAs188) {
    watchdog guard(30, "Hosted.UnlitGltfHalfGreyIsSavedAs188");
    write_file(scratch("half.gltf"),
               R"({"asset":{"version":"2.0"},"extensionsUsed":["KHR_materials_unlit"],"scenes":[{"nodes":[0]}],)"
               R"("nodes":[{"mesh":0}],"meshes":[{"primitives":[{"attributes":{"POSITION":0},"indices":1,"material":0}]}],)"
               R"("materials":[{"pbrMetallicRoughness":{"baseColorFactor":[0.5,0.5,0.5,1]},)"
               R"("extensions":{"KHR_materials_unlit":{}}}],"buffers":[{"byteLength":60,"uri":"data:application/)"
               R"(octet-stream;base64,AACAvwAAgL8AAAAAAACAPwAAgL8AAAAAAACAPwAAgD8AAAAAAACAvwAAgD8AAAAAAAABAAIAAAACAAMA"}],)"
               R"("bufferViews":[{"buffer":0,"byteLength":48},{"buffer":0,"byteOffset":48,"byteLength":12}],)"
               R"("accessors":[{"bufferView":0,"componentType":5126,"type":"VEC3","count":4,"min":[-1,-1,0],)"
               R"("max":[1,1,0]},{"bufferView":1,"componentType":5123,"type":"SCALAR","count":6}]})");
    EXPECT_EQ(run({act(KP_QUELTO3D_SHOW, scratch("half.gltf")), save(scratch("half.bmp"))}), 0);
    const picture shot = read_picture(scratch("half.bmp"));
    ASSERT_TRUE(shot.valid());
    const std::uint32_t centre = shot.at(width / 2, height / 2);
    for (int shift : {0, 8, 16}) EXPECT_NEAR(int(centre >> shift & 0xFF), 188, 1) << std::hex << centre;
}

// The process's largest private memory while `stop` is 0, sampled every 5 ms.
struct memory_sampler {
    volatile LONG stop = 0;
    SIZE_T peak = 0;
};

DWORD WINAPI sample_memory(void* context) {
    auto& s = *static_cast<memory_sampler*>(context);
    while (!s.stop) {
        s.peak = std::max(s.peak, private_bytes());
        Sleep(5);
    }
    return 0;
}

// The hostile model set through the plug-in and the control: each is shown
// or refused with a line, the host's process never takes more than 256 MB
// more than before (sampled while they load), and none stalls it.
TEST_F(Hosted, HostileModelsAreShownOrRefusedWithinTheirBudget) {
    watchdog guard(240, "Hosted.HostileModelsAreShownOrRefusedWithinTheirBudget");
    const char* folder = std::getenv("QUELTO_HOSTILE");
    ASSERT_NE(folder, nullptr) << "QUELTO_HOSTILE names the hostile model set";
    const char* files[] = {"network_names.obj", "network_buffer.gltf", "network_pictures.gltf", "zero_filled.gltf",
                           "sparse_zero.gltf", "instanced.gltf", "pixel_bomb.obj", "picture_count.gltf",
                           "embedded_bombs.gltf"};
    memory_sampler sampling;
    const SIZE_T before = private_bytes();
    const HANDLE sampler = CreateThread(nullptr, 0, sample_memory, &sampling, 0, nullptr);
    ASSERT_NE(sampler, nullptr);
    std::vector<DWORD> took(std::size(files));
    std::vector<step> steps;
    for (std::size_t i = 0; i < std::size(files); ++i) {
        const std::string path = std::string(folder) + "/" + files[i];
        steps.push_back({[path, &took, i] {
            const DWORD start = GetTickCount();
            KP_QUELTO3D_SHOW(path.c_str());
            took[i] = GetTickCount() - start;
        }});
        steps.push_back(save(scratch(std::string(files[i]) + ".bmp"), 150));
    }
    EXPECT_EQ(run(steps), 0);
    InterlockedExchange(&sampling.stop, 1);
    WaitForSingleObject(sampler, 5000);
    CloseHandle(sampler);
    std::printf("[ hostile  ] peak %lu MB more than before\n", static_cast<unsigned long>((sampling.peak - before) >> 20));
    EXPECT_LE(sampling.peak - std::min(sampling.peak, before), SIZE_T(256) << 20);
    for (std::size_t i = 0; i < std::size(files); ++i) {
        SCOPED_TRACE(files[i]);
        std::printf("[ hostile  ] %-22s %5lu ms\n", files[i], static_cast<unsigned long>(took[i]));
        // Two seconds natively; the emulated guest runs Wine several times slower.
        EXPECT_LE(took[i], 30000u);
        const picture shot = read_picture(scratch(std::string(files[i]) + ".bmp"));
        ASSERT_TRUE(shot.valid());
        if (std::string(files[i]) != "picture_count.gltf")
            EXPECT_GT(shot.differing(background, 0, 0, width / 2, 30), 20) << "a line saying what was refused";
    }
}

TEST_F(Hosted, ExtremeValuesWhileDrawingNeverCrash) {
    watchdog guard(40, "Hosted.ExtremeValuesWhileDrawingNeverCrash");
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const std::vector<double> values = {nan, inf, -inf, 1e300, -1e300, -5, 1e-30, 1e30, 0.5, 7};
    std::vector<step> steps = {act(KP_QUELTO3D_SHOW, spider_obj)};
    int failed_calls = 0;
    // Each value for every number member at once, then a frame drawn with
    // them, everything shown.
    for (double value : values) {
        steps.push_back({[value, &failed_calls] {
            for (const member_row& row : members) {
                if (row.put_value != 'n') continue;
                if (std::wstring(row.name) == L"HWINDOW") continue;  // keep the window to draw in
                const HRESULT hr = member(control_object, row.name, put, {number(value)});
                failed_calls += !clean(hr);
            }
            member(control_object, L"SETCOLOR", method, {number(1), number(value)});
            member(control_object, L"SETCOLOR", method, {number(2), number(value)});
            for (const wchar_t* on : {L"SHOWVERTEXES", L"SHOWLIGHTS", L"SHOWWORLDAXIS", L"SHOWBOUNDINGBOX",
                                      L"SHOWFOG", L"SHOWHIDDENGEOMETRY"})
                member(control_object, on, put, {number(1)});
            UpdateWindow(control_window());
        }});
        steps.push_back({[] {}, 30});
    }
    // Modes through the plug-in's own texts too.
    for (const char* mode : {"1", "2", "3", "4", "0", "99"}) {
        steps.push_back(act(KP_QUELTO3D_RENDERMODE, mode));
        steps.push_back(act(KP_QUELTO3D_GRIDMODE, mode));
        steps.push_back(act(KP_QUELTO3D_LIGHTMODE, mode));
        steps.push_back({[] { UpdateWindow(control_window()); }, 20});
    }
    steps.push_back(save(scratch("extreme.bmp"), 200));
    EXPECT_EQ(run(steps), 0);
    EXPECT_EQ(failed_calls, 0);
    EXPECT_TRUE(read_picture(scratch("extreme.bmp")).valid()) << "still drawing";
}

// ---- Lifetime: runs last ----------------------------------------------------------------

TEST_F(Hosted, NoObjectIsLeftOnceTheHostReleasesItAndTheDllUnloadsCleanly) {
    watchdog guard(30, "Hosted.NoObjectIsLeftOnceTheHostReleasesItAndTheDllUnloadsCleanly");
    HRESULT while_up = S_OK;
    std::string window_class;
    run({{[&] {
        while_up = can_unload_now();
        char name[128] = {};
        GetClassNameA(control_window(), name, sizeof name);
        window_class = name;
    }}});
    EXPECT_EQ(while_up, S_FALSE) << "the hosted control is alive";
    pump_messages(20);
    EXPECT_EQ(can_unload_now(), S_FALSE) << "the plug-in still holds the control after End";
    DestroyWindow(rectangle);
    pump_messages(20);

    // A later Init without a window makes one pass and drops the held control.
    run_in_viewer("0", {});
    EXPECT_EQ(control_object, nullptr);
    pump_messages(20);
    EXPECT_EQ(can_unload_now(), S_OK) << "every object is gone";
    // The window class went with the last control, while the DLL is loaded:
    // unloading (DllMain, under the loader lock) has no window work left.
    ASSERT_FALSE(window_class.empty());
    WNDCLASSA left_behind;
    EXPECT_FALSE(GetClassInfoA(reinterpret_cast<HINSTANCE>(control_module), window_class.c_str(), &left_behind))
        << window_class << " is still registered after the last control";

    // And one made and released directly.
    CLSID clsid = {};
    ASSERT_EQ(CLSIDFromProgID(L"QUELTO3D.Quelto3dCtrl.1", &clsid), S_OK);
    IOleObject* object = nullptr;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject, reinterpret_cast<void**>(&object)),
              S_OK);
    EXPECT_EQ(can_unload_now(), S_FALSE);
    object->Release();
    ASSERT_EQ(can_unload_now(), S_OK);

    // Hosts free unused servers from time to time. Windows keeps a DLL's
    // window classes after it is unloaded: one left behind would send the
    // next window of that class into whatever code is mapped there then.
    const HMODULE unloaded = control_module;
    CoFreeUnusedLibrariesEx(0, 0);
    FreeLibrary(control_module);
    ASSERT_EQ(GetModuleHandleA("Quelto3dCtrl.dll"), nullptr) << "unloaded";
    EXPECT_FALSE(GetClassInfoA(reinterpret_cast<HINSTANCE>(unloaded), window_class.c_str(), &left_behind))
        << window_class << " is still registered";

    // Loaded again, it is created and activated as before, even where an
    // earlier load left its class registered (unloaded with a control
    // alive), with a window procedure that is no longer there.
    control_module = LoadLibraryA(control_path.c_str());
    ASSERT_NE(control_module, nullptr);
    WNDCLASSA stale = {};
    stale.lpfnWndProc = DefWindowProcA;
    stale.hInstance = reinterpret_cast<HINSTANCE>(control_module);
    stale.lpszClassName = window_class.c_str();
    ASSERT_NE(RegisterClassA(&stale), 0);
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject, reinterpret_cast<void**>(&object)),
              S_OK);
    HWND parent = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 300, 200, nullptr, nullptr, nullptr, nullptr);
    counting_site site;
    site.parent = parent;
    // Large enough to be drawn in bands on the control's threads, where the
    // machine has more than one core.
    const RECT position = {0, 0, 240, 160};
    const int threads_before = thread_count();
    EXPECT_EQ(object->SetClientSite(&site), S_OK);
    EXPECT_EQ(object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, parent, &position), S_OK);
    const HWND window = GetWindow(parent, GW_CHILD);
    ASSERT_NE(window, nullptr);
    EXPECT_NE(GetWindowLongPtrA(window, GWLP_USERDATA), 0) << "the control's own window procedure made it";
    // Only a window on the screen is painted.
    ShowWindow(parent, SW_SHOWNOACTIVATE);
    ShowWindow(window, SW_SHOWNOACTIVATE);
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    SYSTEM_INFO machine = {};
    GetSystemInfo(&machine);
    if (machine.dwNumberOfProcessors > 1)
        EXPECT_GT(thread_count(), threads_before) << "drawing started the control's threads";
    object->Close(OLECLOSE_NOSAVE);
    object->SetClientSite(nullptr);
    object->Release();
    ShowWindow(parent, SW_HIDE);
    DestroyWindow(parent);
    EXPECT_EQ(can_unload_now(), S_OK);
    EXPECT_LE(thread_count(), threads_before) << "the control's threads ended with it";
    // Unloaded with no thread of its own left, and loaded again.
    CoFreeUnusedLibrariesEx(0, 0);
    FreeLibrary(control_module);
    ASSERT_EQ(GetModuleHandleA("Quelto3dCtrl.dll"), nullptr) << "unloaded";
    control_module = LoadLibraryA(control_path.c_str());
    ASSERT_NE(control_module, nullptr);
    EXPECT_FALSE(GetClassInfoA(reinterpret_cast<HINSTANCE>(control_module), window_class.c_str(), &left_behind))
        << window_class << " is still registered after the last control";
}

}  // namespace
