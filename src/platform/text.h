// Small text helpers shared by the whole project.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zel {

// Equal but for the letter case of ASCII letters (names of fields, keys,
// parameters and operations).
inline bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x == y) continue;
        // Else the same letter only in the two cases: they differ in the bit 0x20 alone.
        unsigned char lower = static_cast<unsigned char>(x | 0x20);
        if ((x ^ y) != 0x20 || lower < 'a' || lower > 'z') return false;
    }
    return true;
}

// Characters (not bytes) of a UTF-8 text.
inline size_t utf8Length(std::string_view s) {
    size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

// Without white space (spaces, tabs, line ends) on either side.
inline std::string_view trimWhitespace(std::string_view s) {
    auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (!s.empty() && space(s.front())) s.remove_prefix(1);
    while (!s.empty() && space(s.back())) s.remove_suffix(1);
    return s;
}

// Without the blanks on either side (spaces only).
inline std::string trimSpaces(std::string_view s) {
    size_t b = s.find_first_not_of(' ');
    if (b == std::string_view::npos) return {};
    size_t e = s.find_last_not_of(' ');
    return std::string(s.substr(b, e - b + 1));
}

}  // namespace zel
