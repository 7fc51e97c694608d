// The viewer control as a COM object: its interfaces, the member calls
// that reach it through IDispatch, in-place activation, and the frame its
// window shows.
#include "control/com/viewer_control.h"

#include <string>

using Microsoft::WRL::ComPtr;

namespace {

// Whether a by-reference argument carries its reference. VariantChangeType
// reads through it unchecked; a VT_VARIANT reference may hold one more
// reference, but not a second VT_VARIANT one.
bool references_present(const VARIANTARG& value, bool inside_variant = false) {
    if (!(V_VT(&value) & VT_BYREF)) return true;
    if (!V_BYREF(&value)) return false;
    if ((V_VT(&value) & VT_TYPEMASK) != VT_VARIANT) return true;
    return !inside_variant && references_present(*V_VARIANTREF(&value), true);
}

// A VARIANT cleared when it goes.
struct variant_holder {
    VARIANT value;
    variant_holder() { VariantInit(&value); }
    ~variant_holder() { VariantClear(&value); }
    variant_holder(const variant_holder&) = delete;
    variant_holder& operator=(const variant_holder&) = delete;
};

// A text in the ANSI code page, as the loaders take file names.
std::string to_ansi(const wchar_t* text, int length) {
    if (length <= 0) return {};
    const int bytes = WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string result(bytes > 0 ? bytes : 0, '\0');
    if (bytes > 0) WideCharToMultiByte(CP_ACP, 0, text, length, result.data(), bytes, nullptr, nullptr);
    return result;
}

// A VARIANT as a number or a text, with the usual automation conversions.
bool read_argument(const VARIANTARG& source, argument_type type, double& number, std::string& text) {
    if (!references_present(source)) return false;
    variant_holder converted;
    const VARTYPE wanted = type == argument_type::number ? VT_R8 : VT_BSTR;
    if (FAILED(VariantChangeType(&converted.value, const_cast<VARIANTARG*>(&source), 0, wanted))) return false;
    if (type == argument_type::number) number = converted.value.dblVal;
    else if (converted.value.bstrVal)
        text = to_ansi(converted.value.bstrVal, static_cast<int>(SysStringLen(converted.value.bstrVal)));
    return true;
}

struct window_place {
    HWND parent;
    RECT rect;
};

// Where the control's window goes: where the caller said, else into the
// site's window at the rectangle the site gives.
window_place place_in(IOleInPlaceSite* site, HWND parent, LPCRECT position) {
    window_place place{parent, position ? *position : RECT{0, 0, 0, 0}};
    if (!place.parent) site->GetWindow(&place.parent);
    ComPtr<IOleInPlaceFrame> frame;
    ComPtr<IOleInPlaceUIWindow> document;
    RECT site_rect = {}, clip = {};
    OLEINPLACEFRAMEINFO frame_info = {sizeof frame_info};
    const HRESULT hr =
        site->GetWindowContext(frame.GetAddressOf(), document.GetAddressOf(), &site_rect, &clip, &frame_info);
    if (SUCCEEDED(hr) && !position) place.rect = site_rect;
    return place;
}

}  // namespace

viewer_control::viewer_control() = default;

viewer_control::~viewer_control() { window_.destroy(); }

// ---- IUnknown ---------------------------------------------------------------

STDMETHODIMP viewer_control::QueryInterface(REFIID riid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDispatch) *object = static_cast<IDispatch*>(this);
    else if (riid == IID_IOleObject) *object = static_cast<IOleObject*>(this);
    else if (riid == IID_IOleWindow || riid == IID_IOleInPlaceObject) *object = static_cast<IOleInPlaceObject*>(this);
    else if (riid == IID_IOleControl) *object = static_cast<IOleControl*>(this);
    else if (riid == IID_IProvideClassInfo) *object = static_cast<IProvideClassInfo*>(this);
    else return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) viewer_control::AddRef() { return InterlockedIncrement(&references_); }

STDMETHODIMP_(ULONG) viewer_control::Release() {
    const LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return left;
}

// ---- IDispatch ----------------------------------------------------------------

STDMETHODIMP viewer_control::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT viewer_control::type_library(ITypeLib** library) {
    if (!type_library_) {
        // The DLL's own file, wherever it is loaded from: the library is its
        // TYPELIB resource, found without the registry and registered nowhere.
        wchar_t path[MAX_PATH] = {};
        const DWORD length = GetModuleFileNameW(control_instance(), path, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) return TYPE_E_CANTLOADLIBRARY;
        const HRESULT hr = LoadTypeLibEx(path, REGKIND_NONE, type_library_.GetAddressOf());
        if (FAILED(hr)) return hr;
    }
    return type_library_.CopyTo(library);
}

