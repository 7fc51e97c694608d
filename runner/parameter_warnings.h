// Warnings about how an action's parameter is written: texts the plug-in
// takes, but most likely not as their author meant them. The plug-in gets the
// text unchanged either way. Plain C++: no Windows headers.
#pragma once

#include "runner/action_parameters.h"
#include "runner/received_catalogue.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One message (without "warning: ") for each way `parameter` of action
// `number` is likely not what its author meant; none for a good one.
std::vector<std::string> parameter_warnings(const received_catalogue& actions, std::int32_t number,
                                            std::string_view parameter);
