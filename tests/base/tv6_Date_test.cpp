#include "engine/base/tv6_Date.h"
#include "platform/format_settings.h"

#include <gtest/gtest.h>

namespace tarnis {
namespace {

TEST(TtvDBFDate, StoredFormRoundTrips) {
    EXPECT_EQ(EngineDates.FormatStored(2444240), "19800101");
    EXPECT_EQ(EngineDates.FormatStored(2451545), "20000101");
    EXPECT_EQ(EngineDates.FormatStored(1721426), "00010101");
    EXPECT_EQ(EngineDates.FormatStored(5373484), "99991231");
    EXPECT_EQ(EngineDates.FormatStored(0), "        ");
    EXPECT_EQ(EngineDates.FormatStored(-5), "        ");
    for (int32_t jdn : {1721426, 2299161, 2415019, 2444240, 2451604, 2460000, 5373484})
        EXPECT_EQ(EngineDates.ParseDate(EngineDates.FormatStored(jdn)), jdn) << jdn;
}

TEST(TtvDBFDate, ParseDateRules) {
    struct Case {
        const char* Text;
        int32_t Jdn;
    };
    const Case cases[] = {
        {"20000101", 2451545},   {"        ", 0},          {"", 0},
        {"00000000", 0},         {"20001301", 2415019},    {"19990229", 2415019},
        {"20000229", 2451604},   {"19991225   ", 2451538}, {"19991225", 2451538},
        {"25/12/1999", 2451538},
    };
    for (const auto& c : cases)
        EXPECT_EQ(EngineDates.ParseDate(c.Text), c.Jdn) << '"' << c.Text << '"';
}

TEST(TtvDBFDate, UnreadableTextRaisesTheConversionError) {
    // A leading blank makes nine characters, which go to the locale parser.
    for (const char* text : {" 19991225", "1999-12-25", "abc", "2000010"}) {
        try {
            EngineDates.ParseDate(text);
            ADD_FAILURE() << text;
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.what(), "'" + std::string(text) + "' is not a valid date");
        }
    }
}

TEST(TtvDBFDate, DisplayAlwaysHasFourDigitYears) {
    const TFormatSettings saved = FormatSettings;
    struct Case {
        const char* Pattern;
        const char* Expected;
    };
    const Case cases[] = {
        {"dd/MM/yyyy", "25/12/1999"}, {"dd/MM/yy", "25/12/1999"}, {"d/M/yy", "25/12/1999"},
        {"MM/dd/yy", "12/25/1999"},   {"dd/MM", "199925/12"},
    };
    for (const auto& c : cases) {
        FormatSettings.ShortDateFormat = c.Pattern;
        EXPECT_EQ(EngineDates.FormatDisplay(2451538), c.Expected) << c.Pattern;
    }
    FormatSettings = saved;
    EXPECT_EQ(EngineDates.FormatDisplay(0), "");
}

TEST(TtvDBFDate, WeekDayAndDecode) {
    EXPECT_EQ(EngineDates.WeekDay(2451545), 7); // a Saturday
    EXPECT_EQ(EngineDates.WeekDay(2451546), 1);
    EXPECT_EQ(EngineDates.WeekDay(0), 0);
    uint16_t m = 0, d = 0, y = 0;
    EngineDates.Decode(2451604, m, d, y);
    EXPECT_EQ(m, 2);
    EXPECT_EQ(d, 29);
    EXPECT_EQ(y, 2000);
    EXPECT_GT(EngineDates.Today(), 2460000);
}

} // namespace
} // namespace tarnis
