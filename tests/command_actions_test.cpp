// Member calls on the viewer control and the 26 command actions, observed by
// the recording fake control that is handed to the viewer state directly.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "host/action_catalogue.h"
#include "host/dispatcher.h"
#include "tests/fake_control_fixture.h"
#include "tests/fake_viewer_control.h"
#include "viewer/member_call.h"
#include "viewer/viewer_state.h"

namespace {

using fake_control::describe;

class ViewerCalls : public FakeControlAsViewer {
protected:
    // The calls recorded since the last take, checked for what every member
    // call must look like, then described.
    std::vector<std::string> take() {
        fake_control::record& record = fake_control::recorded();
        std::vector<std::string> result;
        EXPECT_EQ(record.lookups.size(), record.calls.size()) << "one look-up per call, no DISPID cache";
        for (const auto& lookup : record.lookups) {
            EXPECT_EQ(lookup.names.size(), 1u);
            EXPECT_EQ(lookup.lcid, 0x800u);
            EXPECT_TRUE(lookup.riid_is_null);
        }
        for (const auto& call : record.calls) {
            EXPECT_EQ(call.lcid, 0x800u);
            EXPECT_TRUE(call.riid_is_null);
            EXPECT_FALSE(call.result_requested);
            EXPECT_EQ(call.arg_count, call.args.size());
            if (call.flags == DISPATCH_PROPERTYPUT) {
                EXPECT_EQ(call.arg_count, 1u);
                EXPECT_EQ(call.named_count, 1u);
                EXPECT_EQ(call.named0, DISPID_PROPERTYPUT);
            } else {
                EXPECT_EQ(call.flags, DISPATCH_METHOD);
                EXPECT_EQ(call.named_count, 0u);
            }
            for (const auto& arg : call.args) EXPECT_TRUE(arg.type == VT_R8 || arg.type == VT_BSTR);
            result.push_back(describe(call));
        }
        fake_control::reset();
        return result;
    }
};

std::int32_t run(std::int32_t number, const char* text) {
    const char* cell = text;
    return pgExecAction(number, &cell);
}

using calls = std::vector<std::string>;

// ---- The member call itself ------------------------------------------------

TEST_F(ViewerCalls, PropertyPutCarriesOneNamedValue) {
    set_number_argument(first_argument, 7.5);
    member_call("GRIDSIZE", member_kind::property_put, 1);
    const auto& record = fake_control::recorded();
    ASSERT_EQ(record.lookups.size(), 1u);
    EXPECT_EQ(record.lookups[0].names, std::vector<std::string>{"GRIDSIZE"});
    EXPECT_EQ(take(), calls{"put GRIDSIZE(R8 7.5)"});
}

TEST_F(ViewerCalls, MethodArgumentsArriveInReverseOrder) {
    set_number_argument(first_argument, 0.0);
    set_number_argument(second_argument, 255.0);
    member_call("SETCOLOR", member_kind::method_call, 2);
    ASSERT_EQ(fake_control::recorded().calls.size(), 1u);
    const auto& args = fake_control::recorded().calls[0].args;
    EXPECT_EQ(args[0].number, 255.0);
    EXPECT_EQ(args[1].number, 0.0);
    take();
    member_call("RESETSCENE", member_kind::method_call, 0);
    EXPECT_EQ(take(), calls{"call RESETSCENE()"});
}

TEST_F(ViewerCalls, UnknownMemberIsLookedUpButNeverInvoked) {
    member_call("NOSUCHMEMBER", member_kind::method_call, 0);
    const auto& record = fake_control::recorded();
    ASSERT_EQ(record.lookups.size(), 1u);
    EXPECT_FALSE(record.lookups[0].known);
    EXPECT_TRUE(record.calls.empty());
    fake_control::reset();
    EXPECT_EQ(run(9, "1"), 1);
    EXPECT_EQ(fake_control::recorded().lookups[0].names[0], "RENDERAPI") << "never APIMODE";
}

TEST_F(ViewerCalls, ArgumentVariantsKeepTheirValueUntilTheNextCall) {
    run(3, "model.obj");
    EXPECT_EQ(first_argument.vt, VT_BSTR);
    EXPECT_EQ(std::wstring(first_argument.bstrVal), L"model.obj");
    run(15, "3");
    EXPECT_EQ(first_argument.vt, VT_R8) << "cleared, then filled";
    EXPECT_EQ(first_argument.dblVal, 3.0);
}

TEST_F(ViewerCalls, NoControlObjectMeansNoComCallAtAll) {
    IDispatch* held = control_object;
    control_object = nullptr;
    for (int number = 1; number <= 30; ++number) {
        if (number == 1 || number == 2 || number == 6 || number == 13) continue;  // not command actions
        EXPECT_EQ(run(number, "1,2,3"), 1);
    }
    control_object = held;
    EXPECT_TRUE(fake_control::recorded().lookups.empty());
    EXPECT_TRUE(fake_control::recorded().calls.empty());
}

// ---- Every command action once ----------------------------------------------

struct action_case {
    int number;
    const char* parameter;
    calls expected;
};

TEST_F(ViewerCalls, EachCommandActionMakesItsMemberCalls) {
    const action_case cases[] = {
        {3, "C:\\models\\cube 1.obj", {"call LOADFILE(BSTR\"C:\\models\\cube 1.obj\")"}},
        {4, " back.bmp ", {"put BKPICTURE(BSTR\" back.bmp \")"}},
        {5, "ignored", {"call RESETSCENE()"}},
        {7, "2", {"call RENDERMODE(R8 2)"}},
        {8, "3", {"call GRIDMODE(R8 3)"}},
        {9, "1", {"call RENDERAPI(R8 1)"}},
        {10, "255,0,0", {"put BKPICTURE(BSTR null)", "call SETCOLOR(R8 0, R8 255)"}},
        {11, "9", {"put LEFTMBUTTONMODE(R8 1)"}},
        {12, "", {"put LEFTMBUTTONMODE(R8 3)"}},
        {14, "1", {"put INERTIALROTATION(R8 1)"}},
        {15, "25", {"put GRIDSIZE(R8 25)"}},
        {16, "2", {"put LIGHTMODE(R8 2)"}},
        {17, "1", {"put SPECULARLIGHTING(R8 1)"}},
        {18, "1", {"put SMOOTHING(R8 1)"}},
        {19, " 45.5 degrees", {"put CREASEANGLE(R8 45.5)"}},
        {20, "0", {"put USEDEFAULTMATERIAL(R8 0)"}},
        {21, "1", {"put SHOWTRANSPARENCY(R8 1)"}},
        {22, "1", {"put SHOWTEXTURES(R8 1)"}},
        {23, "yes", {"put SHOWFOG(R8 0)"}},
        {24, "-1", {"put SHOWHIDDENGEOMETRY(R8 -1)"}},
        {25, "&H10", {"put SHOWVERTEXES(R8 16)"}},
        {26, "1e2", {"put SHOWLIGHTS(R8 100)"}},
        {27, "1", {"put SHOWWORLDAXIS(R8 1)"}},
        {28, "0.5", {"put SHOWBOUNDINGBOX(R8 0.5)"}},
        {29, "0", {"put HWINDOW(R8 0)"}},
        {30, "1,5", {"call SCALELIGHTING(R8 1.5)"}},
    };
    for (const action_case& c : cases) {
        EXPECT_EQ(run(c.number, c.parameter), 1);
        EXPECT_EQ(take(), c.expected) << action_catalogue[c.number - 1].name << "'" << c.parameter << "'";
    }
}

TEST_F(ViewerCalls, EmptyParametersSendZeroOrTheEmptyText) {
    const action_case cases[] = {
        {3, nullptr, {"call LOADFILE(BSTR null)"}},
        {4, "", {"put BKPICTURE(BSTR null)"}},
        {15, nullptr, {"put GRIDSIZE(R8 0)"}},
        {10, "", {"put BKPICTURE(BSTR null)", "call SETCOLOR(R8 0, R8 0)"}},
        {30, nullptr, {"call SCALELIGHTING(R8 0)"}},
        {11, nullptr, {"put LEFTMBUTTONMODE(R8 1)"}},
    };
    for (const action_case& c : cases) {
        run(c.number, c.parameter);
        EXPECT_EQ(take(), c.expected) << c.number;
    }
}

TEST_F(ViewerCalls, SetBKColorColours) {
    const std::pair<const char*, const char*> cases[] = {
        {"0,0,255", "R8 16711680"}, {"0,128,255", "R8 16744448"}, {"300,-20,12.5", "R8 786687"},
        {"10", "R8 10"},            {"0 128 255", "R8 0"},        {"12.5,13.5,0", "R8 3596"},
    };
    for (auto [text, colour] : cases) {
        run(10, text);
        EXPECT_EQ(take(), (calls{"put BKPICTURE(BSTR null)", std::string("call SETCOLOR(R8 0, ") + colour + ")"}))
            << text;
    }
}

TEST_F(ViewerCalls, SetBKColorSetsTheColourEvenWhenThePictureFails) {
    fake_control::set_failing_members({"BKPICTURE"});
    run(10, "1,2,3");
    EXPECT_EQ(take(), (calls{"put BKPICTURE(BSTR null)", "call SETCOLOR(R8 0, R8 197121)"}));
}

TEST_F(ViewerCalls, ScaleLightingReadsDecimalCommasOnACopy) {
    char text[] = "1,2,3";
    run(30, text);
    EXPECT_EQ(take(), calls{"call SCALELIGHTING(R8 1.2)"});
    EXPECT_STREQ(text, "1,2,3") << "the host's text is left alone";
    run(30, "0,75");
    run(30, "2");
    EXPECT_EQ(take(), (calls{"call SCALELIGHTING(R8 0.75)", "call SCALELIGHTING(R8 2)"}));
}

TEST_F(ViewerCalls, TextsGoThroughTheAnsiCodePage) {
    // Wine's default ANSI code page here is 1252, where byte 0xE9 is U+00E9.
    ASSERT_EQ(GetACP(), 1252u) << "the expected characters below assume code page 1252";
    run(3, "caf\xE9 \x80.obj");
    const auto& args = fake_control::recorded().calls.at(0).args;
    ASSERT_EQ(args.size(), 1u);
    EXPECT_EQ(args[0].text, L"caf\u00e9 \u20ac.obj");
    take();
}

TEST_F(ViewerCalls, HandlersCalledDirectlyWithZeroReturnNull) {
    for (int number = 3; number <= 30; ++number) {
        if (number == 6 || number == 13) continue;
        EXPECT_EQ(dispatch_table[number - 1](nullptr), nullptr) << number;
    }
    EXPECT_EQ(fake_control::recorded().calls.size(), 27u) << "26 actions, SetBKColor with two calls";
    fake_control::reset();
}

// ---- Arbitrary host text ------------------------------------------------------

TEST_F(ViewerCalls, HugeAndBinaryParametersAreHandled) {
    std::string huge(1 << 20, 'x');
    huge[100] = '\xFF';
    for (int number = 3; number <= 30; ++number) {
        if (number == 6 || number == 13) continue;
        EXPECT_EQ(run(number, huge.c_str()), 1);
    }
    const auto& record = fake_control::recorded();
    ASSERT_FALSE(record.calls.empty());
    EXPECT_EQ(record.calls[0].member, "LOADFILE");
    EXPECT_EQ(record.calls[0].args.at(0).text.size(), huge.size());
    fake_control::reset();

    std::string bytes;
    for (int i = 1; i < 256; ++i) bytes += static_cast<char>(i);
    for (int number = 3; number <= 30; ++number)
        if (number != 6 && number != 13) EXPECT_EQ(run(number, bytes.c_str()), 1);
    fake_control::reset();
}

}  // namespace
