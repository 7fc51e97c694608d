// Our viewer control's IDispatch against any caller, not only the plug-in: a
// seeded stream of generated calls to the real control, hosted in a window
// and drawing. Every member by its DISPID and unknown ones; 0 to 3
// arguments of every automation type, by value and by reference, odd numbers,
// texts and file names (devices, folders, a NUL inside, 32,000 characters);
// named arguments; every dispatch flag; null pointers where callers may pass
// them. Every answer must be a documented HRESULT, puArgErr written only with
// DISP_E_TYPEMISMATCH, the caller's arguments untouched; no task memory (BSTRs,
// SAFEARRAYs) and no private memory is left behind, and the control draws
// the same frame afterwards as before.
//
// QUELTO_FUZZ_CALLS (100000) and QUELTO_FUZZ_SEED (1) choose the run; a
// failure names the call's number and what it was, so that it can be made
// again with the same seed.
#include <gtest/gtest.h>

#include <windows.h>
#include <ole2.h>
#include <olectl.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "control/com/member_table.h"
#include "tests/counting_site.h"
#include "tests/process_memory.h"
#include "tests/scratch_files.h"

namespace {

// ---- Ownership --------------------------------------------------------------------

// A VARIANT that owns what it holds.
struct variant : VARIANT {
    variant() : VARIANT() { VariantInit(this); }
    ~variant() { VariantClear(this); }
    variant(const variant&) = delete;
    variant& operator=(const variant&) = delete;
    void reset() {
        VariantClear(this);
        *static_cast<VARIANT*>(this) = VARIANT();
    }
};

struct bstr {
    BSTR value;
    explicit bstr(const std::wstring& text) : value(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    ~bstr() { SysFreeString(value); }
    bstr(const bstr&) = delete;
    bstr& operator=(const bstr&) = delete;
    BSTR release() {
        BSTR given = value;
        value = nullptr;
        return given;
    }
};

struct safe_array {
    SAFEARRAY* value;
    explicit safe_array(VARTYPE type, ULONG count) : value(SafeArrayCreateVector(type, 0, count)) {}
    ~safe_array() {
        if (value) SafeArrayDestroy(value);
    }
    safe_array(const safe_array&) = delete;
    safe_array& operator=(const safe_array&) = delete;
    SAFEARRAY* release() {
        SAFEARRAY* given = value;
        value = nullptr;
        return given;
    }
};

template <class Interface>
struct com_ptr {
    Interface* value = nullptr;
    ~com_ptr() {
        if (value) value->Release();
    }
    void** out() { return reinterpret_cast<void**>(&value); }
    Interface* operator->() const { return value; }
};

// ---- Counting task memory ------------------------------------------------------------

// BSTRs and SAFEARRAYs come from the COM task allocator (with oleaut32's
// BSTR cache off); a spy on it counts the blocks alive.
class counting_spy final : public IMallocSpy {
public:
    LONG live = 0;

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (riid == IID_IUnknown || riid == IID_IMallocSpy) {
            *object = static_cast<IMallocSpy*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP_(SIZE_T) PreAlloc(SIZE_T request) override { return request; }
    STDMETHODIMP_(void*) PostAlloc(void* actual) override {
        if (actual) InterlockedIncrement(&live);
        return actual;
    }
    STDMETHODIMP_(void*) PreFree(void* request, BOOL spied) override {
        if (request && spied) InterlockedDecrement(&live);
        return request;
    }
    STDMETHODIMP_(void) PostFree(BOOL) override {}
    STDMETHODIMP_(SIZE_T) PreRealloc(void* request, SIZE_T size, void** new_request, BOOL spied) override {
        if (request && spied) InterlockedDecrement(&live);
        *new_request = request;
        return size;
    }
    STDMETHODIMP_(void*) PostRealloc(void* actual, BOOL) override {
        if (actual) InterlockedIncrement(&live);
        return actual;
    }
    STDMETHODIMP_(void*) PreGetSize(void* request, BOOL) override { return request; }
    STDMETHODIMP_(SIZE_T) PostGetSize(SIZE_T actual, BOOL) override { return actual; }
    STDMETHODIMP_(void*) PreDidAlloc(void* request, BOOL) override { return request; }
    STDMETHODIMP_(int) PostDidAlloc(void*, BOOL, int actual) override { return actual; }
    STDMETHODIMP_(void) PreHeapMinimize() override {}
    STDMETHODIMP_(void) PostHeapMinimize() override {}
};
counting_spy task_memory;

// ---- The control, hosted --------------------------------------------------------------

std::string windows_path(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    std::string path = value ? value : fallback;
    if (!path.empty() && path[0] == '/') {
        path = "Z:" + path;  // Wine maps Z: to /
        for (char& c : path)
            if (c == '/') c = '\\';
    }
    return path;
}

unsigned long setting(const char* variable, unsigned long fallback) {
    const char* value = std::getenv(variable);
    return value && *value ? std::strtoul(value, nullptr, 0) : fallback;
}

void pump_messages() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

// The window's pixels as it shows them now (B, G, R; top row first).
std::vector<std::uint32_t> capture(HWND window) {
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    pump_messages();
    RECT client = {};
    GetClientRect(window, &client);
    std::vector<std::uint32_t> pixels(static_cast<size_t>(client.right) * client.bottom);
    HDC dc = GetDC(window);
    HDC memory = CreateCompatibleDC(dc);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = client.right;
    info.bmiHeader.biHeight = -client.bottom;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP section = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (section) {
        HGDIOBJ old = SelectObject(memory, section);
        BitBlt(memory, 0, 0, client.right, client.bottom, dc, 0, 0, SRCCOPY);
        GdiFlush();
        for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<const std::uint32_t*>(bits)[i] & 0xFFFFFF;
        SelectObject(memory, old);
        DeleteObject(section);
    }
    DeleteDC(memory);
    ReleaseDC(window, dc);
    return pixels;
}

// ---- What callers pass ----------------------------------------------------------------

const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
const double numbers[] = {0, -0.0, 1, 2, 3, 4, 5, -1, 0.5, 2.5, 7, 45, 180, 255, 16711680, 4294967296.0,
                          1e-300, 1e300, -1e300, 1e-30, std::numeric_limits<double>::max(),
                          std::numeric_limits<double>::denorm_min(), nan, inf, -inf};
const float floats[] = {0, 1, -3, 0.25f, std::numeric_limits<float>::max(), std::numeric_limits<float>::denorm_min(),
                        std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                        -std::numeric_limits<float>::infinity()};
const long longs[] = {0, 1, 2, 3, 4, -1, 255, 0x7FFFFFFF, -0x7FFFFFFF - 1, 16711680};
const short shorts[] = {0, 1, 2, 3, -1, 0x7FFF, -0x8000};

// Texts: numbers written out, words, and file names; filled in at start-up.
std::vector<std::wstring> texts, file_names;

enum class kind {
    empty, null, i2, i4, r4, r8, boolean, text, text_null, file_name, dispatch_null, dispatch_self, unknown_null,
    array_i4, array_text, array_variant, bad_type, count
};
const char* const kind_names[] = {"EMPTY", "NULL", "I2", "I4", "R4", "R8", "BOOL", "BSTR", "BSTR(null)",
                                  "BSTR(file)", "DISPATCH(null)", "DISPATCH(control)", "UNKNOWN(null)",
                                  "ARRAY(I4)", "ARRAY(BSTR)", "ARRAY(VARIANT)", "type 0xFFF"};

enum class passing { value, reference, variant_reference, null_reference };
const char* const passing_names[] = {"", " byref", " byref VARIANT", " byref null"};

// One argument: `owner` holds the value and anything it owns; `passed`, what
// goes into rgvarg, is a shallow copy of it or a reference to it.
struct argument {
    variant owner;
    VARIANT passed = {};
    kind what = kind::empty;
    passing how = passing::value;
    size_t index = 0;  // into the table its value came from
};

class generator {
public:
    explicit generator(std::uint32_t seed) : engine_(seed) {}
    std::uint32_t below(std::uint32_t n) { return engine_() % n; }
    bool percent(std::uint32_t p) { return below(100) < p; }
    std::uint32_t bits() { return engine_(); }

private:
    std::mt19937 engine_;
};

void fill(argument& a, kind what, passing how, generator& random, IDispatch* control) {
    a.owner.reset();
    a.what = what;
    a.how = how;
    a.index = 0;
    VARIANT& v = a.owner;
    switch (what) {
        case kind::empty: break;
        case kind::null: v.vt = VT_NULL; break;
        case kind::i2:
            v.vt = VT_I2;
            v.iVal = shorts[a.index = random.below(std::size(shorts))];
            break;
        case kind::i4:
            v.vt = VT_I4;
            v.lVal = longs[a.index = random.below(std::size(longs))];
            break;
        case kind::r4:
            v.vt = VT_R4;
            v.fltVal = floats[a.index = random.below(std::size(floats))];
            break;
        case kind::r8:
            v.vt = VT_R8;
            v.dblVal = numbers[a.index = random.below(std::size(numbers))];
            break;
        case kind::boolean:
            v.vt = VT_BOOL;
            v.boolVal = random.percent(50) ? VARIANT_TRUE : VARIANT_FALSE;
            break;
        case kind::text:
        case kind::file_name: {
            const std::vector<std::wstring>& pool = what == kind::text ? texts : file_names;
            a.index = random.below(static_cast<std::uint32_t>(pool.size()));
            // The texts of 100,000 and 32,000 characters come rarely: a
            // tenth of the time they are drawn.
            if (pool[a.index].size() > 1000 && random.percent(90)) a.index = 0;
            v.vt = VT_BSTR;
            v.bstrVal = bstr(pool[a.index]).release();
            break;
        }
        case kind::text_null: v.vt = VT_BSTR; break;
        case kind::dispatch_null: v.vt = VT_DISPATCH; break;
        case kind::dispatch_self:
            v.vt = VT_DISPATCH;
            v.pdispVal = control;
            control->AddRef();
            break;
        case kind::unknown_null: v.vt = VT_UNKNOWN; break;
        case kind::array_i4: {
            safe_array array(VT_I4, random.below(4));
            for (LONG i = 0; array.value && i < static_cast<LONG>(array.value->rgsabound[0].cElements); ++i) {
                LONG element = 3;
                SafeArrayPutElement(array.value, &i, &element);
            }
            v.vt = VT_ARRAY | VT_I4;
            v.parray = array.release();
            break;
        }
        case kind::array_text: {
            safe_array array(VT_BSTR, 1);
            LONG first = 0;
            bstr element(L"2");
            if (array.value) SafeArrayPutElement(array.value, &first, element.value);
            v.vt = VT_ARRAY | VT_BSTR;
            v.parray = array.release();
            break;
        }
        case kind::array_variant: {
            safe_array array(VT_VARIANT, 2);
            variant element;
            element.vt = VT_R8;
            element.dblVal = 1;
            for (LONG i = 0; array.value && i < 2; ++i) SafeArrayPutElement(array.value, &i, &element);
            v.vt = VT_ARRAY | VT_VARIANT;
            v.parray = array.release();
            break;
        }
        case kind::bad_type: v.vt = VT_TYPEMASK; break;
        case kind::count: break;
    }
    a.passed = VARIANT();
    switch (how) {
        case passing::value: a.passed = v; break;
        // The members of the VARIANT's union all start at one address.
        case passing::reference:
            a.passed.vt = v.vt | VT_BYREF;
            a.passed.byref = &v.llVal;
            break;
        case passing::variant_reference:
            a.passed.vt = VT_VARIANT | VT_BYREF;
            a.passed.pvarVal = &v;
            break;
        case passing::null_reference: a.passed.vt = v.vt | VT_BYREF; break;
    }
}

std::string narrow(const std::wstring& text, size_t limit = 60) {
    std::string result;
    for (size_t i = 0; i < text.size() && i < limit; ++i)
        result += text[i] == 0 ? std::string("\\0") : text[i] < 128 ? std::string(1, char(text[i])) : "?";
    if (text.size() > limit) result += "...(" + std::to_string(text.size()) + " characters)";
    return result;
}

std::string describe(const argument& a) {
    std::string value;
    switch (a.what) {
        case kind::i2: value = std::to_string(shorts[a.index]); break;
        case kind::i4: value = std::to_string(longs[a.index]); break;
        case kind::r4: value = std::to_string(floats[a.index]); break;
        case kind::r8: value = std::to_string(numbers[a.index]); break;
        case kind::text: value = "\"" + narrow(texts[a.index]) + "\""; break;
        case kind::file_name: value = "\"" + narrow(file_names[a.index]) + "\""; break;
        default: break;
    }
    return kind_names[static_cast<int>(a.what)] + (value.empty() ? "" : " " + value) +
           passing_names[static_cast<int>(a.how)];
}

std::string hex(long value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
    return text;
}

// ---- Generated calls --------------------------------------------------------------------

constexpr UINT max_arguments = 3;
constexpr UINT argument_error_unset = 0xA5A5A5A5;

struct invoke_call {
    DISPID id = 0;
    bool wrong_riid = false;
    WORD flags = 0;
    bool null_params = false, null_arguments = false, null_names = false;
    UINT count = 0, named_count = 0;
    argument arguments[max_arguments];
    DISPID named[max_arguments] = {};
    bool with_result = false, with_exception = false, with_argument_error = false;
};

std::string describe(const invoke_call& call) {
    std::string text = "Invoke(id " + std::to_string(call.id) + (call.wrong_riid ? ", riid not IID_NULL" : "") +
                       ", flags " + hex(call.flags);
    if (call.null_params) {
        text += ", no DISPPARAMS";
    } else {
        text += ", " + std::to_string(call.count) + " arguments" + (call.null_arguments ? " (rgvarg null)" : "");
        for (UINT i = 0; i < call.count && !call.null_arguments; ++i)
            text += (i ? "; " : " [") + describe(call.arguments[i]) + (i + 1 == call.count ? "]" : "");
        text += ", " + std::to_string(call.named_count) + " named" +
                (call.null_names ? " (rgdispidNamedArgs null)" : "");
        for (UINT i = 0; i < call.named_count && !call.null_names; ++i)
            text += (i ? " " : " [") + std::to_string(call.named[i]) + (i + 1 == call.named_count ? "]" : "");
    }
    return text + (call.with_result ? ", result" : "") + (call.with_exception ? ", EXCEPINFO" : "") +
           (call.with_argument_error ? ", puArgErr" : "") + ")";
}

struct names_call {
    bool wrong_riid = false, null_names = false, null_ids = false;
    UINT count = 0;
    std::wstring names[max_arguments];
    bool null_name[max_arguments] = {};
};

std::string describe(const names_call& call) {
    std::string text = "GetIDsOfNames(" + std::string(call.wrong_riid ? "riid not IID_NULL, " : "") +
                       std::to_string(call.count) + " names";
    if (call.null_names) text += " (array null)";
    for (UINT i = 0; i < call.count && !call.null_names; ++i)
        text += (i ? ", " : " [") + (call.null_name[i] ? "null" : "\"" + narrow(call.names[i]) + "\"") +
                (i + 1 == call.count ? "]" : "");
    return text + (call.null_ids ? ", ids null)" : ")");
}

// What Invoke and GetIDsOfNames may answer; the README lists the same.
const HRESULT invoke_answers[] = {S_OK,
                                  DISP_E_MEMBERNOTFOUND,
                                  DISP_E_BADPARAMCOUNT,
                                  DISP_E_TYPEMISMATCH,
                                  DISP_E_PARAMNOTOPTIONAL,
                                  DISP_E_NONAMEDARGS,
                                  DISP_E_UNKNOWNINTERFACE,
                                  E_INVALIDARG,
                                  E_OUTOFMEMORY};
const HRESULT names_answers[] = {S_OK, DISP_E_UNKNOWNNAME, DISP_E_UNKNOWNINTERFACE, E_POINTER, E_INVALIDARG};

template <size_t N>
bool one_of(HRESULT hr, const HRESULT (&answers)[N]) {
    for (HRESULT answer : answers)
        if (hr == answer) return true;
    return false;
}

// Every member the control has: those the plug-in calls, then the read-only
// ones a host reads (MESSAGELINE, MESSAGECOUNT).
const int all_member_count = member_count + readout_count;
const member_entry& any_member(int m) { return m < member_count ? member_table[m] : readout_table[m - member_count]; }

// The member a name means: the same letters in any case, ASCII only.
const member_entry* member_named(const std::wstring& name) {
    const std::wstring as_c_string = name.substr(0, name.find(L'\0'));
    for (int m = 0; m < all_member_count; ++m) {
        const std::string member = any_member(m).name;
        if (as_c_string.size() != member.size()) continue;
        bool same = true;
        for (size_t i = 0; i < member.size() && same; ++i) {
            const wchar_t c = as_c_string[i];
            same = c < 128 && std::toupper(static_cast<int>(c)) == member[i];
        }
        if (same) return &any_member(m);
    }
    return nullptr;
}

const wchar_t* const odd_names[] = {L"", L"NOSUCHMEMBER", L"LOADFIL", L"LOADFILEX", L"INIT ", L" INIT",
                                    L"GR\u0130DMODE", L"\u0131NIT", L"DISPID_VALUE", L"0", L"-1"};

class dispatch_fuzz {
public:
    dispatch_fuzz(IDispatch* control, std::uint32_t seed) : control_(control), random_(seed) {}

