// Date values: signed 32-bit seconds since 1970-01-01 00:00:00 in which the
// local wall-clock time is counted as if it were universal time, so a plain
// calendar split gives back the local fields. -1 is the invalid date.
#pragma once

#include <cstdint>
#include <string>

// The date value of the local fields; -1 when they do not form a valid date
// (day 31 of a 30-day month, February 29 outside leap years, any field out of
// range, a year of 0 or less, a moment before 1970-01-01 00:00:00 or after
// 2038-01-19 03:14:07, which a date value cannot hold).
int32_t date_make(int year, int month, int day, int hour, int minute, int second);

// The present local wall-clock time as a date value, whole seconds.
int32_t date_now();

// The local wall-clock time, summer time included, at the moment `moment`
// (seconds since 1970-01-01 00:00:00 universal time) as a date value; -1 when
// it lies outside what a date value holds. date_now is this at the present.
int32_t date_from_moment(int64_t moment);

// `mask` with %yyyy %yy %MM %dd %hh %ii %ss (letters in any case) replaced by
// the fields of `date`; everything else, a lone "%" included, is copied.
std::string date_format(const char* mask, int32_t date);