STDMETHODIMP viewer_control::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    ComPtr<ITypeLib> library;
    const HRESULT hr = type_library(library.GetAddressOf());
    return FAILED(hr) ? hr : library->GetTypeInfoOfGuid(viewer_members_iid, info);
}

STDMETHODIMP viewer_control::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if (!names || !ids) return E_POINTER;
    if (count == 0) return E_INVALIDARG;
    // Members take no named arguments: only the first name can resolve.
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
        const member_entry* entry = i == 0 ? find_member(names[i]) : nullptr;
        ids[i] = entry ? static_cast<DISPID>(entry->id) : DISPID_UNKNOWN;
        if (!entry) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

STDMETHODIMP viewer_control::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                    EXCEPINFO*, UINT* argument_error) {
    // Only a property get returns a value; otherwise the result, when asked
    // for, is empty.
    if (result) VariantInit(result);
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    const member_entry* entry = find_member(id);
    if (!entry) return DISP_E_MEMBERNOTFOUND;
    if (!params) return E_INVALIDARG;

    int expected = 0;
    if ((flags & DISPATCH_PROPERTYPUT) && (entry->kinds & as_property_put)) {
        if (params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
        if (params->cNamedArgs != 1 || !params->rgdispidNamedArgs ||
            params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
            return DISP_E_PARAMNOTOPTIONAL;
        expected = 1;
    } else if ((flags & DISPATCH_PROPERTYGET) && !(flags & DISPATCH_PROPERTYPUT) &&
               (entry->kinds & as_property_get) && (params->cArgs == 0 || !(flags & DISPATCH_METHOD))) {
        // A get, or a call a client makes of `x = control.GRIDMODE` with
        // both flags and no arguments; with arguments it is the method. A
        // put flag never reads: on a read-only member (MESSAGELINE) it is
        // refused as a put.
        if (params->cArgs != 0) return DISP_E_BADPARAMCOUNT;
        if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
        if (!result) return E_INVALIDARG;
        return read_value(*entry, *result);
    } else if ((flags & DISPATCH_METHOD) && (entry->kinds & as_method)) {
        if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
        if (params->cArgs != static_cast<UINT>(entry->argument_count)) return DISP_E_BADPARAMCOUNT;
        expected = entry->argument_count;
    } else {
        return DISP_E_MEMBERNOTFOUND;
    }
    if (expected > 0 && !params->rgvarg) return E_INVALIDARG;

    // The texts and the engine's containers may run out of memory; that must
    // not leave through a COM boundary.
    try {
        member_values values;
        values.count = expected;
        for (int i = 0; i < expected; ++i) {
            // rgvarg holds the arguments last first.
            const VARIANTARG& argument = params->rgvarg[expected - 1 - i];
            if (!read_argument(argument, entry->arguments, values.numbers[i], values.texts[i])) {
                if (argument_error) *argument_error = static_cast<UINT>(expected - 1 - i);
                return DISP_E_TYPEMISMATCH;
            }
        }
        const bool changed = apply_member(state_, *entry, values);
        if (entry->id == member_id::hwindow) window_.show(state_.window_visible);
        if (changed) window_.draw_now();
    } catch (...) {
        clear_scene(state_);
        show_message(state_, "out of memory");
        window_.draw_now();
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT viewer_control::read_value(const member_entry& entry, VARIANT& result) {
    double number = 0;
    std::string text;
    try {
        if (!read_member(state_, entry, number, text)) return DISP_E_MEMBERNOTFOUND;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    if (entry.arguments == argument_type::number) {
        V_VT(&result) = VT_R8;
        V_R8(&result) = number;
        return S_OK;
    }
    const int length = text.empty() ? 0
                                    : MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                                          nullptr, 0);
    BSTR value = SysAllocStringLen(nullptr, static_cast<UINT>(length));
    if (!value) return E_OUTOFMEMORY;
    if (length > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), value, length);
    V_VT(&result) = VT_BSTR;
    V_BSTR(&result) = value;
    return S_OK;
}

// ---- IOleObject -----------------------------------------------------------------

STDMETHODIMP viewer_control::SetClientSite(IOleClientSite* site) {
    // The container's site lives on the references its objects hold.
    site_ = site;
    return S_OK;
}

STDMETHODIMP viewer_control::GetClientSite(IOleClientSite** site) {
    if (!site) return E_POINTER;
    return site_.CopyTo(site);
}

STDMETHODIMP viewer_control::Close(DWORD) {
    InPlaceDeactivate();
    return S_OK;
}

STDMETHODIMP viewer_control::GetMoniker(DWORD, DWORD, IMoniker** moniker) {
    if (moniker) *moniker = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP viewer_control::GetClipboardData(DWORD, IDataObject** data) {
    if (data) *data = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP viewer_control::DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG, HWND parent, LPCRECT position) {
    switch (verb) {
        case OLEIVERB_PRIMARY:
        case OLEIVERB_SHOW:
        case OLEIVERB_INPLACEACTIVATE:
        case OLEIVERB_UIACTIVATE:
            return activate_in_place(site ? site : site_.Get(), parent, position);
        case OLEIVERB_HIDE:
            window_.show(false);
            return S_OK;
        default:
            return verb < 0 ? E_NOTIMPL : OLEOBJ_S_INVALIDVERB;
    }
}

HRESULT viewer_control::activate_in_place(IOleClientSite* site, HWND parent, LPCRECT position) {
    if (window_.handle()) {
        if (state_.window_visible) window_.show(true);
        return S_OK;
    }
    if (!site) return E_UNEXPECTED;
    ComPtr<IOleInPlaceSite> in_place;
    if (FAILED(site->QueryInterface(IID_PPV_ARGS(in_place.GetAddressOf())))) return E_NOINTERFACE;
    if (in_place->CanInPlaceActivate() != S_OK) return E_FAIL;
    in_place->OnInPlaceActivate();  // result not examined: the site has agreed above
    const window_place place = place_in(in_place.Get(), parent, position);
    if (!window_.create(place.parent, place.rect)) {
        in_place->OnInPlaceDeactivate();
        return E_FAIL;
    }
    in_place_site_ = std::move(in_place);
    if (state_.window_visible) window_.show(true);
    return S_OK;
}

STDMETHODIMP viewer_control::EnumVerbs(IEnumOLEVERB** verbs) {
    if (verbs) *verbs = nullptr;
    return OLEOBJ_E_NOVERBS;
}

STDMETHODIMP viewer_control::GetUserClassID(CLSID* clsid) {
    if (!clsid) return E_POINTER;
    *clsid = viewer_control_clsid;
    return S_OK;
}

STDMETHODIMP viewer_control::GetUserType(DWORD, LPOLESTR* type) {
    if (type) *type = nullptr;
    return OLE_S_USEREG;
}

STDMETHODIMP viewer_control::SetExtent(DWORD aspect, SIZEL* size) {
    if (!size) return E_POINTER;
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    extent_ = *size;
    return S_OK;
}

STDMETHODIMP viewer_control::GetExtent(DWORD aspect, SIZEL* size) {
    if (!size) return E_POINTER;
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    *size = extent_;
    return S_OK;
}

STDMETHODIMP viewer_control::Advise(IAdviseSink*, DWORD* connection) {
    if (connection) *connection = 0;
    return E_NOTIMPL;
}

STDMETHODIMP viewer_control::EnumAdvise(IEnumSTATDATA** advise) {
    if (advise) *advise = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP viewer_control::GetMiscStatus(DWORD, DWORD* status) {
    if (!status) return E_POINTER;
    *status = viewer_control_misc_status;
    return S_OK;
}

// ---- IOleInPlaceObject ------------------------------------------------------------

STDMETHODIMP viewer_control::GetWindow(HWND* window) {
    if (!window) return E_POINTER;
    *window = window_.handle();
    return *window ? S_OK : E_FAIL;
}

STDMETHODIMP viewer_control::InPlaceDeactivate() {
    window_.destroy();
    if (in_place_site_) {
        in_place_site_->OnInPlaceDeactivate();
        in_place_site_.Reset();
    }
    return S_OK;
}

STDMETHODIMP viewer_control::SetObjectRects(LPCRECT position, LPCRECT) {
    if (!position) return E_POINTER;
    window_.place(*position);
    return S_OK;
}

// ---- The frame the window shows ---------------------------------------------------

void viewer_control::draw_frame(engine::frame& target) {
    try {
        engine::render(state_.prepared.get(), state_.settings, state_.view, target, &pool_);
    } catch (...) {
        // Counted once while it stays up, not again at every paint.
        if (state_.message != "out of memory while drawing") show_message(state_, "out of memory while drawing");
    }
}

// ---- IOleControl --------------------------------------------------------------------

STDMETHODIMP viewer_control::GetControlInfo(CONTROLINFO* info) {
    if (!info) return E_POINTER;
    info->hAccel = nullptr;
    info->cAccel = 0;
    info->dwFlags = 0;
    return S_OK;
}

// ---- IProvideClassInfo ----------------------------------------------------------------

STDMETHODIMP viewer_control::GetClassInfo(ITypeInfo** info) {
    if (!info) return E_POINTER;
    *info = nullptr;
    ComPtr<ITypeLib> library;
    const HRESULT hr = type_library(library.GetAddressOf());
    return FAILED(hr) ? hr : library->GetTypeInfoOfGuid(viewer_control_clsid, info);
}