    // One generated call, checked; false when its answer broke the rules
    // (said in `problem`).
    bool next(std::string& problem, std::string& what) {
        ++calls_;
        if (random_.percent(4)) return names(problem, what);
        return invoke(problem, what);
    }
    const std::map<HRESULT, unsigned>& answers() const { return answers_; }
    unsigned calls() const { return calls_; }

    // What the running call is, for a crash or a hang.
    std::string current() const { return in_names_ ? describe(names_call_) : describe(invoke_call_); }

private:
    void generate(invoke_call& call) {
        const bool member = random_.percent(88);
        const member_entry* entry = member ? &any_member(static_cast<int>(random_.below(static_cast<std::uint32_t>(all_member_count)))) : nullptr;
        static const DISPID unknown_ids[] = {0, -1, -3, -4, -5, 30, 1000, 0x7FFFFFFF, -0x7FFFFFFF - 1};
        call.id = entry ? static_cast<DISPID>(entry->id)
                        : random_.percent(80) ? unknown_ids[random_.below(std::size(unknown_ids))]
                                              : static_cast<DISPID>(random_.bits());
        call.wrong_riid = random_.percent(1);
        static const WORD flag_choices[] = {
            DISPATCH_METHOD, DISPATCH_METHOD, DISPATCH_METHOD, DISPATCH_METHOD, DISPATCH_METHOD, DISPATCH_METHOD,
            DISPATCH_PROPERTYPUT, DISPATCH_PROPERTYPUT, DISPATCH_PROPERTYPUT, DISPATCH_PROPERTYPUT,
            DISPATCH_PROPERTYPUT, DISPATCH_PROPERTYPUT, DISPATCH_PROPERTYGET, DISPATCH_PROPERTYPUTREF,
            DISPATCH_METHOD | DISPATCH_PROPERTYGET, DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF,
            DISPATCH_METHOD | DISPATCH_PROPERTYPUT, 0, 0xFFFF};
        call.flags = random_.percent(3) ? static_cast<WORD>(random_.bits())
                                        : flag_choices[random_.below(std::size(flag_choices))];
        call.null_params = random_.percent(2);
        call.with_result = random_.percent(50);
        call.with_exception = random_.percent(50);
        call.with_argument_error = random_.percent(50);

        // Half the calls have the shape the member takes, so that they reach
        // its conversions and its work; the rest any shape.
        const bool as_put = call.flags & DISPATCH_PROPERTYPUT;
        const bool shaped = entry && random_.percent(50);
        if (shaped) {
            call.count = as_put ? 1 : static_cast<UINT>(entry->argument_count);
            call.named_count = as_put ? 1 : 0;
            call.named[0] = DISPID_PROPERTYPUT;
        } else {
            call.count = random_.below(max_arguments + 1);
            call.named_count = random_.percent(70) ? 0 : random_.below(max_arguments + 1);
            static const DISPID named_ids[] = {DISPID_PROPERTYPUT, DISPID_PROPERTYPUT, 0, 1, -1, 5};
            for (UINT i = 0; i < call.named_count; ++i) call.named[i] = named_ids[random_.below(std::size(named_ids))];
        }
        call.null_arguments = call.count > 0 && random_.percent(3);
        call.null_names = call.named_count > 0 && random_.percent(3);

        for (UINT i = 0; i < call.count; ++i) {
            kind what = static_cast<kind>(random_.below(static_cast<std::uint32_t>(kind::count)));
            if (shaped && random_.percent(70)) {
                const bool file = entry->id == member_id::loadfile || entry->id == member_id::bkpicture;
                what = entry->arguments == argument_type::number ? kind::r8 : file ? kind::file_name : kind::text;
            }
            const std::uint32_t roll = random_.below(100);
            const passing how = roll < 75   ? passing::value
                                : roll < 90 ? passing::reference
                                : roll < 97 ? passing::variant_reference
                                            : passing::null_reference;
            fill(call.arguments[i], what, how, random_, control_);
        }
    }

