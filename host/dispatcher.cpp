// pgExecAction and pgEditAction.
#include "host/dispatcher.h"

#include "host/dynamic_string.h"

std::int32_t exec_action(const action_handler* table, std::int32_t number, parameter_list parameters) {
    const action_entry* entry = find_action(number);
    if (!entry) return 0;
    // The handler gets its own copy. Without memory for a non-empty one it
    // does not run: with the empty text instead it would act on a value nobody
    // gave (HWindow 0 hides the viewer, Show '' empties it).
    const char* text = *parameters;
    BSTR copy = copy_dynamic_string(text);
    if (!copy && text && *text) return 1;
    BSTR result = table[entry->number - 1](dynamic_string_text(copy));
    // The copy goes first, then the result (null from every handler).
    SysFreeString(copy);
    SysFreeString(result);
    return 1;
}

std::int32_t WINAPI pgExecAction(std::int32_t number, parameter_list parameters) {
    return exec_action(dispatch_table, number, parameters);
}

std::int32_t WINAPI pgEditAction(std::int32_t number, parameter_list) {
    // No editor: only confirm the number; the parameters are never read.
    return find_action(number) ? 1 : 0;
}
