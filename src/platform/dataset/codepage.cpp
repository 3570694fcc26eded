// Conversion of single-byte texts between the station's code page
// (Windows-1252) and UTF-8, plus the small text helpers of the codecs.
#include <array>
#include <cstring>

#include "platform/dataset/codec.h"
#include "platform/dataset/codec_internal.h"

namespace zel::ds {
namespace detail {
namespace {

// 0x80-0x9F; the five bytes the code page leaves undefined map to the C1
// control of the same number so that any byte sequence survives a round trip.
constexpr std::array<uint16_t, 32> kHigh = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                            0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                            0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                            0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

struct DecodeTable {
    char bytes[128][3];
    uint8_t len[128];
    DecodeTable() {
        for (int b = 0x80; b < 0x100; ++b) {
            uint32_t cp = b < 0xA0 ? kHigh[b - 0x80] : static_cast<uint32_t>(b);
            int i = b - 0x80;
            if (cp < 0x800) {
                bytes[i][0] = static_cast<char>(0xC0 | (cp >> 6));
                bytes[i][1] = static_cast<char>(0x80 | (cp & 0x3F));
                len[i] = 2;
            } else {
                bytes[i][0] = static_cast<char>(0xE0 | (cp >> 12));
                bytes[i][1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                bytes[i][2] = static_cast<char>(0x80 | (cp & 0x3F));
                len[i] = 3;
            }
        }
    }
};
const DecodeTable kDecode;

inline bool anyHigh8(const char* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return (w & 0x8080808080808080ULL) != 0;
}

// Length of the leading ASCII run of s.
inline size_t asciiPrefix(std::string_view s) {
    size_t i = 0, n = s.size();
    const char* p = s.data();
    while (i + 8 <= n && !anyHigh8(p + i)) i += 8;
    while (i < n && static_cast<unsigned char>(p[i]) < 0x80) ++i;
    return i;
}

// Decodes one UTF-8 character at s[i]; returns its code point and advances i,
// or returns -1 for an invalid sequence.
inline int32_t nextCodePoint(std::string_view s, size_t& i) {
    auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    if (c < 0x80) {
        ++i;
        return c;
    }
    size_t need;
    uint32_t cp, min;
    if ((c & 0xE0) == 0xC0) need = 1, cp = c & 0x1F, min = 0x80;
    else if ((c & 0xF0) == 0xE0) need = 2, cp = c & 0x0F, min = 0x800;
    else if ((c & 0xF8) == 0xF0) need = 3, cp = c & 0x07, min = 0x10000;
    else return -1;
    if (s.size() - i <= need) return -1;
    for (size_t k = 1; k <= need; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return -1;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
    i += need + 1;
    return static_cast<int32_t>(cp);
}

inline int codePageByte(int32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return cp;
    if (cp == 0x81 || cp == 0x8D || cp == 0x8F || cp == 0x90 || cp == 0x9D) return cp;
    if (cp < 0xA0) return -1;
    for (int k = 0; k < 32; ++k)
        if (kHigh[k] == cp) return 0x80 + k;
    return -1;
}

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

void appendFromCodePage(std::string& out, std::string_view bytes) {
    size_t run = asciiPrefix(bytes);
    out.append(bytes.data(), run);
    if (run == bytes.size()) return;
    for (size_t i = run; i < bytes.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) out += static_cast<char>(c);
        else out.append(kDecode.bytes[c - 0x80], kDecode.len[c - 0x80]);
    }
}

size_t fromCodePage(char* out, std::string_view bytes) {
    size_t run = asciiPrefix(bytes);
    if (run) std::memcpy(out, bytes.data(), run);
    char* p = out + run;
    for (size_t i = run; i < bytes.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            *p++ = static_cast<char>(c);
        } else {
            const char* u = kDecode.bytes[c - 0x80];
            p[0] = u[0];
            p[1] = u[1];
            p[2] = u[2];  // the room holds three bytes for each input byte
            p += kDecode.len[c - 0x80];
        }
    }
    return static_cast<size_t>(p - out);
}

size_t appendToCodePage(std::string& out, std::string_view utf8) {
    size_t run = asciiPrefix(utf8);
    out.append(utf8.data(), run);
    size_t i = run;
    while (i < utf8.size()) {
        size_t at = i;
        int32_t cp = nextCodePoint(utf8, i);
        int b = cp < 0 ? -1 : codePageByte(cp);
        if (b < 0) return at;
        out += static_cast<char>(b);
    }
    return kOk;
}

size_t codePageLength(std::string_view utf8) {
    size_t i = asciiPrefix(utf8), count = i;
    while (i < utf8.size()) {
        int32_t cp = nextCodePoint(utf8, i);
        if (cp < 0 || codePageByte(cp) < 0) return kOk;
        ++count;
    }
    return count;
}

int32_t utf8CodePoint(std::string_view s, size_t& i) { return i < s.size() ? nextCodePoint(s, i) : -1; }

bool appendUtf16ToUtf8(std::string& out, std::string_view in) {
    if (in.size() % 2) return false;
    auto unit = [&](size_t k) {
        return static_cast<uint32_t>(static_cast<unsigned char>(in[k])) |
               (static_cast<uint32_t>(static_cast<unsigned char>(in[k + 1])) << 8);
    };
    for (size_t k = 0; k < in.size(); k += 2) {
        uint32_t u = unit(k);
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (k + 2 >= in.size()) return false;
            uint32_t lo = unit(k + 2);
            if (lo < 0xDC00 || lo > 0xDFFF) return false;
            u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
            k += 2;
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            return false;
        }
        appendUtf8(out, u);
    }
    return true;
}

bool appendUtf8ToUtf16(std::string& out, std::string_view utf8) {
    size_t i = 0;
    auto put = [&](uint32_t u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    };
    while (i < utf8.size()) {
        int32_t cp = nextCodePoint(utf8, i);
        if (cp < 0) return false;
        if (cp >= 0x10000) {
            uint32_t v = static_cast<uint32_t>(cp) - 0x10000;
            put(0xD800 + (v >> 10));
            put(0xDC00 + (v & 0x3FF));
        } else {
            put(static_cast<uint32_t>(cp));
        }
    }
    return true;
}

// Civil-date arithmetic after H. Hinnant's days_from_civil, shifted so that
// 0001-01-01 is day 1.
constexpr int64_t kDayOneShift = 719163;

int64_t dayNumberFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468 + kDayOneShift;
}

void civilFromDayNumber(int64_t dayNumber, int64_t& y, unsigned& m, unsigned& d) {
    int64_t z = dayNumber - kDayOneShift + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

bool validCivil(int64_t y, unsigned m, unsigned d) {
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1) return false;
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return d <= kDays[m - 1] + (m == 2 && leap ? 1 : 0);
}

namespace {
constexpr char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

void appendBase64(std::string& out, std::string_view in) {
    out.reserve(out.size() + (in.size() + 2) / 3 * 4);
    size_t i = 0;
    auto u = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(in[k])); };
    for (; i + 3 <= in.size(); i += 3) {
        uint32_t v = (u(i) << 16) | (u(i + 1) << 8) | u(i + 2);
        char q[4] = {kB64[v >> 18], kB64[(v >> 12) & 63], kB64[(v >> 6) & 63], kB64[v & 63]};
        out.append(q, 4);
    }
    if (size_t rest = in.size() - i) {
        uint32_t v = u(i) << 16 | (rest == 2 ? u(i + 1) << 8 : 0);
        out += kB64[v >> 18];
        out += kB64[(v >> 12) & 63];
        out += rest == 2 ? kB64[(v >> 6) & 63] : '=';
        out += '=';
    }
}

