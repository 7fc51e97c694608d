// Init, End and Resize with real windows under the virtual display, the
// recording fake control created by ATL from the viewer's ProgID.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "host/action_handlers.h"
#include "tests/fake_viewer_control.h"
#include "tests/viewer_session.h"
#include "viewer/startup_sequence.h"
#include "viewer/viewer_state.h"

using namespace viewer_session;

namespace {

using fake_control::describe;

using calls = std::vector<std::string>;

calls recorded_calls() {
    calls result;
    for (const auto& call : fake_control::recorded().calls) result.push_back(describe(call));
    return result;
}

std::string client_size_of(HWND window) {
    RECT rect = {};
    GetClientRect(window, &rect);
    return std::to_string(rect.right) + "x" + std::to_string(rect.bottom);
}

std::string state_size() {
    return std::to_string(container_size.width) + "x" + std::to_string(container_size.height);
}

std::string class_of(HWND window) {
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

std::string text_of(HWND window) {
    char text[128] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

// Messages sent to this thread's windows while it lives, each with the number
// of member calls the fake had received by then. A thread hook sees them
// before any window procedure does.
class message_spy {
public:
    struct sent {
        HWND window;
        UINT message;
        WPARAM wparam;
        std::size_t calls_before;
    };
    explicit message_spy(UINT watched) : watched_(watched) {
        active = this;
        hook_ = SetWindowsHookExA(WH_CALLWNDPROC, &hook_procedure, nullptr, GetCurrentThreadId());
    }
    ~message_spy() {
        UnhookWindowsHookEx(hook_);
        active = nullptr;
    }
    message_spy(const message_spy&) = delete;
    message_spy& operator=(const message_spy&) = delete;

    bool hooked() const { return hook_ != nullptr; }
    std::vector<sent> to(HWND window) const {
        std::vector<sent> result;
        for (const sent& entry : seen_)
            if (entry.window == window) result.push_back(entry);
        return result;
    }

private:
    static LRESULT CALLBACK hook_procedure(int code, WPARAM wparam, LPARAM lparam) {
        const auto* message = reinterpret_cast<const CWPSTRUCT*>(lparam);
        if (code == HC_ACTION && active && message->message == active->watched_)
            active->seen_.push_back({message->hwnd, message->message, message->wParam,
                                     fake_control::recorded().calls.size()});
        return CallNextHookEx(nullptr, code, wparam, lparam);
    }
    static message_spy* active;
    UINT watched_;
    HHOOK hook_ = nullptr;
    std::vector<sent> seen_;
};
message_spy* message_spy::active = nullptr;

class Container : public ::testing::Test {
protected:
    // One frame for the whole suite: destroying a visible top-level window
    // takes 2 s under Wine on a display without a window manager, destroying
    // a child takes nothing. Each test gets a rectangle of its own.
    static void SetUpTestSuite() {
        register_fake_control();
        frame = create_host(400, 300);
        DestroyWindow(frame.rectangle);
    }
    static void TearDownTestSuite() { destroy_host(frame); }
    void SetUp() override { fake_control::reset(); }
    void TearDown() override { destroy_rectangle(); }

    // A fresh rectangle at 10,10 of the shared frame.
    void create_rectangle(int width, int height) {
        host.frame = frame.frame;
        host.rectangle = viewer_session::create_rectangle(frame.frame, width, height);
        ASSERT_NE(host.rectangle, nullptr);
    }
    // Takes any containers in it along.
    void destroy_rectangle() {
        if (IsWindow(host.rectangle)) DestroyWindow(host.rectangle);
        host.rectangle = nullptr;
        pump_messages(10);
    }

    // Two steps that only count. Posted one after the other, so a loop that
    // makes exactly one pass dispatches the first and returns before the second.
    std::vector<step> two_probes() {
        return {{[this] { ++probes_run; }}, {[this] { ++probes_run; }}};
    }

    static host_window frame;
    host_window host;
    int probes_run = 0;
};
host_window Container::frame;

// Runs first in this program: the state is as the library was loaded.
TEST_F(Container, EndAndResizeBeforeAnyInitTouchNoWindow) {
    if (host_rectangle || container_handle || control_object) GTEST_SKIP() << "an earlier test has run Init";
    create_rectangle(200, 150);
    const std::string frame_before = placement(host.frame, HWND_DESKTOP);
    KP_QUELTO3D_END(nullptr);
    KP_QUELTO3D_RESIZE(nullptr);
    KP_QUELTO3D_GRIDSIZE("5");
    EXPECT_EQ(state_size(), "0x0");
    EXPECT_EQ(placement(host.frame, HWND_DESKTOP), frame_before);
    EXPECT_EQ(placement(host.rectangle, host.frame), "10,10 200x150");
    EXPECT_TRUE(IsWindowVisible(host.rectangle));
    EXPECT_TRUE(fake_control::recorded().lookups.empty()) << "no control object: no COM call";
}

TEST_F(Container, CoversTheRectangleAsAVisibleChildDialogHostingTheControl) {
    watchdog guard(20, "Container.CoversTheRectangleAsAVisibleChildDialogHostingTheControl");
    // Width and height differ, so a swap shows.
    create_rectangle(321, 203);
    HWND container = nullptr, child = nullptr, stored_child = nullptr, parent = nullptr;
    std::string container_place, container_client, child_place, child_class, child_text, dialog_class, size;
    LONG style = 0, ex_style = 0, child_style = 0;
    BOOL container_visible = FALSE, child_visible = FALSE;
    IDispatch* control = nullptr;
    const int left = run_in_viewer(handle_text(host.rectangle),
                                   {{[&] {
                                        container = container_handle;
                                        parent = GetParent(container);
                                        container_place = placement(container, host.rectangle);
                                        container_client = client_size_of(container);
                                        dialog_class = class_of(container);
                                        style = GetWindowLongA(container, GWL_STYLE);
                                        ex_style = GetWindowLongA(container, GWL_EXSTYLE);
                                        container_visible = IsWindowVisible(container);
                                        child = GetDlgItem(container, 1001);
                                        stored_child = atl_host_window;
                                        child_place = placement(child, container);
                                        child_class = class_of(child);
                                        child_text = text_of(child);
                                        child_style = GetWindowLongA(child, GWL_STYLE);
                                        child_visible = IsWindowVisible(child);
                                        size = state_size();
                                        control = control_object;
                                    }},
                                    {[] { KP_QUELTO3D_END(nullptr); }}});
    EXPECT_EQ(left, 0);
    ASSERT_NE(container, nullptr);
    EXPECT_EQ(parent, host.rectangle);
    EXPECT_EQ(container_place, "0,0 321x203") << "pixels, not dialog units";
    EXPECT_EQ(container_client, "321x203") << "no frame";
    EXPECT_EQ(size, "321x203");
    EXPECT_EQ(dialog_class, "#32770");
    EXPECT_EQ(style, LONG(WS_CHILD | WS_VISIBLE | DS_SETFONT | DS_NOFAILCREATE | DS_3DLOOK)) << std::hex << style;
    EXPECT_EQ(ex_style, 0) << std::hex << ex_style;
    EXPECT_TRUE(container_visible);

    ASSERT_NE(child, nullptr);
    EXPECT_EQ(stored_child, child);
    EXPECT_EQ(child_class, "AtlAxWin");
    EXPECT_EQ(child_text, "QUELTO3D.Quelto3dCtrl.1");
    EXPECT_EQ(child_style & (WS_CHILD | WS_VISIBLE | WS_POPUP), LONG(WS_CHILD | WS_VISIBLE)) << std::hex << child_style;
    EXPECT_TRUE(child_visible);
    EXPECT_EQ(child_place, "0,0 321x203");
    EXPECT_NE(control, nullptr) << "ATL created the fake from the ProgID";

    EXPECT_FALSE(IsWindow(container)) << "destroyed by End";
    EXPECT_FALSE(IsWindow(child));
}

TEST_F(Container, MakesTheStartUpSequenceBeforeShowingTheContainer) {
    watchdog guard(20, "Container.MakesTheStartUpSequenceBeforeShowingTheContainer");
    const std::string guid = control_init_guid;
    ASSERT_EQ(guid.size(), 38u);
    GUID parsed;
    EXPECT_EQ(IIDFromString(std::wstring(guid.begin(), guid.end()).c_str(), &parsed), S_OK) << guid;

    create_rectangle(200, 150);
    message_spy shows(WM_SHOWWINDOW);
    ASSERT_TRUE(shows.hooked());
    calls at_first_step;
    std::size_t lookups_at_first_step = 0;
    HWND container = nullptr;
    run_in_viewer(handle_text(host.rectangle), {{[&] {
                                                    container = container_handle;
                                                    at_first_step = recorded_calls();
                                                    lookups_at_first_step = fake_control::recorded().lookups.size();
                                                }},
                                                {[] { KP_QUELTO3D_END(nullptr); }}});
    const calls expected = {
        "call INIT(BSTR\"" + guid + "\", BSTR\".\\Plugins\")",
        "put GRIDMODE(R8 2)",
        "put INERTIALROTATION(R8 0)",
        "put LIGHTMODE(R8 1)",
        "put LEFTMBUTTONMODE(R8 1)",
        "put RIGHTMBUTTONMODE(R8 2)",
        "call SETCOLOR(R8 0, R8 16711680)",
    };
    EXPECT_EQ(at_first_step, expected);
    EXPECT_EQ(lookups_at_first_step, expected.size()) << "each call looks its name up anew";

    // The template has no WS_VISIBLE: the only show is Init's, after the sequence.
    const auto to_container = shows.to(container);
    ASSERT_FALSE(to_container.empty());
    EXPECT_EQ(to_container[0].wparam, WPARAM(TRUE));
    EXPECT_EQ(to_container[0].calls_before, expected.size());
}

TEST_F(Container, InitWithoutAWindowReturnsAfterOnePassAndDropsTheHeldControl) {
    watchdog guard(20, "Container.InitWithoutAWindowReturnsAfterOnePassAndDropsTheHeldControl");
    create_rectangle(200, 150);
    run_in_viewer(handle_text(host.rectangle), {{[] { KP_QUELTO3D_END(nullptr); }}});
    ASSERT_NE(control_object, nullptr);
    const long live_while_held = fake_control::live_objects();

    HWND gone = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    DestroyWindow(gone);
    const std::string frame_before = placement(host.frame, HWND_DESKTOP);
    for (const std::string& parameter : {std::string("0"), std::string("abc"), handle_text(gone)}) {
        SCOPED_TRACE("Init '" + parameter + "'");
        pump_messages(10);  // nothing of earlier windows left queued ahead of the probes
        fake_control::reset();
        probes_run = 0;
        const int left = run_in_viewer(parameter, two_probes());
        EXPECT_EQ(probes_run, 1) << "one pass";
        EXPECT_EQ(left, 1);
        EXPECT_EQ(container_handle, nullptr);
        EXPECT_EQ(atl_host_window, nullptr);
        EXPECT_EQ(control_object, nullptr);
        EXPECT_EQ(fake_control::live_objects(), live_while_held - 1) << "the earlier Init's control was released";
        EXPECT_EQ(state_size(), "0x0");

        KP_QUELTO3D_GRIDSIZE("5");
        KP_QUELTO3D_RESIZE(nullptr);
        KP_QUELTO3D_END(nullptr);
        EXPECT_TRUE(fake_control::recorded().lookups.empty()) << "no control object: no COM call";
        EXPECT_EQ(placement(host.frame, HWND_DESKTOP), frame_before);
        EXPECT_EQ(placement(host.rectangle, host.frame), "10,10 200x150");
    }
}

TEST_F(Container, ZeroHighRectangleReturnsAtOnceAndResizeFitsTheContainerLater) {
    watchdog guard(20, "Container.ZeroHighRectangleReturnsAtOnceAndResizeFitsTheContainerLater");
    create_rectangle(230, 0);
    pump_messages(10);
    const int left = run_in_viewer(handle_text(host.rectangle), two_probes());
    EXPECT_EQ(probes_run, 1) << "one pass";
    EXPECT_EQ(left, 1);
    const HWND container = container_handle;
    ASSERT_TRUE(IsWindow(container)) << "the container stays";
    EXPECT_EQ(GetParent(container), host.rectangle);
    EXPECT_EQ(placement(container, host.rectangle), "0,0 230x0");
    EXPECT_EQ(fake_control::recorded().calls.size(), 7u) << "the control is set up all the same";

    SetWindowPos(host.rectangle, nullptr, 0, 0, 260, 170, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    KP_QUELTO3D_RESIZE(nullptr);
    EXPECT_EQ(state_size(), "260x170");
    EXPECT_EQ(placement(container, host.rectangle), "0,0 260x170");
    EXPECT_EQ(placement(GetDlgItem(container, 1001), container), "0,0 260x170");
}

TEST_F(Container, ZeroWideRectangleKeepsTheLoopRunningUntilEnd) {
    watchdog guard(20, "Container.ZeroWideRectangleKeepsTheLoopRunningUntilEnd");
    create_rectangle(0, 150);
    std::string at_start, grown, child_grown;
    const int left = run_in_viewer(handle_text(host.rectangle),
                                   {{[&] { at_start = placement(container_handle, host.rectangle); }},
                                    // The delay lets the loop idle through many passes first.
                                    {[&] {
                                         SetWindowPos(host.rectangle, nullptr, 0, 0, 180, 150,
                                                      SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
                                         KP_QUELTO3D_RESIZE(nullptr);
                                         grown = placement(container_handle, host.rectangle);
                                         child_grown = placement(GetDlgItem(container_handle, 1001), container_handle);
                                     },
                                     50},
                                    {[] { KP_QUELTO3D_END(nullptr); }}});
    EXPECT_EQ(left, 0);
    EXPECT_EQ(at_start, "0,0 0x150");
    EXPECT_EQ(grown, "0,0 180x150");
    EXPECT_EQ(child_grown, "0,0 180x150");
}

TEST_F(Container, EndLeavesTheControlHeldAndASecondEndDoesNothing) {
    watchdog guard(20, "Container.EndLeavesTheControlHeldAndASecondEndDoesNothing");
    create_rectangle(200, 150);
    HWND container = nullptr;
    IDispatch* control = nullptr;
    const int left = run_in_viewer(handle_text(host.rectangle), {{[&] {
                                                                     container = container_handle;
                                                                     control = control_object;
                                                                     EnableWindow(host.rectangle, FALSE);
                                                                     KP_QUELTO3D_END(nullptr);
                                                                 }},
                                                                 {[this] { ++probes_run; }}});
    EXPECT_EQ(left, 1) << "Init returned right after End";
    EXPECT_FALSE(IsWindow(container));
    EXPECT_TRUE(IsWindowEnabled(host.rectangle)) << "End enables the container's parent";
    EXPECT_EQ(container_handle, container) << "the stale handle is kept";
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control_object, control);

    EnableWindow(host.rectangle, FALSE);
    KP_QUELTO3D_END(nullptr);
    EXPECT_FALSE(IsWindowEnabled(host.rectangle)) << "a second End reaches no window";
    EXPECT_EQ(placement(host.rectangle, host.frame), "10,10 200x150");

    fake_control::reset();
    KP_QUELTO3D_GRIDSIZE("5");
    EXPECT_EQ(recorded_calls(), calls{"put GRIDSIZE(R8 5)"}) << "member calls still reach the held control";
}

TEST_F(Container, NestedInitReplacesTheControlAndEndingItEndsBothLoops) {
    watchdog guard(20, "Container.NestedInitReplacesTheControlAndEndingItEndsBothLoops");
    create_rectangle(200, 150);
    HWND first = nullptr, second = nullptr;
    IDispatch *first_control = nullptr, *second_control = nullptr;
    long live_first = 0, live_second = 0;
    std::size_t calls_first = 0, calls_second = 0;
    BOOL first_alive_inside = FALSE, second_visible = FALSE;
    HWND second_parent = nullptr;
    int inner_left = -1;
    // A step that calls Init again, as a host script would from inside the
    // loop. The inner run takes over the harness's step queue.
    run_in_viewer(handle_text(host.rectangle),
                  {{[&] {
                      first = container_handle;
                      first_control = control_object;
                      live_first = fake_control::live_objects();
                      calls_first = fake_control::recorded().calls.size();
                      inner_left = run_in_viewer(handle_text(host.rectangle),
                                                 {{[&] {
                                                      second = container_handle;
                                                      second_control = control_object;
                                                      live_second = fake_control::live_objects();
                                                      calls_second = fake_control::recorded().calls.size();
                                                      first_alive_inside = IsWindowVisible(first);
                                                      second_visible = IsWindowVisible(second);
                                                      second_parent = GetParent(second);
                                                  }},
                                                  {[] { KP_QUELTO3D_END(nullptr); }},
                                                  {[this] { ++probes_run; }}});
                  }}});
    // Reaching here means the outer loop ended too: it reads the stored handle.
    EXPECT_EQ(inner_left, 1);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    EXPECT_EQ(second_parent, host.rectangle);
    EXPECT_TRUE(second_visible);
    EXPECT_TRUE(first_alive_inside);
    EXPECT_NE(second_control, first_control);
    EXPECT_EQ(live_second, live_first + 1) << "the first control lives on in its own container";
    EXPECT_EQ(calls_second - calls_first, 7u) << "the new control got its own start-up sequence";

    EXPECT_FALSE(IsWindow(second));
    EXPECT_TRUE(IsWindow(first)) << "End destroys only the stored container";
    EXPECT_EQ(placement(first, host.rectangle), "0,0 200x150");
    EXPECT_EQ(control_object, second_control);

    // The first control goes with its window only if Init let go of it.
    destroy_rectangle();
    EXPECT_EQ(fake_control::live_objects(), live_first);
}

TEST_F(Container, ViewerEndsWhenItsWindowGoesAnotherWay) {
    struct way {
        const char* name;
        void (*end)(HWND container, HWND rectangle);
        std::vector<WPARAM> closes;  // WM_CLOSE messages the container receives
    };
    const way ways[] = {
        // The callback forwards the close, then the dialog procedure ends the container as End does.
        {"system close", [](HWND container, HWND) { SendMessageA(container, WM_SYSCOMMAND, SC_CLOSE, 0); },
         {SC_CLOSE, 0}},
        {"host rectangle destroyed", [](HWND, HWND rectangle) { DestroyWindow(rectangle); }, {}},
    };
    for (const way& way : ways) {
        SCOPED_TRACE(way.name);
        watchdog guard(20, way.name);
        create_rectangle(200, 150);
        message_spy closes(WM_CLOSE);
        HWND container = nullptr;
        probes_run = 0;
        const int left = run_in_viewer(handle_text(host.rectangle), {{[&] {
                                                                        container = container_handle;
                                                                        way.end(container, host.rectangle);
                                                                    }},
                                                                    {[this] { ++probes_run; }}});
        EXPECT_EQ(left, 1) << "Init returned right away";
        EXPECT_FALSE(IsWindow(container));
        std::vector<WPARAM> seen;
        for (const auto& close : closes.to(container)) seen.push_back(close.wparam);
        EXPECT_EQ(seen, way.closes);
        destroy_rectangle();
    }
}

TEST_F(Container, QuitMessageDoesNotEndTheViewer) {
    watchdog guard(20, "Container.QuitMessageDoesNotEndTheViewer");
    create_rectangle(200, 150);
    bool quit_still_queued = true;
    BOOL visible = FALSE;
    const int left = run_in_viewer(handle_text(host.rectangle),
                                   {{[] { PostQuitMessage(0); }},
                                    {[&] {
                                         MSG message;
                                         quit_still_queued = PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE);
                                         visible = IsWindowVisible(container_handle);
                                         KP_QUELTO3D_END(nullptr);
                                     },
                                     50}});
    EXPECT_EQ(left, 0);
    EXPECT_FALSE(quit_still_queued) << "the loop took WM_QUIT and went on";
    EXPECT_TRUE(visible);
}

}  // namespace