    bool invoke(std::string& problem, std::string& what) {
        in_names_ = false;
        invoke_call& call = invoke_call_;
        generate(call);

        VARIANTARG rgvarg[max_arguments];
        for (UINT i = 0; i < call.count; ++i) rgvarg[i] = call.arguments[i].passed;
        DISPID named[max_arguments];
        std::memcpy(named, call.named, sizeof named);
        DISPPARAMS params = {call.null_arguments ? nullptr : rgvarg, call.null_names ? nullptr : named, call.count,
                             call.named_count};
        VARIANT result;
        VariantInit(&result);
        result.vt = VT_I4;  // nothing to free: shows whether the control set it
        result.lVal = 0x5A5A;
        EXCEPINFO exception, exception_before;
        std::memset(&exception, 0, sizeof exception);
        exception.scode = 0x5A5A5A5A;
        std::memcpy(&exception_before, &exception, sizeof exception);
        UINT argument_error = argument_error_unset;

        const HRESULT hr = control_->Invoke(call.id, call.wrong_riid ? IID_IDispatch : IID_NULL, 0x0409, call.flags,
                                            call.null_params ? nullptr : &params,
                                            call.with_result ? &result : nullptr,
                                            call.with_exception ? &exception : nullptr,
                                            call.with_argument_error ? &argument_error : nullptr);
        ++answers_[hr];

        const member_entry* entry = find_member(call.id);
        const bool known = entry != nullptr;
        // A get: a member with a value, asked without a put and, when the
        // method flag comes with it, without arguments.
        const bool get = known && (entry->kinds & as_property_get) && (call.flags & DISPATCH_PROPERTYGET) &&
                         !(call.flags & DISPATCH_PROPERTYPUT) && (call.count == 0 || !(call.flags & DISPATCH_METHOD));
        const VARTYPE answer_type =
            hr == S_OK && get ? (entry->arguments == argument_type::number ? VT_R8 : VT_BSTR) : VT_EMPTY;
        if (!one_of(hr, invoke_answers)) problem = "answered " + hex(hr) + ", not a documented HRESULT";
        else if (!call.wrong_riid && !known && hr != DISP_E_MEMBERNOTFOUND)
            problem = "an unknown DISPID answered " + hex(hr);
        else if (hr == S_OK && (call.wrong_riid || !known || call.null_params ||
                                !(get || (call.flags & (DISPATCH_METHOD | DISPATCH_PROPERTYPUT)))))
            problem = "succeeded although it cannot";
        else if (call.with_argument_error && hr == DISP_E_TYPEMISMATCH &&
                 (argument_error >= call.count || call.null_arguments))
            problem = "puArgErr " + std::to_string(argument_error) + " names no argument";
        else if (call.with_argument_error && hr != DISP_E_TYPEMISMATCH && argument_error != argument_error_unset)
            problem = "puArgErr written with " + hex(hr);
        else if (call.with_result && result.vt != answer_type)
            problem = "the result is VT " + std::to_string(result.vt) + ", not VT " + std::to_string(answer_type);
        else if (std::memcmp(&exception, &exception_before, sizeof exception) != 0)
            problem = "EXCEPINFO written with " + hex(hr);
        else if (std::memcmp(named, call.named, sizeof named) != 0)
            problem = "the named argument identifiers were changed";
        for (UINT i = 0; i < call.count && problem.empty(); ++i)
            if (std::memcmp(&rgvarg[i], &call.arguments[i].passed, sizeof(VARIANTARG)) != 0)
                problem = "argument " + std::to_string(i) + " was changed";

        for (UINT i = 0; i < call.count; ++i) call.arguments[i].owner.reset();
        if (call.with_result && (result.vt == VT_R8 || result.vt == VT_BSTR)) VariantClear(&result);
        if (!problem.empty()) what = describe(call);
        return problem.empty();
    }

