// Calendar arithmetic for DateTime and the system clock.
#include "platform/datetime.h"

#include <chrono>
#include <cmath>
#include <ctime>

#include <fmt/format.h>

#include "platform/error.h"

namespace zel {
namespace {

// Days from 0001-01-01 (day 1) for a proleptic Gregorian date.
int64_t dayNumber(int year, int month, int day) {
    static const int cum[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    int64_t y = year - 1;
    int64_t n = y * 365 + y / 4 - y / 100 + y / 400 + cum[month - 1] + day;
    if (month > 2 && DateTime::isLeapYear(year)) ++n;
    return n;
}

void fromDayNumber(int64_t n, int& year, int& month, int& day) {
    // n is 1-based; work 0-based from 0001-01-01.
    int64_t d = n - 1;
    int64_t y400 = d / 146097;
    d %= 146097;
    int64_t y100 = d / 36524;
    if (y100 == 4) y100 = 3;
    d -= y100 * 36524;
    int64_t y4 = d / 1461;
    d %= 1461;
    int64_t y1 = d / 365;
    if (y1 == 4) y1 = 3;
    d -= y1 * 365;
    year = static_cast<int>(y400 * 400 + y100 * 100 + y4 * 4 + y1 + 1);
    month = 1;
    while (true) {
        int dim = DateTime::daysInMonth(year, month);
        if (d < dim) break;
        d -= dim;
        ++month;
    }
    day = static_cast<int>(d + 1);
}

}  // namespace

bool DateTime::isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DateTime::daysInMonth(int year, int month) {
    static const int dim[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : dim[month - 1];
}

bool DateTime::isValidDate(int year, int month, int day) {
    return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 && day <= daysInMonth(year, month);
}

DateTime DateTime::fromDate(int year, int month, int day) {
    if (!isValidDate(year, month, day))
        throw ConvertError(fmt::format("{:04}-{:02}-{:02} is not a valid date", year, month, day));
    return DateTime(static_cast<double>(dayNumber(year, month, day) - kPacketDayOffset));
}

DateTime DateTime::fromTime(int hour, int minute, int second, int millisecond) {
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || millisecond < 0 ||
        millisecond > 999)
        throw ConvertError(
            fmt::format("{:02}:{:02}:{:02}.{:03} is not a valid time", hour, minute, second, millisecond));
    return DateTime(((hour * 60 + minute) * 60 + second) * 1000.0 / kMsPerDay + millisecond / kMsPerDay);
}

DateTime DateTime::fromFields(const CalendarFields& f) {
    DateTime d = fromDate(f.year, f.month, f.day);
    DateTime t = fromTime(f.hour, f.minute, f.second, f.millisecond);
    return DateTime(d.value() + t.value());
}

int64_t DateTime::totalMilliseconds() const {
    // Before 1899-12-30 the fraction still counts forward from midnight: -1.25 is
    // 1899-12-29 06:00.
    double whole = std::trunc(value_);
    double frac = std::fabs(value_ - whole);
    int64_t ms = static_cast<int64_t>(std::llround(frac * kMsPerDay));
    return static_cast<int64_t>(whole) * 86400000LL + (value_ < 0 ? -ms : ms);
}

CalendarFields DateTime::fields() const {
    double whole = std::trunc(value_);
    int64_t ms = std::llround(std::fabs(value_ - whole) * kMsPerDay);
    int64_t days = static_cast<int64_t>(whole);
    if (ms >= 86400000) {
        ms -= 86400000;
        days += value_ < 0 ? -1 : 1;
    }
    CalendarFields f;
    fromDayNumber(days + kPacketDayOffset, f.year, f.month, f.day);
    f.hour = static_cast<int>(ms / 3600000);
    f.minute = static_cast<int>(ms / 60000 % 60);
    f.second = static_cast<int>(ms / 1000 % 60);
    f.millisecond = static_cast<int>(ms % 1000);
    return f;
}

DateTime DateTime::dateOnly() const { return DateTime(std::trunc(value_)); }

DateTime DateTime::timeOnly() const { return DateTime(std::fabs(value_ - std::trunc(value_))); }

DateTime DateTime::fromPacketDate(int32_t dayNumber) {
    return DateTime(static_cast<double>(static_cast<int64_t>(dayNumber) - kPacketDayOffset));
}

DateTime DateTime::fromPacketTime(int32_t ms) { return DateTime(ms / kMsPerDay); }

DateTime DateTime::fromPacketDateTime(double ms) {
    double days = std::floor(ms / kMsPerDay);
    double rest = ms - days * kMsPerDay;
    double d = days - kPacketDayOffset;
    // Negative date-times keep a positive time of day, as the runtime does.
    return DateTime(d < 0 ? d - rest / kMsPerDay : d + rest / kMsPerDay);
}

int32_t DateTime::packetDate() const { return static_cast<int32_t>(std::trunc(value_)) + kPacketDayOffset; }

int32_t DateTime::packetTime() const {
    int64_t ms = std::llround(std::fabs(value_ - std::trunc(value_)) * kMsPerDay);
    return static_cast<int32_t>(ms % 86400000);
}

double DateTime::packetDateTime() const {
    double whole = std::trunc(value_);
    int64_t ms = std::llround(std::fabs(value_ - whole) * kMsPerDay);
    return (whole + kPacketDayOffset) * kMsPerDay + static_cast<double>(ms);
}

DateTime SystemClock::now() const {
    using namespace std::chrono;
    auto tp = system_clock::now();
    std::time_t t = system_clock::to_time_t(tp);
    std::tm tm{};
    localtime_r(&t, &tm);
    int ms = static_cast<int>(duration_cast<milliseconds>(tp.time_since_epoch()).count() % 1000);
    return DateTime::fromFields({tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms});
}

}  // namespace zel
