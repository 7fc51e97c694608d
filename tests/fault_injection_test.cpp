// Allocation failures injected through the program's import table: each must
// give the defined silent result, and whatever was allocated must be released
// (or handed to its owner).
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "host/action_catalogue.h"
#include "host/action_handlers.h"
#include "host/dispatcher.h"
#include "host/host_text_block.h"
#include "tests/fake_control_fixture.h"
#include "tests/fake_viewer_control.h"
#include "tests/import_hooks.h"
#include "tests/scratch_files.h"
#include "viewer/snapshot.h"
#include "viewer/viewer_state.h"

namespace import_hooks {
void PrintTo(const event& e, std::ostream* out) {
    static const char* const kinds[] = {"allocated", "refused", "released"};
    *out << kinds[e.kind] << " " << static_cast<int>(e.what) << " " << e.handle;
}
}  // namespace import_hooks

namespace {

using import_hooks::event;
using import_hooks::function;
using import_hooks::resource;

const void* as_handle(host_variable variable) { return reinterpret_cast<const void*>(variable); }
std::string block_text(host_variable variable) {
    return variable ? std::string(reinterpret_cast<const char*>(variable)) : std::string();
}

// ---- Host text blocks ----------------------------------------------------------

const char* const identity_texts[3] = {"VasaQuelto3D 1.0.2a", "Ivel Tarsum", "Quelto3D Viewer for Pagora"};

TEST(HostTextBlockFaults, RefusedBlockLeavesOnlyItsVariableAtZeroAfterFreeingTheOldOne) {
    for (int failing = 0; failing < 3; ++failing) {
        SCOPED_TRACE("block " + std::to_string(failing) + " refused");
        host_variable variables[3], old[3];
        for (int i = 0; i < 3; ++i)
            variables[i] = old[i] =
                static_cast<host_variable>(reinterpret_cast<std::uintptr_t>(GlobalAlloc(GPTR, 4096)));
        {
            import_hooks::window hooks;
            ASSERT_TRUE(hooks.armed());
            hooks.fail_call(function::GlobalAlloc, failing + 1);
            pgInitPlugIn(7, &variables[0], &variables[1], &variables[2]);

            // Each variable's old block goes first, also the one whose new block is refused.
            std::vector<event> expected;
            for (int i = 0; i < 3; ++i) {
                expected.push_back({event::released, resource::global_block, as_handle(old[i])});
                expected.push_back(i == failing ? event{event::refused, resource::global_block, nullptr}
                                                : event{event::allocated, resource::global_block,
                                                        as_handle(variables[i])});
            }
            EXPECT_EQ(hooks.events(), expected);

            // The blocks handed over belong to the host; nothing else was kept.
            std::set<const void*> handed_over;
            for (int i = 0; i < 3; ++i)
                if (i != failing) handed_over.insert(as_handle(variables[i]));
            EXPECT_EQ(hooks.live(resource::global_block), handed_over);
        }
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(block_text(variables[i]), i == failing ? "" : identity_texts[i]) << "variable " << i;
        for (host_variable& variable : variables) FreeHostString(&variable);
    }
}

TEST(HostTextBlockFaults, NoMemoryAtAllLeavesEveryVariableAtZero) {
    host_variable title = 0, publisher = 0, hint = 0;
    import_hooks::window hooks;
    ASSERT_TRUE(hooks.armed());
    hooks.fail_every(function::GlobalAlloc);
    pgInitPlugIn(7, &title, &publisher, &hint);
    EXPECT_EQ(title, 0u);
    EXPECT_EQ(publisher, 0u);
    EXPECT_EQ(hint, 0u);
    EXPECT_EQ(hooks.calls(function::GlobalAlloc), 3);
    EXPECT_TRUE(hooks.live(resource::global_block).empty());
}

// ---- Registration --------------------------------------------------------------

struct announcement {
    int number;
    std::string name, help, type;
    std::uint32_t count, count_again;
};
std::vector<announcement> announced;

void WINAPI collect_action(std::int32_t number, const char* name, const char* help, const char* type,
                           std::uint32_t count, std::uint32_t count_again) {
    announced.push_back({number, name, help, type, count, count_again});
}

std::string expected_help(const action_entry& entry) {
    std::string text(compose_help_text(entry, nullptr), '\0');
    compose_help_text(entry, &text[0]);
    return text;
}

TEST(RegistrationFaults, ActionWhoseTextCannotBeMadeIsLeftOutAndNoTextIsLeftAllocated) {
    constexpr int texts_per_action = 3;  // parameter type, help and name
    for (int k = 1; k <= action_count * texts_per_action; ++k) {
        SCOPED_TRACE("text allocation " + std::to_string(k) + " refused");
        announced.clear();
        import_hooks::window hooks;
        ASSERT_TRUE(hooks.armed());
        hooks.fail_call(function::SysAllocStringByteLen, k);
        pgRegisterPlugIn(reinterpret_cast<void*>(&collect_action), nullptr, nullptr, nullptr);

        const int missing = (k - 1) / texts_per_action + 1;
        std::vector<int> numbers, expected_numbers;
        for (const announcement& a : announced) numbers.push_back(a.number);
        for (int n = 1; n <= action_count; ++n)
            if (n != missing) expected_numbers.push_back(n);
        ASSERT_EQ(numbers, expected_numbers);

        for (const announcement& a : announced) {
            const action_entry& entry = action_catalogue[a.number - 1];
            EXPECT_EQ(a.name, entry.name);
            EXPECT_EQ(a.help, expected_help(entry));
            EXPECT_EQ(a.type, "ACTIONPARAM_ALPHA");
            EXPECT_EQ(a.count, 1u);
            EXPECT_EQ(a.count_again, 1u);
        }
        EXPECT_TRUE(hooks.live(resource::bstr).empty()) << "texts of the skipped action or the others not freed";
        EXPECT_TRUE(hooks.released_from_before(resource::bstr).empty());
    }
}

TEST(RegistrationFaults, NoMemoryAtAllAnnouncesNothing) {
    announced.clear();
    import_hooks::window hooks;
    ASSERT_TRUE(hooks.armed());
    hooks.fail_every(function::SysAllocStringByteLen);
    pgRegisterPlugIn(reinterpret_cast<void*>(&collect_action), nullptr, nullptr, nullptr);
    EXPECT_TRUE(announced.empty());
    EXPECT_GE(hooks.calls(function::SysAllocStringByteLen), action_count);
    EXPECT_TRUE(hooks.live(resource::bstr).empty());
}

// ---- Dispatch and command actions -------------------------------------------------

using strings = std::vector<std::string>;

std::int32_t run(std::int32_t number, const char* text) {
    const char* cell = text;
    return pgExecAction(number, &cell);
}

// A text kept in an argument variant waits there for the next call: not a leak.
std::set<const void*> held_by_arguments() {
    std::set<const void*> held;
    for (const VARIANT* argument : {&first_argument, &second_argument})
        if (argument->vt == VT_BSTR && argument->bstrVal) held.insert(argument->bstrVal);
    return held;
}

class ViewerFaults : public FakeControlAsViewer {
protected:
    // Calls since the last take, described; look-ups in `names`.
    strings take(strings* names = nullptr) {
        strings result;
        for (const auto& call : fake_control::recorded().calls) result.push_back(fake_control::describe(call));
        if (names) {
            names->clear();
            for (const auto& lookup : fake_control::recorded().lookups)
                names->insert(names->end(), lookup.names.begin(), lookup.names.end());
        }
        fake_control::reset();
        return result;
    }
};

const char* received_parameter;
BSTR WINAPI keep_parameter(const char* parameter) {
    received_parameter = parameter;
    // A result the dispatcher must still release when the copy failed.
    return SysAllocStringByteLen("result", 6);
}

TEST(ParameterCopyFaults, NoCopyOfANonEmptyTextRunsNoHandler) {
    action_handler table[action_count];
    for (action_handler& handler : table) handler = &keep_parameter;
    const char* cell = "25";
    {
        received_parameter = "not called";
        import_hooks::window hooks;
        ASSERT_TRUE(hooks.armed());
        hooks.fail_call(function::SysAllocStringByteLen, 1);
        EXPECT_EQ(exec_action(table, 15, &cell), 1) << "still a valid number";
        EXPECT_STREQ(received_parameter, "not called");
        EXPECT_EQ(hooks.calls(function::SysAllocStringByteLen), 1);
        EXPECT_TRUE(hooks.live(resource::bstr).empty());
    }
    {
        // The empty text needs no copy: its handler runs as always.
        received_parameter = "not called";
        const char* empty = "";
        import_hooks::window hooks;
        hooks.fail_every(function::SysAllocStringByteLen);
        EXPECT_EQ(exec_action(table, 15, &empty), 1);
        EXPECT_EQ(received_parameter, nullptr);
        EXPECT_EQ(exec_action(table, 31, &cell), 0);
    }
}

TEST_F(ViewerFaults, ParameterCopyThatCannotBeMadeSendsNothing) {
    {
        import_hooks::window hooks;
        ASSERT_TRUE(hooks.armed());
        hooks.fail_every(function::SysAllocStringByteLen);
        // HWindow 0 would hide the viewer and Show '' would empty it.
        for (int number : {15, 3, 10, 29, 30, 4}) EXPECT_EQ(run(number, "25"), 1) << number;
        strings names;
        EXPECT_EQ(take(&names), strings{});
        EXPECT_EQ(names, strings{});
        EXPECT_EQ(hooks.live(resource::bstr), held_by_arguments());
        EXPECT_TRUE(hooks.released_from_before(resource::bstr).empty());
    }
    EXPECT_EQ(run(29, "1"), 1);
    EXPECT_EQ(take(), strings{"put HWINDOW(R8 1)"}) << "the next action runs again";
}

TEST_F(ViewerFaults, ScaleLightingWithoutItsPrivateCopyMakesNoCall) {
    {
        import_hooks::window hooks;
        ASSERT_TRUE(hooks.armed());
        hooks.fail_call(function::SysAllocStringByteLen, 2);  // the dispatcher's copy is made
        EXPECT_EQ(run(30, "1,5"), 1);
        EXPECT_EQ(hooks.calls(function::SysAllocStringByteLen), 2);
        EXPECT_TRUE(hooks.live(resource::bstr).empty());
    }
    {
        import_hooks::window hooks;
        hooks.fail_every(function::SysAllocStringByteLen);
        EXPECT_EQ(KP_QUELTO3D_SCALELIGHTING("0,75"), nullptr);
    }
    strings names;
    EXPECT_EQ(take(&names), strings{});
    EXPECT_EQ(names, strings{}) << "not even looked up";

    EXPECT_EQ(run(30, "1,5"), 1);
    EXPECT_EQ(take(), strings{"call SCALELIGHTING(R8 1.5)"}) << "the next call is made again";
}

TEST_F(ViewerFaults, MemberNameThatCannotBeMadeSkipsOnlyThatCall) {
    strings names;
    {
        import_hooks::window hooks;
        ASSERT_TRUE(hooks.armed());
        hooks.fail_call(function::SysAllocStringLen, 1);  // "BKPICTURE"
        EXPECT_EQ(run(10, "255,0,0"), 1);
        EXPECT_EQ(hooks.live(resource::bstr), held_by_arguments());
    }
    EXPECT_EQ(take(&names), strings{"call SETCOLOR(R8 0, R8 255)"});
    EXPECT_EQ(names, strings{"SETCOLOR"});
    {
        import_hooks::window hooks;
        hooks.fail_call(function::SysAllocStringLen, 2);  // "SETCOLOR"
        EXPECT_EQ(run(10, "0,0,255"), 1);
        EXPECT_EQ(hooks.live(resource::bstr), held_by_arguments());
    }
    EXPECT_EQ(take(&names), strings{"put BKPICTURE(BSTR null)"});
    EXPECT_EQ(names, strings{"BKPICTURE"});

    // Every other member call, numeric or without arguments, skipped the same way.
    {
        import_hooks::window hooks;
        hooks.fail_every(function::SysAllocStringLen);
        for (int number : {5, 7, 8, 9, 11, 12, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30})
            EXPECT_EQ(run(number, "1"), 1) << number;
        EXPECT_EQ(hooks.live(resource::bstr), held_by_arguments());
    }
    EXPECT_EQ(take(&names), strings{});
    EXPECT_EQ(names, strings{});
}

TEST_F(ViewerFaults, TextArgumentThatCannotBeMadeSkipsTheCall) {
    const struct {
        int number;
        const char* member;
    } text_actions[] = {{3, "LOADFILE"}, {4, "BKPICTURE"}};
    const char* file = "C:\\models\\cube.obj";
    for (const auto& action : text_actions) {
        SCOPED_TRACE(action.member);
        {
            import_hooks::window hooks;
            ASSERT_TRUE(hooks.armed());
            hooks.fail_call(function::SysAllocStringLen, 1);  // the argument's text
            EXPECT_EQ(run(action.number, file), 1);
            EXPECT_EQ(first_argument.vt, VT_EMPTY);
            EXPECT_TRUE(hooks.live(resource::bstr).empty());
        }
        strings names;
        EXPECT_EQ(take(&names), strings{});
        EXPECT_EQ(names, strings{});

        {
            import_hooks::window hooks;
            hooks.fail_call(function::SysAllocStringLen, 2);  // the name, after the argument was made
            EXPECT_EQ(run(action.number, file), 1);
            // The text waits in the argument variant for the next call, as after any call.
            ASSERT_EQ(first_argument.vt, VT_BSTR);
            EXPECT_EQ(hooks.live(resource::bstr), std::set<const void*>{first_argument.bstrVal});
        }
        EXPECT_EQ(take(), strings{});

        EXPECT_EQ(run(action.number, file), 1);
        EXPECT_EQ(take().size(), 1u) << "the next call is made again";
    }
}

// ---- Snapshot ------------------------------------------------------------------

std::string scratch(const std::string& name) {
    static const std::string folder = scratch_files::folder("faults");
    return folder + name;
}
using scratch_files::exists;
const auto read_file = scratch_files::read_text;

class SnapshotFaults : public ::testing::Test {
protected:
    const std::string kept = scratch("kept.bmp");
    const std::string fresh = scratch("fresh.bmp");
    const std::string kept_bytes = "an older picture, not to be touched";
    static constexpr RECT capture = {10, 10, 74, 58};  // 64 by 48