    bool names(std::string& problem, std::string& what) {
        in_names_ = true;
        names_call& call = names_call_;
        call = names_call();
        call.wrong_riid = random_.percent(5);
        call.count = random_.percent(70) ? 1 : random_.below(max_arguments + 1);
        call.null_names = random_.percent(3);
        call.null_ids = random_.percent(3);
        LPOLESTR names[max_arguments];
        for (UINT i = 0; i < call.count; ++i) {
            const std::uint32_t roll = random_.below(100);
            if (roll < 60) {
                // A member's name in any mixture of cases.
                std::wstring name;
                for (const char* c = any_member(static_cast<int>(random_.below(static_cast<std::uint32_t>(all_member_count)))).name; *c; ++c)
                    name += static_cast<wchar_t>(random_.percent(50) ? std::tolower(*c) : *c);
                call.names[i] = name;
            } else if (roll < 88) {
                call.names[i] = odd_names[random_.below(std::size(odd_names))];
            } else if (roll < 90) {
                call.names[i] = std::wstring(L"INIT\0X", 6);  // read as the C string it is
            } else if (roll < 91) {
                call.names[i] = texts.back();  // 100,000 characters
            } else {
                call.null_name[i] = true;
            }
            names[i] = call.null_name[i] ? nullptr : const_cast<LPOLESTR>(call.names[i].c_str());
        }
        DISPID ids[max_arguments];
        for (DISPID& id : ids) id = 0x5A5A5A5A;
        const HRESULT hr = control_->GetIDsOfNames(call.wrong_riid ? IID_IDispatch : IID_NULL,
                                                   call.null_names ? nullptr : names, call.count, 0x0409,
                                                   call.null_ids ? nullptr : ids);
        ++answers_[hr];

        if (!one_of(hr, names_answers)) {
            problem = "answered " + hex(hr) + ", not a documented HRESULT";
        } else if (!call.wrong_riid && !call.null_names && !call.null_ids && call.count > 0) {
            // Only the first name can name a member: members take no named arguments.
            const member_entry* first = call.null_name[0] ? nullptr : member_named(call.names[0]);
            const HRESULT expected = first && call.count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
            if (hr != expected) problem = "answered " + hex(hr) + " instead of " + hex(expected);
            for (UINT i = 0; i < call.count && problem.empty(); ++i) {
                const DISPID wanted = i == 0 && first ? static_cast<DISPID>(first->id) : DISPID_UNKNOWN;
                if (ids[i] != wanted)
                    problem = "name " + std::to_string(i) + " got id " + std::to_string(ids[i]) + ", not " +
                              std::to_string(wanted);
            }
        } else if (hr == S_OK) {
            problem = "succeeded although it cannot";
        }
        if (!problem.empty()) what = describe(call);
        return problem.empty();
    }

