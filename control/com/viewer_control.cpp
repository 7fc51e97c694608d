#include "control/com/viewer_control.h"

#include <algorithm>
#include <cmath>
#include <new>

extern "C" IMAGE_DOS_HEADER __ImageBase;

LONG control_module_references = 0;

namespace {

constexpr UINT_PTR inertia_timer = 1;
constexpr UINT inertia_interval_ms = 16;

// Whether a by-reference argument carries its reference. VariantChangeType
// reads through it unchecked; a VT_VARIANT reference may hold one more
// reference, but not a second VT_VARIANT one.
bool references_present(const VARIANTARG& value, bool inside_variant = false) {
    if (!(V_VT(&value) & VT_BYREF)) return true;
    if (!V_BYREF(&value)) return false;
    if ((V_VT(&value) & VT_TYPEMASK) != VT_VARIANT) return true;
    return !inside_variant && references_present(*V_VARIANTREF(&value), true);
}

// A VARIANT as a number or a text, with the usual automation conversions.
bool read_argument(const VARIANTARG& source, argument_type type, double& number, std::wstring& text) {
    if (!references_present(source)) return false;
    VARIANT converted;
    VariantInit(&converted);
    const VARTYPE wanted = type == argument_type::number ? VT_R8 : VT_BSTR;
    if (FAILED(VariantChangeType(&converted, const_cast<VARIANTARG*>(&source), 0, wanted))) return false;
    if (type == argument_type::number) number = converted.dblVal;
    else if (converted.bstrVal) text.assign(converted.bstrVal, SysStringLen(converted.bstrVal));
    VariantClear(&converted);
    return true;
}

}  // namespace

viewer_control::viewer_control() {
    InterlockedIncrement(&control_module_references);
    control_created();
}

viewer_control::~viewer_control() {
    if (window_) DestroyWindow(window_);
    if (in_place_site_) in_place_site_->Release();
    if (site_) site_->Release();
    if (buffer_dc_) {
        SelectObject(buffer_dc_, buffer_old_);
        DeleteDC(buffer_dc_);
    }
    if (buffer_bitmap_) DeleteObject(buffer_bitmap_);
    control_destroyed(reinterpret_cast<HINSTANCE>(&__ImageBase));
    InterlockedDecrement(&control_module_references);
}

// ---- IUnknown ---------------------------------------------------------------

STDMETHODIMP viewer_control::QueryInterface(REFIID riid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDispatch) *object = static_cast<IDispatch*>(this);
    else if (riid == IID_IOleObject) *object = static_cast<IOleObject*>(this);
    else if (riid == IID_IOleWindow || riid == IID_IOleInPlaceObject) *object = static_cast<IOleInPlaceObject*>(this);
    else if (riid == IID_IOleControl) *object = static_cast<IOleControl*>(this);
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
    *count = 0;
    return S_OK;
}

STDMETHODIMP viewer_control::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info) *info = nullptr;
    return E_NOTIMPL;
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
    // No member returns a value: the result, when asked for, is always empty.
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
    } else if ((flags & DISPATCH_METHOD) && (entry->kinds & as_method)) {
        if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
        if (params->cArgs != static_cast<UINT>(entry->argument_count)) return DISP_E_BADPARAMCOUNT;
        expected = entry->argument_count;
    } else {
        return DISP_E_MEMBERNOTFOUND;
    }
    if (expected > 0 && !params->rgvarg) return E_INVALIDARG;

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
    // The engine's containers may run out of memory; that must not leave
    // through a COM boundary.
    try {
        const bool changed = apply_member(state_, entry->id, values);
        if (entry->id == member_id::hwindow && window_) ShowWindow(window_, state_.window_visible ? SW_SHOW : SW_HIDE);
        if (changed) draw_now();
    } catch (...) {
        state_.scene = engine::model();
        state_.prepared = nullptr;
        state_.model_warning.clear();
        state_.message = "out of memory";
        draw_now();
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

// ---- IOleObject -----------------------------------------------------------------

STDMETHODIMP viewer_control::SetClientSite(IOleClientSite* site) {
    // The container's site lives on the references its objects hold.
    if (site) site->AddRef();
    if (site_) site_->Release();
    site_ = site;
    return S_OK;
}

STDMETHODIMP viewer_control::GetClientSite(IOleClientSite** site) {
    if (!site) return E_POINTER;
    *site = site_;
    if (site_) site_->AddRef();
    return S_OK;
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
            return activate_in_place(site ? site : site_, parent, position);
        case OLEIVERB_HIDE:
            if (window_) ShowWindow(window_, SW_HIDE);
            return S_OK;
        default:
            return verb < 0 ? E_NOTIMPL : OLEOBJ_S_INVALIDVERB;
    }
}

