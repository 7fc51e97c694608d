// The fake viewer control reached the way the plug-in reaches the real one:
// by ProgID through COM and hosted in ATL's "AtlAxWin" window.
#include <gtest/gtest.h>

#include "tests/fake_viewer_control.h"

namespace {

const wchar_t prog_id[] = L"QUELTO3D.Quelto3dCtrl.1";

// Every test starts registered and empty, and must leave no object alive.
class FakeViewerControl : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        cookie = fake_control::register_class();
        ASSERT_NE(cookie, 0u);
        fake_control::reset();
    }
    void TearDown() override {
        EXPECT_EQ(fake_control::live_objects(), 0);
        fake_control::unregister_class(cookie);
        CoUninitialize();
    }

    // Created by ProgID, as ATL does it, then asked for IDispatch.
    IDispatch* create_by_prog_id() {
        CLSID clsid = {};
        EXPECT_EQ(CLSIDFromProgID(prog_id, &clsid), S_OK);
        EXPECT_TRUE(IsEqualCLSID(clsid, fake_control::class_id()));
        IOleObject* object = nullptr;
        EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IOleObject, reinterpret_cast<void**>(&object)),
                  S_OK);
        if (!object) return nullptr;
        IDispatch* dispatch = nullptr;
        EXPECT_EQ(object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
        object->Release();
        return dispatch;
    }

    DWORD cookie = 0;
};

TEST_F(FakeViewerControl, RecordsLookupAndPropertyPut) {
    IDispatch* control = create_by_prog_id();
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(fake_control::live_objects(), 1);

    OLECHAR name[] = L"GridSize";  // matched without regard to case
    LPOLESTR names[] = {name};
    DISPID dispid = 0;
    ASSERT_EQ(control->GetIDsOfNames(IID_NULL, names, 1, LOCALE_SYSTEM_DEFAULT, &dispid), S_OK);

    VARIANT value;
    VariantInit(&value);
    V_VT(&value) = VT_R8;
    V_R8(&value) = 7.5;
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params = {&value, &put, 1, 1};
    EXPECT_EQ(control->Invoke(dispid, IID_NULL, LOCALE_SYSTEM_DEFAULT, DISPATCH_PROPERTYPUT, &params, nullptr,
                              nullptr, nullptr),
              S_OK);
    control->Release();

    const fake_control::record& r = fake_control::recorded();
    ASSERT_EQ(r.lookups.size(), 1u);
    EXPECT_EQ(r.lookups[0].names, std::vector<std::string>{"GridSize"});
    EXPECT_EQ(r.lookups[0].lcid, LCID(0x800));
    EXPECT_TRUE(r.lookups[0].riid_is_null);
    EXPECT_TRUE(r.lookups[0].known);

    ASSERT_EQ(r.calls.size(), 1u);
    const fake_control::call& c = r.calls[0];
    EXPECT_EQ(c.member, "GRIDSIZE");
    EXPECT_EQ(c.dispid, dispid);
    EXPECT_EQ(c.lcid, LCID(0x800));
    EXPECT_EQ(c.flags, DISPATCH_PROPERTYPUT);
    EXPECT_TRUE(c.riid_is_null);
    EXPECT_FALSE(c.result_requested);
    EXPECT_EQ(c.arg_count, 1u);
    EXPECT_EQ(c.named_count, 1u);
    EXPECT_EQ(c.named0, DISPID_PROPERTYPUT);
    ASSERT_EQ(c.args.size(), 1u);
    EXPECT_EQ(c.args[0].type, VT_R8);
    EXPECT_EQ(c.args[0].number, 7.5);
}

TEST_F(FakeViewerControl, RecordsTextArgumentsInRgvargOrder) {
    IDispatch* control = fake_control::create();
    ASSERT_NE(control, nullptr);
    BSTR text = SysAllocStringLen(L"a\0b", 3);  // the BSTR's length counts, not the first NUL
    VARIANT args[2];
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    V_VT(&args[0]) = VT_BSTR;
    V_BSTR(&args[0]) = text;
    V_VT(&args[1]) = VT_BSTR;
    V_BSTR(&args[1]) = nullptr;
    DISPPARAMS params = {args, nullptr, 2, 0};
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(control->Invoke(1, IID_IDispatch, 0x409, DISPATCH_METHOD, &params, &result, nullptr, nullptr), S_OK);
    SysFreeString(text);
    control->Release();

    const fake_control::call& c = fake_control::recorded().calls.at(0);
    EXPECT_EQ(c.member, "INIT");
    EXPECT_EQ(c.lcid, LCID(0x409));
    EXPECT_FALSE(c.riid_is_null);
    EXPECT_TRUE(c.result_requested);
    EXPECT_EQ(c.named_count, 0u);
    ASSERT_EQ(c.args.size(), 2u);
    EXPECT_EQ(c.args[0].type, VT_BSTR);
    EXPECT_FALSE(c.args[0].null_text);
    EXPECT_EQ(c.args[0].text, std::wstring(L"a\0b", 3));
    EXPECT_EQ(c.args[1].type, VT_BSTR);
    EXPECT_TRUE(c.args[1].null_text);
}

