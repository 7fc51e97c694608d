// The viewer control: an in-process, windowed ActiveX control. ATL's
// "AtlAxWin" window (or any OLE container) hosts it through IOleObject and
// in-place activation; scripts steer it through IDispatch.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <olectl.h>
#include <wrl/client.h>

#include "control/com/control_state.h"
#include "control/com/control_window.h"
#include "control/engine/render/worker_pool.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

// The control DLL's own module.
inline HINSTANCE control_instance() { return reinterpret_cast<HINSTANCE>(&__ImageBase); }

// {8E7A4C02-3B6D-4F1E-A5C9-2D40B7E19F63}
inline constexpr CLSID viewer_control_clsid = {
    0x8e7a4c02, 0x3b6d, 0x4f1e, {0xa5, 0xc9, 0x2d, 0x40, 0xb7, 0xe1, 0x9f, 0x63}};

// The type library embedded as the DLL's TYPELIB resource 1
// (viewer_control.idl), version 1.0, and its dispinterface of the members.
// {3646CA3F-3D0F-493D-890C-1D03D68EC078}
inline constexpr GUID viewer_type_library_id = {
    0x3646ca3f, 0x3d0f, 0x493d, {0x89, 0x0c, 0x1d, 0x03, 0xd6, 0x8e, 0xc0, 0x78}};
// {F80EF011-F95C-43D0-80AE-03E4762DF8E0}
inline constexpr IID viewer_members_iid = {
    0xf80ef011, 0xf95c, 0x43d0, {0x80, 0xae, 0x03, 0xe4, 0x76, 0x2d, 0xf8, 0xe0}};
inline constexpr WORD viewer_type_library_major = 1, viewer_type_library_minor = 0;

// How a container should treat the control; the registry says the same.
inline constexpr DWORD viewer_control_misc_status = OLEMISC_RECOMPOSEONRESIZE | OLEMISC_INSIDEOUT |
                                                    OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_SETCLIENTSITEFIRST |
                                                    OLEMISC_CANTLINKINSIDE;

// Objects alive and server locks, for DllCanUnloadNow.
extern LONG control_module_references;

class viewer_control final : public IDispatch,
                             public IOleObject,
                             public IOleInPlaceObject,
                             public IOleControl,
                             public IProvideClassInfo,
                             private control_window::frame_source {
public:
    viewer_control();
    viewer_control(const viewer_control&) = delete;
    viewer_control& operator=(const viewer_control&) = delete;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IDispatch
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT* argument_error) override;

    // IOleObject
    STDMETHODIMP SetClientSite(IOleClientSite* site) override;
    STDMETHODIMP GetClientSite(IOleClientSite** site) override;
    STDMETHODIMP SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
    STDMETHODIMP Close(DWORD save_option) override;
    STDMETHODIMP SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** moniker) override;
    STDMETHODIMP InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP GetClipboardData(DWORD, IDataObject** data) override;
    STDMETHODIMP DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG, HWND parent, LPCRECT position) override;
    STDMETHODIMP EnumVerbs(IEnumOLEVERB** verbs) override;
    STDMETHODIMP Update() override { return S_OK; }
    STDMETHODIMP IsUpToDate() override { return S_OK; }
    STDMETHODIMP GetUserClassID(CLSID* clsid) override;
    STDMETHODIMP GetUserType(DWORD, LPOLESTR* type) override;
    STDMETHODIMP SetExtent(DWORD aspect, SIZEL* size) override;
    STDMETHODIMP GetExtent(DWORD aspect, SIZEL* size) override;
    STDMETHODIMP Advise(IAdviseSink*, DWORD* connection) override;
    STDMETHODIMP Unadvise(DWORD) override { return OLE_E_NOCONNECTION; }
    STDMETHODIMP EnumAdvise(IEnumSTATDATA** advise) override;
    STDMETHODIMP GetMiscStatus(DWORD aspect, DWORD* status) override;
    STDMETHODIMP SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }

    // IOleWindow / IOleInPlaceObject
    STDMETHODIMP GetWindow(HWND* window) override;
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP InPlaceDeactivate() override;
    STDMETHODIMP UIDeactivate() override { return S_OK; }
    STDMETHODIMP SetObjectRects(LPCRECT position, LPCRECT clip) override;
    STDMETHODIMP ReactivateAndUndo() override { return E_NOTIMPL; }

    // IOleControl
    STDMETHODIMP GetControlInfo(CONTROLINFO* info) override;
    STDMETHODIMP OnMnemonic(MSG*) override { return E_NOTIMPL; }
    STDMETHODIMP OnAmbientPropertyChange(DISPID) override { return S_OK; }
    STDMETHODIMP FreezeEvents(BOOL) override { return S_OK; }

    // IProvideClassInfo: the coclass, for script hosts that look for it.
    STDMETHODIMP GetClassInfo(ITypeInfo** info) override;

private:
    ~viewer_control();
    // The embedded type library, loaded on first use and kept.
    HRESULT type_library(ITypeLib** library);
    // A property get's answer: VT_R8, or VT_BSTR for a text.
    HRESULT read_value(const member_entry& entry, VARIANT& result);
    HRESULT activate_in_place(IOleClientSite* site, HWND parent, LPCRECT position);
    // The view as the window shows it, drawn on the pool's threads.
    void draw_frame(engine::frame& target) override;

    // First, so that it goes last: the module counts the control until
    // every member below has released what it holds.
    live_control counted_;
    LONG references_ = 1;
    SIZEL extent_ = {5000, 5000};  // HIMETRIC

    control_state state_;
    // Draws bands of each frame on the machine's cores; its threads start
    // with the first frame and end with the control, before the DLL can go.
    engine::worker_pool pool_;
    Microsoft::WRL::ComPtr<IOleClientSite> site_;
    Microsoft::WRL::ComPtr<IOleInPlaceSite> in_place_site_;
    Microsoft::WRL::ComPtr<ITypeLib> type_library_;
    // Last, so that it goes first: the window is destroyed while the state
    // and the pool it draws with are still there.
    control_window window_{state_, *this};
};
