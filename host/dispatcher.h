// Dispatch of an action number to its handler.
#pragma once

#include "host/action_catalogue.h"
#include "host/plugin_abi.h"

// Handlers by action number: dispatch_table[n - 1] carries out action n.
extern const action_handler dispatch_table[action_count];

// pgExecAction's work over a given table (the tests pass recording handlers):
// copies the parameter text, runs the handler, releases copy and result.
std::int32_t exec_action(const action_handler* table, std::int32_t number, parameter_list parameters);
