// Actions nested inside a member call, as when the control runs a message
// loop inside one of its members (a message box, a progress loop) and the
// host keeps running the author's script: the running call keeps its
// arguments and its object, whatever the nested action does.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "host/action_handlers.h"
#include "host/plugin_abi.h"
#include "tests/fake_control_fixture.h"
#include "tests/fake_viewer_control.h"
#include "tests/import_hooks.h"
#include "tests/viewer_session.h"
#include "viewer/viewer_state.h"

using namespace viewer_session;

namespace {

using import_hooks::resource;
using strings = std::vector<std::string>;

std::int32_t run(std::int32_t number, const char* text) {
    const char* cell = text;
    return pgExecAction(number, &cell);
}

strings take_calls() {
    strings result;
    for (const auto& call : fake_control::recorded().calls) result.push_back(fake_control::describe(call));
    fake_control::reset();
    return result;
}

// Texts kept in the argument variants wait there for the next call: not a leak.
std::set<const void*> held_by_arguments() {
    std::set<const void*> held;
    for (const VARIANT* argument : {&first_argument, &second_argument})
        if (argument->vt == VT_BSTR && argument->bstrVal) held.insert(argument->bstrVal);
    return held;
}

// What an argument of the running call looked like before and after the
// nested action: its allocation, not just its text.
struct watched_argument {
    VARTYPE type_before = VT_EMPTY, type_after = VT_EMPTY;
    BSTR text = nullptr;
    std::wstring text_before, text_after;
    bool allocated_after = false;
    double number_before = 0, number_after = 0;
};

class NestedInsideAMemberCall : public FakeControlAsViewer {};

TEST_F(NestedInsideAMemberCall, RunningCallKeepsItsArgumentsAllocatedAndUnchanged) {
    const struct {
        int outer;
        const char* outer_text;
        const char* member;
        int nested;
        const char* nested_text;
        strings calls;
    } cases[] = {
        {3, "C:\\models\\outer.obj", "LOADFILE", 3, "C:\\models\\inner.obj",
         {"call LOADFILE(BSTR\"C:\\models\\outer.obj\")", "call LOADFILE(BSTR\"C:\\models\\inner.obj\")"}},
        {4, "C:\\pictures\\sky.bmp", "BKPICTURE", 4, "C:\\pictures\\sea.bmp",
         {"put BKPICTURE(BSTR\"C:\\pictures\\sky.bmp\")", "put BKPICTURE(BSTR\"C:\\pictures\\sea.bmp\")"}},
        {10, "0,128,255", "SETCOLOR", 10, "255,0,0",
         {"put BKPICTURE(BSTR null)", "call SETCOLOR(R8 0, R8 16744448)", "put BKPICTURE(BSTR null)",
          "call SETCOLOR(R8 0, R8 255)"}},
        // A text call with a number call nested: the number replaces the text in the variant.
        {3, "C:\\models\\outer.obj", "LOADFILE", 15, "25",
         {"call LOADFILE(BSTR\"C:\\models\\outer.obj\")", "put GRIDSIZE(R8 25)"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.member) + " with " + c.outer_text);
        std::vector<watched_argument> watched;
        import_hooks::window hooks;
        ASSERT_TRUE(hooks.watches_bstrs());
        fake_control::run_inside(c.member, [&](const DISPPARAMS& params) {
            watched.resize(params.cArgs);
            for (UINT i = 0; i < params.cArgs; ++i) {
                const VARIANTARG& argument = params.rgvarg[i];
                watched[i].type_before = argument.vt;
                watched[i].number_before = argument.vt == VT_R8 ? argument.dblVal : 0;
                if (argument.vt == VT_BSTR && argument.bstrVal) {
                    watched[i].text = argument.bstrVal;
                    watched[i].text_before.assign(argument.bstrVal, SysStringLen(argument.bstrVal));
                }
            }
            EXPECT_EQ(run(c.nested, c.nested_text), 1);
            for (UINT i = 0; i < params.cArgs; ++i) {
                const VARIANTARG& argument = params.rgvarg[i];
                watched[i].type_after = argument.vt;
                watched[i].number_after = argument.vt == VT_R8 ? argument.dblVal : 0;
                if (!watched[i].text) continue;
                watched[i].allocated_after = hooks.live(resource::bstr).count(watched[i].text) == 1;
                // Read only while still allocated: a freed text is not to be touched.
                if (watched[i].allocated_after)
                    watched[i].text_after.assign(watched[i].text, SysStringLen(watched[i].text));
            }
        });
        EXPECT_EQ(run(c.outer, c.outer_text), 1);
        ASSERT_FALSE(watched.empty()) << "the action never ran inside the call";
        for (const watched_argument& argument : watched) {
            EXPECT_EQ(argument.type_after, argument.type_before);
            EXPECT_EQ(argument.number_after, argument.number_before);
            if (!argument.text) continue;
            EXPECT_TRUE(argument.allocated_after) << "the running call's text was freed under it";
            EXPECT_EQ(argument.text_after, argument.text_before);
            EXPECT_EQ(hooks.live(resource::bstr).count(argument.text), 0u) << "released once the call returned";
        }
        EXPECT_EQ(take_calls(), c.calls);
        EXPECT_EQ(hooks.live(resource::bstr), held_by_arguments()) << "at most the two argument texts remain";
    }
}

TEST_F(NestedInsideAMemberCall, NullTextStaysNullAndNumbersStayBitIdentical) {
    VARTYPE text_type = VT_EMPTY;
    bool text_null = false;
    fake_control::run_inside("BKPICTURE", [&](const DISPPARAMS& params) {
        text_type = params.rgvarg[0].vt;
        text_null = params.rgvarg[0].bstrVal == nullptr;
    });
    EXPECT_EQ(run(4, ""), 1);
    EXPECT_EQ(text_type, VT_BSTR);
    EXPECT_TRUE(text_null) << "an empty text arrives as the null BSTR, not an empty one";

    for (const char* text : {"0.1", "-0", "1e308", "&HFFFFFFFF"}) {
        SCOPED_TRACE(text);
        VARIANTARG seen = {};
        fake_control::run_inside("GRIDSIZE", [&](const DISPPARAMS& params) { seen = params.rgvarg[0]; });
        EXPECT_EQ(run(15, text), 1);
        EXPECT_EQ(seen.vt, VT_R8);
        EXPECT_EQ(std::memcmp(&seen.dblVal, &first_argument.dblVal, sizeof(double)), 0);
    }
}

// ---- With the viewer in a real window ---------------------------------------------

class NestedInTheViewer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        register_fake_control();
        frame = create_host(300, 200);
        DestroyWindow(frame.rectangle);
    }
    static void TearDownTestSuite() { destroy_host(frame); }
    void SetUp() override { fake_control::reset(); }

    static host_window frame;
};
host_window NestedInTheViewer::frame;

