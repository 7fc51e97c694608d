#include "tests/import_hooks.h"

#include <oleauto.h>

#include <cstring>

namespace import_hooks {

namespace {

// Import table entries are data, but the loader may leave them read-only.
void write_slot(void** slot, void* value) {
    DWORD previous = 0;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &previous);
    *slot = value;
    VirtualProtect(slot, sizeof *slot, previous, &previous);
}

}  // namespace

patch::patch(const char* function, void* replacement) {
    auto* base = reinterpret_cast<unsigned char*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0) return;

    for (auto* library = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         library->Name != 0; ++library) {
        auto** slot = reinterpret_cast<void**>(base + library->FirstThunk);
        if (library->OriginalFirstThunk == 0) {
            // No name table: the bound entries can only be matched by address.
            HMODULE module = GetModuleHandleA(reinterpret_cast<const char*>(base + library->Name));
            void* target = module ? reinterpret_cast<void*>(GetProcAddress(module, function)) : nullptr;
            for (; target && *slot; ++slot)
                if (*slot == target) slots_.push_back(slot);
            continue;
        }
        const auto* name = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + library->OriginalFirstThunk);
        for (; name->u1.AddressOfData != 0; ++name, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) continue;
            const auto* by_name = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), function) == 0) slots_.push_back(slot);
        }
    }
    if (slots_.empty()) return;
    original_ = *slots_.front();
    for (void** entry : slots_) write_slot(entry, replacement);
}

patch::~patch() {
    for (void** entry : slots_) write_slot(entry, original_);
}

