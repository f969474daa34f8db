#include <gtest/gtest.h>

#include <limits>

#include "norva_core/text_forms.h"

namespace {

using norva_core::text_forms::float_repr;

TEST(FloatRepr, WritesNumbersTheWayPythonDoes) {
    EXPECT_EQ(float_repr(1234.5), "1234.5");
    EXPECT_EQ(float_repr(1.0), "1.0");
    EXPECT_EQ(float_repr(-0.0), "-0.0");
    EXPECT_EQ(float_repr(0.1), "0.1");
    EXPECT_EQ(float_repr(100.0), "100.0");
    EXPECT_EQ(float_repr(0.0001), "0.0001");
    EXPECT_EQ(float_repr(0.00001), "1e-05");
    EXPECT_EQ(float_repr(1e15), "1000000000000000.0");
    EXPECT_EQ(float_repr(1e16), "1e+16");
    EXPECT_EQ(float_repr(1.5e300), "1.5e+300");
    EXPECT_EQ(float_repr(123456.789), "123456.789");
    EXPECT_EQ(float_repr(1.0 / 3.0), "0.3333333333333333");
    EXPECT_EQ(float_repr(std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(float_repr(-std::numeric_limits<double>::infinity()), "-inf");
    EXPECT_EQ(float_repr(std::numeric_limits<double>::quiet_NaN()), "nan");
}

}  // namespace

TEST(StrRepr, QuotesTextTheWayPythonDoes) {
    using norva_core::text_forms::str_repr;
    EXPECT_EQ(str_repr("bot"), "'bot'");
    EXPECT_EQ(str_repr(""), "''");
    EXPECT_EQ(str_repr("it's"), "\"it's\"");
    EXPECT_EQ(str_repr("say \"hi\""), "'say \"hi\"'");
    EXPECT_EQ(str_repr("both ' and \""), "'both \\' and \"'");
    EXPECT_EQ(str_repr("a\\b\nc\td\x01"), "'a\\\\b\\nc\\td\\x01'");
    EXPECT_EQ(str_repr("pässwörd"), "'pässwörd'");
}

TEST(Excerpt, CutsLongBodiesAtACharacterAndSaysTheirSize) {
    using norva_core::text_forms::excerpt;
    EXPECT_EQ(excerpt("short"), "short");
    EXPECT_EQ(excerpt(std::string(1000, 'a')), std::string(1000, 'a'));
    EXPECT_EQ(excerpt(std::string(1001, 'a')), std::string(1000, 'a') + "… (1001 bytes)");
    std::string wide;
    for (int i = 0; i < 1001; ++i) {
        wide += "é";
    }
    EXPECT_EQ(excerpt(wide), wide.substr(0, 2000) + "… (2002 bytes)");
}

TEST(SecondsText, WholeAndFractionalSeconds) {
    using norva_core::text_forms::seconds_text;
    EXPECT_EQ(seconds_text(std::chrono::seconds(10)), "10 s");
    EXPECT_EQ(seconds_text(std::chrono::milliseconds(500)), "0.5 s");
    EXPECT_EQ(seconds_text(std::chrono::milliseconds(1250)), "1.25 s");
}
