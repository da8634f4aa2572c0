// Tests of tdate_parse(): the seven accepted date layouts, name matching, the year rule, the
// arithmetic for out-of-range and extreme fields, and robustness against arbitrary text.
#include "websrv_plugin.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <ctime>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr time_t kSundayNov6th1994 = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT

// The latest year whose instants the host's time_t and timegm() can represent.
constexpr int kLastYear = sizeof(time_t) >= 8 ? 2099 : 2037;

const char *const kMonthNames[12] = {"January", "February", "March",     "April",
                                     "May",     "June",     "July",      "August",
                                     "September", "October", "November", "December"};
const char *const kDayNames[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                  "Thursday", "Friday", "Saturday"};

// The instant of a calendar date, computed by the C library rather than by the parser.
// `month` is 1 for January. Fields out of their usual range roll over, as in timegm().
time_t utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0)
{
    struct tm tm {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return timegm(&tm);
}

time_t parse(const std::string &text) { return tdate_parse(text.c_str()); }

std::string abbreviation(const char *name) { return std::string(name, 3); }

std::string repeat(char c, size_t count) { return std::string(count, c); }

// The four prefixes that every edge case is also tried with.
const char *const kLeadingBlanks[] = {"", " ", "\t", "  \t \t "};

// 128-bit integers where the compiler has them. 32-bit targets have none; there 64 bits do,
// because the rule's result from int fields stays below 2^57 in magnitude.
#ifdef __SIZEOF_INT128__
using wide_int = __int128;
#else
using wide_int = int64_t;
#endif

// Seconds since 1970 by the server's conversion rule, computed in wide arithmetic from the
// fields as a client wrote them (year before the year rule, month 0 for January). Only
// needed where the calendar of timegm() and the rule part ways: absurd field values, years
// outside 1970..2100. -1 when the instant does not fit time_t.
time_t conversion_rule(int day, int month, int year, int hour, int minute, int second)
{
    static const int month_lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    wide_int y = year;
    if (y > 1900) {
        y -= 1900;
    } else if (y < 70) {
        y += 100;
    }
    wide_int days_before_month = 0;
    for (int m = 0; m < month; ++m) {
        days_before_month += month_lengths[m];
    }
    // Leap days counted with a division that rounds toward zero, as C division does.
    wide_int days = (y - 70) * 365 + (y - 69) / 4 + days_before_month + (wide_int{day} - 1);
    wide_int full_year = y + 1900;
    bool leap = full_year % 400 == 0 || (full_year % 4 == 0 && full_year % 100 != 0);
    if (month >= 2 && leap) {
        days += 1;
    }
    wide_int seconds = ((days * 24 + hour) * 60 + minute) * 60 + second;
    if (seconds < std::numeric_limits<time_t>::min() ||
        seconds > std::numeric_limits<time_t>::max()) {
        return -1;
    }
    return static_cast<time_t>(seconds);
}

struct Case {
    const char *text;
    time_t expected;
};

void expect_all(const std::vector<Case> &cases)
{
    for (const Case &c : cases) {
        EXPECT_EQ(parse(c.text), c.expected) << "input: \"" << c.text << "\"";
    }
}

// ---- Documented behaviour ---------------------------------------------------------------

TEST(DateParser, GivesTheDocumentedResultForEachEdgeCaseWithOrWithoutLeadingBlanks)
{
    const Case cases[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", 784111777},
        {"Sunday, 06-Nov-94 08:49:37 GMT", 784111777},
        {"Sun Nov 6 08:49:37 GMT 1994", 784111777},
        {"06 Nov 1994 08:49:37", 784111777},
        {"08:49:37 GMT 06-Nov-94", 784111777},
        {"SUN, 06 NOV 1994 08:49:37 GMT", 784111777},
        {"Mon, 06 Nov 1994 08:49:37 GMT", 784111777},
        {"Sun Nov 6 08:49:37 1994", -1},
        {"Sun, 06 Sept 1994 08:49:37 GMT", -1},
        {"Sonntag, 06 Nov 1994 08:49:37 GMT", -1},
        {"Wed, 01 Mar 2000 00:00:00 GMT", 951868800},
        {"31 Feb 2021 00:00:00 GMT", 1614729600},
        {"Thu, 01 Jan 70 00:00:00 GMT", 0},
        {"Wed, 31 Dec 1969 23:59:59 GMT", -1},
        {"01 Jan 00 00:00:00 GMT", 946684800},
    };
    for (const Case &c : cases) {
        for (const char *blanks : kLeadingBlanks) {
            std::string input = std::string(blanks) + c.text;
            EXPECT_EQ(parse(input), c.expected) << "input: \"" << input << "\"";
        }
    }
    // The instants above, independently: 31 February is 3 March of a common year.
    EXPECT_EQ(utc(2021, 3, 3), 1614729600);
    EXPECT_EQ(utc(1994, 11, 6, 8, 49, 37), kSundayNov6th1994);
}

TEST(DateParser, AcceptsEachOfTheSevenLayouts)
{
    // Every field differs from the others so that a field read into the wrong place shows.
    const time_t later = utc(2021, 7, 29, 23, 5, 9);
    expect_all({
        {"06-Nov-94 08:49:37 GMT", kSundayNov6th1994},
        {"06 Nov 1994 08:49:37 GMT", kSundayNov6th1994},
        {"08:49:37 GMT 06-Nov-94", kSundayNov6th1994},
        {"08:49:37 GMT 06 Nov 1994", kSundayNov6th1994},
        {"Sunday, 06-Nov-94 08:49:37 GMT", kSundayNov6th1994},
        {"Sun, 06 Nov 1994 08:49:37 GMT", kSundayNov6th1994},
        {"Sun Nov 6 08:49:37 GMT 1994", kSundayNov6th1994},
        {"29-Jul-21 23:05:09 GMT", later},
        {"29 Jul 2021 23:05:09 GMT", later},
        {"23:05:09 GMT 29-Jul-2021", later},
        {"23:05:09 GMT 29 July 21", later},
        {"Thursday, 29-Jul-2021 23:05:09 GMT", later},
        {"Thu, 29 Jul 2021 23:05:09 GMT", later},
        {"Thu Jul 29 23:05:09 GMT 2021", later},
    });
}

TEST(DateParser, AcceptsRfc1123Dates)
{
    for (int year = 1970; year <= kLastYear; year += 7) {
        for (int month = 1; month <= 12; ++month) {
            int day = 1 + (year + month * 3) % 28;
            struct tm tm {};
            tm.tm_year = year - 1900;
            tm.tm_mon = month - 1;
            tm.tm_mday = day;
            tm.tm_hour = month + 8;
            tm.tm_min = day * 2;
            tm.tm_sec = 59 - day;
            time_t expected = timegm(&tm);
            char text[64];
            strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &tm);
            EXPECT_EQ(parse(text), expected) << "input: \"" << text << "\"";
        }
    }
}

