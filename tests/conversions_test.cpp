// Reading numbers and colours from parameter texts. Portable: builds natively
// as well as for Windows.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "viewer/colour_number.h"
#include "viewer/text_to_number.h"

namespace {

struct number_case {
    const char* text;
    double expected;
};

void expect_numbers(std::initializer_list<number_case> cases) {
    for (const number_case& c : cases) EXPECT_EQ(text_to_number(c.text), c.expected) << "'" << c.text << "'";
}

TEST(TextToNumber, BlanksSignsAndStopCharacters) {
    expect_numbers({
        {"", 0}, {"   42", 42}, {"\t-3.5e2", -350}, {"\n\n 7", 7}, {"12abc", 12}, {"1,5", 1},
        {".5", 0.5}, {"-.", 0}, {".", 0}, {"abc", 0}, {"+8", 8}, {"- 5", 0}, {"5.", 5},
        {"1.2.3", 1.2}, {"12.5 units", 12.5}, {" 45.5 degrees", 45.5}, {"yes", 0},
        {"\r42", 0},    // a carriage return ends the reading before the number
        {"4\r2", 4},
        {"0007", 7}, {"-0", 0}, {"1 2", 1},
    });
    EXPECT_EQ(text_to_number(nullptr), 0);
    EXPECT_FALSE(std::signbit(text_to_number("-0.000"))) << "no negative zero";
    EXPECT_FALSE(std::signbit(text_to_number("-1e-400"))) << "nor from an underflow";
}

TEST(TextToNumber, Exponents) {
    expect_numbers({
        {"1.5D2", 150}, {"1.5d2", 150}, {"2E3", 2000}, {"2e-3", 0.002}, {"2E+3", 2000},
        {"1e", 1}, {"1e+", 1}, {"1ex", 1}, {"-2.5E1x", -25}, {"1e-99999", 0},
    });
    EXPECT_EQ(text_to_number("1e99999"), std::numeric_limits<double>::infinity());
    EXPECT_EQ(text_to_number("-1e99999"), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(text_to_number("1e308"), 1e308);
    EXPECT_EQ(text_to_number("1.7976931348623157e308"), std::numeric_limits<double>::max());
    // An exponent is capped at 9999: with 9800 zeros after the point, "e10004"
    // reads as e9999 and gives 1e198, where the uncapped value would be 1e203.
    EXPECT_EQ(text_to_number(("0." + std::string(9800, '0') + "1e10004").c_str()), 1e198);
    EXPECT_EQ(text_to_number(("1" + std::string(9800, '0') + "e-10004").c_str()), 1e-199);
}

TEST(TextToNumber, SignificantDigitsAreLimitedTo18) {
    // 25 digits: the first 18 make the value, the other 7 only scale it.
    EXPECT_EQ(text_to_number("1234567890123456789012345"), 1.23456789012345678e24);
    EXPECT_EQ(text_to_number("1234567890123456789999999"), 1.23456789012345678e24);
    EXPECT_EQ(text_to_number("0.1234567890123456789"), 0.123456789012345678);
    EXPECT_EQ(text_to_number("000000000000000000000012"), 12) << "leading zeros are not significant";
    EXPECT_EQ(text_to_number("0.000000000000000000000012"), 1.2e-23);
    EXPECT_EQ(text_to_number("0.1"), 0.1);
    EXPECT_EQ(text_to_number("123456789012345678"), 123456789012345678.0);
}

TEST(TextToNumber, BasePrefixes) {
    expect_numbers({
        {"&HFF", 255}, {"&hff", 255}, {"&HFFFF", -1}, {"&H8000", -32768}, {"&H0FFFF", 65535},
        {"&H7FFF", 32767}, {"&H10000", 65536}, {"&HFFFFFFFF", -1}, {"&H80000000", -2147483648.0},
        {"&H0FFFFFFFF", 4294967295.0}, {"&H100000000", 4294967296.0},
        {"&HFFFFFFFFFFFFFFFF", 18446744073709551615.0}, {"&H10000000000000000", 0},
        {"&b101", 5}, {"&B1000000000000000", -32768}, {"&o17", 15}, {"&Q17", 15}, {"&17", 15},
        {"&z7", 0}, {"&", 0}, {"&H", 0}, {"&8", 0}, {"&HFFxyz", 255}, {"&H1G", 1}, {"  &H10", 16},
        {"&b102", 2}, {"&o78", 7}, {"-&H10", 0}, {"&HFF&", 255},
    });
}

TEST(RoundHalfEven, TiesGoToTheEvenNeighbour) {
    const std::pair<double, double> cases[] = {{12.5, 12}, {13.5, 14}, {-12.5, -12}, {-13.5, -14}, {0.5, 0},
                                               {1.5, 2},   {2.4999, 2}, {2.5001, 3}, {-0.4, 0},    {7, 7}};
    for (auto [value, expected] : cases) EXPECT_EQ(round_half_even(value), expected) << value;
}

TEST(TextToHandle, ThirtyTwoBitRangeOnly) {
    EXPECT_EQ(text_to_handle("65794"), 65794u);
    EXPECT_EQ(text_to_handle("100.5"), 100u);
    EXPECT_EQ(text_to_handle("101.5"), 102u);
    EXPECT_EQ(text_to_handle("4294967295"), 0xFFFFFFFFu);
    EXPECT_EQ(text_to_handle("-1"), 0xFFFFFFFFu);
    EXPECT_EQ(text_to_handle("-2147483648"), 0x80000000u);
    EXPECT_EQ(text_to_handle("4294967296"), 0u);
    EXPECT_EQ(text_to_handle("-2147483649"), 0u);
    EXPECT_EQ(text_to_handle("1e99999"), 0u);
    EXPECT_EQ(text_to_handle("abc"), 0u);
    EXPECT_EQ(text_to_handle(nullptr), 0u);
}

TEST(ColourNumber, ComponentsRoundClampAndCombine) {
    EXPECT_EQ(colour_number(255, 0, 0), 255);
    EXPECT_EQ(colour_number(0, 0, 255), 16711680);
    EXPECT_EQ(colour_number(300, -5, 12.5), 786687);
    EXPECT_EQ(colour_number(13.5, 0.5, 1e300), 14 + 0 + 65536.0 * 255);
    EXPECT_EQ(colour_number(-1e300, std::numeric_limits<double>::infinity(), 254.5), 255 * 256.0 + 254 * 65536.0);
}

TEST(ColourNumber, FieldsOfTheColourText) {
    const number_case cases[] = {
        {"255,0,0", 255},      {"0,0,255", 16711680}, {"0,128,255", 16744448}, {"300,-20,12.5", 786687},
        {"10", 10},            {"", 0},               {"0 128 255", 0},        {",,255", 16711680},
        {" 1, 2, 3,99", 1 + 512 + 196608.0},          {"1,,3", 1 + 196608.0},  {"&HFF,&H80,0", 255 + 32768.0},
        {"1\r,2,3", 1 + 512 + 196608.0},              {"a,b,c", 0},            {",", 0},
    };
    for (const number_case& c : cases) EXPECT_EQ(colour_number_from_text(c.text), c.expected) << c.text;
    EXPECT_EQ(colour_number_from_text(nullptr), 0);
}

TEST(DecimalComma, EveryCommaBecomesAPoint) {
    char text[] = "1,2,3";
    decimal_commas_to_points(text);
    EXPECT_STREQ(text, "1.2.3");
    EXPECT_EQ(text_to_number(text), 1.2);
    decimal_commas_to_points(nullptr);
}

TEST(TextToNumber, HugeAndArbitraryTextsEndCleanly) {
    std::string digits(1 << 20, '9');
    EXPECT_EQ(text_to_number(digits.c_str()), std::numeric_limits<double>::infinity());
    std::string blanks(1 << 20, ' ');
    EXPECT_EQ(text_to_number((blanks + "5").c_str()), 5);
    std::string fraction = "0." + std::string(1 << 20, '0') + "1";
    EXPECT_EQ(text_to_number(fraction.c_str()), 0);
    std::string hex = "&H" + std::string(1 << 20, 'F');
    EXPECT_EQ(text_to_number(hex.c_str()), 0);
    char all_bytes[256];
    for (int i = 1; i < 256; ++i) all_bytes[i - 1] = static_cast<char>(i);
    all_bytes[255] = 0;
    EXPECT_EQ(text_to_number(all_bytes), 0);
}

}  // namespace