    IDispatch* control_;
    generator random_;
    invoke_call invoke_call_;
    names_call names_call_;
    bool in_names_ = false;
    unsigned calls_ = 0;
    std::map<HRESULT, unsigned> answers_;
};

// ---- Crashes and hangs name the call ---------------------------------------------------

dispatch_fuzz* running_fuzz;
std::string running_step;  // what runs when no generated call does
volatile LONG progress;
std::uint32_t running_seed;

std::string running_call() {
    if (!running_fuzz) return running_step;
    return "call " + std::to_string(running_fuzz->calls()) + " of seed " + std::to_string(running_seed) + ": " +
           running_fuzz->current();
}

LONG WINAPI report_crash(EXCEPTION_POINTERS* exception) {
    std::fprintf(stderr, "crash (exception %s) in %s\n",
                 hex(static_cast<long>(exception->ExceptionRecord->ExceptionCode)).c_str(), running_call().c_str());
    std::fflush(stderr);
    return EXCEPTION_CONTINUE_SEARCH;
}

// Ends the program when a call runs for `stall_seconds` (a device read
// would never end), naming the call.
class stall_watch {
public:
    explicit stall_watch(int stall_seconds) : stall_seconds_(stall_seconds) {
        stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        thread_ = CreateThread(nullptr, 0, watch, this, 0, nullptr);
    }
    ~stall_watch() {
        SetEvent(stop_);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        CloseHandle(stop_);
    }
    stall_watch(const stall_watch&) = delete;
    stall_watch& operator=(const stall_watch&) = delete;

private:
    static DWORD WINAPI watch(void* parameter) {
        auto* self = static_cast<stall_watch*>(parameter);
        LONG seen = progress;
        int still = 0;
        while (WaitForSingleObject(self->stop_, 1000) == WAIT_TIMEOUT) {
            const LONG now = progress;
            still = now == seen ? still + 1 : 0;
            seen = now;
            if (still < self->stall_seconds_) continue;
            std::fprintf(stderr, "no progress for %d s in %s\n", self->stall_seconds_, running_call().c_str());
            std::fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 3);
        }
        return 0;
    }