TEST(DateParser, MatchesDayAndMonthNamesInAnyCase)
{
    const char *const days[] = {"sun", "SUN", "Sun", "sUn", "suN", "sunday", "SUNDAY", "SuNdAy"};
    const char *const months[] = {"nov", "NOV", "Nov", "nOV", "noV", "november", "NOVEMBER",
                                  "nOvEmBeR"};
    for (const char *day : days) {
        for (const char *month : months) {
            std::string l5 = std::string(day) + ", 06-" + month + "-94 08:49:37 GMT";
            std::string l6 = std::string(day) + ", 06 " + month + " 1994 08:49:37 GMT";
            std::string l7 = std::string(day) + " " + month + " 6 08:49:37 GMT 1994";
            EXPECT_EQ(parse(l5), kSundayNov6th1994) << "input: \"" << l5 << "\"";
            EXPECT_EQ(parse(l6), kSundayNov6th1994) << "input: \"" << l6 << "\"";
            EXPECT_EQ(parse(l7), kSundayNov6th1994) << "input: \"" << l7 << "\"";
        }
        std::string l1 = std::string("06-") + (day[0] == 's' ? "nOv" : "NoV") + "-94 08:49:37";
        EXPECT_EQ(parse(l1), kSundayNov6th1994) << "input: \"" << l1 << "\"";
    }
}

TEST(DateParser, AcceptsEveryDayNameInFullAndAbbreviatedWithoutComparingItToTheDate)
{
    for (const char *full : kDayNames) {
        for (const std::string &name : {std::string(full), abbreviation(full)}) {
            for (const std::string &text :
                 {name + ", 06-Nov-94 08:49:37 GMT", name + ", 06 Nov 1994 08:49:37 GMT",
                  name + " Nov 6 08:49:37 GMT 1994"}) {
                EXPECT_EQ(parse(text), kSundayNov6th1994) << "input: \"" << text << "\"";
            }
        }
    }
}

TEST(DateParser, MapsEveryMonthNameToItsMonth)
{
    for (int year : {1994, 2000, 2021, 2024}) {
        for (int month = 1; month <= 12; ++month) {
            const char *full = kMonthNames[month - 1];
            for (const std::string &name : {std::string(full), abbreviation(full)}) {
                for (int day : {1, 15, 28}) {
                    time_t expected = utc(year, month, day, 12, 34, 56);
                    std::string d = std::to_string(day);
                    std::string y = std::to_string(year);
                    for (const std::string &text :
                         {d + "-" + name + "-" + y + " 12:34:56 GMT",
                          d + " " + name + " " + y + " 12:34:56 GMT",
                          "12:34:56 GMT " + d + "-" + name + "-" + y,
                          "12:34:56 GMT " + d + " " + name + " " + y,
                          "Fri, " + d + "-" + name + "-" + y + " 12:34:56 GMT",
                          "Fri, " + d + " " + name + " " + y + " 12:34:56 GMT",
                          "Fri " + name + " " + d + " 12:34:56 GMT " + y}) {
                        EXPECT_EQ(parse(text), expected) << "input: \"" << text << "\"";
                    }
                }
            }
        }
    }
}

