// Cost of one action through pgExecAction against the raw calls any
// implementation must make (a fresh name BSTR, GetIDsOfNames, Invoke, and the
// argument BSTR for a text), on the same fake control; then the private bytes
// before and after a million actions of each kind.
#include <cstdio>
#include <cstring>
#include <string>

#include "bench/bench_clock.h"
#include "host/plugin_abi.h"
#include "tests/fake_viewer_control.h"
#include "viewer/viewer_state.h"

namespace {

IDispatch* control;

void raw_call(const wchar_t* member, WORD flags, VARIANTARG* args, UINT count) {
    BSTR name = SysAllocString(member);
    DISPID dispid = 0;
    if (SUCCEEDED(control->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_SYSTEM_DEFAULT, &dispid))) {
        DISPID put = DISPID_PROPERTYPUT;
        DISPPARAMS params = {args, flags == DISPATCH_PROPERTYPUT ? &put : nullptr, count,
                             flags == DISPATCH_PROPERTYPUT ? 1u : 0u};
        EXCEPINFO exception = {};
        UINT error = 0;
        control->Invoke(dispid, IID_NULL, LOCALE_SYSTEM_DEFAULT, flags, &params, nullptr, &exception, &error);
    }
    SysFreeString(name);
}

struct action_kind {
    const char* label;
    int number;
    std::string parameter;
    void (*raw)(const char* parameter);
};

void raw_grid_size(const char*) {
    VARIANTARG value;
    value.vt = VT_R8;
    value.dblVal = 25;
    raw_call(L"GRIDSIZE", DISPATCH_PROPERTYPUT, &value, 1);
}

void raw_set_bk_color(const char*) {
    VARIANTARG picture;
    picture.vt = VT_BSTR;
    picture.bstrVal = nullptr;
    raw_call(L"BKPICTURE", DISPATCH_PROPERTYPUT, &picture, 1);
    VARIANTARG colour[2];
    colour[0].vt = VT_R8;
    colour[0].dblVal = 16744448.0;
    colour[1].vt = VT_R8;
    colour[1].dblVal = 0;
    raw_call(L"SETCOLOR", DISPATCH_METHOD, colour, 2);
}

void raw_show(const char* parameter) {
    const int length = static_cast<int>(std::strlen(parameter));
    const int units = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, parameter, length, nullptr, 0);
    VARIANTARG file;
    file.vt = VT_BSTR;
    file.bstrVal = SysAllocStringLen(nullptr, units);
    MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, parameter, length, file.bstrVal, units);
    raw_call(L"LOADFILE", DISPATCH_METHOD, &file, 1);
    SysFreeString(file.bstrVal);
}

}  // namespace

int main() {
    CoInitialize(nullptr);
    fake_control::set_recording(false);
    control = fake_control::create();
    control_object = control;

    const std::string path = "C:\\Users\\author\\Documents\\Models\\" + std::string(100 - 38, 'm') + ".obj";
    const action_kind kinds[] = {
        {"GridSize '25'", 15, "25", raw_grid_size},
        {"SetBKColor '0,128,255'", 10, "0,128,255", raw_set_bk_color},
        {"Show (100-character path)", 3, path, raw_show},
    };

    std::printf("action cost: pgExecAction against the raw calls, median of 15 interleaved rounds\n");
    std::printf("%-28s %12s %12s %8s\n", "action", "plug-in ns", "raw ns", "ratio");
    const int iterations = 20000;
    for (const action_kind& kind : kinds) {
        const char* cell = kind.parameter.c_str();
        std::vector<double> ours, raw;
        for (int round = 0; round < 15; ++round) {
            ours.push_back(nanoseconds_per(iterations, [&] { pgExecAction(kind.number, &cell); }));
            raw.push_back(nanoseconds_per(iterations, [&] { kind.raw(cell); }));
        }
        const double o = median(ours), r = median(raw);
        std::printf("%-28s %12.0f %12.0f %8.2f\n", kind.label, o, r, o / r);
    }

    std::printf("\nmemory: private bytes around 1,000,000 actions of each kind\n");
    for (const action_kind& kind : kinds) {
        const char* cell = kind.parameter.c_str();
        for (int i = 0; i < 10000; ++i) pgExecAction(kind.number, &cell);  // warm caches and heaps
        const SIZE_T before = private_bytes();
        for (int i = 0; i < 1000000; ++i) pgExecAction(kind.number, &cell);
        const SIZE_T after = private_bytes();
        std::printf("%-28s before %8lu KiB, after %8lu KiB, growth %+ld KiB\n", kind.label,
                    static_cast<unsigned long>(before / 1024), static_cast<unsigned long>(after / 1024),
                    static_cast<long>(after / 1024) - static_cast<long>(before / 1024));
    }

    control_object = nullptr;
    control->Release();
    CoUninitialize();
    return 0;
}