    int stall_seconds_;
    HANDLE stop_, thread_;
};

// ---- The test -------------------------------------------------------------------------


std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// A cube around the origin, and a 2 x 2 picture.
constexpr char cube_obj[] =
    "v -1 -1 -1\nv 1 -1 -1\nv 1 1 -1\nv -1 1 -1\nv -1 -1 1\nv 1 -1 1\nv 1 1 1\nv -1 1 1\n"
    "f 1 4 3 2\nf 5 6 7 8\nf 1 2 6 5\nf 2 3 7 6\nf 3 4 8 7\nf 4 1 5 8\n";
std::string small_bmp() {
    std::string bytes = "BM";
    auto u32 = [&](std::uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes += static_cast<char>(v >> (8 * i));
    };
    auto u16 = [&](std::uint16_t v) {
        bytes += static_cast<char>(v);
        bytes += static_cast<char>(v >> 8);
    };
    u32(70), u32(0), u32(54), u32(40), u32(2), u32(2), u16(1), u16(24), u32(0), u32(16), u32(2835), u32(2835),
        u32(0), u32(0);
    bytes += std::string("\x00\x00\xFF\x00\xFF\x00\x00\x00\xFF\x00\x00\xFF\xFF\xFF\x00\x00", 16);
    return bytes;
}

// The control lives in an OLE apartment, as in every host.
class ole_environment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr))); }
    void TearDown() override { OleUninitialize(); }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new ole_environment);

class ControlDispatch : public ::testing::Test {
protected:
    static constexpr int width = 200, height = 150, centre = width * (height / 2) + width / 2;
    // SETCOLOR's COLORREF and the B, G, R the frame shows for it.
    static constexpr double background_colorref = 40 + 60 * 256 + 90 * 65536;
    static constexpr std::uint32_t background = 90 | 60 << 8 | 40 << 16;