TEST(DateParser, RejectsNamesThatAreNeitherFullNamesNorThreeLetterAbbreviations)
{
    for (const char *month : {"Sept", "Ju", "Janu", "Novemb", "Novembers", "Mai", "Mayy",
                              "Octobre", "Dez", "N", "M\xc3\xa4rz"}) {
        std::string l2 = std::string("06 ") + month + " 1994 08:49:37 GMT";
        std::string l1 = std::string("06-") + month + "-1994 08:49:37 GMT";
        std::string l7 = std::string("Sun ") + month + " 6 08:49:37 GMT 1994";
        EXPECT_EQ(parse(l2), -1) << "input: \"" << l2 << "\"";
        EXPECT_EQ(parse(l1), -1) << "input: \"" << l1 << "\"";
        EXPECT_EQ(parse(l7), -1) << "input: \"" << l7 << "\"";
    }
    for (const char *day : {"Su", "Sund", "Sundays", "Tues", "Thur", "Thurs", "Wednes", "Sonntag",
                            "Dimanche", "S"}) {
        std::string l6 = std::string(day) + ", 06 Nov 1994 08:49:37 GMT";
        std::string l5 = std::string(day) + ", 06-Nov-94 08:49:37 GMT";
        std::string l7 = std::string(day) + " Nov 6 08:49:37 GMT 1994";
        EXPECT_EQ(parse(l6), -1) << "input: \"" << l6 << "\"";
        EXPECT_EQ(parse(l5), -1) << "input: \"" << l5 << "\"";
        EXPECT_EQ(parse(l7), -1) << "input: \"" << l7 << "\"";
    }
}

TEST(DateParser, AppliesTheYearRule)
{
    // 94 and 1994 are the same year.
    EXPECT_EQ(parse("06 Nov 94 08:49:37 GMT"), kSundayNov6th1994);
    EXPECT_EQ(parse("06 Nov 1994 08:49:37 GMT"), kSundayNov6th1994);
    // 0 to 69 are 2000 to 2069, with or without a leading zero.
    for (int y = 0; y <= 69; ++y) {
        time_t expected = utc(2000 + y, 3, 14, 15, 9, 26);
        char padded[64], bare[64], full[64];
        snprintf(padded, sizeof padded, "14 Mar %02d 15:09:26 GMT", y);
        snprintf(bare, sizeof bare, "Sun, 14-Mar-%d 15:09:26 GMT", y);
        snprintf(full, sizeof full, "14 Mar %d 15:09:26 GMT", 2000 + y);
        EXPECT_EQ(parse(padded), expected) << "input: \"" << padded << "\"";
        EXPECT_EQ(parse(bare), expected) << "input: \"" << bare << "\"";
        EXPECT_EQ(parse(full), expected) << "input: \"" << full << "\"";
    }
    // 70 to 99 are 1970 to 1999; 70 starts the epoch.
    for (int y = 70; y <= 99; ++y) {
        time_t expected = utc(1900 + y, 3, 14, 15, 9, 26);
        std::string two = "14 Mar " + std::to_string(y) + " 15:09:26 GMT";
        std::string four = "14 Mar " + std::to_string(1900 + y) + " 15:09:26 GMT";
        EXPECT_EQ(parse(two), expected) << "input: \"" << two << "\"";
        EXPECT_EQ(parse(four), expected) << "input: \"" << four << "\"";
    }
    EXPECT_EQ(parse("01 Jan 70 00:00:00 GMT"), 0);
    EXPECT_EQ(parse("01 Jan 1970 00:00:00 GMT"), 0);
    // Years from 70 up to and including 1900 count from 1900 as they stand: 100 is 2000 and
    // 1900 itself is the year 3800. Only years above 1900 are full years.
    EXPECT_EQ(parse("01 Jan 100 00:00:00 GMT"), utc(2000, 1, 1));
    EXPECT_EQ(parse("01 Jan 137 00:00:00 GMT"), utc(2037, 1, 1));
    EXPECT_EQ(parse("01 Jan 1900 00:00:00 GMT"), parse("01 Jan 3800 00:00:00 GMT"));
    EXPECT_EQ(parse("01 Jan 1899 00:00:00 GMT"), parse("01 Jan 3799 00:00:00 GMT"));
    EXPECT_NE(parse("01 Jan 1900 00:00:00 GMT"), utc(1900, 1, 1));
    EXPECT_EQ(parse("01 Jan 1901 00:00:00 GMT"), utc(1901, 1, 1));
    EXPECT_EQ(parse("06 Nov 1901 08:49:37 GMT"), utc(1901, 11, 6, 8, 49, 37));
    EXPECT_EQ(parse("01 Jan 1969 00:00:00 GMT"), utc(1969, 1, 1));
    // Below 70 means below 70, signs included: -1 is 99 and -30 is 70.
    EXPECT_EQ(parse("06 Nov -1 08:49:37 GMT"), utc(1999, 11, 6, 8, 49, 37));
    EXPECT_EQ(parse("06 Nov -30 08:49:37 GMT"), utc(1970, 11, 6, 8, 49, 37));
    // Four-digit years convert by the calendar across 2038 where time_t allows.
    for (int year : {2037, 2038, 2069, 2070, 2099}) {
        if (year > kLastYear) {
            continue;
        }
        std::string text = "Sat, 31 Dec " + std::to_string(year) + " 23:59:59 GMT";
        EXPECT_EQ(parse(text), utc(year, 12, 31, 23, 59, 59)) << "input: \"" << text << "\"";
    }
}

