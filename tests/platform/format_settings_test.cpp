#include "platform/format_settings.h"

#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <cmath>
#include <ctime>
#include <limits>
#include <string>

namespace tarnis {
namespace {

// Every test starts from the defaults and leaves the global setting as it found it.
class FormatTest : public testing::Test {
protected:
    void SetUp() override {
        saved_ = FormatSettings;
        FormatSettings = TFormatSettings{};
    }
    void TearDown() override { FormatSettings = saved_; }

private:
    TFormatSettings saved_;
};

int32_t Serial(int year, int month, int day) {
    int32_t serial = 0;
    EXPECT_TRUE(TryEncodeDate(year, month, day, serial)) << year << "-" << month << "-" << day;
    return serial;
}

// ---- calendar ----

TEST(Calendar, KnownSerialsAndWeekDays) {
    struct Case {
        int Year, Month, Day;
        int32_t Serial;
        int WeekDay; // 1 = Sunday
    };
    const Case cases[] = {
        {1899, 12, 30, 0, 7},       {1899, 12, 31, 1, 1},    {1900, 1, 1, 2, 2},
        {1900, 2, 28, 60, 4},       {1900, 3, 1, 61, 5},     {1970, 1, 1, 25569, 5},
        {2000, 1, 1, 36526, 7},     {2000, 2, 29, 36585, 3}, {2024, 2, 29, 45351, 5},
        {2024, 3, 5, 45356, 3},     {1, 1, 1, -693593, 2},   {1582, 10, 4, -115869, 2},
        {9999, 12, 31, 2958465, 6}, {1899, 12, 29, -1, 6},
    };
    for (const auto& c : cases) {
        int32_t serial = 12345;
        ASSERT_TRUE(TryEncodeDate(c.Year, c.Month, c.Day, serial)) << c.Year << "-" << c.Month;
        EXPECT_EQ(serial, c.Serial) << c.Year << "-" << c.Month << "-" << c.Day;
        int y = 0, m = 0, d = 0;
        DecodeDate(c.Serial, y, m, d);
        EXPECT_EQ(y, c.Year);
        EXPECT_EQ(m, c.Month);
        EXPECT_EQ(d, c.Day);
        EXPECT_EQ(DayOfWeek(c.Serial), c.WeekDay) << c.Serial;
    }
}

TEST(Calendar, InvalidDates) {
    struct Case {
        int Year, Month, Day;
    };
    const Case cases[] = {
        {0, 1, 1},     {10000, 1, 1}, {-1, 6, 1},     {2023, 2, 29}, {1900, 2, 29},
        {2100, 2, 29}, {2000, 2, 30}, {2024, 13, 1},  {2024, 0, 1},  {2024, 4, 31},
        {2024, 6, 0},  {2024, 1, 32}, {2024, 12, -1},
    };
    for (const auto& c : cases) {
        int32_t serial = 777;
        EXPECT_FALSE(TryEncodeDate(c.Year, c.Month, c.Day, serial))
            << c.Year << "-" << c.Month << "-" << c.Day;
        EXPECT_EQ(serial, 777);
    }
}

TEST(Calendar, EveryDayOfTheRangeRoundTrips) {
    const int32_t first = Serial(1, 1, 1);
    const int32_t last = Serial(9999, 12, 31);
    int py = 0, pm = 0, pd = 0;
    DecodeDate(first, py, pm, pd);
    for (int32_t serial = first + 1; serial <= last; ++serial) {
        int y = 0, m = 0, d = 0;
        DecodeDate(serial, y, m, d);
        // Each day follows the previous one: next day, or the first of the next month.
        const bool nextDay = y == py && m == pm && d == pd + 1;
        const bool nextMonth = y == py && m == pm + 1 && d == 1;
        const bool nextYear = y == py + 1 && m == 1 && d == 1 && pm == 12 && pd == 31;
        ASSERT_TRUE(nextDay || nextMonth || nextYear)
            << serial << ": " << y << "-" << m << "-" << d;
        int32_t back = 0;
        ASSERT_TRUE(TryEncodeDate(y, m, d, back)) << serial;
        ASSERT_EQ(back, serial);
        ASSERT_EQ(DayOfWeek(serial), DayOfWeek(serial - 7));
        py = y;
        pm = m;
        pd = d;
    }
}

TEST(Calendar, LocalNowMatchesTheSystemClock) {
    const std::time_t before = std::time(nullptr);
    const TLocalTime now = LocalNow();
    const std::time_t after = std::time(nullptr);
    std::tm a{}, b{};
    localtime_r(&before, &a);
    localtime_r(&after, &b);
    const auto seconds = [](int year, int month, int day, int h, int m, int s) {
        int32_t serial = 0;
        TryEncodeDate(year, month, day, serial);
        return int64_t{serial} * 86400 + h * 3600 + m * 60 + s;
    };
    const int64_t got = seconds(now.Year, now.Month, now.Day, now.Hour, now.Minute, now.Second);
    EXPECT_GE(got,
              seconds(a.tm_year + 1900, a.tm_mon + 1, a.tm_mday, a.tm_hour, a.tm_min, a.tm_sec));
    EXPECT_LE(got,
              seconds(b.tm_year + 1900, b.tm_mon + 1, b.tm_mday, b.tm_hour, b.tm_min, b.tm_sec));
    EXPECT_GE(now.Millisecond, 0);
    EXPECT_LE(now.Millisecond, 999);
}

// ---- date text ----

TEST_F(FormatTest, FormatDatePattern) {
    struct Case {
        const char* Pattern;
        char Separator;
        int Year, Month, Day;
        std::string Expected;
    };
    const Case cases[] = {
        {"dd/MM/yyyy", '/', 2024, 3, 5, "05/03/2024"},
        {"dd/MM/yyyy", '.', 2024, 3, 5, "05.03.2024"},
        {"d/m/yy", '/', 2024, 3, 5, "5/3/24"},
        {"D/M/Y", '-', 2024, 11, 25, "25-11-24"},
        {"yyyymmdd", '/', 2024, 3, 5, "20240305"},
        {"YYYYMMDD", '/', 7, 12, 31, "00071231"},
        {"MM/DD/YYYY", '/', 1999, 12, 31, "12/31/1999"},
        {"yyyy-mm-dd", '/', 2005, 1, 9, "2005-01-09"},
        {"yy", '/', 2005, 1, 9, "05"},
        {"yyy", '/', 2005, 1, 9, "2005"},
        {"'le 'd", '/', 2024, 3, 5, "le 5"},
        {"\"d/m\" d/m", '.', 2024, 3, 5, "d/m 5.3"},
        {"dd 'mm", '/', 2024, 3, 5, "05 mm"}, // an open quote runs to the end
        {"", '/', 2024, 3, 5, ""},
        {"[d]", '/', 2024, 3, 5, "[5]"},
    };
    for (const auto& c : cases) {
        FormatSettings.DateSeparator = c.Separator;
        EXPECT_EQ(FormatDatePattern(c.Pattern, c.Year, c.Month, c.Day), c.Expected) << c.Pattern;
    }
}

TEST_F(FormatTest, StrToDateSerialAcceptsTheShortDateOrder) {
    struct Case {
        const char* Format;
        char Separator;
        const char* Text;
        int Year, Month, Day;
    };
    const Case cases[] = {
        {"dd/MM/yyyy", '/', "05/03/2024", 2024, 3, 5},
        {"dd/MM/yyyy", '/', "5/3/2024", 2024, 3, 5},
        {"dd/MM/yyyy", '/', "  5/3/2024  ", 2024, 3, 5},
        {"dd/MM/yyyy", '/', "31/12/9999", 9999, 12, 31},
        {"dd/MM/yyyy", '/', "1/1/0001", 1, 1, 1},
        {"dd/MM/yyyy", '/', "1/1/1", 2001, 1, 1},
        {"dd/MM/yyyy", '/', "5/3/24", 2024, 3, 5},
        {"dd/MM/yyyy", '/', "5/3/00", 2000, 3, 5},
        {"dd/MM/yyyy", '/', "5/3/49", 2049, 3, 5},
        {"dd/MM/yyyy", '/', "5/3/50", 1950, 3, 5},
        {"dd/MM/yyyy", '/', "5/3/99", 1999, 3, 5},
        {"dd/MM/yyyy", '/', "5/3/100", 100, 3, 5},
        {"dd/MM/yyyy", '/', "29/02/2000", 2000, 2, 29},
        {"dd.MM.yyyy", '.', "05.03.2024", 2024, 3, 5},
        {"MM/dd/yyyy", '/', "03/05/2024", 2024, 3, 5},
        {"yyyy-MM-dd", '-', "2024-03-05", 2024, 3, 5},
        {"'day 'dd/MM/yyyy", '/', "05/03/2024", 2024, 3, 5},
    };
    for (const auto& c : cases) {
        FormatSettings.ShortDateFormat = c.Format;
        FormatSettings.DateSeparator = c.Separator;
        int32_t serial = 0;
        ASSERT_NO_THROW(serial = StrToDateSerial(c.Text)) << c.Format << " " << c.Text;
        EXPECT_EQ(serial, Serial(c.Year, c.Month, c.Day)) << c.Format << " " << c.Text;
    }
}

TEST_F(FormatTest, StrToDateSerialWithoutYearTakesTheCurrentYear) {
    const int year = LocalNow().Year;
    EXPECT_EQ(StrToDateSerial("5/3"), Serial(year, 3, 5));
    FormatSettings.ShortDateFormat = "MM/dd/yyyy";
    EXPECT_EQ(StrToDateSerial("3/5"), Serial(year, 3, 5));
}

TEST_F(FormatTest, StrToDateSerialErrors) {
    const char* cases[] = {
        "",           " ",           "abc",         "32/01/2024", "29/02/2023", "00/01/2024",
        "01/13/2024", "05-03-2024",  "05/03/2024x", "05//2024",   "/03/2024",   "05/03/",
        "1/2/3/4",    "05/03/10000", "5",           "5 /3/2024",  "05/03/0000", "+5/3/2024",
    };
    for (const char* text : cases) {
        try {
            StrToDateSerial(text);
            ADD_FAILURE() << "no error for '" << text << "'";
        } catch (const EConvertError& e) {
            EXPECT_EQ(std::string(e.what()), "'" + std::string(text) + "' is not a valid date");
        }
    }
}

TEST_F(FormatTest, DatesRoundTripThroughTheDisplayPattern) {
    struct Setting {
        const char* Format;
        char Separator;
    };
    for (const auto& s : {Setting{"dd/MM/yyyy", '/'}, Setting{"MM/dd/yyyy", '-'},
                          Setting{"yyyy.MM.dd", '.'}, Setting{"d/M/yyyy", '/'}}) {
        FormatSettings.ShortDateFormat = s.Format;
        FormatSettings.DateSeparator = s.Separator;
        for (const int32_t serial : {Serial(1, 1, 1), Serial(1899, 12, 30), Serial(2024, 2, 29),
                                     Serial(2024, 12, 31), Serial(9999, 12, 31)}) {
            int y = 0, m = 0, d = 0;
            DecodeDate(serial, y, m, d);
            const std::string text = FormatDatePattern(s.Format, y, m, d);
            EXPECT_EQ(StrToDateSerial(text), serial) << s.Format << " " << text;
        }
    }
}

// ---- numbers ----

TEST_F(FormatTest, FloatToStr) {
    struct Case {
        double Value;
        std::string Expected;
    };
    const Case cases[] = {
        {0.0, "0"},
        {-0.0, "0"},
        {1.0, "1"},
        {-1.0, "-1"},
        {100.0, "100"},
        {1.5, "1,5"},
        {-1.5e-7, "-1,5E-7"},
        {1e20, "1E20"},
        {1e-5, "1E-5"},
        {1e-4, "0,0001"},
        {1.25e-4, "0,000125"},
        {0.1 + 0.2, "0,3"},
        {1.0 / 3.0, "0,333333333333333"},
        {2.0 / 3.0, "0,666666666666667"},
        {1234.5678, "1234,5678"},
        {123456789012345.0, "123456789012345"},
        {999999999999999.0, "999999999999999"},
        {1e15, "1E15"},
        {1234567890123456.0, "1,23456789012346E15"},
        {9999999999999999.0, "1E16"},
        {99999999999999.99, "100000000000000"},
        {std::numeric_limits<double>::max(), "1,79769313486232E308"},
        {std::numeric_limits<double>::denorm_min(), "4,94065645841247E-324"},
        {-2.5e-300, "-2,5E-300"},
        {std::numeric_limits<double>::infinity(), "INF"},
        {-std::numeric_limits<double>::infinity(), "-INF"},
        {std::numeric_limits<double>::quiet_NaN(), "NAN"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FloatToStr(c.Value), c.Expected) << c.Expected;

    FormatSettings.DecimalSeparator = '.';
    EXPECT_EQ(FloatToStr(-1.5e-7), "-1.5E-7");
    EXPECT_EQ(FloatToStr(1234.5678), "1234.5678");
}

TEST_F(FormatTest, StrToFloat) {
    struct Case {
        const char* Text;
        double Expected;
    };
    const Case cases[] = {
        {"0", 0.0},
        {"1,5", 1.5},
        {" -1,5 ", -1.5},
        {"+3", 3.0},
        {",5", 0.5},
        {"5,", 5.0},
        {"1E20", 1e20},
        {"1,5e-7", 1.5e-7},
        {"-1,5E+7", -1.5e7},
        {"007", 7.0},
        {"1e-400", 0.0},
        {"\t2,25\t", 2.25},
        {"0,1", 0.1},
        {"0,001e310", 1e307},
        {"1000e-400", 0.0},
        {"0,00e999", 0.0},
        {"123456789012345678901234567890", 1.2345678901234568e29},
    };
    for (const auto& c : cases) {
        double value = -999;
        ASSERT_NO_THROW(value = StrToFloat(c.Text)) << c.Text;
        EXPECT_EQ(value, c.Expected) << c.Text;
    }
    FormatSettings.DecimalSeparator = '.';
    EXPECT_EQ(StrToFloat("2.5"), 2.5);
}

TEST_F(FormatTest, StrToFloatErrors) {
    const char* cases[] = {"",     " ",    "1.5", "1,5,6",  "abc",    "1e",
                           "1e+",  "1 5",  "--1", "1e400",  ",",      "-",
                           "1,5x", "0x10", "e5",  "1,5 e2", "10e308", "0,01e311"};
    for (const char* text : cases) {
        try {
            StrToFloat(text);
            ADD_FAILURE() << "no error for '" << text << "'";
        } catch (const EConvertError& e) {
            EXPECT_EQ(std::string(e.what()),
                      "'" + std::string(text) + "' is not a valid floating point value");
        }
    }
}

TEST_F(FormatTest, FloatTextRoundTrips) {
    for (const double value : {0.1, -0.25, 3.14159265358979, 1e15, 1.5e-7, 123456.789,
                               6.02214076e23, -9.87654321e-100, 42.0}) {
        for (const char separator : {',', '.'}) {
            FormatSettings.DecimalSeparator = separator;
            EXPECT_EQ(StrToFloat(FloatToStr(value)), value) << FloatToStr(value);
        }
    }
}

// The C library's numeric locale must not leak into the texts.
TEST_F(FormatTest, NumbersIgnoreTheCLocale) {
    const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
    bool switched = false;
    for (const char* name : {"fr_FR.UTF-8", "fr_FR.utf8", "de_DE.UTF-8", "de_DE.utf8"})
        if (!switched && std::setlocale(LC_NUMERIC, name) != nullptr) switched = true;
    if (!switched) GTEST_SKIP() << "no locale with a decimal comma installed";
    FormatSettings.DecimalSeparator = '.';
    const std::string text = FloatToStr(1.5);
    const std::string fixed = FormatFixed(2.25, 1);
    double parsed = 0;
    const bool ok = TryParseDecimal("1.25", parsed);
    std::setlocale(LC_NUMERIC, previous.c_str());
    EXPECT_EQ(text, "1.5");
    EXPECT_EQ(fixed, "2.3");
    EXPECT_TRUE(ok);
    EXPECT_EQ(parsed, 1.25);
}

TEST(Numbers, TryParseDecimal) {
    struct Case {
        const char* Text;
        bool Ok;
        double Expected;
    };
    const Case cases[] = {
        {"12.50", true, 12.5}, {"   12.50", true, 12.5},   {"-3", true, -3.0},  {"+3", true, 3.0},
        {"1e3", true, 1000.0}, {"-1.5E-2", true, -0.015},  {".5", true, 0.5},   {"5.", true, 5.0},
        {"0", true, 0.0},      {"  -0.001", true, -0.001}, {"", false, 0},      {"   ", false, 0},
        {"12,5", false, 0},    {"12.5 ", false, 0},        {"1.2.3", false, 0}, {"abc", false, 0},
        {"- 5", false, 0},     {"1e", false, 0},           {".", false, 0},     {"-", false, 0},
        {"1e999", false, 0},   {"1e-999", true, 0.0},      {"12a", false, 0},   {"\x1A", false, 0},
        {"*****", false, 0},
    };
    for (const auto& c : cases) {
        double value = -777;
        EXPECT_EQ(TryParseDecimal(c.Text, value), c.Ok) << "'" << c.Text << "'";
        EXPECT_EQ(value, c.Ok ? c.Expected : -777) << "'" << c.Text << "'";
    }
}

TEST(Numbers, FormatFixed) {
    struct Case {
        double Value;
        int Decimals;
        std::string Expected;
    };
    const Case cases[] = {
        {0.125, 2, "0.13"},
        {-0.125, 2, "-0.13"},
        {2.675, 2, "2.67"}, // 2.67499999999999982236431605997495353221893310546875
        {1.005, 2, "1.00"},
        {9.995, 2, "9.99"},
        {0.045, 2, "0.04"},
        {1.45, 1, "1.4"},
        {-1.45, 1, "-1.4"},
        {3.14159, 2, "3.14"},
        {-0.001, 2, "0.00"},
        {-0.0, 2, "0.00"},
        {-0.4, 0, "0"},
        {0.0, 0, "0"},
        {2.5, 0, "3"},
        {-2.5, 0, "-3"},
        {0.5, 0, "1"},
        {99.5, 0, "100"},
        {-99.5, 0, "-100"},
        {9.9951, 2, "10.00"},
        {999.9996, 3, "1000.000"},
        {123.456, 1, "123.5"},
        {1234567.891, 0, "1234568"},
        {42.0, 3, "42.000"},
        {1e20, 2, "100000000000000000000.00"},
        {1e-300, 3, "0.000"},
        {0.3, 20, "0.29999999999999998890"},
        {1.25e-8, 9, "0.000000012"}, // just below the half in binary
        {5e-324, 2, "0.00"},
        {std::ldexp(1.0, -30) * 5, 10, "0.0000000047"}, // 4.656612873077392578125e-9
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatFixed(c.Value, c.Decimals), c.Expected) << c.Value << " / " << c.Decimals;
}

TEST(Numbers, FormatFixedAgreesWithTryParseDecimal) {
    for (const double value : {0.1, 12.25, -7.5, 1234.5678, 1e10 + 0.5}) {
        for (int decimals = 0; decimals <= 6; ++decimals) {
            const std::string text = FormatFixed(value, decimals);
            double back = 0;
            ASSERT_TRUE(TryParseDecimal(text, back)) << text;
            EXPECT_LE(std::fabs(back - value), 0.5 * std::pow(10.0, -decimals) + 1e-9) << text;
            const size_t dot = text.find('.');
            EXPECT_EQ(dot == std::string::npos ? 0 : text.size() - dot - 1,
                      static_cast<size_t>(decimals))
                << text;
        }
    }
}

} // namespace
} // namespace tarnis
