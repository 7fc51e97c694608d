#include "viewer/member_call.h"

#include <wrl/client.h>

#include <cstring>

#include "host/dynamic_string.h"
#include "viewer/viewer_state.h"

namespace {

// The name as UTF-16 with each 8-bit character widened as it is: member names
// are ASCII, so no code page takes part.
BSTR member_name_bstr(const char* member) {
    const UINT length = static_cast<UINT>(std::strlen(member));
    BSTR name = SysAllocStringLen(nullptr, length);
    if (!name) return nullptr;
    for (UINT i = 0; i < length; ++i) name[i] = static_cast<unsigned char>(member[i]);
    return name;
}

// Empties an argument variant, which only ever holds a number or a text.
// The text goes back through SysFreeString itself rather than VariantClear,
// so that every text this code allocates is also released by this code.
void release_argument(VARIANT& argument) {
    if (argument.vt == VT_BSTR) SysFreeString(argument.bstrVal);
    VariantInit(&argument);
}

// The arguments one member call hands the control, owned by that call.
struct call_arguments {
    VARIANTARG values[2];
    call_arguments() {
        VariantInit(&values[0]);
        VariantInit(&values[1]);
    }
    ~call_arguments() {
        release_argument(values[0]);
        release_argument(values[1]);
    }
    call_arguments(const call_arguments&) = delete;
    call_arguments& operator=(const call_arguments&) = delete;
};

// Copies a VT_R8 or VT_BSTR argument variant. By hand, not with VariantCopy,
// which turns a null BSTR into an empty one: the control must see exactly
// what the variant holds. False when no memory can be had for the text.
bool copy_argument(const VARIANT& source, VARIANTARG& copy) {
    if (source.vt != VT_BSTR || !source.bstrVal) {
        std::memcpy(&copy, &source, sizeof(VARIANT));  // a number, or the null text: nothing owned
        return true;
    }
    BSTR text = SysAllocStringByteLen(reinterpret_cast<const char*>(source.bstrVal),
                                      SysStringByteLen(source.bstrVal));
    if (!text) return false;
    copy.vt = VT_BSTR;
    copy.bstrVal = text;
    return true;
}

}  // namespace

void member_call(const char* member, member_kind kind, int argument_count) {
    if (!control_object) return;  // no viewer: no COM call at all
    // Held for the length of the call: an action nested inside the control's
    // Invoke (a control that runs a message loop there) may run Init, which
    // releases the control object it replaces.
    Microsoft::WRL::ComPtr<IDispatch> control(control_object);
    unique_bstr name(member_name_bstr(member));
    if (!name.get()) return;  // without its name the member cannot be looked up

    // The call's own copies of the argument variants: a nested action clears
    // and refills those while this call is still running.
    const int count = kind == member_kind::property_put ? 1 : argument_count;
    call_arguments arguments;
    if (count >= 1 && !copy_argument(first_argument, arguments.values[count - 1])) return;
    if (count == 2 && !copy_argument(second_argument, arguments.values[0])) return;

    // Reverse order: the last argument at index 0.
    DISPID put_name = DISPID_PROPERTYPUT;
    DISPPARAMS parameters = {arguments.values, nullptr, static_cast<UINT>(count), 0};
    if (kind == member_kind::property_put) {
        parameters.rgdispidNamedArgs = &put_name;
        parameters.cNamedArgs = 1;
    }

    LPOLESTR names[1] = {name.get()};
    DISPID dispid = DISPID_UNKNOWN;
    // Looked up on every call: the control may answer differently over time.
    if (FAILED(control->GetIDsOfNames(IID_NULL, names, 1, LOCALE_SYSTEM_DEFAULT, &dispid))) return;

    EXCEPINFO exception = {};
    UINT argument_error = 0;
    const WORD flags = kind == member_kind::property_put ? DISPATCH_PROPERTYPUT : DISPATCH_METHOD;
    // Result not examined: a control's failure is silent by design.
    control->Invoke(dispid, IID_NULL, LOCALE_SYSTEM_DEFAULT, flags, &parameters, nullptr, &exception,
                    &argument_error);
    // A failing control may leave texts here; nobody reads them.
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
}

void set_number_argument(VARIANT& argument, double value) {
    release_argument(argument);
    argument.vt = VT_R8;
    argument.dblVal = value;
}

BSTR text_to_bstr(const char* text, bool& ok) {
    ok = true;
    if (!text || !*text) return nullptr;
    const std::size_t bytes = std::strlen(text);
    if (bytes > 0x7FFFFFFF) {
        ok = false;
        return nullptr;
    }
    const int length = static_cast<int>(bytes);
    const int units = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, length, nullptr, 0);
    BSTR result = units > 0 ? SysAllocStringLen(nullptr, static_cast<UINT>(units)) : nullptr;
    if (!result) {
        ok = false;
        return nullptr;
    }
    MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, length, result, units);
    return result;
}

bool set_text_argument(VARIANT& argument, const char* text) {
    release_argument(argument);
    bool ok = false;
    BSTR value = text_to_bstr(text, ok);
    if (!ok) return false;  // left VT_EMPTY
    argument.vt = VT_BSTR;
    argument.bstrVal = value;
    return true;
}