TEST(DateParser, CountsLeapDays)
{
    expect_all({
        {"29 Feb 2024 12:00:00 GMT", utc(2024, 2, 29, 12)},
        {"01 Mar 2024 00:00:00 GMT", utc(2024, 3, 1)},
        {"29 Feb 2023 00:00:00 GMT", utc(2023, 3, 1)},
        {"29 Feb 2000 00:00:00 GMT", utc(2000, 2, 29)},
        {"01 Mar 2000 00:00:00 GMT", utc(2000, 3, 1)},
        {"31 Dec 1972 00:00:00 GMT", utc(1972, 12, 31)},
        {"01 Jan 1973 00:00:00 GMT", utc(1973, 1, 1)},
    });
    if (kLastYear >= 2099) {
        expect_all({{"01 Mar 2096 00:00:00 GMT", utc(2096, 3, 1)},
                    {"31 Dec 2099 00:00:00 GMT", utc(2099, 12, 31)}});
    }
}

TEST(DateParser, GivesFixedInstantsForDatesAcrossTheYear2100)
{
    // Written out, not computed: the calendar's instants are those of `date -u -d ... +%s`.
    // 2100 is no leap year, and the conversion rule knows it within 2100 (29 February is
    // 1 March). Its count of the leap days of the years before, (year - 69) / 4 with the year
    // counted from 1900, takes every fourth year from 1972 on, 2100 included: from 2101 on
    // its instants are a day later than the calendar's, and by 2400 three days (2100, 2200,
    // 2300). That is the rule as designed; the calendar's instant is noted beside each.
    // Beyond 2038 a 32-bit time_t holds none of them, and -1 is the answer.
    const auto wide = [](long long seconds) {
        return sizeof(time_t) >= 8 ? static_cast<time_t>(seconds) : time_t{-1};
    };
    expect_all({
        {"Thu, 31 Dec 2099 23:59:59 GMT", wide(4102444799)},
        {"Fri, 01 Jan 2100 00:00:00 GMT", wide(4102444800)},
        {"Sun, 28 Feb 2100 12:00:00 GMT", wide(4107499200)},
        {"29 Feb 2100 00:00:00 GMT", wide(4107542400)},  // 1 March
        {"Mon, 01 Mar 2100 00:00:00 GMT", wide(4107542400)},
        {"Fri, 31 Dec 2100 23:59:59 GMT", wide(4133980799)},
        {"Sat, 01 Jan 2101 00:00:00 GMT", wide(4134067200)},  // calendar: 4133980800
        {"29 Feb 2104 00:00:00 GMT", wide(4233772800)},       // calendar: 4233686400
        {"01 Mar 2400 00:00:00 GMT", wide(13574908800)},      // calendar: 13574649600
    });
}

TEST(DateParser, IgnoresTextAfterTheDate)
{
    expect_all({
        {"Sun, 06 Nov 1994 08:49:37 GMT; length=1234", kSundayNov6th1994},
        {"Sun, 06 Nov 1994 08:49:37 GMT\r\n", kSundayNov6th1994},
        {"Sunday, 06-Nov-94 08:49:37 GMT garbage 12 Jan 2000", kSundayNov6th1994},
        {"06-Nov-94 08:49:37 GMTX", kSundayNov6th1994},
        {"06 Nov 1994 08:49:37xyz", kSundayNov6th1994},
        {"08:49:37 GMT 06-Nov-94 extra", kSundayNov6th1994},
        {"08:49:37 GMT 06 Nov 1994; length=5", kSundayNov6th1994},
        {"Sun Nov 6 08:49:37 GMT 1994 and more", kSundayNov6th1994},
        {"Sun Nov 6 08:49:37 GMT 1994 1995", kSundayNov6th1994},
    });
}

TEST(DateParser, AcceptsLayoutsOneTwoFiveAndSixWithoutGmtOrWithAnotherZoneWord)
{
    expect_all({
        {"06-Nov-94 08:49:37", kSundayNov6th1994},
        {"06 Nov 1994 08:49:37 UTC", kSundayNov6th1994},
        {"Sunday, 06-Nov-94 08:49:37", kSundayNov6th1994},
        {"Sun, 06 Nov 1994 08:49:37 +0000", kSundayNov6th1994},
        {"Sun, 06 Nov 1994 08:49:37 gmt", kSundayNov6th1994},
    });
}

TEST(DateParser, RequiresGmtBetweenTheFieldsOfLayoutsThreeFourAndSeven)
{
    for (const char *zone : {"", "UTC ", "gmt ", "Gmt ", "GM ", "+0000 "}) {
        std::string l3 = std::string("08:49:37 ") + zone + "06-Nov-94";
        std::string l4 = std::string("08:49:37 ") + zone + "06 Nov 1994";
        std::string l7 = std::string("Sun Nov 6 08:49:37 ") + zone + "1994";
        EXPECT_EQ(parse(l3), -1) << "input: \"" << l3 << "\"";
        EXPECT_EQ(parse(l4), -1) << "input: \"" << l4 << "\"";
        EXPECT_EQ(parse(l7), -1) << "input: \"" << l7 << "\"";
    }
}

TEST(DateParser, RejectsTextThatIsNotACompleteDate)
{
    expect_all({
        {"", -1},
        {" ", -1},
        {" \t \t", -1},
        {"GMT", -1},
        {"Sun", -1},
        {"Sun,", -1},
        {"06 Nov 1994", -1},
        {"06 Nov 1994 08:49", -1},
        {"06-Nov-94 08:49:", -1},
        {"Sun, 06 Nov 1994 08:49", -1},
        {"Sun Nov 6 08:49:37 GMT", -1},
        {"08:49:37 GMT 06 Nov", -1},
        {"1994-11-06T08:49:37Z", -1},
        {"784111777", -1},
        {"Sun; 06 Nov 1994 08:49:37 GMT", -1},
        {"06/Nov/1994 08:49:37 GMT", -1},
        {"06 Nov 1994 08.49.37 GMT", -1},
        {"Sun, 06 Nov 1994 08 : 49 : 37 GMT", -1},
    });
}

