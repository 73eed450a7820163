// Dates: validity rules, the calendar arithmetic against the C library's
// timegm over the whole range, the mask language, and local time with
// summer time under a set time zone.

#include "date.h"

#include <climits>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <string>

namespace {

struct MakeCase {
    int year, month, day, hour, minute, second;
    bool valid;
};

const MakeCase MAKE_CASES[] = {
    {2007, 2, 29, 0, 0, 0, false},
    {2007, 4, 31, 0, 0, 0, false},
    {2000, 2, 29, 0, 0, 0, true},
    {2004, 2, 29, 23, 59, 59, true},
    {1900, 2, 29, 0, 0, 0, false},
    {2100, 2, 29, 0, 0, 0, false},
    {2008, 2, 30, 0, 0, 0, false},
    {2007, 6, 31, 0, 0, 0, false},
    {2007, 9, 31, 0, 0, 0, false},
    {2007, 11, 31, 0, 0, 0, false},
    {2007, 12, 31, 0, 0, 0, true},
    {2007, 0, 1, 0, 0, 0, false},
    {2007, 13, 1, 0, 0, 0, false},
    {2007, 1, 0, 0, 0, 0, false},
    {2007, 1, 32, 0, 0, 0, false},
    {2007, 1, 1, 24, 0, 0, false},
    {2007, 1, 1, -1, 0, 0, false},
    {2007, 1, 1, 0, 60, 0, false},
    {2007, 1, 1, 0, 0, 60, false},
    {2007, 1, 1, 0, 0, -1, false},
    {0, 1, 1, 0, 0, 0, false},
    {-5, 1, 1, 0, 0, 0, false},
    {1969, 12, 31, 23, 59, 59, false},
    {1970, 1, 1, 0, 0, 0, true},
    {2038, 1, 19, 3, 14, 7, true},
    {2038, 1, 19, 3, 14, 8, false},
};

int64_t oracle(int year, int month, int day, int hour, int minute, int second)
{
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return timegm(&t);
}

TEST(Date, MakeRejectsWhatIsNoDate)
{
    for (const MakeCase& c : MAKE_CASES) {
        SCOPED_TRACE(std::to_string(c.year) + "-" + std::to_string(c.month) + "-" +
                     std::to_string(c.day) + " " + std::to_string(c.hour) + ":" +
                     std::to_string(c.minute) + ":" + std::to_string(c.second));
        const int32_t d = date_make(c.year, c.month, c.day, c.hour, c.minute, c.second);
        if (c.valid) {
            EXPECT_EQ(d, oracle(c.year, c.month, c.day, c.hour, c.minute, c.second));
        } else {
            EXPECT_EQ(d, -1);
        }
    }
}

// Every day of the range, at a time that changes with the day: the value
// equals timegm's, and formatting gives the fields back.
TEST(Date, EveryDayOfTheRangeRoundTrips)
{
    const int month_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int checked = 0;
    for (int year = 1970; year <= 2037; year++) {
        for (int month = 1; month <= 12; month++) {
            const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
            const int days = month_days[month - 1] + (month == 2 && leap ? 1 : 0);
            for (int day = 1; day <= days; day++, checked++) {
                const int hour = checked % 24, minute = checked % 60, second = (checked * 7) % 60;
                const int32_t d = date_make(year, month, day, hour, minute, second);
                ASSERT_EQ(d, oracle(year, month, day, hour, minute, second))
                    << year << "-" << month << "-" << day;
                char want[32];
                std::snprintf(want, sizeof want, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day,
                              hour, minute, second);
                ASSERT_EQ(date_format("%yyyy-%MM-%dd %hh:%ii:%ss", d), want);
            }
        }
    }
    EXPECT_EQ(checked, 24837);
}

struct FormatCase {
    const char* mask;
    const char* text;
};

// All for 5 March 2007, 08:04:09.
const FormatCase FORMAT_CASES[] = {
    {"%hh:%ii:%ss", "08:04:09"},
    {"%dd/%MM/%yyyy", "05/03/2007"},
    {"%yy", "07"},
    {"%YYYY", "2007"},
    {"%Yyyy|%yYyY", "2007|2007"},
    {"%mm %MM %Mm", "03 03 03"},
    {"%HH:%II:%SS %DD", "08:04:09 05"},
    {"100%", "100%"},
    {"%", "%"},
    {"%%yy", "%07"},
    {"%yyy", "07y"},
    {"%y", "%y"},
    {"%x%q", "%x%q"},
    {"%h%hh", "%h08"},
    {"at %hh.%ii h", "at 08.04 h"},
    {"", ""},
};

TEST(Date, FormatMasks)
{
    const int32_t d = date_make(2007, 3, 5, 8, 4, 9);
    ASSERT_NE(d, -1);
    for (const FormatCase& c : FORMAT_CASES) {
        SCOPED_TRACE(c.mask);
        EXPECT_EQ(date_format(c.mask, d), c.text);
    }
}

class DateZoneTest : public testing::Test {
protected:
    void SetUp() override
    {
        const char* tz = std::getenv("TZ");
        had_tz_ = tz != nullptr;
        old_tz_ = had_tz_ ? tz : "";
    }
    void TearDown() override
    {
        if (had_tz_) {
            setenv("TZ", old_tz_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    void use_zone(const char* zone)
    {
        setenv("TZ", zone, 1);
        tzset();
    }

private:
    bool had_tz_ = false;
    std::string old_tz_;
};

struct ZoneCase {
    const char* zone;
    int64_t moment;   // universal time
    const char* text; // local wall clock, "%dd.%MM.%yyyy %hh:%ii"
};

// Zones as POSIX rules, so that no time-zone database is needed: Berlin
// (CET, summer time CEST), New York (EST/EDT), Tokyo (no summer time).
const char* const BERLIN = "CET-1CEST,M3.5.0,M10.5.0/3";
const char* const NEW_YORK = "EST5EDT,M3.2.0,M11.1.0";
const char* const TOKYO = "JST-9";

const ZoneCase ZONE_CASES[] = {
    // 2007-07-15 12:00 UTC: summer time in Berlin (UTC+2), New York (UTC-4).
    {BERLIN, 1184500800, "15.07.2007 14:00"},
    {NEW_YORK, 1184500800, "15.07.2007 08:00"},
    // 2007-01-15 12:00 UTC: standard time.
    {BERLIN, 1168862400, "15.01.2007 13:00"},
    {NEW_YORK, 1168862400, "15.01.2007 07:00"},
    // The local date differs from the universal one.
    {TOKYO, 1168898400, "16.01.2007 07:00"},
    {"UTC0", 0, "01.01.1970 00:00"},
};

TEST_F(DateZoneTest, LocalWallClockIncludesSummerTime)
{
    for (const ZoneCase& c : ZONE_CASES) {
        SCOPED_TRACE(std::string(c.zone) + " " + std::to_string(c.moment));
        use_zone(c.zone);
        EXPECT_EQ(date_format("%dd.%MM.%yyyy %hh:%ii", date_from_moment(c.moment)), c.text);
    }
    use_zone(BERLIN);
    EXPECT_EQ(date_format("%hh", date_from_moment(1184500800)), "14");
    // Past what a date value holds.
    EXPECT_EQ(date_from_moment(int64_t{1} << 32), -1);
}

// date_now is the local clock, not the universal one: in a zone nine hours
// ahead the two cannot agree.
TEST_F(DateZoneTest, NowIsLocalTime)
{
    use_zone(TOKYO);
    const time_t before = time(nullptr);
    const int32_t now = date_now();
    const time_t after = time(nullptr);
    EXPECT_GE(now, before + 9 * 3600);
    EXPECT_LE(now, after + 9 * 3600);
}

}  // namespace