    void SetUp() override {
        // Blocks freed into oleaut32's BSTR cache would look alive to the
        // spy (OANOCACHE, set by CTest, does the same for the whole process).
        using no_cache_fn = void(WINAPI*)();
        if (auto no_cache = reinterpret_cast<no_cache_fn>(
                reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("oleaut32.dll"), "SetOaNoCache"))))
            no_cache();
        ASSERT_EQ(CoRegisterMallocSpy(&task_memory), S_OK);
        {
            const LONG before = task_memory.live;
            bstr probe(L"probe");
            ASSERT_EQ(task_memory.live, before + 1) << "a BSTR is not seen by the task allocator's spy";
        }

        const std::string path = windows_path("QUELTO_CONTROL_DLL", "..\\control\\Quelto3dCtrl.dll");
        module_ = LoadLibraryA(path.c_str());
        ASSERT_NE(module_, nullptr) << path;
        using get_class_object_fn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
        auto get_class_object = reinterpret_cast<get_class_object_fn>(
            reinterpret_cast<void*>(GetProcAddress(module_, "DllGetClassObject")));
        ASSERT_NE(get_class_object, nullptr);
        // {8E7A4C02-3B6D-4F1E-A5C9-2D40B7E19F63}, as hosts find it from the ProgID.
        const CLSID clsid = {0x8e7a4c02, 0x3b6d, 0x4f1e, {0xa5, 0xc9, 0x2d, 0x40, 0xb7, 0xe1, 0x9f, 0x63}};
        com_ptr<IClassFactory> factory;
        ASSERT_EQ(get_class_object(clsid, IID_IClassFactory, factory.out()), S_OK);
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IOleObject, reinterpret_cast<void**>(&object_)), S_OK);
        ASSERT_EQ(object_->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&control_)), S_OK);

        WNDCLASSA plain = {};
        plain.lpfnWndProc = DefWindowProcA;
        plain.hInstance = GetModuleHandleA(nullptr);
        plain.lpszClassName = "QueltoFuzzHost";
        RegisterClassA(&plain);
        host_ = CreateWindowExA(0, "QueltoFuzzHost", "fuzz", WS_POPUP | WS_VISIBLE | WS_CLIPCHILDREN, 40, 40, width,
                                height, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(host_, nullptr);
        site_.parent = host_;
        site_.position = {0, 0, width, height};
        ASSERT_EQ(object_->SetClientSite(&site_), S_OK);
        ASSERT_EQ(object_->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site_, 0, host_, &site_.position), S_OK);
        com_ptr<IOleWindow> window;
        ASSERT_EQ(object_->QueryInterface(IID_IOleWindow, window.out()), S_OK);
        ASSERT_EQ(window->GetWindow(&window_), S_OK);

        for (int m = 0; m < all_member_count; ++m) {
            const std::wstring text = wide(any_member(m).name);
            LPOLESTR name[] = {const_cast<LPOLESTR>(text.c_str())};
            DISPID id = DISPID_UNKNOWN;
            ASSERT_EQ(control_->GetIDsOfNames(IID_NULL, name, 1, 0x0409, &id), S_OK) << any_member(m).name;
            ASSERT_EQ(id, static_cast<DISPID>(any_member(m).id)) << any_member(m).name;
        }

        folder_ = scratch_files::folder("fuzz");
        const std::string& folder = folder_;
        cube_ = folder + "cube.obj";
        std::ofstream(cube_, std::ios::binary) << cube_obj;
        picture_ = folder + "picture.bmp";
        std::ofstream(picture_, std::ios::binary) << small_bmp();

        // The first of each pool is short: long ones are drawn rarely.
        texts = {L"abc", L"", L"2.5", L"-7", L"1e999", L"nan", L"&HFF", L" 3 ", L"1,5", L"\u00e9\u4e2d\U0001F600",
                 std::wstring(L"12\0" L"34", 5), std::wstring(100000, L'x')};
        file_names = {wide(cube_), wide(picture_), L"", L"Z:\\no\\such\\folder\\model.obj", wide(folder),
                      wide(folder.substr(0, folder.size() - 1)), L"C:\\windows", L"NUL", L"CON", L"COM1", L"LPT1",
                      L"nul.obj", L"C:\\windows\\con.stl", L"COM1:", L"\\\\.\\COM1", L"CONIN$", L"aux.bmp",
                      wide(cube_) + std::wstring(L"\0.obj", 5), std::wstring(L"NUL\0", 4) + wide(cube_),
                      L"Z:\\" + std::wstring(32000, L'a') + L".obj"};
    }

    void TearDown() override {
        if (object_) {
            object_->Close(OLECLOSE_NOSAVE);
            object_->SetClientSite(nullptr);
        }
        if (control_) control_->Release();
        if (object_) object_->Release();
        if (host_) DestroyWindow(host_);
        pump_messages();
        texts.clear();
        file_names.clear();
        CoRevokeMallocSpy();
        DeleteFileA(cube_.c_str());
        DeleteFileA(picture_.c_str());
        RemoveDirectoryA(folder_.c_str());
    }

    DISPID id_of(member_id member) const { return static_cast<DISPID>(member); }

    HRESULT call(member_id member, WORD kind, std::initializer_list<VARIANT> positional) {
        std::vector<VARIANTARG> reversed(positional.begin(), positional.end());
        std::reverse(reversed.begin(), reversed.end());
        DISPID named = DISPID_PROPERTYPUT;
        DISPPARAMS params = {reversed.data(), kind == DISPATCH_PROPERTYPUT ? &named : nullptr,
                             static_cast<UINT>(reversed.size()), kind == DISPATCH_PROPERTYPUT ? 1u : 0u};
        return control_->Invoke(id_of(member), IID_NULL, 0x0409, kind, &params, nullptr, nullptr, nullptr);
    }
    static VARIANT number(double value) {
        VARIANT v = {};
        v.vt = VT_R8;
        v.dblVal = value;
        return v;
    }
    // Borrows `text`: the caller keeps it.
    static VARIANT text(const bstr& value) {
        VARIANT v = {};
        v.vt = VT_BSTR;
        v.bstrVal = value.value;
        return v;
    }

    // Every member that changes what is drawn to one fixed value, then the
    // cube loaded (which frames it): the same frame whatever came before.
    void settle() {
        const bstr none(L""), cube(wide(cube_)), short_text(L"x");
        constexpr WORD put = DISPATCH_PROPERTYPUT, method = DISPATCH_METHOD;
        const std::pair<member_id, double> puts[] = {
            {member_id::rendermode, 1},         {member_id::gridmode, 0},           {member_id::lightmode, 1},
            {member_id::scalelighting, 0},      {member_id::specularlighting, 1},   {member_id::smoothing, 0},
            {member_id::creaseangle, 30},       {member_id::usedefaultmaterial, 1}, {member_id::showtransparency, 1},
            {member_id::showtextures, 1},       {member_id::showfog, 0},            {member_id::showhiddengeometry, 0},
            {member_id::showvertexes, 0},       {member_id::showlights, 0},         {member_id::showworldaxis, 0},
            {member_id::showboundingbox, 0},    {member_id::gridsize, 0},           {member_id::inertialrotation, 0},
            {member_id::leftmbuttonmode, 1},    {member_id::rightmbuttonmode, 2},   {member_id::renderapi, 0},
            {member_id::hwindow, 1}};
        EXPECT_EQ(call(member_id::bkpicture, put, {text(none)}), S_OK);
        for (const auto& [member, value] : puts) EXPECT_EQ(call(member, put, {number(value)}), S_OK) << int(member);
        EXPECT_EQ(call(member_id::setcolor, method, {number(0), number(background_colorref)}), S_OK);
        EXPECT_EQ(call(member_id::setcolor, method, {number(1), number(0xFFFFFF)}), S_OK);
        EXPECT_EQ(call(member_id::setcolor, method, {number(2), number(0x00FF00)}), S_OK);
        EXPECT_EQ(call(member_id::init, method, {text(short_text), text(short_text)}), S_OK);
        EXPECT_EQ(call(member_id::loadfile, method, {text(cube)}), S_OK);
        pump_messages();
    }

    HMODULE module_ = nullptr;
    IOleObject* object_ = nullptr;
    IDispatch* control_ = nullptr;
    counting_site site_;
    HWND host_ = nullptr, window_ = nullptr;
    std::string folder_, cube_, picture_;
};