TEST(DateParser, SkipsOnlySpacesAndTabsBeforeADayName)
{
    for (const char *blank : {"\n", "\r", "\v", "\f", " \n", "\t\r"}) {
        std::string l6 = std::string(blank) + "Sun, 06 Nov 1994 08:49:37 GMT";
        std::string l7 = std::string(blank) + "Sun Nov 6 08:49:37 GMT 1994";
        EXPECT_EQ(parse(l6), -1) << "input: \"" << l6 << "\"";
        EXPECT_EQ(parse(l7), -1) << "input: \"" << l7 << "\"";
        // A layout that begins with a number reads past any white space by itself.
        std::string l2 = std::string(blank) + "06 Nov 1994 08:49:37 GMT";
        std::string l3 = std::string(blank) + "08:49:37 GMT 06-Nov-94";
        EXPECT_EQ(parse(l2), kSundayNov6th1994) << "input: \"" << l2 << "\"";
        EXPECT_EQ(parse(l3), kSundayNov6th1994) << "input: \"" << l3 << "\"";
    }
}

TEST(DateParser, MatchesAnyRunOfWhiteSpaceBetweenFieldsIncludingNone)
{
    expect_all({
        {"06Nov1994 08:49:37", kSundayNov6th1994},
        {"Sun,06 Nov 1994 08:49:37 GMT", kSundayNov6th1994},
        {"Sun,06Nov1994 08:49:37 GMT", kSundayNov6th1994},
        {"08:49:37GMT06-Nov-94", kSundayNov6th1994},
        {"08:49:37GMT06Nov1994", kSundayNov6th1994},
        {"06 \t\n Nov\t1994 \r\n 08:49:37", kSundayNov6th1994},
        {"Sun \t Nov\n6\t08:49:37\t\tGMT\n\n1994", kSundayNov6th1994},
        {"06-Nov- 94  08: 49: 37 GMT", kSundayNov6th1994},
        {"Sunday,\t06-Nov-94\t08:49:37", kSundayNov6th1994},
        // The first name takes every letter up to the first non-letter.
        {"SunNov 6 08:49:37 GMT 1994", -1},
        {"WednesdayNovember 6 08:49:37 GMT 1994", -1},
        // Literal text must follow a number directly.
        {"06 -Nov-94 08:49:37 GMT", -1},
        {"08 :49:37 GMT 06-Nov-94", -1},
        {"Sun , 06 Nov 1994 08:49:37 GMT", -1},
    });
}

TEST(DateParser, ReadsNumbersAsDecimalWithAnOptionalSign)
{
    expect_all({
        // Leading zeros do not make a number octal: 08 and 09 are eight and nine.
        {"09 Nov 1994 09:08:09 GMT", utc(1994, 11, 9, 9, 8, 9)},
        {"0009 Nov 01994 0009:0008:0009 GMT", utc(1994, 11, 9, 9, 8, 9)},
        {"010 Nov 1994 010:010:010 GMT", utc(1994, 11, 10, 10, 10, 10)},
        {"+06 Nov +1994 +08:+49:+37 GMT", kSundayNov6th1994},
        {"06 Nov 1994 08:49:-37 GMT", utc(1994, 11, 6, 8, 49, -37)},
        {"-1-Jan-2000 00:00:00 GMT", utc(2000, 1, -1)},
        {"Sun, 06 Nov 1994 08:49:3x GMT", utc(1994, 11, 6, 8, 49, 3)},
        // A sign must be followed by digits.
        {"06 Nov 1994 08:49:- 37 GMT", -1},
        {"06 Nov 1994 08:49:+ GMT", -1},
        {"0x6 Nov 1994 08:49:37 GMT", -1},
    });
}

TEST(DateParser, RollsFieldsOutsideTheirRangeOver)
{
    expect_all({
        {"31 Feb 2021 00:00:00 GMT", utc(2021, 3, 3)},
        {"30 Feb 2024 00:00:00 GMT", utc(2024, 3, 1)},
        {"00 Mar 2024 00:00:00 GMT", utc(2024, 2, 29)},
        {"00 Mar 2023 00:00:00 GMT", utc(2023, 2, 28)},
        {"32 Dec 1999 00:00:00 GMT", utc(2000, 1, 1)},
        {"400 Jan 2021 00:00:00 GMT", utc(2022, 2, 4)},
        {"06 Nov 1994 25:00:00 GMT", utc(1994, 11, 7, 1)},
        {"06 Nov 1994 23:60:60 GMT", utc(1994, 11, 7, 0, 1, 0)},
        {"06 Nov 1994 -1:00:00 GMT", utc(1994, 11, 5, 23)},
        {"06 Nov 1994 00:00:86400 GMT", utc(1994, 11, 7)},
        {"01 Jan 1970 00:00:-1 GMT", -1},
        {"01 Jan 1970 00:00:-2 GMT", -2},
        {"06 Nov 1994 1000000:1000000:1000000 GMT", utc(1994, 11, 6, 1000000, 1000000, 1000000)},
    });
}