TEST_F(FakeViewerControl, RefusesUnknownNamesAndFailsChosenMembers) {
    IDispatch* control = fake_control::create();
    ASSERT_NE(control, nullptr);
    fake_control::set_failing_members({"loadfile"});

    OLECHAR unknown[] = L"NOSUCHMEMBER";
    OLECHAR near_miss[] = L"LOADFIL\u0145";  // low byte is 'E'; must not match
    OLECHAR known[] = L"LOADFILE";
    for (OLECHAR* name : {unknown, near_miss}) {
        DISPID dispid = 0;
        EXPECT_EQ(control->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_SYSTEM_DEFAULT, &dispid), DISP_E_UNKNOWNNAME);
        EXPECT_EQ(dispid, DISPID_UNKNOWN);
    }
    OLECHAR* name = known;
    DISPID dispid = 0;
    ASSERT_EQ(control->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_SYSTEM_DEFAULT, &dispid), S_OK);

    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    EXPECT_EQ(control->Invoke(dispid, IID_NULL, LOCALE_SYSTEM_DEFAULT, DISPATCH_METHOD, &none, nullptr, nullptr,
                              nullptr),
              E_FAIL);
    EXPECT_EQ(control->Invoke(999, IID_NULL, LOCALE_SYSTEM_DEFAULT, DISPATCH_METHOD, &none, nullptr, nullptr,
                              nullptr),
              DISP_E_MEMBERNOTFOUND);
    control->Release();

    const fake_control::record& r = fake_control::recorded();
    ASSERT_EQ(r.lookups.size(), 3u);
    EXPECT_FALSE(r.lookups[0].known);
    EXPECT_FALSE(r.lookups[1].known);
    EXPECT_EQ(r.lookups[1].names[0], "LOADFILE");  // plain truncation
    EXPECT_TRUE(r.lookups[2].known);
    ASSERT_EQ(r.calls.size(), 2u);  // failures are recorded too
    EXPECT_EQ(r.calls[0].member, "LOADFILE");
    EXPECT_EQ(r.calls[1].member, "");
}

// ATL's host window creates the fake from the ProgID and keeps it alive
// through the site the fake holds; destroying the window lets go of both.
TEST_F(FakeViewerControl, HostedByAtlAxWin) {
    HMODULE atl = LoadLibraryA("atl.dll");
    ASSERT_NE(atl, nullptr);
    auto ax_win_init = reinterpret_cast<BOOL(WINAPI*)()>(GetProcAddress(atl, "AtlAxWinInit"));
    auto ax_get_control = reinterpret_cast<HRESULT(WINAPI*)(HWND, IUnknown**)>(GetProcAddress(atl, "AtlAxGetControl"));
    ASSERT_TRUE(ax_win_init && ax_get_control);
    ax_win_init();  // FALSE on a second call under Wine

    HWND host = CreateWindowExW(0, L"AtlAxWin", prog_id, WS_POPUP, 0, 0, 200, 100, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(host, nullptr);
    IUnknown* unknown = nullptr;
    EXPECT_EQ(ax_get_control(host, &unknown), S_OK);
    ASSERT_NE(unknown, nullptr);
    IOleObject* object = nullptr;
    EXPECT_EQ(unknown->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&object)), S_OK);
    unknown->Release();
    ASSERT_NE(object, nullptr);

    IOleClientSite* site = nullptr;
    EXPECT_EQ(object->GetClientSite(&site), S_OK);
    EXPECT_NE(site, nullptr);
    if (site) site->Release();

    DestroyWindow(host);
    site = nullptr;
    EXPECT_EQ(object->GetClientSite(&site), S_OK);
    EXPECT_EQ(site, nullptr);
    object->Release();
    FreeLibrary(atl);
}

}  // namespace
