// Number and date texts in the station's formats.
#include "platform/locale.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <fmt/format.h>

#include "platform/error.h"

namespace zel {

FormatSettings FormatSettings::invariant() {
    FormatSettings fs;
    fs.decimalSeparator = '.';
    fs.thousandSeparator = ',';
    fs.dateSeparator = '-';
    fs.timeSeparator = ':';
    fs.shortDateFormat = "yyyy/mm/dd";
    fs.longTimeFormat = "hh:nn:ss";
    return fs;
}

std::string floatToStr(double value, const FormatSettings& fs) {
    if (std::isnan(value)) return "NAN";
    if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
    if (value == 0) return "0";
    // 15 significant digits, then placed without an exponent.
    // As printf's "%.14e" writes it, rounded from the exact binary value.
    char buf[40];
    char* end = std::to_chars(buf, buf + sizeof buf - 1, std::fabs(value), std::chars_format::scientific, 14).ptr;
    *end = '\0';
    std::string digits;
    const char* p = buf;
    for (; *p && *p != 'e'; ++p)
        if (std::isdigit(static_cast<unsigned char>(*p))) digits += *p;
    int exp = std::atoi(p + 1);
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    std::string out;
    if (value < 0) out += '-';
    int pointPos = exp + 1;  // digits before the decimal separator
    if (pointPos <= 0) {
        out += '0';
        out += fs.decimalSeparator;
        out.append(static_cast<size_t>(-pointPos), '0');
        out += digits;
    } else if (static_cast<size_t>(pointPos) >= digits.size()) {
        out += digits;
        out.append(static_cast<size_t>(pointPos) - digits.size(), '0');
    } else {
        out.append(digits, 0, static_cast<size_t>(pointPos));
        out += fs.decimalSeparator;
        out.append(digits, static_cast<size_t>(pointPos));
    }
    return out;
}

namespace {

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

}  // namespace

bool tryStrToFloat(std::string_view text, const FormatSettings& fs, double& out) {
    std::string_view s = trimBlanks(text);
    if (s.empty()) return false;
    std::string norm;
    norm.reserve(s.size());
    size_t i = 0;
    if (s[i] == '+' || s[i] == '-') norm += s[i++];
    bool digitsSeen = false, sepSeen = false;
    for (; i < s.size(); ++i) {
        char c = s[i];
        if (std::isdigit(static_cast<unsigned char>(c))) {
            digitsSeen = true;
            norm += c;
        } else if (c == fs.decimalSeparator && !sepSeen) {
            sepSeen = true;
            norm += '.';
        } else {
            break;
        }
    }
    if (!digitsSeen) return false;
    if (i < s.size()) {
        if (s[i] != 'e' && s[i] != 'E') return false;
        norm += 'e';
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) norm += s[i++];
        bool expDigits = false;
        for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i) {
            expDigits = true;
            norm += s[i];
        }
        if (!expDigits || i != s.size()) return false;
    }
    char* end = nullptr;
    double v = std::strtod(norm.c_str(), &end);
    if (end != norm.c_str() + norm.size() || !std::isfinite(v)) return false;
    out = v;
    return true;
}

double strToFloat(std::string_view text, const FormatSettings& fs) {
    double v;
    if (!tryStrToFloat(text, fs, v)) throw ConvertError(fmt::format("'{}' is not a valid floating point value", text));
    return v;
}

bool tryStrToInt(std::string_view text, long long& out) {
    std::string_view s = trimBlanks(text);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return false;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && p == s.data() + s.size();
}

long long strToInt(std::string_view text) {
    long long v;
    if (!tryStrToInt(text, v)) throw ConvertError(fmt::format("'{}' is not a valid integer value", text));
    return v;
}

