#include "tests/fake_viewer_control.h"

#include <cstdio>

#include <algorithm>
#include <new>
#include <utility>

namespace fake_control {
namespace {

// The control's members; a member's DISPID is its position plus one.
const char* const member_names[] = {
    "INIT",           "LOADFILE",         "RESETSCENE",         "RENDERMODE",       "GRIDMODE",
    "RENDERAPI",      "SCALELIGHTING",    "SETCOLOR",           "BKPICTURE",        "INERTIALROTATION",
    "LIGHTMODE",      "LEFTMBUTTONMODE",  "RIGHTMBUTTONMODE",   "GRIDSIZE",         "SPECULARLIGHTING",
    "SMOOTHING",      "CREASEANGLE",      "USEDEFAULTMATERIAL", "SHOWTRANSPARENCY", "SHOWTEXTURES",
    "SHOWFOG",        "SHOWHIDDENGEOMETRY", "SHOWVERTEXES",     "SHOWLIGHTS",       "SHOWWORLDAXIS",
    "SHOWBOUNDINGBOX", "HWINDOW",
};
const DISPID member_count = DISPID(sizeof member_names / sizeof member_names[0]);

const wchar_t prog_id[] = L"QUELTO3D.Quelto3dCtrl.1";
const CLSID fake_clsid = {0xe553921d, 0xe688, 0x4729, {0xac, 0x52, 0x90, 0x43, 0xbc, 0x0f, 0x1c, 0xa7}};

record the_record;
bool recording = true;  // off for benchmarks, which make millions of calls
std::vector<std::string> failing_members;
LONG live_count = 0;

std::string inside_member;  // upper case
std::function<void(const DISPPARAMS&)> inside_action;
std::vector<const void*> objects_in_invoke;  // by address: never read through
bool destroyed_in_invoke = false;

bool drawing = false;
const char view_class[] = "QueltoFakeControlView";

LRESULT CALLBACK view_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_PAINT) {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        HBRUSH brush = CreateSolidBrush(static_cast<COLORREF>(GetWindowLongPtrA(window, GWLP_USERDATA)));
        RECT client;
        GetClientRect(window, &client);
        FillRect(dc, &client, brush);
        DeleteObject(brush);
        EndPaint(window, &paint);
        return 0;
    }
    if (message == WM_ERASEBKGND) return 1;
    return DefWindowProcA(window, message, wparam, lparam);
}

HWND create_view(HWND parent, LPCRECT position) {
    static const bool registered = [] {
        WNDCLASSA view = {};
        view.lpfnWndProc = view_procedure;
        view.hInstance = GetModuleHandleA(nullptr);
        view.lpszClassName = view_class;
        return RegisterClassA(&view) != 0;
    }();
    if (!registered || !parent || !position) return nullptr;
    return CreateWindowExA(0, view_class, "", WS_CHILD | WS_VISIBLE, position->left, position->top,
                           position->right - position->left, position->bottom - position->top, parent, nullptr,
                           GetModuleHandleA(nullptr), nullptr);
}

bool in_invoke(const void* object) {
    for (const void* entry : objects_in_invoke)
        if (entry == object) return true;
    return false;
}

wchar_t ascii_upper(wchar_t unit) { return unit >= L'a' && unit <= L'z' ? wchar_t(unit - L'a' + L'A') : unit; }
char ascii_upper(char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }

// Compares UTF-16 units, so a non-ASCII unit never matches even if its low
// byte would.
bool same_name(const wchar_t* name, const char* member) {
    for (; *name && *member; ++name, ++member)
        if (ascii_upper(*name) != wchar_t(static_cast<unsigned char>(*member))) return false;
    return *name == 0 && *member == 0;
}

DISPID dispid_of(const wchar_t* name) {
    for (DISPID i = 0; i < member_count; ++i)
        if (same_name(name, member_names[i])) return i + 1;
    return DISPID_UNKNOWN;
}

// failing_members holds upper-case names, as member_names does.
bool is_failing(const std::string& member) {
    for (const std::string& failing : failing_members)
        if (failing == member) return true;
    return false;
}

argument copy_of(const VARIANT& value) {
    argument result;
    result.type = V_VT(&value);
    if (result.type == VT_R8) {
        result.number = V_R8(&value);
    } else if (result.type == VT_BSTR) {
        BSTR text = V_BSTR(&value);
        result.null_text = text == nullptr;
        if (text) result.text.assign(text, SysStringLen(text));
    }
    return result;
}

