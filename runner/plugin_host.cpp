#include "runner/plugin_host.h"

#include "runner/excerpt.h"

#include <ole2.h>

#include <vector>

namespace {
// The add-action callback carries no context of ours: the catalogue being
// filled is reachable only through this, and only during registration.
received_catalogue* receiving_catalogue;
bool receiving_failed;

std::string text_or_empty(const char* text) { return text ? text : ""; }

void WINAPI add_action(std::int32_t number, const char* name, const char* help, const char* parameter_type,
                       std::uint32_t count, std::uint32_t count_again) {
    if (!receiving_catalogue) return;
    // The texts are freed as soon as this returns: copy them now. No
    // exception may unwind through the plug-in's frames.
    try {
        receiving_catalogue->push_back({number, text_or_empty(name), text_or_empty(help),
                                        text_or_empty(parameter_type), count, count_again});
    } catch (...) {
        receiving_failed = true;
    }
}
[[maybe_unused]] constexpr add_action_callback add_action_has_host_shape = &add_action;

// The plug-in stores the other three callbacks and never calls them.
void WINAPI unused_callback() {}

// Copies the text of a host text block and frees the block: it is ours now.
std::string take_host_text(host_variable& variable) {
    std::string text;
    if (variable != 0) {
        text = reinterpret_cast<const char*>(static_cast<std::uintptr_t>(variable));
        GlobalFree(reinterpret_cast<HGLOBAL>(static_cast<std::uintptr_t>(variable)));
        variable = 0;
    }
    return text;
}

template <typename Function>
Function entry_point(HMODULE module, const char* name, std::vector<std::string>& missing) {
    FARPROC address = GetProcAddress(module, name);
    if (!address) missing.emplace_back(name);
    return reinterpret_cast<Function>(reinterpret_cast<void*>(address));
}
}  // namespace

std::unique_ptr<plugin_host> plugin_host::open(const std::string& path, std::string& error) {
    std::unique_ptr<plugin_host> host(new plugin_host);
    host->ole_initialised_ = SUCCEEDED(OleInitialize(nullptr));

    // No error box for a library that cannot be loaded: the message is ours.
    UINT old_mode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    // Libraries the plug-in needs are looked for beside it.
    host->module_ = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    DWORD load_error = GetLastError();
    SetErrorMode(old_mode);
    if (!host->module_) {
        error = "cannot load plug-in " + quoted(path) + ": " + windows_error_text(load_error);
        return nullptr;
    }

    std::vector<std::string> missing;
    auto init = entry_point<pgInitPlugIn_fn>(host->module_, "_pgInitPlugIn@16", missing);
    auto register_plugin = entry_point<pgRegisterPlugIn_fn>(host->module_, "_pgRegisterPlugIn@16", missing);
    host->exec_action_ = entry_point<pgExecAction_fn>(host->module_, "_pgExecAction@8", missing);
    // Not called by the runner, but a host requires it of every plug-in.
    entry_point<pgEditAction_fn>(host->module_, "_pgEditAction@8", missing);
    if (!missing.empty()) {
        error = quoted(path) + " is not a plug-in: it does not export ";
        for (std::size_t i = 0; i < missing.size(); ++i) error += (i ? ", " : "") + missing[i];
        return nullptr;
    }

    host_variable title = 0, publisher = 0, hint = 0;
    init(0, &title, &publisher, &hint);
    host->identity_ = {take_host_text(title), take_host_text(publisher), take_host_text(hint)};

    receiving_catalogue = &host->actions_;
    receiving_failed = false;
    register_plugin(reinterpret_cast<void*>(&add_action), reinterpret_cast<void*>(&unused_callback),
                    reinterpret_cast<void*>(&unused_callback), reinterpret_cast<void*>(&unused_callback));
    receiving_catalogue = nullptr;
    if (receiving_failed) {
        error = "out of memory while " + quoted(path) + " registered its actions";
        return nullptr;
    }
    return host;
}

plugin_host::~plugin_host() {
    if (module_) FreeLibrary(module_);
    if (ole_initialised_) OleUninitialize();
}

std::int32_t plugin_host::run_action(std::int32_t number, const std::string& parameter) const {
    const char* cell = parameter.empty() ? nullptr : parameter.c_str();
    return exec_action_(number, &cell);
}

std::string windows_error_text(DWORD code) {
    char* buffer = nullptr;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        code, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
    std::string text(buffer ? buffer : "", length);
    LocalFree(buffer);
    // One line: the system's texts end in a full stop and a line break.
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' ||
                             text.back() == '.'))
        text.pop_back();
    if (text.empty()) text = "unknown error";
    return text + " (error " + std::to_string(code) + ")";
}

std::string file_beside_runner(const char* name) {
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        DWORD length = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length < buffer.size()) {
            std::string path(buffer.data(), length);
            std::size_t slash = path.find_last_of("\\/");
            return (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + name;
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::string default_plugin_path() { return file_beside_runner("VasaQuelto3D.dll"); }
