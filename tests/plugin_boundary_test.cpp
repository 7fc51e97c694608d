// The host boundary: identity texts as host text blocks, registration of the
// 30 actions through add-action callbacks of three stack shapes, and dispatch.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "host/action_catalogue.h"
#include "host/dispatcher.h"
#include "host/host_text_block.h"
#include "host/plugin_abi.h"

namespace {

std::string block_text(host_variable variable) {
    return variable ? std::string(reinterpret_cast<const char*>(variable)) : std::string();
}
SIZE_T block_size(host_variable variable) { return GlobalSize(reinterpret_cast<HGLOBAL>(variable)); }

// ---- Host text blocks -------------------------------------------------------

TEST(HostTextBlock, InitHandsOverThreeExactBlocks) {
    host_variable title = 0, publisher = 0, hint = 0;
    pgInitPlugIn(0x1234, &title, &publisher, &hint);

    const std::pair<host_variable, std::string> expected[] = {
        {title, "VasaQuelto3D 1.0.2a"}, {publisher, "Ivel Tarsum"}, {hint, "Quelto3D Viewer for Pagora"}};
    for (const auto& [variable, text] : expected) {
        ASSERT_NE(variable, 0u) << text;
        EXPECT_EQ(block_size(variable), text.size() + 1) << text;
        EXPECT_EQ(0, std::memcmp(reinterpret_cast<const void*>(variable), text.c_str(), text.size() + 1));
        // GPTR: the handle is the address and the block is fixed.
        EXPECT_EQ(GlobalFlags(reinterpret_cast<HGLOBAL>(variable)) & GMEM_DISCARDABLE, 0u);
    }
    FreeHostString(&title);
    FreeHostString(&publisher);
    FreeHostString(&hint);
}

TEST(HostTextBlock, SecondInitFreesTheBlocksStillHeld) {
    // Blocks the host still holds, of a size no identity text can reuse.
    host_variable held[3];
    for (host_variable& variable : held)
        variable = static_cast<host_variable>(reinterpret_cast<std::uintptr_t>(GlobalAlloc(GPTR, 4096)));
    const host_variable before[3] = {held[0], held[1], held[2]};

    pgInitPlugIn(0, &held[0], &held[1], &held[2]);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NE(held[i], before[i]);
        EXPECT_FALSE(HeapValidate(GetProcessHeap(), 0, reinterpret_cast<void*>(before[i])))
            << "block " << i << " was not freed";
    }
    EXPECT_EQ(block_text(held[0]), "VasaQuelto3D 1.0.2a");
    EXPECT_EQ(block_text(held[2]), "Quelto3D Viewer for Pagora");
    for (host_variable& variable : held) FreeHostString(&variable);
}

TEST(HostTextBlock, EmptyTextFreesAndLeavesZero) {
    host_variable variable = static_cast<host_variable>(reinterpret_cast<std::uintptr_t>(GlobalAlloc(GPTR, 4096)));
    const host_variable held = variable;
    SetHostString(&variable, "", 0);
    EXPECT_EQ(variable, 0u);
    EXPECT_FALSE(HeapValidate(GetProcessHeap(), 0, reinterpret_cast<void*>(held)));

    SetHostString(&variable, "", 0);
    EXPECT_EQ(variable, 0u);
}

TEST(HostTextBlock, TextBytesAreCopiedUnchanged) {
    host_variable variable = 0;
    const char bytes[] = "a\xE9\x01Z";
    SetHostString(&variable, bytes, 4);
    ASSERT_NE(variable, 0u);
    EXPECT_EQ(block_size(variable), 5u);
    EXPECT_EQ(0, std::memcmp(reinterpret_cast<const void*>(variable), bytes, 5));
    FreeHostString(&variable);
    EXPECT_EQ(variable, 0u);
}

// ---- Registration -----------------------------------------------------------

struct announced_action {
    std::int32_t number;
    std::string name, help, type;
    std::uint32_t count, count_again;
};
std::vector<announced_action> announced;

}  // namespace

// Called by the five-word callback in callback_shapes.S.
extern "C" void record_add_action(std::int32_t number, const char* name, const char* help, const char* type,
                                  std::uint32_t count, std::uint32_t count_again) {
    announced.push_back({number, name, help, type, count, count_again});
}
extern "C" void five_word_add_action();
extern "C" void register_with_snapshot(void* add_action, std::uint32_t before[5], std::uint32_t after[5]);

