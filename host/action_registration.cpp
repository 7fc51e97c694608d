// pgRegisterPlugIn: stores the host's callbacks and announces the 30 actions.
#include "host/action_catalogue.h"
#include "host/dynamic_string.h"
#include "host/plugin_abi.h"

extern "C" void call_add_action(void* callback, std::int32_t number, const char* name, const char* help,
                                const char* parameter_type, std::uint32_t count);

namespace {
// The first is called during registration; the other three are only kept.
void* add_action_slot;
void* second_callback_slot;
void* third_callback_slot;
void* fourth_callback_slot;

BSTR compose_help_string(const action_entry& entry) {
    std::size_t length = compose_help_text(entry, nullptr);
    BSTR help = SysAllocStringByteLen(nullptr, static_cast<UINT>(length));
    if (help) compose_help_text(entry, reinterpret_cast<char*>(help));
    return help;
}

void announce(const action_entry& entry) {
    // Each text lives for this one call only; a host that keeps one copies it.
    unique_bstr type(copy_dynamic_string(parameter_type_text));
    unique_bstr help(compose_help_string(entry));
    unique_bstr name(copy_dynamic_string(entry.name));
    // Without memory for its texts the action cannot be announced; the rest
    // still are, with their own numbers.
    if (!type.get() || !help.get() || !name.get()) return;
    call_add_action(add_action_slot, entry.number, dynamic_string_text(name.get()),
                    dynamic_string_text(help.get()), dynamic_string_text(type.get()), parameter_count);
}
}  // namespace

void WINAPI pgRegisterPlugIn(void* add_action, void* second, void* third, void* fourth) {
    add_action_slot = add_action;
    second_callback_slot = second;
    third_callback_slot = third;
    fourth_callback_slot = fourth;
    // A host without an add-action callback gets nothing announced rather than
    // a call to address 0.
    if (!add_action) return;
    for (const action_entry& entry : action_catalogue) announce(entry);
}
