// Fault injection for the test programs: the plug-in's code is linked into the
// test program, so its calls to system functions go through the program's
// import address table. Swapping entries of that table routes them through
// wrappers that fail on demand and record what was allocated and released.
#pragma once

#include <windows.h>

#include <memory>
#include <set>
#include <vector>

namespace import_hooks {

// Points every import of `function` (by name, from whichever DLL) in the
// running program's import address table at `replacement` while alive, and
// restores the previous entries when destroyed.
class patch {
public:
    patch(const char* function, void* replacement);
    ~patch();
    patch(const patch&) = delete;
    patch& operator=(const patch&) = delete;

    // False when the program does not import the function at all.
    bool active() const { return !slots_.empty(); }
    // What the entries held before; null when not active.
    void* original() const { return original_; }

private:
    std::vector<void**> slots_;
    void* original_ = nullptr;
};

// The allocating functions a window can make fail.
enum class function {
    GlobalAlloc,
    SysAllocStringByteLen,
    SysAllocStringLen,
    CreateDIBSection,
    CreateDCA,
    CreateCompatibleDC,
    count
};

// What the allocations hand out and the matching releases take back.
enum class resource {
    global_block,  // GlobalAlloc / GlobalFree
    bstr,          // SysAllocStringByteLen, SysAllocStringLen / SysFreeString
    bitmap,        // CreateDIBSection / DeleteObject
    device_context,  // CreateDCA, CreateCompatibleDC / DeleteDC
    count
};

struct event {
    enum kind_t { allocated, refused, released } kind;
    resource what;
    const void* handle;  // null for a refused allocation

    bool operator==(const event& other) const {
        return kind == other.kind && what == other.what && handle == other.handle;
    }
};

// While alive, the wrappers are in the import table and record every call:
// only what happens inside the window counts. One window at a time.
class window {
public:
    window();
    ~window();
    window(const window&) = delete;
    window& operator=(const window&) = delete;

    // True when every wrapper that matters is in place.
    bool armed() const;
    // True when the BSTR functions are watched: enough for a program that
    // makes no host text blocks or snapshots.
    bool watches_bstrs() const;

    // The n-th call (from 1, counted from the window's start) of `f` fails.
    void fail_call(function f, int n);
    // Every call of `f` fails.
    void fail_every(function f);

    // Calls of `f` so far, failed ones included.
    int calls(function f) const;
    // Releases of a null handle (SysFreeString(0) etc.) are not recorded.
    const std::vector<event>& events() const;
    // Handed out in the window and not yet released.
    std::set<const void*> live(resource r) const;
    // Released in the window without having been handed out in it.
    std::vector<const void*> released_from_before(resource r) const;

private:
    std::vector<std::unique_ptr<patch>> patches_;
};

}  // namespace import_hooks