TEST(DateParser, RejectsNamesLongerThanFourHundredLetters)
{
    for (size_t length : {401u, 402u, 450u, 499u, 500u, 1000u, 5000u}) {
        std::string junk = repeat('x', length);
        // A real name with letters added until it is too long.
        std::string sunday = "Sunday" + repeat('a', length - 6);
        std::string november = "November" + repeat('a', length - 8);
        for (const std::string &text : {
                 junk + ", 06 Nov 1994 08:49:37 GMT",
                 junk + ", 06-Nov-94 08:49:37 GMT",
                 junk + " Nov 6 08:49:37 GMT 1994",
                 sunday + ", 06 Nov 1994 08:49:37 GMT",
                 sunday + " Nov 6 08:49:37 GMT 1994",
                 "06 " + junk + " 1994 08:49:37 GMT",
                 "06-" + junk + "-94 08:49:37 GMT",
                 "06 " + november + " 1994 08:49:37 GMT",
                 "06-" + november + "-1994 08:49:37 GMT",
                 "08:49:37 GMT 06-" + november + "-94",
                 "08:49:37 GMT 06 " + junk + " 1994",
                 "Sun, 06 " + november + " 1994 08:49:37 GMT",
                 "Sun " + november + " 6 08:49:37 GMT 1994",
                 // 400 letters of a word fill the day name, its rest becomes the month name.
                 repeat('x', 400) + "Nov 6 08:49:37 GMT 1994",
             }) {
            EXPECT_EQ(parse(text), -1) << "input: \"" << text << "\"";
        }
    }
}

TEST(DateParser, RejectsAFourHundredLetterWordInPlaceOfAName)
{
    for (const std::string &word : {repeat('q', 400), repeat('Z', 400),
                                    "Sunday" + repeat('s', 394), "November" + repeat('N', 392)}) {
        ASSERT_EQ(word.size(), 400u);
        for (const std::string &text : {
                 word + ", 06 Nov 1994 08:49:37 GMT",
                 word + ", 06-Nov-94 08:49:37 GMT",
                 word + " Nov 6 08:49:37 GMT 1994",
                 "Sun " + word + " 6 08:49:37 GMT 1994",
                 "06 " + word + " 1994 08:49:37 GMT",
                 "06-" + word + "-94 08:49:37 GMT",
                 "08:49:37 GMT 06-" + word + "-94",
                 "08:49:37 GMT 06 " + word + " 1994",
                 word + ", 06 " + word + " 1994 08:49:37 GMT",
             }) {
            EXPECT_EQ(parse(text), -1) << "input: \"" << text << "\"";
        }
    }
}

TEST(DateParser, ConvertsExtremeFieldValuesWithoutOverflow)
{
    // Run under the undefined-behaviour sanitizer, this shows the arithmetic stays defined;
    // the results must match the conversion rule computed in 128 bits.
    const int values[] = {INT_MIN, INT_MIN + 1, -100000, -1, 0, 1, 69, 70, 1900, 1901,
                          100000, INT_MAX - 1, INT_MAX};
    for (int big : values) {
        for (int month = 0; month < 12; month += 11) {
            const char *name = kMonthNames[month];
            struct Fields {
                int day, year, hour, minute, second;
            };
            for (const Fields &f : {Fields{big, big, big, big, big}, Fields{big, 1994, 8, 49, 37},
                                    Fields{6, big, 8, 49, 37}, Fields{6, 1994, big, 49, 37},
                                    Fields{6, 1994, 8, big, 37}, Fields{6, 1994, 8, 49, big},
                                    Fields{big, big, -(big / 2), big, -(big / 3)}}) {
                char text[200];
                snprintf(text, sizeof text, "%d %s %d %d:%d:%d GMT", f.day, name, f.year, f.hour,
                         f.minute, f.second);
                time_t expected =
                    conversion_rule(f.day, month, f.year, f.hour, f.minute, f.second);
                EXPECT_EQ(parse(text), expected) << "input: \"" << text << "\"";
            }
        }
    }
    // With a 64-bit time_t every combination of int fields fits, so none of these is -1.
    if (sizeof(time_t) >= 8) {
        EXPECT_NE(parse("2147483647 Dec 2147483647 2147483647:2147483647:2147483647 GMT"), -1);
        EXPECT_NE(parse("-2147483648 Jan -2147483648 -2147483648:-2147483648:-2147483648 GMT"),
                  -1);
    }
}

TEST(DateParser, FollowsTheConversionRuleOutsideTheCalendarOfTimegm)
{
    // Before 1970 and after 2100 the conversion rule's leap-day count (a division rounded
    // toward zero, no century exception) is not the Gregorian calendar. These are checked
    // against the rule itself; the years 1970 to 2100 are checked against timegm() elsewhere.
    for (int year : {1901, 1902, 1903, 1904, 1905, 1960, 1965, 1966, 1967, 1968, 1969, 2100,
                     2101, 2104, 2400, 3000, 9999, 20000}) {
        for (int month = 0; month < 12; ++month) {
            std::string text = "28 " + abbreviation(kMonthNames[month]) + " " +
                               std::to_string(year) + " 13:14:15 GMT";
            EXPECT_EQ(parse(text), conversion_rule(28, month, year, 13, 14, 15))
                << "input: \"" << text << "\"";
        }
    }
}