TEST_F(ControlDispatch, GeneratedCallsGetDocumentedAnswersLeaveNothingBehindAndTheFrameUnchanged) {
    const unsigned long calls = std::max(setting("QUELTO_FUZZ_CALLS", 100000), 1ul);
    running_seed = static_cast<std::uint32_t>(setting("QUELTO_FUZZ_SEED", 1));
    stall_watch watch(30);
    SetUnhandledExceptionFilter(report_crash);

    settle();
    const std::vector<std::uint32_t> reference = capture(window_);
    ASSERT_EQ(reference.size(), static_cast<size_t>(width) * height);
    for (const int at : {0, width - 1, width * (height - 1), width * height - 1})
        ASSERT_EQ(reference[at], background) << "corner pixel " << at << " shows the background";
    ASSERT_NE(reference[centre], background) << "the cube covers the centre";

    // Every file name through both members first, whatever the seed draws:
    // only the cube is a model; any other name leaves the scene empty.
    const bstr none(L"");
    for (const std::wstring& name : file_names) {
        SCOPED_TRACE(narrow(name));
        const bstr file(name);
        ++progress;
        running_step = "LOADFILE \"" + narrow(name) + "\"";
        EXPECT_EQ(call(member_id::loadfile, DISPATCH_METHOD, {text(file)}), S_OK);
        EXPECT_EQ(capture(window_)[centre] != background, name == wide(cube_)) << "a model in the centre";
        running_step = "BKPICTURE \"" + narrow(name) + "\"";
        EXPECT_EQ(call(member_id::bkpicture, DISPATCH_PROPERTYPUT, {text(file)}), S_OK);
        UpdateWindow(window_);
        EXPECT_EQ(call(member_id::bkpicture, DISPATCH_PROPERTYPUT, {text(none)}), S_OK);
    }
    running_step = "the test's own steps";

    dispatch_fuzz fuzz(control_, running_seed);
    running_fuzz = &fuzz;
    struct failure {
        unsigned calls = 0;
        std::string first;
    };
    std::map<std::string, failure> failures;  // by what went wrong
    LONG task_blocks_before = 0;
    SIZE_T private_before = 0;
    const unsigned long warm_up = calls / 10;
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (unsigned long i = 0; i < calls; ++i) {
        if (i == warm_up) {
            // Memory is compared from here, with the same things held.
            settle();
            task_blocks_before = task_memory.live;
            private_before = private_bytes();
        }
        std::string problem, what;
        if (!fuzz.next(problem, what) && failures[problem].calls++ == 0)
            failures[problem].first = "call " + std::to_string(i + 1) + ": " + what;
        ++progress;
        // Frames drawn with whatever the calls set.
        if (i % 256 == 255) {
            UpdateWindow(window_);
            pump_messages();
        }
    }
    QueryPerformanceCounter(&end);
    running_fuzz = nullptr;
    settle();
    const LONG task_blocks_after = task_memory.live;
    const SIZE_T private_after = private_bytes();

    const double seconds = double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
    std::printf("%lu IDispatch calls (seed %u) in %.1f s; answers:", calls, running_seed, seconds);
    for (const auto& [hr, count] : fuzz.answers()) std::printf(" %s x%u", hex(hr).c_str(), count);
    std::printf("; after the warm-up, private bytes %+lld, task memory blocks %+ld\n",
                static_cast<long long>(private_after) - static_cast<long long>(private_before),
                static_cast<long>(task_blocks_after - task_blocks_before));
    RecordProperty("calls", static_cast<int>(calls));
    RecordProperty("milliseconds", static_cast<int>(seconds * 1000));

    std::string report;
    for (const auto& [problem, seen] : failures)
        report += problem + " (" + std::to_string(seen.calls) + " calls), first " + seen.first + "\n";
    EXPECT_TRUE(failures.empty()) << "seed " << running_seed << ":\n" << report;
    // The calls must reach the members' work, not only their checks.
    EXPECT_GT(fuzz.answers().count(S_OK) ? fuzz.answers().at(S_OK) : 0u, calls / 10);
    EXPECT_EQ(task_blocks_after, task_blocks_before) << "BSTRs or SAFEARRAYs left behind";
    EXPECT_LT(static_cast<long long>(private_after) - static_cast<long long>(private_before), 2ll << 20)
        << "private bytes grew from " << private_before << " to " << private_after;

    const std::vector<std::uint32_t> after = capture(window_);
    ASSERT_EQ(after.size(), reference.size());
    size_t differing = 0;
    for (size_t i = 0; i < after.size(); ++i) differing += after[i] != reference[i];
    EXPECT_EQ(differing, 0u) << "pixels that differ from the frame before the calls";
}

}  // namespace