TEST_F(NestedInTheViewer, EndInsideAMemberCallEndsTheViewerAndLaterActionsStillRun) {
    watchdog guard(30, "NestedInTheViewer.EndInsideAMemberCallEndsTheViewerAndLaterActionsStillRun");
    HWND rectangle = create_rectangle(frame.frame, 160, 120);
    std::int32_t end_result = 0, outer_result = 0;
    HWND container = nullptr;
    fake_control::run_inside("LOADFILE", [&](const DISPPARAMS&) { end_result = run(2, ""); });
    const int left = run_in_viewer(handle_text(rectangle),
                                   {{[&] {
                                        container = container_handle;
                                        outer_result = run(3, "C:\\models\\outer.obj");
                                    }},
                                    {[] { ADD_FAILURE() << "the viewer outlived End"; }}});
    EXPECT_EQ(left, 1) << "Init returned once the nested End had destroyed the container";
    EXPECT_EQ(end_result, 1);
    EXPECT_EQ(outer_result, 1);
    EXPECT_FALSE(IsWindow(container));
    fake_control::reset();
    EXPECT_EQ(run(15, "25"), 1);
    EXPECT_EQ(run(3, "C:\\models\\next.obj"), 1);
    EXPECT_EQ(take_calls(), (strings{"put GRIDSIZE(R8 25)", "call LOADFILE(BSTR\"C:\\models\\next.obj\")"}));
    DestroyWindow(rectangle);
}

TEST_F(NestedInTheViewer, SecondInitInsideAMemberCallCannotReleaseTheRunningControl) {
    watchdog guard(30, "NestedInTheViewer.SecondInitInsideAMemberCallCannotReleaseTheRunningControl");
    HWND first_rectangle = create_rectangle(frame.frame, 160, 120);
    // After End the container has let go of its control: the plug-in holds
    // the last reference, which a nested Init releases when it replaces it.
    run_in_viewer(handle_text(first_rectangle), {{[] { KP_QUELTO3D_END(nullptr); }}});
    DestroyWindow(first_rectangle);
    const long live_before = fake_control::live_objects();
    IDispatch* first_control = control_object;

    HWND second_rectangle = create_rectangle(frame.frame, 160, 120);
    import_hooks::window hooks;
    ASSERT_TRUE(hooks.watches_bstrs());
    IDispatch* second_control = nullptr;
    int left = -1;
    fake_control::run_inside("LOADFILE", [&](const DISPPARAMS&) {
        left = run_in_viewer(handle_text(second_rectangle), {{[&] {
                                                                 second_control = control_object;
                                                                 KP_QUELTO3D_END(nullptr);
                                                             }}});
    });
    EXPECT_EQ(run(3, "C:\\models\\outer.obj"), 1);
    EXPECT_EQ(left, 0);
    EXPECT_FALSE(fake_control::destroyed_while_invoked());
    EXPECT_NE(second_control, first_control);
    EXPECT_EQ(control_object, second_control);
    EXPECT_EQ(fake_control::live_objects(), live_before) << "the first control went once its call returned";
    EXPECT_EQ(hooks.live(resource::bstr), held_by_arguments());

    fake_control::reset();
    EXPECT_EQ(run(30, "1,5"), 1);
    EXPECT_EQ(take_calls(), strings{"call SCALELIGHTING(R8 1.5)"}) << "the new control answers";
    DestroyWindow(second_rectangle);
}

}  // namespace
