// Helpers shared by the packet codecs: code-page and UTF-16 conversion into a
// caller's buffer, packet day numbers and base64. Not part of the public API.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/dataset/packet.h"

namespace zel::ds::detail {

constexpr size_t kOk = static_cast<size_t>(-1);

// Appends the UTF-8 form of Windows-1252 bytes. Never fails.
void appendFromCodePage(std::string& out, std::string_view bytes);
// The same into a caller's room of at least kMaxUtf8PerByte bytes per input
// byte; returns the bytes written.
constexpr size_t kMaxUtf8PerByte = 3;
size_t fromCodePage(char* out, std::string_view bytes);
// Appends the Windows-1252 bytes of a UTF-8 text. Returns kOk, or the byte
// offset in `utf8` of the first character that is not UTF-8 or that the code
// page cannot hold (what was appended before it stays).
size_t appendToCodePage(std::string& out, std::string_view utf8);
// Number of code-page characters of a UTF-8 text, or kOk when it cannot be held.
size_t codePageLength(std::string_view utf8);

// The code point of the UTF-8 character at s[i], advancing i; -1 if invalid.
int32_t utf8CodePoint(std::string_view s, size_t& i);

// UTF-16LE <-> UTF-8; false for unpaired surrogates or invalid UTF-8.
bool appendUtf16ToUtf8(std::string& out, std::string_view utf16le);
bool appendUtf8ToUtf16(std::string& out, std::string_view utf8);

// Packet day numbers: 1 = 0001-01-01, proleptic Gregorian calendar.
int64_t dayNumberFromCivil(int64_t y, unsigned m, unsigned d);
void civilFromDayNumber(int64_t dayNumber, int64_t& y, unsigned& m, unsigned& d);
bool validCivil(int64_t y, unsigned m, unsigned d);

// How a field's values are held, after checking its type word and size.
enum class Kind : uint8_t { Int, UInt, Bool, Float, Bcd, Date, Time, DateTime, String, WString, Bytes };
// The kind of a field, or an empty text with `why` saying why the codecs
// cannot carry it (ADT, array, nested, reference, unknown codes, odd sizes).
bool fieldKind(const FieldDef& f, Kind& kind, std::string& why);

void appendBase64(std::string& out, std::string_view bytes);
bool decodeBase64(std::string_view text, std::string& out);

}  // namespace zel::ds::detail