HRESULT viewer_control::activate_in_place(IOleClientSite* site, HWND parent, LPCRECT position) {
    if (window_) {
        if (state_.window_visible) ShowWindow(window_, SW_SHOW);
        return S_OK;
    }
    if (!site) return E_UNEXPECTED;
    IOleInPlaceSite* in_place = nullptr;
    if (FAILED(site->QueryInterface(IID_IOleInPlaceSite, reinterpret_cast<void**>(&in_place)))) return E_NOINTERFACE;
    if (in_place->CanInPlaceActivate() != S_OK) {
        in_place->Release();
        return E_FAIL;
    }
    in_place->OnInPlaceActivate();

    // Where to go: the site's window and rectangles, unless the caller said.
    HWND site_window = parent;
    if (!site_window) in_place->GetWindow(&site_window);
    RECT place = position ? *position : RECT{0, 0, 0, 0};
    IOleInPlaceFrame* frame = nullptr;
    IOleInPlaceUIWindow* document = nullptr;
    RECT site_position = {}, clip = {};
    OLEINPLACEFRAMEINFO frame_info = {sizeof frame_info};
    if (SUCCEEDED(in_place->GetWindowContext(&frame, &document, &site_position, &clip, &frame_info)) && !position)
        place = site_position;
    if (frame) frame->Release();
    if (document) document->Release();

    HINSTANCE instance = reinterpret_cast<HINSTANCE>(&__ImageBase);
    if (register_control_window_class(instance))
        window_ = CreateWindowExA(0, control_window_class, "", WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN,
                                  place.left, place.top, place.right - place.left, place.bottom - place.top,
                                  site_window, nullptr, instance, this);
    if (!window_) {
        in_place->OnInPlaceDeactivate();
        in_place->Release();
        return E_FAIL;
    }
    in_place_site_ = in_place;
    if (state_.window_visible) ShowWindow(window_, SW_SHOW);
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
    *window = window_;
    return window_ ? S_OK : E_FAIL;
}

STDMETHODIMP viewer_control::InPlaceDeactivate() {
    if (!window_ && !in_place_site_) return S_OK;
    if (window_) {
        HWND window = window_;
        window_ = nullptr;
        DestroyWindow(window);
    }
    if (in_place_site_) {
        in_place_site_->OnInPlaceDeactivate();
        in_place_site_->Release();
        in_place_site_ = nullptr;
    }
    return S_OK;
}

STDMETHODIMP viewer_control::SetObjectRects(LPCRECT position, LPCRECT) {
    if (!position) return E_POINTER;
    if (window_)
        SetWindowPos(window_, nullptr, position->left, position->top, position->right - position->left,
                     position->bottom - position->top, SWP_NOZORDER | SWP_NOACTIVATE);
    return S_OK;
}

// ---- IOleControl --------------------------------------------------------------------

STDMETHODIMP viewer_control::GetControlInfo(CONTROLINFO* info) {
    if (!info) return E_POINTER;
    info->hAccel = nullptr;
    info->cAccel = 0;
    info->dwFlags = 0;
    return S_OK;
}

// ---- Drawing and the mouse ------------------------------------------------------------

void viewer_control::repaint() {
    if (!window_) return;
    InvalidateRect(window_, nullptr, FALSE);
}

// A member call's change is drawn before the call returns, so that a host
// copying the screen right afterwards (a snapshot) sees it, not the frame
// before. Mouse moves only invalidate: their paints may fold into one.
void viewer_control::draw_now() {
    if (!window_) return;
    RedrawWindow(window_, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
}

void viewer_control::ensure_buffer(int width, int height) {
    if (buffer_dc_ && width == buffer_width_ && height == buffer_height_) return;
    if (buffer_dc_) {
        SelectObject(buffer_dc_, buffer_old_);
        DeleteDC(buffer_dc_);
        buffer_dc_ = nullptr;
    }
    if (buffer_bitmap_) DeleteObject(buffer_bitmap_);
    buffer_bitmap_ = nullptr;
    buffer_pixels_ = nullptr;
    buffer_width_ = buffer_height_ = 0;
    if (width <= 0 || height <= 0) return;

    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down, as the renderer writes rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    buffer_bitmap_ = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!buffer_bitmap_) return;  // no memory for the picture: the window stays as it is
    buffer_dc_ = CreateCompatibleDC(nullptr);
    buffer_old_ = SelectObject(buffer_dc_, buffer_bitmap_);
    buffer_pixels_ = static_cast<std::uint32_t*>(bits);
    buffer_width_ = width;
    buffer_height_ = height;
}

