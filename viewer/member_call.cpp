#include "viewer/member_call.h"

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

}  // namespace

void member_call(const char* member, member_kind kind, int argument_count) {
    if (!control_object) return;  // no viewer: no COM call at all
    unique_bstr name(member_name_bstr(member));
    if (!name.get()) return;  // without its name the member cannot be looked up

    // Bitwise copies: the argument variants keep owning their BSTRs.
    VARIANTARG arguments[2];
    DISPID put_name = DISPID_PROPERTYPUT;
    DISPPARAMS parameters = {arguments, nullptr, 0, 0};
    if (kind == member_kind::property_put) {
        std::memcpy(&arguments[0], &first_argument, sizeof(VARIANT));
        parameters.cArgs = 1;
        parameters.rgdispidNamedArgs = &put_name;
        parameters.cNamedArgs = 1;
    } else {
        // Reverse order: the last argument at index 0.
        if (argument_count == 2) {
            std::memcpy(&arguments[0], &second_argument, sizeof(VARIANT));
            std::memcpy(&arguments[1], &first_argument, sizeof(VARIANT));
        } else if (argument_count == 1) {
            std::memcpy(&arguments[0], &first_argument, sizeof(VARIANT));
        }
        parameters.cArgs = static_cast<UINT>(argument_count);
    }

    LPOLESTR names[1] = {name.get()};
    DISPID dispid = DISPID_UNKNOWN;
    // Looked up on every call: the control may answer differently over time.
    if (FAILED(control_object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_SYSTEM_DEFAULT, &dispid))) return;

    EXCEPINFO exception = {};
    UINT argument_error = 0;
    const WORD flags = kind == member_kind::property_put ? DISPATCH_PROPERTYPUT : DISPATCH_METHOD;
    // Result not examined: a control's failure is silent by design.
    control_object->Invoke(dispid, IID_NULL, LOCALE_SYSTEM_DEFAULT, flags, &parameters, nullptr, &exception,
                           &argument_error);
    // A failing control may leave texts here; nobody reads them.
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
}

void set_number_argument(VARIANT& argument, double value) {
    VariantClear(&argument);
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
    VariantClear(&argument);
    bool ok = false;
    BSTR value = text_to_bstr(text, ok);
    if (!ok) return false;  // left VT_EMPTY
    argument.vt = VT_BSTR;
    argument.bstrVal = value;
    return true;
}