class viewer_control final : public IDispatch, public IOleObject {
public:
    viewer_control() { InterlockedIncrement(&live_count); }
    viewer_control(const viewer_control&) = delete;
    viewer_control& operator=(const viewer_control&) = delete;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch) {
            *object = static_cast<IDispatch*>(this);
        } else if (riid == IID_IOleObject) {
            *object = static_cast<IOleObject*>(this);
        } else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ULONG(InterlockedIncrement(&references)); }
    STDMETHODIMP_(ULONG) Release() override {
        LONG left = InterlockedDecrement(&references);
        if (left == 0) delete this;
        return ULONG(left);
    }

    // IDispatch
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info) *info = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override {
        lookup entry;
        entry.lcid = lcid;
        entry.riid_is_null = riid == IID_NULL;
        HRESULT hr = S_OK;
        if (!names || !ids) {
            hr = E_POINTER;
        } else if (count == 0) {
            hr = E_INVALIDARG;
        } else {
            for (UINT i = 0; i < count; ++i) {
                entry.names.push_back(names[i] ? narrow(names[i]) : std::string());
                // The members take no named arguments, so only the first name can resolve.
                ids[i] = i == 0 && names[i] ? dispid_of(names[i]) : DISPID_UNKNOWN;
                if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
            }
        }
        entry.known = hr == S_OK;
        if (recording) the_record.lookups.push_back(std::move(entry));
        return hr;
    }
    STDMETHODIMP Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO*, UINT*) override {
        call entry;
        bool known = dispid >= 1 && dispid <= member_count;
        if (known) entry.member = member_names[dispid - 1];
        entry.dispid = dispid;
        entry.lcid = lcid;
        entry.flags = flags;
        entry.riid_is_null = riid == IID_NULL;
        entry.result_requested = result != nullptr;
        if (params) {
            entry.arg_count = params->cArgs;
            entry.named_count = params->cNamedArgs;
            if (params->cNamedArgs > 0 && params->rgdispidNamedArgs) entry.named0 = params->rgdispidNamedArgs[0];
            // With a null rgvarg, args stays shorter than arg_count, which a test sees.
            if (params->rgvarg)
                for (UINT i = 0; i < params->cArgs; ++i) entry.args.push_back(copy_of(params->rgvarg[i]));
        }
        if (view && entry.member == "SETCOLOR" && entry.args.size() == 2 && entry.args[1].number == 0) {
            SetWindowLongPtrA(view, GWLP_USERDATA, static_cast<LONG_PTR>(entry.args[0].number));
            InvalidateRect(view, nullptr, FALSE);  // painted when the window gets round to it
        }
        const bool failing = known && is_failing(entry.member);
        const bool run_action = known && params && inside_action && entry.member == inside_member;
        if (recording) the_record.calls.push_back(std::move(entry));
        if (!known) return DISP_E_MEMBERNOTFOUND;
        if (!params) return E_INVALIDARG;
        if (run_action) {
            // Taken out first: the action may call the same member again.
            auto action = std::move(inside_action);
            inside_action = nullptr;
            objects_in_invoke.push_back(this);
            action(*params);
            // `this` may be gone by now (that is what the tests look for): only its address is used.
            objects_in_invoke.erase(std::find(objects_in_invoke.begin(), objects_in_invoke.end(), this));
        }
        return failing ? E_FAIL : S_OK;
    }

    // IOleObject: just enough for ATL to host the object.
    STDMETHODIMP SetClientSite(IOleClientSite* site) override {
        // ATL's site lives only on the references its control holds.
        if (site) site->AddRef();
        release_site();
        client_site = site;
        return S_OK;
    }
    STDMETHODIMP GetClientSite(IOleClientSite** site) override {
        if (!site) return E_POINTER;
        *site = client_site;
        if (client_site) client_site->AddRef();
        return S_OK;
    }
    STDMETHODIMP SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
    STDMETHODIMP Close(DWORD) override {
        destroy_view();
        release_site();
        return S_OK;
    }
    STDMETHODIMP SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** moniker) override {
        if (moniker) *moniker = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP GetClipboardData(DWORD, IDataObject** data) override {
        if (data) *data = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP DoVerb(LONG, LPMSG, IOleClientSite*, LONG, HWND parent, LPCRECT position) override {
        if (drawing && !view) view = create_view(parent, position);
        return S_OK;
    }
    STDMETHODIMP EnumVerbs(IEnumOLEVERB** verbs) override {
        if (verbs) *verbs = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP Update() override { return S_OK; }
    STDMETHODIMP IsUpToDate() override { return S_OK; }
    STDMETHODIMP GetUserClassID(CLSID* clsid) override {
        if (!clsid) return E_POINTER;
        *clsid = fake_clsid;
        return S_OK;
    }
    STDMETHODIMP GetUserType(DWORD, LPOLESTR* type) override {
        if (type) *type = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP SetExtent(DWORD, SIZEL* size) override {
        // ATL gives up hosting on a failure here.
        if (size) extent = *size;
        return S_OK;
    }
    STDMETHODIMP GetExtent(DWORD, SIZEL* size) override {
        if (!size) return E_POINTER;
        *size = extent;
        return S_OK;
    }
    STDMETHODIMP Advise(IAdviseSink*, DWORD* connection) override {
        if (connection) *connection = 0;
        return E_NOTIMPL;
    }
    STDMETHODIMP Unadvise(DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP EnumAdvise(IEnumSTATDATA** advise) override {
        if (advise) *advise = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetMiscStatus(DWORD, DWORD* status) override {
        if (!status) return E_POINTER;
        *status = 0;
        return S_OK;
    }
    STDMETHODIMP SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }

private:
    ~viewer_control() {
        if (in_invoke(this)) destroyed_in_invoke = true;
        destroy_view();
        release_site();
        InterlockedDecrement(&live_count);
    }
    void destroy_view() {
        if (view && IsWindow(view)) DestroyWindow(view);
        view = nullptr;
    }
    void release_site() {
        // Cleared before Release, which may re-enter this object.
        IOleClientSite* old = client_site;
        client_site = nullptr;
        if (old) old->Release();
    }

    LONG references = 1;
    IOleClientSite* client_site = nullptr;
    SIZEL extent = {0, 0};
    HWND view = nullptr;
};

// One static factory; its lifetime is the program's, so it counts no references.
class factory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *object = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        IDispatch* control = create();
        if (!control) return E_OUTOFMEMORY;
        HRESULT hr = control->QueryInterface(riid, object);
        control->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};
factory the_factory;

bool write_default_value(const std::wstring& key_path, const std::wstring& data) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return false;
    LONG status = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                                 DWORD((data.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool read_default_value(const std::wstring& key_path, std::wstring& data) {
    wchar_t buffer[128] = {};
    DWORD size = sizeof buffer - sizeof(wchar_t);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key_path.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, buffer, &size) !=
        ERROR_SUCCESS)
        return false;
    data = buffer;
    return true;
}

// The class the viewer's ProgID named before the fake took it over (the real
// control's, when it is registered), put back when this program lets the
// fake go: the prefix is shared, and a later test program or the runner must
// find the ProgID as it was. (Programs that keep the fake until they end
// leave it; the real control's tests register it again.)
const std::wstring prog_id_clsid_key = std::wstring(L"Software\\Classes\\") + prog_id + L"\\CLSID";
std::wstring class_before_fake;
bool taken_over = false;

void give_back_prog_id() {
    if (!taken_over) return;
    taken_over = false;
    if (!class_before_fake.empty()) write_default_value(prog_id_clsid_key, class_before_fake);
    else RegDeleteKeyW(HKEY_LOCAL_MACHINE, prog_id_clsid_key.c_str());
}

}  // namespace

record& recorded() { return the_record; }

void set_recording(bool on) { recording = on; }

void reset() {
    the_record = record();
    failing_members.clear();
    inside_member.clear();
    inside_action = nullptr;
    destroyed_in_invoke = false;
}

void run_inside(std::string member, std::function<void(const DISPPARAMS&)> action) {
    for (char& c : member) c = ascii_upper(c);
    inside_member = std::move(member);
    inside_action = std::move(action);
}

bool destroyed_while_invoked() { return destroyed_in_invoke; }

void set_drawing(bool on) { drawing = on; }

void set_failing_members(std::vector<std::string> members) {
    for (std::string& member : members)
        for (char& c : member) c = ascii_upper(c);
    failing_members = std::move(members);
}

IDispatch* create() { return new (std::nothrow) viewer_control(); }

long live_objects() { return live_count; }

const CLSID& class_id() { return fake_clsid; }

DWORD register_class() {
    wchar_t clsid_text[39] = {};
    if (!StringFromGUID2(fake_clsid, clsid_text, 39)) return 0;
    const std::wstring classes = L"Software\\Classes\\";
    if (!taken_over) {
        std::wstring current;
        class_before_fake = read_default_value(prog_id_clsid_key, current) && current != clsid_text ? current : L"";
        taken_over = true;
    }
    const struct {
        std::wstring key, data;
    } entries[] = {
        {classes + prog_id + L"\\CLSID", clsid_text},
        {classes + L"CLSID\\" + clsid_text + L"\\ProgID", prog_id},
    };
    for (const auto& entry : entries)
        if (!write_default_value(entry.key, entry.data)) return 0;

    DWORD cookie = 0;
    if (FAILED(CoRegisterClassObject(fake_clsid, &the_factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie)))
        return 0;
    return cookie;
}

void unregister_class(DWORD cookie) {
    if (cookie) CoRevokeClassObject(cookie);
    give_back_prog_id();
}

std::string narrow(const std::wstring& text) {
    std::string result;
    result.reserve(text.size());
    for (wchar_t unit : text) result.push_back(static_cast<char>(unit));
    return result;
}

std::string describe(const call& recorded_call) {
    const WORD flags = recorded_call.flags;
    std::string text = flags == DISPATCH_PROPERTYPUT ? "put " : flags == DISPATCH_METHOD ? "call " : "?? ";
    text += recorded_call.member + "(";
    for (auto arg = recorded_call.args.rbegin(); arg != recorded_call.args.rend(); ++arg) {
        if (arg != recorded_call.args.rbegin()) text += ", ";
        char number[64];
        switch (arg->type) {
            case VT_R8: std::snprintf(number, sizeof number, "R8 %.17g", arg->number); text += number; break;
            case VT_BSTR: text += arg->null_text ? "BSTR null" : "BSTR\"" + narrow(arg->text) + "\""; break;
            default: text += "VT " + std::to_string(arg->type);
        }
    }
    return text + ")";
}

}  // namespace fake_control