std::string formatDateTime(std::string_view pattern, DateTime dt, const FormatSettings& fs) {
    CalendarFields f = dt.fields();
    std::string out;
    size_t i = 0;
    auto run = [&](char c) {
        size_t n = 0;
        while (i + n < pattern.size() && std::tolower(static_cast<unsigned char>(pattern[i + n])) == c) ++n;
        return n;
    };
    while (i < pattern.size()) {
        char c = static_cast<char>(std::tolower(static_cast<unsigned char>(pattern[i])));
        size_t n;
        switch (c) {
            case 'd':
                n = run('d');
                out += n >= 2 ? fmt::format("{:02}", f.day) : fmt::format("{}", f.day);
                break;
            case 'm':
                n = run('m');
                out += n >= 2 ? fmt::format("{:02}", f.month) : fmt::format("{}", f.month);
                break;
            case 'y':
                n = run('y');
                out += n <= 2 ? fmt::format("{:02}", f.year % 100) : fmt::format("{:04}", f.year);
                break;
            case 'h':
                n = run('h');
                out += n >= 2 ? fmt::format("{:02}", f.hour) : fmt::format("{}", f.hour);
                break;
            case 'n':
                n = run('n');
                out += n >= 2 ? fmt::format("{:02}", f.minute) : fmt::format("{}", f.minute);
                break;
            case 's':
                n = run('s');
                out += n >= 2 ? fmt::format("{:02}", f.second) : fmt::format("{}", f.second);
                break;
            case 'z':
                n = run('z');
                out += n >= 3 ? fmt::format("{:03}", f.millisecond) : fmt::format("{}", f.millisecond);
                break;
            case '/':
                n = 1;
                out += fs.dateSeparator;
                break;
            case ':':
                n = 1;
                out += fs.timeSeparator;
                break;
            case '"':
            case '\'': {
                size_t close = pattern.find(pattern[i], i + 1);
                if (close == std::string_view::npos) close = pattern.size();
                out.append(pattern.substr(i + 1, close - i - 1));
                n = close - i + 1;
                break;
            }
            default:
                n = 1;
                out += pattern[i];
        }
        i += n;
    }
    return out;
}

std::string dateToStr(DateTime dt, const FormatSettings& fs) { return formatDateTime(fs.shortDateFormat, dt, fs); }

std::string timeToStr(DateTime dt, const FormatSettings& fs) { return formatDateTime(fs.longTimeFormat, dt, fs); }

std::string dateTimeToStr(DateTime dt, const FormatSettings& fs) {
    std::string s = dateToStr(dt, fs);
    if (dt.timeOnly().value() != 0) s += ' ' + timeToStr(dt, fs);
    return s;
}

namespace {

// Reads the numbers of a date or time text in the order the pattern names them.
std::vector<int> numbersOf(std::string_view s, char sep, size_t expected, std::string_view what) {
    std::vector<int> nums;
    size_t i = 0;
    while (i <= s.size()) {
        size_t j = i;
        while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) ++j;
        if (j == i || j - i > 4) throw ConvertError(fmt::format("'{}' is not a valid {}", s, what));
        nums.push_back(std::atoi(std::string(s.substr(i, j - i)).c_str()));
        if (j == s.size()) break;
        if (s[j] != sep) throw ConvertError(fmt::format("'{}' is not a valid {}", s, what));
        i = j + 1;
    }
    if (nums.size() != expected && !(what == "time" && nums.size() == 2))
        throw ConvertError(fmt::format("'{}' is not a valid {}", s, what));
    return nums;
}

}  // namespace

DateTime strToDate(std::string_view text, const FormatSettings& fs) {
    std::string_view s = trimBlanks(text);
    std::vector<int> n = numbersOf(s, fs.dateSeparator, 3, "date");
    std::string order;  // d, m and y in the order the short date names them
    for (char c : fs.shortDateFormat) {
        char lc = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if ((lc == 'd' || lc == 'm' || lc == 'y') && order.find(lc) == std::string::npos) order += lc;
    }
    if (order.size() != 3) throw ConvertError(fmt::format("short date format '{}' is not usable", fs.shortDateFormat));
    int y = 0, m = 0, d = 0;
    for (size_t k = 0; k < 3; ++k) (order[k] == 'y' ? y : order[k] == 'm' ? m : d) = n[k];
    if (y < 100) y += 2000;
    if (!DateTime::isValidDate(y, m, d)) throw ConvertError(fmt::format("'{}' is not a valid date", s));
    return DateTime::fromDate(y, m, d);
}

DateTime strToTime(std::string_view text, const FormatSettings& fs) {
    std::string_view s = trimBlanks(text);
    std::vector<int> n = numbersOf(s, fs.timeSeparator, 3, "time");
    int sec = n.size() > 2 ? n[2] : 0;
    if (n[0] > 23 || n[1] > 59 || sec > 59) throw ConvertError(fmt::format("'{}' is not a valid time", s));
    return DateTime::fromTime(n[0], n[1], sec);
}

DateTime strToDateTime(std::string_view text, const FormatSettings& fs) {
    std::string_view s = trimBlanks(text);
    size_t sp = s.find(' ');
    if (sp == std::string_view::npos) return strToDate(s, fs);
    DateTime d = strToDate(s.substr(0, sp), fs);
    DateTime t = strToTime(s.substr(sp + 1), fs);
    return DateTime(d.value() + t.value());
}

}  // namespace zel