void viewer_control::paint(HDC dc) {
    RECT client = {};
    GetClientRect(window_, &client);
    ensure_buffer(client.right, client.bottom);
    if (!buffer_pixels_) return;
    engine::frame target{buffer_width_, buffer_height_, buffer_width_, buffer_pixels_};
    try {
        engine::render(state_.prepared.get(), state_.settings, state_.view, target);
    } catch (...) {
        state_.message = "out of memory while drawing";
    }
    GdiFlush();
    const std::string& line_text = state_.message.empty() ? state_.model_warning : state_.message;
    if (!line_text.empty()) {
        // One readable line over the picture, in a colour that stands out
        // from the background.
        const COLORREF background = state_.settings.background;
        const int brightness = GetRValue(background) * 3 + GetGValue(background) * 6 + GetBValue(background);
        SetBkMode(buffer_dc_, TRANSPARENT);
        SetTextColor(buffer_dc_, brightness > 1280 ? RGB(0, 0, 0) : RGB(255, 255, 255));
        HGDIOBJ old_font = SelectObject(buffer_dc_, GetStockObject(DEFAULT_GUI_FONT));
        RECT line = {8, 8, buffer_width_ - 8, buffer_height_ - 8};
        DrawTextA(buffer_dc_, line_text.c_str(), static_cast<int>(line_text.size()), &line,
                  DT_LEFT | DT_TOP | DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX);
        SelectObject(buffer_dc_, old_font);
    }
    BitBlt(dc, 0, 0, buffer_width_, buffer_height_, buffer_dc_, 0, 0, SRCCOPY);
}

void viewer_control::mouse_down(int button, int x, int y) {
    // Any click stops the turning left over from a drag.
    if (spinning_) {
        KillTimer(window_, inertia_timer);
        spinning_ = false;
    }
    drag_mode_ = button == 0 ? state_.left_button : state_.right_button;
    drag_button_ = button;
    last_ = {x, y};
    last_move_time_ = GetTickCount();
    spin_dx_ = spin_dy_ = 0;
    SetCapture(window_);
}

void viewer_control::mouse_move(int x, int y) {
    if (drag_mode_ == mouse_mode::none) return;
    const float dx = float(x - last_.x), dy = float(y - last_.y);
    last_ = {x, y};
    if (dx == 0 && dy == 0) return;
    switch (drag_mode_) {
        case mouse_mode::rotate:
            drag_rotate(state_.view, dx, dy);
            spin_dx_ = dx;
            spin_dy_ = dy;
            last_move_time_ = GetTickCount();
            break;
        case mouse_mode::zoom: drag_zoom(state_.view, dy, buffer_height_); break;
        case mouse_mode::move: engine::pan(state_.view, dx, dy, buffer_width_, buffer_height_); break;
        case mouse_mode::none: break;
    }
    repaint();
}

void viewer_control::mouse_up(int button) {
    if (drag_mode_ == mouse_mode::none || button != drag_button_) return;
    const bool rotating = drag_mode_ == mouse_mode::rotate;
    drag_mode_ = mouse_mode::none;
    ReleaseCapture();
    // Keeps turning only when the drag was still moving as it ended.
    if (rotating && state_.inertial_rotation && GetTickCount() - last_move_time_ < 100 &&
        (spin_dx_ != 0 || spin_dy_ != 0)) {
        spinning_ = SetTimer(window_, inertia_timer, inertia_interval_ms, nullptr) != 0;
    }
}

void viewer_control::wheel(int delta) {
    drag_zoom(state_.view, float(delta) / 4, std::max(buffer_height_, 1));
    repaint();
}

void viewer_control::inertia_tick() {
    spin_dx_ *= 0.95f;
    spin_dy_ *= 0.95f;
    if (!state_.inertial_rotation || (std::fabs(spin_dx_) < 0.05f && std::fabs(spin_dy_) < 0.05f)) {
        KillTimer(window_, inertia_timer);
        spinning_ = false;
        return;
    }
    drag_rotate(state_.view, spin_dx_, spin_dy_);
    repaint();
}

void viewer_control::window_destroyed() {
    spinning_ = false;
    drag_mode_ = mouse_mode::none;
    window_ = nullptr;
}