bool decodeBase64(std::string_view text, std::string& out) {
    static const auto table = [] {
        std::array<int8_t, 256> t{};
        t.fill(-1);
        for (int k = 0; k < 64; ++k) t[static_cast<unsigned char>(kB64[k])] = static_cast<int8_t>(k);
        return t;
    }();
    uint32_t acc = 0;
    int bits = 0;
    size_t pad = 0;
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
        if (c == '=') {
            ++pad;
            continue;
        }
        if (pad || table[c] < 0) return false;
        acc = (acc << 6) | static_cast<uint32_t>(table[c]);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    return pad <= 2 && bits < 6;
}

}  // namespace detail

std::string encodeBase64(std::string_view bytes) {
    std::string out;
    detail::appendBase64(out, bytes);
    return out;
}

bool decodeBase64(std::string_view text, std::string& out) { return detail::decodeBase64(text, out); }

std::string decodeCodePage(std::string_view bytes, CodePage) {
    std::string out;
    out.reserve(bytes.size());
    detail::appendFromCodePage(out, bytes);
    return out;
}

std::string encodeCodePage(std::string_view utf8, CodePage) {
    std::string out;
    out.reserve(utf8.size());
    size_t bad = detail::appendToCodePage(out, utf8);
    if (bad != detail::kOk) {
        throw PacketError("character at byte " + std::to_string(bad) + " of the text is not UTF-8 or has no " +
                          "Windows-1252 form");
    }
    return out;
}

}  // namespace zel::ds
