#include "runner/hosted_viewer.h"

#include "runner/ansi_text.h"
#include "runner/atl_functions.h"
#include "runner/handles.h"

using Microsoft::WRL::ComPtr;

namespace {
BOOL CALLBACK find_atl_host(HWND window, LPARAM found) {
    char name[16] = {};
    GetClassNameA(window, name, sizeof name);
    if (lstrcmpiA(name, "AtlAxWin") != 0) return TRUE;
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
}

// The property `name` read as `type` into `value`; false when the control
// has no such property or refuses to give it.
bool read_property(IDispatch* control, const wchar_t* name, VARTYPE type, owned_variant& value) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    if (FAILED(control->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) return false;
    DISPPARAMS none = {};
    owned_variant result;
    if (FAILED(control->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, result.get(),
                               nullptr, nullptr)))
        return false;
    return SUCCEEDED(VariantChangeType(value.get(), result.get(), 0, type));
}

}  // namespace

ComPtr<IDispatch> hosted_viewer(HWND host_rectangle) {
    if (!host_rectangle || !IsWindow(host_rectangle)) return nullptr;
    HWND atl_host = nullptr;
    EnumChildWindows(host_rectangle, find_atl_host, reinterpret_cast<LPARAM>(&atl_host));
    const atl_functions atl = atl_host ? load_atl() : atl_functions{};
    if (!atl.get_control) return nullptr;
    ComPtr<IUnknown> hosted;
    if (FAILED(atl.get_control(atl_host, &hosted)) || !hosted) return nullptr;
    ComPtr<IDispatch> control;
    hosted.As(&control);
    return control;
}

viewer_message read_viewer_message(IDispatch* control) {
    viewer_message message;
    owned_variant count, line;
    if (control && read_property(control, L"MESSAGECOUNT", VT_R8, count) &&
        read_property(control, L"MESSAGELINE", VT_BSTR, line)) {
        message.readable = true;
        message.count = (*count).dblVal;
        message.line = from_wide(std::wstring_view((*line).bstrVal, SysStringLen((*line).bstrVal)), CP_ACP);
    }
    return message;
}