namespace {

void WINAPI six_word_add_action(std::int32_t number, const char* name, const char* help, const char* type,
                                std::uint32_t count, std::uint32_t count_again) {
    record_add_action(number, name, help, type, count, count_again);
}

// Returns a value and removes nothing from the stack.
int __cdecl no_word_add_action(std::int32_t number, const char* name, const char* help, const char* type,
                               std::uint32_t count, std::uint32_t count_again) {
    record_add_action(number, name, help, type, count, count_again);
    return 12345;
}

struct callback_shape {
    const char* label;
    void* callback;
};

class Registration : public ::testing::TestWithParam<callback_shape> {};

TEST_P(Registration, AnnouncesAll30AndKeepsTheStack) {
    announced.clear();
    std::uint32_t before[5] = {}, after[5] = {};
    register_with_snapshot(GetParam().callback, before, after);
    const char* const registers[5] = {"ESP", "EBX", "ESI", "EDI", "EBP"};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(before[i], after[i]) << registers[i] << " changed";

    ASSERT_EQ(announced.size(), 30u);
    for (int i = 0; i < 30; ++i) {
        const announced_action& got = announced[i];
        const action_entry& row = action_catalogue[i];
        SCOPED_TRACE(row.name);
        EXPECT_EQ(got.number, i + 1);
        EXPECT_EQ(got.name, row.name);
        EXPECT_EQ(got.type, "ACTIONPARAM_ALPHA");
        EXPECT_EQ(got.count, 1u);
        EXPECT_EQ(got.count_again, 1u);
        // Help text: description CR LF name "placeholder", nothing after.
        EXPECT_EQ(got.help, std::string(row.description) + "\r\n" + row.name + "\"" + row.placeholder + "\"");
        EXPECT_EQ(got.help.find("\r\n"), got.help.rfind("\r\n"));
        // Names end in exactly one space and name their handler.
        ASSERT_GE(got.name.size(), 2u);
        EXPECT_EQ(got.name.back(), ' ');
        EXPECT_NE(got.name[got.name.size() - 2], ' ');
        std::string upper = got.name.substr(0, got.name.size() - 1);
        for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(upper, row.handler);
    }
}

INSTANTIATE_TEST_SUITE_P(CallbackShapes, Registration,
                         ::testing::Values(callback_shape{"removes six words", (void*)&six_word_add_action},
                                           callback_shape{"removes five words", (void*)&five_word_add_action},
                                           callback_shape{"removes none", (void*)&no_word_add_action}),
                         [](const auto& info) {
                             return std::string(info.param.label[8] == 's' ? "Six"
                                                : info.param.label[8] == 'f' ? "Five"
                                                                              : "None");
                         });

TEST(Registration, PublishedTextsByteForByte) {
    announced.clear();
    pgRegisterPlugIn((void*)&six_word_add_action, nullptr, nullptr, nullptr);
    ASSERT_EQ(announced.size(), 30u);
    EXPECT_EQ(announced[0].name, "KP_Quelto3D_Init ");
    EXPECT_EQ(announced[0].help, "Inits the Quelto3D Viewer\r\nKP_Quelto3D_Init \"[handle_rect]\"");
    EXPECT_EQ(announced[1].help, "Ends the Quelto3D Viewer\r\nKP_Quelto3D_End \"\"");
    EXPECT_EQ(announced[2].help, "Shows the file in the Quelto3D Viewer\r\nKP_Quelto3D_Show \"Filename\"");
    EXPECT_EQ(announced[3].help, "Change Viewer Kack Image or Color\r\nKP_Quelto3D_BKImage \"\"");
    EXPECT_EQ(announced[9].help, "Sets Background Color \r\nKP_Quelto3D_SetBKColor \"rrr,ggg,bbb\"");
    EXPECT_EQ(announced[12].help,
              "Resizes the control when the rectangle changes \r\nKP_Quelto3D_Resize \"\"");
    EXPECT_EQ(announced[28].help, "Show/Hide window \r\nKP_Quelto3D_HWindow \"[value]\"");
    EXPECT_EQ(announced[29].name, "KP_Quelto3D_ScaleLighting ");
    EXPECT_EQ(announced[29].help,
              "Increase/Decrease/Restore Lighting \r\nKP_Quelto3D_ScaleLighting \"[value]\"");

    // Descriptions ending in a space: rows 10, 12, 13, 23, 25, 26, 28, 29, 30.
    std::vector<int> trailing;
    for (const action_entry& row : action_catalogue)
        if (row.description[std::strlen(row.description) - 1] == ' ') trailing.push_back(row.number);
    EXPECT_EQ(trailing, (std::vector<int>{10, 12, 13, 23, 25, 26, 28, 29, 30}));
    std::vector<int> no_placeholder;
    for (const action_entry& row : action_catalogue)
        if (!*row.placeholder) no_placeholder.push_back(row.number);
    EXPECT_EQ(no_placeholder, (std::vector<int>{2, 4, 5, 11, 12, 13}));
}

TEST(Registration, SecondRegistrationAnnouncesAgainAndNullCallbackIsSafe) {
    announced.clear();
    pgRegisterPlugIn((void*)&no_word_add_action, nullptr, nullptr, nullptr);
    pgRegisterPlugIn((void*)&six_word_add_action, (void*)1, (void*)2, (void*)3);
    ASSERT_EQ(announced.size(), 60u);
    EXPECT_EQ(announced[30].number, 1);
    EXPECT_EQ(announced[59].number, 30);
    pgRegisterPlugIn(nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(announced.size(), 60u);
}

// ---- Dispatch ---------------------------------------------------------------

struct handler_call {
    int number;
    bool null_text;
    std::string text;
    const char* address;
    UINT copy_length;
};
std::vector<handler_call> calls;

template <int N>
BSTR WINAPI recording_handler(const char* parameter) {
    calls.push_back({N, parameter == nullptr, parameter ? parameter : "", parameter,
                     parameter ? SysStringByteLen(reinterpret_cast<BSTR>(const_cast<char*>(parameter))) : 0u});
    // A non-null result: the dispatcher must release it.
    return SysAllocStringByteLen("result", 6);
}

template <int... I>
constexpr std::array<action_handler, sizeof...(I)> make_recording_table(std::integer_sequence<int, I...>) {
    return {recording_handler<I + 1>...};
}
const auto recording_table = make_recording_table(std::make_integer_sequence<int, action_count>{});

std::int32_t run(std::int32_t number, const char* text) {
    const char* cell = text;
    return exec_action(recording_table.data(), number, &cell);
}

TEST(Dispatch, EachValidNumberRunsItsHandlerOnce) {
    for (int number = 1; number <= 30; ++number) {
        calls.clear();
        EXPECT_EQ(run(number, "x"), 1);
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].number, number);
    }
}

