// The station's format settings and the number and date texts that depend on them.
#pragma once

#include <string>
#include <string_view>

#include "platform/datetime.h"

namespace zel {

// Defaults are those of Portuguese-Brazil: "1234,5", "25/12/2026", "13:05:09".
struct FormatSettings {
    char decimalSeparator = ',';
    char thousandSeparator = '.';
    char dateSeparator = '/';
    char timeSeparator = ':';
    // Patterns of the runtime: d dd m mm yy yyyy for dates; h hh n nn s ss z zzz
    // for times; "/" and ":" stand for the separators above.
    std::string shortDateFormat = "dd/mm/yyyy";
    std::string longTimeFormat = "hh:nn:ss";

    static FormatSettings brazil() { return {}; }
    // The invariant form the tools and the XML packets use: "." and ISO order.
    static FormatSettings invariant();
};

// Number to text in the general format: at most 15 significant digits, no
// exponent, no trailing zeros, no separator when nothing follows.
std::string floatToStr(double value, const FormatSettings& fs);

// Text to number, strictly in the station's format: optional sign, digits, at
// most one decimal separator, optional exponent; surrounding blanks allowed.
// Anything else throws ConvertError naming the text.
double strToFloat(std::string_view text, const FormatSettings& fs);
bool tryStrToFloat(std::string_view text, const FormatSettings& fs, double& out);

long long strToInt(std::string_view text);  // throws ConvertError
bool tryStrToInt(std::string_view text, long long& out);

// Date-time to text by a pattern (see FormatSettings).
std::string formatDateTime(std::string_view pattern, DateTime dt, const FormatSettings& fs);
std::string dateToStr(DateTime dt, const FormatSettings& fs);      // short date
std::string timeToStr(DateTime dt, const FormatSettings& fs);      // long time
std::string dateTimeToStr(DateTime dt, const FormatSettings& fs);  // date, and time when not midnight

// Short-date and long-time texts back to date-times; throw ConvertError.
DateTime strToDate(std::string_view text, const FormatSettings& fs);
DateTime strToTime(std::string_view text, const FormatSettings& fs);
DateTime strToDateTime(std::string_view text, const FormatSettings& fs);

}  // namespace zel
