// Date values and their text form.
//
// Internal form: seconds since 1970-01-01 00:00:00 counting the local
// wall-clock time as if it were universal time, so that building and
// splitting a value are pure calendar arithmetic with no time-zone rules:
// only date_from_moment (and date_now through it) asks the system for the
// local time, summer time included.
// Range: 1970-01-01 00:00:00 to 2038-01-19 03:14:07, what a signed 32-bit
// count holds. The day-count conversions are the proleptic Gregorian
// "days from civil" and "civil from days" formulas over 400-year eras.

#include "date.h"

#include <cctype>
#include <cstdio>
#include <ctime>
#include <iterator>

namespace {

struct DateFields {
    int year;   // full year, e.g. 2007
    int month;  // 1 to 12
    int day;    // 1 to 31
    int hour;   // 0 to 23
    int minute; // 0 to 59
    int second; // 0 to 59
};

bool date_is_leap(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Days from 1970-01-01 to the given date (negative before it).
int64_t date_days_from_civil(int64_t y, int m, int d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// The calendar fields of a date value; any 32-bit value splits.
DateFields date_split(int32_t value)
{
    int64_t days = value / 86400;
    int64_t rest = value % 86400;
    if (rest < 0) {
        rest += 86400;
        days -= 1;
    }
    DateFields f;
    f.hour = static_cast<int>(rest / 3600);
    f.minute = static_cast<int>(rest / 60 % 60);
    f.second = static_cast<int>(rest % 60);

    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    f.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    f.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    f.year = static_cast<int>(yoe + era * 400 + (f.month <= 2));
    return f;
}

// True when the mask at `p` starts with `token` (lower case), in any case.
bool date_token_at(const char* p, const char* token)
{
    for (; *token != '\0'; p++, token++) {
        if (*p == '\0' || std::tolower(static_cast<unsigned char>(*p)) != *token) {
            return false;
        }
    }
    return true;
}

void date_append_two(std::string& out, int v)
{
    out += static_cast<char>('0' + v / 10 % 10);
    out += static_cast<char>('0' + v % 10);
}

}  // namespace

// See header.
int32_t date_make(int year, int month, int day, int hour, int minute, int second)
{
    if (second < 0 || second > 59 || minute < 0 || minute > 59 || hour < 0 || hour > 23 ||
        day < 1 || day > 31 || month < 1 || month > 12 || year <= 0) {
        return -1;
    }
    if (day == 31 && (month == 4 || month == 6 || month == 9 || month == 11)) {
        return -1;
    }
    if (month == 2 && (day > 29 || (day == 29 && !date_is_leap(year)))) {
        return -1;
    }
    const int64_t value = date_days_from_civil(year, month, day) * 86400 + hour * 3600 +
                          minute * 60 + second;
    if (value < 0 || value > INT32_MAX) {
        return -1;
    }
    return static_cast<int32_t>(value);
}

// See header.
int32_t date_now() { return date_from_moment(time(nullptr)); }

// See header.
int32_t date_from_moment(int64_t moment)
{
    const time_t t = static_cast<time_t>(moment);
    // localtime_r alone may keep a zone read long ago; the user may have
    // changed it since, and the chat's "/time" should follow.
    tzset();
    struct tm local;
    if (localtime_r(&t, &local) == nullptr) {
        return -1;
    }
    return date_make(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                     local.tm_min, local.tm_sec);
}

// See header.
std::string date_format(const char* mask, int32_t date)
{
    std::string out;
    if (mask == nullptr) {
        return out;
    }
    const DateFields f = date_split(date);
    char year[16];
    std::snprintf(year, sizeof year, "%d", f.year);
    const std::string year_text = year;

    // Tried in this order after each "%"; the first that matches wins.
    const struct {
        const char* token;
        int value;
    } two_digit[] = {{"mm", f.month}, {"dd", f.day}, {"hh", f.hour}, {"ii", f.minute}, {"ss", f.second}};

    const char* p = mask;
    while (*p != '\0') {
        const char* t = p + 1;
        if (*p != '%') {
            out += *p++;
        } else if (date_token_at(t, "yyyy")) {
            out += year_text;
            p = t + 4;
        } else if (date_token_at(t, "yy")) {
            // The third and fourth characters of the year's text.
            if (year_text.size() > 2) {
                out += year_text.substr(2, 2);
            }
            p = t + 2;
        } else {
            std::size_t i = 0;
            while (i < std::size(two_digit) && !date_token_at(t, two_digit[i].token)) {
                i++;
            }
            if (i < std::size(two_digit)) {
                date_append_two(out, two_digit[i].value);
                p = t + 2;
            } else {
                out += *p++; // a "%" that starts no token
            }
        }
    }
    return out;
}
