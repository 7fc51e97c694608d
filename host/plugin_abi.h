// The binary interface between the host application and the plug-in: the
// exported entry points, the handler shape and the host's add-action callback.
// Everything here is stdcall with 32-bit arguments.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdint>

// A 32-bit cell in host memory holding 0 or the address of a host text block.
using host_variable = std::uint32_t;

// The parameter list is the address of one cell holding the text's address.
using parameter_list = const char* const*;

// Every handler takes the address of a NUL-terminated text (0 = empty text)
// and returns a dynamic string (a BSTR of 8-bit characters), always null.
using action_handler = BSTR(WINAPI*)(const char* parameter);

// The host's add-action callback as the plug-in calls it: six argument words.
using add_action_callback = void(WINAPI*)(std::int32_t number, const char* name, const char* help,
                                          const char* parameter_type, std::uint32_t count,
                                          std::uint32_t count_again);

extern "C" {
void WINAPI pgInitPlugIn(std::uint32_t host_value, host_variable* title, host_variable* publisher,
                         host_variable* hint);
void WINAPI pgRegisterPlugIn(void* add_action, void* second, void* third, void* fourth);
void WINAPI pgRegisterScriptProcessor(void* routine);
void WINAPI pgRegisterInterfaceAccess(void* routine);
void WINAPI pgMessage(std::int32_t code, std::uint32_t argument);
std::int32_t WINAPI pgExecAction(std::int32_t number, parameter_list parameters);
std::int32_t WINAPI pgEditAction(std::int32_t number, parameter_list parameters);
}

// Function pointer types for a host that resolves the entry points by name.
using pgInitPlugIn_fn = decltype(&pgInitPlugIn);
using pgRegisterPlugIn_fn = decltype(&pgRegisterPlugIn);
using pgRegisterScriptProcessor_fn = decltype(&pgRegisterScriptProcessor);
using pgRegisterInterfaceAccess_fn = decltype(&pgRegisterInterfaceAccess);
using pgMessage_fn = decltype(&pgMessage);
using pgExecAction_fn = decltype(&pgExecAction);
using pgEditAction_fn = decltype(&pgEditAction);