TEST(Dispatch, InvalidNumbersRunNothingAndReturnZero) {
    calls.clear();
    for (std::int32_t number : {0, 31, -1, -30, 256 + 1, INT_MIN, INT_MAX}) {
        EXPECT_EQ(run(number, "x"), 0) << number;
        EXPECT_EQ(pgExecAction(number, nullptr), 0) << "the cell is not read for " << number;
        EXPECT_EQ(pgEditAction(number, nullptr), 0) << number;
    }
    EXPECT_TRUE(calls.empty());
}

TEST(Dispatch, HandlerGetsAFreshCopyUpToTheFirstZero) {
    calls.clear();
    char host_text[] = "file.obj\0hidden";
    const std::string host_before(host_text, sizeof host_text);
    EXPECT_EQ(run(3, host_text), 1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].text, "file.obj");
    EXPECT_EQ(calls[0].copy_length, 8u) << "the copy is a dynamic string of the text's bytes";
    EXPECT_NE(calls[0].address, host_text);
    EXPECT_EQ(std::string(host_text, sizeof host_text), host_before);

    const char bytes[] = "\xFF\x80 tab\there ";
    EXPECT_EQ(run(4, bytes), 1);
    EXPECT_EQ(calls[1].text, bytes) << "no trimming, no code page conversion";
}

TEST(Dispatch, NullCellAndEmptyTextBothReachTheHandlerAsZero) {
    calls.clear();
    EXPECT_EQ(run(15, nullptr), 1);
    EXPECT_EQ(run(15, ""), 1);
    EXPECT_EQ(run(15, "\0after"), 1);
    ASSERT_EQ(calls.size(), 3u);
    for (const handler_call& call : calls) EXPECT_TRUE(call.null_text);
}

TEST(Dispatch, LongParameterIsCopiedWhole) {
    calls.clear();
    std::string text(1 << 20, 'a');
    text[12345] = '\x01';
    EXPECT_EQ(run(6, text.c_str()), 1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].text, text);
}

TEST(Dispatch, EditActionConfirmsValidNumbersWithoutReadingTheList) {
    // An address that would fault if it were read.
    const auto unreadable = reinterpret_cast<parameter_list>(static_cast<std::uintptr_t>(0x10));
    for (int number = 1; number <= 30; ++number) EXPECT_EQ(pgEditAction(number, unreadable), 1);
    char host_text[] = "keep";
    const char* cell = host_text;
    EXPECT_EQ(pgEditAction(6, &cell), 1);
    EXPECT_EQ(cell, host_text);
    EXPECT_STREQ(host_text, "keep");
}

TEST(Dispatch, EveryHandlerIsDistinct) {
    std::vector<action_handler> handlers(dispatch_table, dispatch_table + action_count);
    for (action_handler handler : handlers) EXPECT_NE(handler, nullptr);
    std::sort(handlers.begin(), handlers.end());
    EXPECT_EQ(std::adjacent_find(handlers.begin(), handlers.end()), handlers.end());
}

}  // namespace