// ---- Randomised inputs ------------------------------------------------------------------

class TextMaker {
public:
    explicit TextMaker(uint64_t seed) : rng_(seed) {}

    int below(int n) { return static_cast<int>(rng_() % static_cast<uint64_t>(n)); }
    int between(int low, int high) { return low + below(high - low + 1); }
    bool coin() { return below(2) == 0; }

    // One run of white space, as a blank in a layout matches it.
    std::string blank()
    {
        static const char kSpace[] = {' ', '\t', '\n', '\r', '\v', '\f'};
        std::string run;
        int length = below(4) == 0 ? between(2, 4) : 1;
        for (int i = 0; i < length; ++i) {
            run += below(3) == 0 ? kSpace[below(6)] : ' ';
        }
        return run;
    }

    // A number as a client might write it: optional white space (a number skips it), a sign,
    // leading zeros.
    std::string number(int value)
    {
        std::string text;
        if (below(8) == 0) {
            text += blank();
        }
        int64_t magnitude = value;
        if (magnitude < 0) {
            text += '-';
            magnitude = -magnitude;
        } else if (below(8) == 0) {
            text += '+';
        }
        text += repeat('0', below(6) == 0 ? between(1, 3) : 0);
        return text + std::to_string(magnitude);
    }

    // A day or month name, full or abbreviated, with its letters in random case.
    std::string name(const char *full)
    {
        std::string text = coin() ? std::string(full) : abbreviation(full);
        for (char &c : text) {
            int pick = below(3);
            c = static_cast<char>(pick == 0 ? toupper(c) : pick == 1 ? tolower(c) : c);
        }
        return text;
    }

    std::string word(size_t length)
    {
        std::string text;
        for (size_t i = 0; i < length; ++i) {
            text += static_cast<char>((coin() ? 'a' : 'A') + below(26));
        }
        return text;
    }

    std::string digits(size_t length)
    {
        std::string text;
        for (size_t i = 0; i < length; ++i) {
            text += static_cast<char>('0' + below(10));
        }
        return text;
    }

    // Text after the seconds of layouts 1, 2, 5 and 6: never starts with a digit.
    std::string tail_after_time()
    {
        static const char *const kTails[] = {"",       " GMT",   "GMT",     " GMT; length=1234",
                                             " UTC",   "\r\n",   " +0000",  "xyz 99",
                                             " GMT 7", " gmt",   ";",       " 12 Jan 2000"};
        return kTails[below(12)];
    }

    // Text after the year of layouts 3, 4 and 7: never starts with a digit.
    std::string tail_after_year()
    {
        static const char *const kTails[] = {"", " ", "; length=7", " 12", "\r\nX", " GMT", "x"};
        return kTails[below(7)];
    }

    // The date in one of the seven layouts, with the fields as given (`month` 0 for January,
    // `year` as written).
    std::string date(int layout, int wday, int day, int month, const std::string &year, int hour,
                     int minute, int second)
    {
        std::string lead;
        while (below(4) == 0) {
            lead += coin() ? ' ' : '\t';
        }
        std::string d = number(day);
        std::string m = name(kMonthNames[month]);
        std::string w = name(kDayNames[wday]);
        std::string time = number(hour) + ":" + number(minute) + ":" + number(second);
        switch (layout) {
        case 1:
            return lead + d + "-" + m + "-" + year + blank() + time + tail_after_time();
        case 2:
            return lead + d + blank() + m + blank() + year + blank() + time + tail_after_time();
        case 3:
            return lead + time + blank() + "GMT" + blank() + d + "-" + m + "-" + year +
                   tail_after_year();
        case 4:
            return lead + time + blank() + "GMT" + blank() + d + blank() + m + blank() + year +
                   tail_after_year();
        case 5:
            return lead + w + "," + blank() + d + "-" + m + "-" + year + blank() + time +
                   tail_after_time();
        case 6:
            return lead + w + "," + blank() + d + blank() + m + blank() + year + blank() + time +
                   tail_after_time();
        default:
            return lead + w + blank() + m + blank() + d + blank() + time + blank() + "GMT" +
                   blank() + year + tail_after_year();
        }
    }

    std::mt19937_64 &rng() { return rng_; }

private:
    std::mt19937_64 rng_;
};

int days_in_month(int year, int month)
{
    static const int lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 1 && leap ? 29 : lengths[month];
}

TEST(DateParser, ConvertsRandomCalendarDatesInEveryLayoutAsTimegmDoes)
{
    TextMaker make(0x5eed0001);
    for (int i = 0; i < 100000; ++i) {
        int layout = i < 40000 ? (i % 2 == 0 ? 6 : 1) : make.between(1, 7);
        int year = make.between(1970, kLastYear);
        int month = make.below(12);
        int day = make.between(1, days_in_month(year, month));
        int hour = make.below(24);
        int minute = make.below(60);
        int second = make.below(60);
        // The year as four digits, as two (1970 to 2069) or counted from 1900.
        std::string written = make.number(year);
        int form = make.below(3);
        if (form == 1 && year <= 2069) {
            char two[8];
            snprintf(two, sizeof two, make.coin() ? "%02d" : "%d", year % 100);
            written = two;
        } else if (form == 2) {
            written = make.number(year - 1900);
        }
        std::string text =
            make.date(layout, make.below(7), day, month, written, hour, minute, second);
        time_t expected = utc(year, month + 1, day, hour, minute, second);
        ASSERT_EQ(parse(text), expected) << "input: \"" << text << "\"";
        ASSERT_EQ(conversion_rule(day, month, year, hour, minute, second), expected)
            << "the reference rule disagrees with timegm for \"" << text << "\"";
    }
}