    void SetUp() override {
        DeleteFileA(fresh.c_str());
        std::ofstream(kept, std::ios::binary) << kept_bytes;
    }
    void TearDown() override {
        DeleteFileA(fresh.c_str());
        DeleteFileA(kept.c_str());
    }

    // Both contexts made and deleted, no bitmap left, nothing deleted that
    // the snapshot did not make.
    static void expect_released(const import_hooks::window& hooks) {
        EXPECT_EQ(hooks.calls(function::CreateDCA), 1);
        EXPECT_EQ(hooks.calls(function::CreateCompatibleDC), 1);
        int contexts = 0;
        for (const event& e : hooks.events())
            if (e.what == resource::device_context && e.kind == event::allocated) ++contexts;
        EXPECT_EQ(contexts, 2);
        EXPECT_TRUE(hooks.live(resource::device_context).empty());
        EXPECT_TRUE(hooks.live(resource::bitmap).empty());
        EXPECT_TRUE(hooks.released_from_before(resource::device_context).empty());
        EXPECT_TRUE(hooks.released_from_before(resource::bitmap).empty());
    }
};

TEST_F(SnapshotFaults, WithASectionEverythingMadeIsReleased) {
    import_hooks::window hooks;
    ASSERT_TRUE(hooks.armed());
    EXPECT_TRUE(write_snapshot(capture, fresh.c_str(), fresh.size()));
    EXPECT_EQ(read_file(fresh).size(), 54u + 4 * 64 * 48);
    EXPECT_EQ(hooks.calls(function::CreateDIBSection), 1);
    expect_released(hooks);
}

TEST_F(SnapshotFaults, NoSectionForAPictureWritesNoFileAndReleasesTheContexts) {
    for (const std::string* name : {&fresh, &kept}) {
        SCOPED_TRACE(*name);
        import_hooks::window hooks;
        ASSERT_TRUE(hooks.armed());
        hooks.fail_every(function::CreateDIBSection);
        EXPECT_FALSE(write_snapshot(capture, name->c_str(), name->size()));
        expect_released(hooks);
    }
    EXPECT_FALSE(exists(fresh));
    EXPECT_EQ(read_file(kept), kept_bytes);
}

TEST_F(SnapshotFaults, SaveImageOverAContainerWithoutSectionWritesNothing) {
    // Any window serves as the container: SaveImage only reads its rectangle.
    HWND window = CreateWindowExA(0, "STATIC", "", WS_POPUP, 20, 20, 64, 48, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    const HWND previous = container_handle;
    container_handle = window;
    for (const std::string* name : {&fresh, &kept}) {
        SCOPED_TRACE(*name);
        import_hooks::window hooks;
        ASSERT_TRUE(hooks.armed());
        hooks.fail_every(function::CreateDIBSection);
        EXPECT_EQ(KP_QUELTO3D_SAVEIMAGE((*name + "|more").c_str()), nullptr);
        EXPECT_EQ(hooks.calls(function::CreateDIBSection), 1);
        expect_released(hooks);
    }
    container_handle = previous;
    DestroyWindow(window);
    EXPECT_FALSE(exists(fresh));
    EXPECT_EQ(read_file(kept), kept_bytes);
}

TEST_F(SnapshotFaults, EmptyRectangleNeedsNoSectionAndStillWritesTheHeaders) {
    import_hooks::window hooks;
    ASSERT_TRUE(hooks.armed());
    hooks.fail_every(function::CreateDIBSection);
    const RECT empty = {30, 30, 30, 90};
    EXPECT_TRUE(write_snapshot(empty, kept.c_str(), kept.size()));
    EXPECT_EQ(read_file(kept).size(), 54u);
    expect_released(hooks);
}

}  // namespace
