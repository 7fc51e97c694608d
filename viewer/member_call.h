// Late-bound calls on the viewer control: the member is looked up by name on
// every call and invoked without asking for a result. Failures are silent.
#pragma once

#include <windows.h>
#include <oaidl.h>

enum class member_kind { method_call, property_put };

// Calls `member` (an upper-case ASCII literal) on the control object. A
// property put sends the first argument variant; a method call sends
// `argument_count` (0 to 2) arguments from the first and second variants.
void member_call(const char* member, member_kind kind, int argument_count);

// Clear the variant, then store a number as VT_R8.
void set_number_argument(VARIANT& argument, double value);

// Clear the variant, then store the text as VT_BSTR (null for the empty text).
// False when memory for the text could not be had; the variant is then empty
// and the member call that needed it must be skipped.
bool set_text_argument(VARIANT& argument, const char* text);

// The text through the ANSI code page; the empty text gives a null BSTR.
// `ok` is false when the text is not empty but no BSTR could be made.
BSTR text_to_bstr(const char* text, bool& ok);