TEST(DateParser, ConvertsRandomOutOfRangeFieldsAsTimegmNormalisesThem)
{
    TextMaker make(0x5eed0002);
    for (int i = 0; i < 50000; ++i) {
        int year = make.between(1970, kLastYear - 1);
        int month = make.below(12);
        int day = make.between(-40, 400);
        int hour = make.between(-30, 100);
        int minute = make.between(-200, 2000);
        int second = make.between(-5000, 100000);
        std::string text = make.date(make.between(1, 7), make.below(7), day, month,
                                     make.number(year), hour, minute, second);
        time_t expected = utc(year, month + 1, day, hour, minute, second);
        ASSERT_EQ(parse(text), expected) << "input: \"" << text << "\"";
    }
}

TEST(DateParser, ConvertsRandomExtremeFieldsByTheConversionRule)
{
    TextMaker make(0x5eed0003);
    auto any_int = [&]() -> int {
        switch (make.below(4)) {
        case 0:
            return make.coin() ? INT_MAX - make.below(3) : INT_MIN + make.below(3);
        case 1:
            return make.between(-100, 3000);
        default:
            return static_cast<int>(static_cast<uint32_t>(make.rng()()));
        }
    };
    for (int i = 0; i < 50000; ++i) {
        int day = any_int();
        int month = make.below(12);
        int year = any_int();
        int hour = any_int();
        int minute = any_int();
        int second = any_int();
        std::string text = make.date(make.between(1, 7), make.below(7), day, month,
                                     make.number(year), hour, minute, second);
        ASSERT_EQ(parse(text), conversion_rule(day, month, year, hour, minute, second))
            << "input: \"" << text << "\"";
    }
}

std::string upper_ascii(std::string text)
{
    for (char &c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

TEST(DateParser, SurvivesRandomAndMutatedTextAndStaysConsistent)
{
    TextMaker make(0x5eed0004);
    const std::vector<std::string> tokens = {
        "Sun", "sunday", "MON", "Wed", "Nov", "NOVEMBER", "may", "Sept", ",", "-", ":", " ",
        "\t", "\n", "GMT", "gmt", "06", "6", "1994", "94", "08", "49", "37", "-5", "+7", "0",
        "2147483647", "-2147483648", "4294967296", "+", "x", "\xff", "%d", "%s", "%400["};
    int parsed = 0;
    for (int i = 0; i < 200000; ++i) {
        std::string text;
        switch (make.below(4)) {
        case 0: {  // random bytes
            int length = make.below(80);
            for (int k = 0; k < length; ++k) {
                text += static_cast<char>(make.between(1, 255));
            }
            break;
        }
        case 1: {  // a soup of date tokens, long digit runs and long words
            int count = make.between(1, 16);
            for (int k = 0; k < count; ++k) {
                int pick = make.below(static_cast<int>(tokens.size()) + 5);
                if (pick < static_cast<int>(tokens.size())) {
                    text += tokens[pick];
                } else if (pick == static_cast<int>(tokens.size())) {
                    text += make.digits(make.between(10, 2000));
                } else if (pick == static_cast<int>(tokens.size()) + 1) {
                    text += make.word(1000);
                } else if (pick == static_cast<int>(tokens.size()) + 2) {
                    text += make.word(make.between(399, 401));
                } else {
                    text += make.word(make.between(1, 12));
                }
            }
            break;
        }
        default: {  // a real date with a few characters or tokens changed
            text = make.date(make.between(1, 7), make.below(7), make.between(1, 31),
                             make.below(12), make.number(make.between(0, 2100)), make.below(24),
                             make.below(60), make.below(60));
            int edits = make.between(1, 4);
            for (int k = 0; k < edits && !text.empty(); ++k) {
                size_t at = static_cast<size_t>(make.below(static_cast<int>(text.size())));
                switch (make.below(5)) {
                case 0:
                    text.erase(at, 1);
                    break;
                case 1:
                    text.insert(at, 1, static_cast<char>(make.between(1, 255)));
                    break;
                case 2:
                    text[at] = static_cast<char>(make.between(1, 255));
                    break;
                case 3:
                    text.insert(at, tokens[make.below(static_cast<int>(tokens.size()))]);
                    break;
                default:
                    text.insert(at, make.coin() ? make.digits(make.between(10, 500))
                                                : make.word(make.between(390, 1000)));
                    break;
                }
            }
            break;
        }
        }
        time_t result = parse(text);
        // Spaces and tabs before the text never matter, and a second call gives the same.
        ASSERT_EQ(parse(" \t " + text), result) << "input: \"" << text << "\"";
        ASSERT_EQ(parse(text), result) << "input: \"" << text << "\"";
        if (result != -1) {
            ++parsed;
            // Names match in any case, and the GMT a layout needs is already upper case.
            ASSERT_EQ(parse(upper_ascii(text)), result) << "input: \"" << text << "\"";
        }
    }
    // The mutated dates keep many inputs parseable, so the checks above did run.
    EXPECT_GT(parsed, 1000);
}

}  // namespace
