// The slow readings that the differential fuzz targets trust, checked against
// values worked out by hand from the rules.
#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "tests/reference/reference_readers.h"

namespace {

using reference::number_tokens;

TEST(ReferenceTokens, DecimalPartsAndWhereTheyStop) {
    const number_tokens t = reference::tokenise(" \t\n-012.50e+03xyz");
    EXPECT_EQ(t.kind, number_tokens::form::decimal);
    EXPECT_TRUE(t.negative);
    EXPECT_EQ(t.integer_digits, "012");
    EXPECT_EQ(t.fraction_digits, "50");
    EXPECT_FALSE(t.exponent_negative);
    EXPECT_EQ(t.exponent_digits, "03");

    const number_tokens second_point = reference::tokenise("1.2.3");
    EXPECT_EQ(second_point.integer_digits, "1");
    EXPECT_EQ(second_point.fraction_digits, "2");

    // An exponent without digits is not part of the number.
    const number_tokens bare = reference::tokenise("7D-x");
    EXPECT_EQ(bare.integer_digits, "7");
    EXPECT_TRUE(bare.exponent_digits.empty());
    EXPECT_FALSE(bare.exponent_negative);

    for (const char* nothing : {"", "   ", "-.", ".e5", "+-1", "\r1", "\v1", "- 1", "abc"})
        EXPECT_EQ(reference::tokenise(nothing).kind, number_tokens::form::nothing) << nothing;
}

TEST(ReferenceTokens, BaseLetters) {
    const struct {
        const char* text;
        int base;
        const char* digits;
    } cases[] = {
        {"&HfF9g", 16, "fF9"}, {"&b1012", 2, "101"}, {"&O778", 8, "77"}, {"&q17", 8, "17"},
        {"&17", 8, "17"},      {"&x7", 8, ""},       {"&", 8, ""},       {"&H", 16, ""},
    };
    for (const auto& c : cases) {
        const number_tokens t = reference::tokenise(c.text);
        EXPECT_EQ(t.kind, number_tokens::form::based) << c.text;
        EXPECT_EQ(t.base, c.base) << c.text;
        EXPECT_EQ(t.digits, c.digits) << c.text;
    }
}

void expect_exact(const char* text, double expected) {
    const reference::number_reading r = reference::read_number(text);
    EXPECT_TRUE(reference::same_bits(r.value, expected)) << text << ": " << r.value << " vs " << expected;
    EXPECT_TRUE(reference::same_bits(r.lowest, expected) && reference::same_bits(r.highest, expected)) << text;
}

TEST(ReferenceNumbers, BasedNumbersAndTheirSignBits) {
    expect_exact("&HFFFF", -1);
    expect_exact("&H8000", -32768);
    expect_exact("&H7FFF", 32767);
    expect_exact("&H0FFFF", 65535);
    expect_exact("&o177777", -1);  // 16 bits in octal
    expect_exact("&H1FFFF", 131071);
    expect_exact("&HFFFFFFFF", -1);
    expect_exact("&H80000000", -2147483648.0);
    expect_exact("&H000080000000", 2147483648.0);
    expect_exact("&H100000000", 4294967296.0);
    expect_exact("&1777777777777777777777", 18446744073709551616.0);  // 2^64 - 1, stored as a double
    expect_exact("&2000000000000000000000", 0);                       // 2^64 needs 65 bits
    expect_exact("&H00000000000000000001", 1);                        // zeros need no bits
    expect_exact("&HFFFFFFFFFFFFFFFF0", 0);
    expect_exact("&b1000000000000000", -32768);
    expect_exact("&x", 0);
}

TEST(ReferenceNumbers, DecimalValues) {
    expect_exact("", 0);
    expect_exact("  -012.50e+03xyz", -12500);
    expect_exact("1.5D2", 150);
    expect_exact("2d-3", 0.002);
    expect_exact("0.1", 0.1);
    expect_exact(".5", 0.5);
    expect_exact("-0.000", 0);  // a zero has no sign
    expect_exact("0e99999", 0);
    // 25 digits: 18 kept, the other seven are a factor 10^7.
    expect_exact("1234567890123456789999999", 1.23456789012345678e24);
    // Fraction digits past the 18th are dropped without scaling.
    expect_exact("1234567890123456789.99", 1.23456789012345678e18);
    expect_exact("0.000000000000000000000012", 1.2e-23);
    // The exponent's magnitude stops at 9999, in either direction.
    expect_exact("1e00000000000000000002", 100);
    expect_exact("0.00001e10004", std::numeric_limits<double>::infinity());
    expect_exact(("1" + std::string(10000, '0') + "e-99999").c_str(), 10);
    expect_exact(("1" + std::string(10003, '0') + "e-99999").c_str(), 1e4);
    expect_exact("1e-99999", 0);
}

TEST(ReferenceNumbers, RoundedToExtendedThenToDouble) {
    // Both are ties between two doubles, so either is within the latitude,
    // but the exactly rounded value is the even one.
    const auto expect_tie = [](const char* text, double even, double odd) {
        const reference::number_reading r = reference::read_number(text);
        EXPECT_TRUE(reference::same_bits(r.value, even)) << text;
        EXPECT_EQ(std::fmin(r.lowest, r.highest), std::fmin(even, odd)) << text;
        EXPECT_EQ(std::fmax(r.lowest, r.highest), std::fmax(even, odd)) << text;
    };
    // Twenty digits truncated to 18 are 2^53 + 1 exactly, although the text
    // lies above it.
    expect_tie("9007199254740993.0001", 9007199254740992.0, 9007199254740994.0);
    // Rounded directly to a double this gives 0x1.7874880144a61p+0; to
    // extended precision first it lands on a tie, which goes up to the even one.
    expect_tie("1.47052812605820582", 0x1.7874880144a62p+0, 0x1.7874880144a61p+0);
    // Below the least double a value underflows to zero, and zero is +0
    // whatever the sign written.
    expect_exact("-1e-400", 0.0);
    expect_exact("1.7976931348623158e308", std::numeric_limits<double>::max());
    expect_exact("1.7976931348623159e308", std::numeric_limits<double>::infinity());
    expect_exact("4.9406564584124654e-324", std::numeric_limits<double>::denorm_min());
}

TEST(ReferenceNumbers, LatitudeOnlyNextToRoundingBoundaries) {
    // 10^23 is exactly halfway between two doubles: one unit of extended
    // precision either way decides, so both are allowed.
    const reference::number_reading tie = reference::read_number("1e23");
    EXPECT_EQ(tie.value, 99999999999999991611392.0);
    EXPECT_EQ(tie.highest, 100000000000000008388608.0);
    EXPECT_TRUE(reference::agrees(tie, 100000000000000008388608.0));
    EXPECT_FALSE(reference::agrees(tie, -99999999999999991611392.0));

    // 43e215 lies 0.86 extended units below a midpoint between doubles:
    // rounded once it goes down, but 43 times 10^215 rounded to extended
    // precision first lands on the midpoint and goes up to the even double.
    const reference::number_reading near_tie = reference::read_number("43D215");
    EXPECT_EQ(near_tie.value, 0x1.8f27abf3c4c81p+719);
    EXPECT_TRUE(reference::agrees(near_tie, 0x1.8f27abf3c4c82p+719));
    EXPECT_FALSE(reference::agrees(near_tie, 0x1.8f27abf3c4c80p+719));

    const reference::number_reading plain = reference::read_number("-0.1");
    EXPECT_TRUE(reference::agrees(plain, -0.1));
    EXPECT_FALSE(reference::agrees(plain, std::nextafter(-0.1, 0.0)));
    EXPECT_FALSE(reference::agrees(plain, std::nextafter(-0.1, -1.0)));
    EXPECT_FALSE(reference::agrees(reference::read_number("0"), -0.0));
    EXPECT_FALSE(reference::agrees(reference::read_number("-1e-400"), -0.0));
}

TEST(ReferenceNumbers, PowersOfTenFromPowlWithinOneUnit) {
    // The latitude rests on this: the plug-in scales by powl(10, n).
    for (int n = 0; n <= 4932; ++n) {
        const long double power = std::pow(10.0L, static_cast<long double>(n));
        const long double exact = std::strtold(("1e" + std::to_string(n)).c_str(), nullptr);
        EXPECT_TRUE(power == exact || power == std::nextafter(exact, 0.0L) ||
                    power == std::nextafter(exact, HUGE_VALL))
            << n;
    }
}

TEST(ReferenceWholeNumbers, TiesToEvenInEveryRoundingMode) {
    const std::pair<double, double> cases[] = {{12.5, 12}, {13.5, 14}, {-2.5, -2}, {0.49999999999999994, 0},
                                               {-0.5, 0},  {2.6, 3},   {1e300, 1e300}};
    for (int mode : {FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
        std::fesetround(mode);
        for (auto [value, expected] : cases) EXPECT_EQ(reference::whole_number(value), expected) << value;
        EXPECT_EQ(std::fegetround(), mode) << "the caller's mode is restored";
    }
    std::fesetround(FE_TONEAREST);
}

TEST(ReferenceColours, FieldsRoundClampAndCombine) {
    const struct {
        const char* text;
        double expected;
    } cases[] = {
        {"255,0,0", 255},
        {"0,128,255", 16744448},
        {"300,-20,12.5", 255 + 12 * 65536.0},
        {"12.5,13.5,254.5", 12 + 14 * 256 + 254 * 65536.0},
        {"0 128 255", 0},
        {",,255", 16711680},
        {"1,2,3,4", 1 + 2 * 256 + 3 * 65536.0},
        {"&HFFFF,&HFF,1e99999", 255 * 256 + 255 * 65536.0},
        {"-0.5,255.5,-1e99999", 255 * 256},
        {"", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(reference::colour_number_of_text(c.text), c.expected) << c.text;
}

TEST(ReferenceCommas, EveryCommaAndNothingElse) {
    EXPECT_EQ(reference::commas_to_points("1,2,3"), "1.2.3");
    EXPECT_EQ(reference::commas_to_points(",,"), "..");
    EXPECT_EQ(reference::commas_to_points("a;b. c"), "a;b. c");
}

}  // namespace