namespace {

constexpr int function_count = static_cast<int>(function::count);

struct recorder {
    bool open = false;
    int calls[function_count] = {};
    int fail_at[function_count] = {};
    bool fail_all[function_count] = {};
    std::vector<event> events;
};
recorder state;

// Indexes into originals[], one per wrapped import.
enum hook_index {
    h_GlobalAlloc,
    h_GlobalFree,
    h_SysAllocStringByteLen,
    h_SysAllocStringLen,
    h_SysFreeString,
    h_CreateDIBSection,
    h_DeleteObject,
    h_CreateDCA,
    h_CreateCompatibleDC,
    h_DeleteDC,
    hook_count
};
void* originals[hook_count];

template <class Fn>
Fn real(hook_index index) {
    return reinterpret_cast<Fn>(originals[index]);
}

bool must_fail(function f) {
    const int i = static_cast<int>(f);
    const int n = ++state.calls[i];
    return state.fail_all[i] || state.fail_at[i] == n;
}

void record(event::kind_t kind, resource what, const void* handle) {
    if (kind == event::released && !handle) return;  // releasing nothing is allowed and harmless
    state.events.push_back({kind, what, handle});
}

template <class Handle>
Handle allocated_or_refused(resource what, Handle handle) {
    record(handle ? event::allocated : event::refused, what, handle);
    return handle;
}

HGLOBAL WINAPI hook_GlobalAlloc(UINT flags, SIZE_T bytes) {
    if (must_fail(function::GlobalAlloc)) {
        record(event::refused, resource::global_block, nullptr);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return allocated_or_refused(resource::global_block,
                                real<decltype(&::GlobalAlloc)>(h_GlobalAlloc)(flags, bytes));
}

HGLOBAL WINAPI hook_GlobalFree(HGLOBAL block) {
    record(event::released, resource::global_block, block);
    return real<decltype(&::GlobalFree)>(h_GlobalFree)(block);
}

BSTR WINAPI hook_SysAllocStringByteLen(LPCSTR bytes, UINT length) {
    if (must_fail(function::SysAllocStringByteLen)) {
        record(event::refused, resource::bstr, nullptr);
        return nullptr;
    }
    return allocated_or_refused(resource::bstr,
                                real<decltype(&::SysAllocStringByteLen)>(h_SysAllocStringByteLen)(bytes, length));
}

BSTR WINAPI hook_SysAllocStringLen(const OLECHAR* text, UINT length) {
    if (must_fail(function::SysAllocStringLen)) {
        record(event::refused, resource::bstr, nullptr);
        return nullptr;
    }
    return allocated_or_refused(resource::bstr,
                                real<decltype(&::SysAllocStringLen)>(h_SysAllocStringLen)(text, length));
}

void WINAPI hook_SysFreeString(BSTR text) {
    record(event::released, resource::bstr, text);
    real<decltype(&::SysFreeString)>(h_SysFreeString)(text);
}

HBITMAP WINAPI hook_CreateDIBSection(HDC dc, const BITMAPINFO* info, UINT usage, void** bits, HANDLE section,
                                     DWORD offset) {
    if (must_fail(function::CreateDIBSection)) {
        record(event::refused, resource::bitmap, nullptr);
        if (bits) *bits = nullptr;
        return nullptr;
    }
    return allocated_or_refused(resource::bitmap, real<decltype(&::CreateDIBSection)>(h_CreateDIBSection)(
                                                      dc, info, usage, bits, section, offset));
}

BOOL WINAPI hook_DeleteObject(HGDIOBJ object) {
    record(event::released, resource::bitmap, object);
    return real<decltype(&::DeleteObject)>(h_DeleteObject)(object);
}

HDC WINAPI hook_CreateDCA(LPCSTR driver, LPCSTR device, LPCSTR output, const DEVMODEA* mode) {
    if (must_fail(function::CreateDCA)) {
        record(event::refused, resource::device_context, nullptr);
        return nullptr;
    }
    return allocated_or_refused(resource::device_context,
                                real<decltype(&::CreateDCA)>(h_CreateDCA)(driver, device, output, mode));
}

HDC WINAPI hook_CreateCompatibleDC(HDC dc) {
    if (must_fail(function::CreateCompatibleDC)) {
        record(event::refused, resource::device_context, nullptr);
        return nullptr;
    }
    return allocated_or_refused(resource::device_context,
                                real<decltype(&::CreateCompatibleDC)>(h_CreateCompatibleDC)(dc));
}

BOOL WINAPI hook_DeleteDC(HDC dc) {
    record(event::released, resource::device_context, dc);
    return real<decltype(&::DeleteDC)>(h_DeleteDC)(dc);
}

struct hook {
    const char* name;
    void* replacement;
};
const hook hooks[hook_count] = {
    {"GlobalAlloc", reinterpret_cast<void*>(&hook_GlobalAlloc)},
    {"GlobalFree", reinterpret_cast<void*>(&hook_GlobalFree)},
    {"SysAllocStringByteLen", reinterpret_cast<void*>(&hook_SysAllocStringByteLen)},
    {"SysAllocStringLen", reinterpret_cast<void*>(&hook_SysAllocStringLen)},
    {"SysFreeString", reinterpret_cast<void*>(&hook_SysFreeString)},
    {"CreateDIBSection", reinterpret_cast<void*>(&hook_CreateDIBSection)},
    {"DeleteObject", reinterpret_cast<void*>(&hook_DeleteObject)},
    {"CreateDCA", reinterpret_cast<void*>(&hook_CreateDCA)},
    {"CreateCompatibleDC", reinterpret_cast<void*>(&hook_CreateCompatibleDC)},
    {"DeleteDC", reinterpret_cast<void*>(&hook_DeleteDC)},
};

}  // namespace

window::window() {
    if (state.open) return;  // nested windows would restore each other's entries out of order
    state = recorder{};
    state.open = true;
    for (int i = 0; i < hook_count; ++i) {
        patches_.push_back(std::make_unique<patch>(hooks[i].name, hooks[i].replacement));
        // Set before the first call can arrive: the wrappers forward to it.
        originals[i] = patches_.back()->original();
    }
}

window::~window() {
    // Restored in reverse, so an entry patched twice ends with its first value.
    const bool owner = !patches_.empty();
    while (!patches_.empty()) patches_.pop_back();
    if (owner) state.open = false;
}

bool window::armed() const {
    if (patches_.size() != hook_count) return false;
    for (const auto& entry : patches_)
        if (!entry->active()) return false;
    return true;
}

bool window::watches_bstrs() const {
    if (patches_.size() != hook_count) return false;
    for (const char* name : {"SysAllocStringByteLen", "SysAllocStringLen", "SysFreeString"})
        for (int i = 0; i < hook_count; ++i)
            if (std::strcmp(hooks[i].name, name) == 0 && !patches_[i]->active()) return false;
    return true;
}

void window::fail_call(function f, int n) { state.fail_at[static_cast<int>(f)] = n; }
void window::fail_every(function f) { state.fail_all[static_cast<int>(f)] = true; }
int window::calls(function f) const { return state.calls[static_cast<int>(f)]; }
const std::vector<event>& window::events() const { return state.events; }

std::set<const void*> window::live(resource r) const {
    std::set<const void*> handles;
    for (const event& e : state.events) {
        if (e.what != r) continue;
        if (e.kind == event::allocated) handles.insert(e.handle);
        if (e.kind == event::released) handles.erase(e.handle);
    }
    return handles;
}

std::vector<const void*> window::released_from_before(resource r) const {
    std::set<const void*> handed_out;
    std::vector<const void*> foreign;
    for (const event& e : state.events) {
        if (e.what != r) continue;
        if (e.kind == event::allocated) handed_out.insert(e.handle);
        if (e.kind == event::released && !handed_out.erase(e.handle)) foreign.push_back(e.handle);
    }
    return foreign;
}

}  // namespace import_hooks
