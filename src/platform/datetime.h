// Date-times as the station's runtime counts them, and the clock that gives "now".
#pragma once

#include <compare>
#include <cstdint>
#include <memory>

namespace zel {

struct CalendarFields {
    int year = 0, month = 0, day = 0;
    int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// Days since 1899-12-30; the fraction is the time of day. 0 is the empty date,
// and callers compare a date-time with 0 to tell an unset one.
class DateTime {
  public:
    static constexpr double kMsPerDay = 86400000.0;
    // Day number of 1899-12-30 when 0001-01-01 is day 1, as the packet encoding counts.
    static constexpr int32_t kPacketDayOffset = 693594;

    constexpr DateTime() = default;
    constexpr explicit DateTime(double days) : value_(days) {}

    static DateTime fromDate(int year, int month, int day);  // throws ConvertError if not a date
    static DateTime fromTime(int hour, int minute, int second, int millisecond = 0);
    static DateTime fromFields(const CalendarFields& f);
    static bool isValidDate(int year, int month, int day);
    static bool isLeapYear(int year);
    static int daysInMonth(int year, int month);

    // Packet encodings: date = day number (1 = 0001-01-01); time = ms since
    // midnight; date-time = day number * 86 400 000 + ms.
    static DateTime fromPacketDate(int32_t dayNumber);
    static DateTime fromPacketTime(int32_t ms);
    static DateTime fromPacketDateTime(double ms);
    int32_t packetDate() const;
    int32_t packetTime() const;
    double packetDateTime() const;

    double value() const { return value_; }
    bool isEmpty() const { return value_ == 0; }
    CalendarFields fields() const;
    DateTime dateOnly() const;
    DateTime timeOnly() const;
    int64_t totalMilliseconds() const;  // since 1899-12-30, rounded to the millisecond

    friend bool operator==(DateTime a, DateTime b) { return a.value_ == b.value_; }
    friend auto operator<=>(DateTime a, DateTime b) { return a.value_ <=> b.value_; }

  private:
    double value_ = 0;
};

// Gives "now" and "today". Tests and the host set the moment; nothing reads the
// system time in passing.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual DateTime now() const = 0;
    DateTime today() const { return now().dateOnly(); }
};

class SystemClock final : public Clock {
  public:
    DateTime now() const override;  // local time of the machine
};

class FixedClock final : public Clock {
  public:
    explicit FixedClock(DateTime moment) : moment_(moment) {}
    DateTime now() const override { return moment_; }
    void set(DateTime moment) { moment_ = moment; }
    void advanceMilliseconds(int64_t ms) { moment_ = DateTime(moment_.value() + ms / DateTime::kMsPerDay); }

  private:
    DateTime moment_;
};

}  // namespace zel
