#pragma once
// Text helpers with the rules the system's data relies on: trimming removes blanks and
// control characters (every byte <= 0x20); letter case is ASCII only; numbers parse
// strictly (the whole text must be the number) and give a default otherwise.
// Thread-safe: no shared state.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

std::string Trim(std::string_view s);
std::string TrimLeft(std::string_view s);
std::string TrimRight(std::string_view s);
std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);
bool SameText(std::string_view a, std::string_view b);
// Case-insensitive substring search.
bool ContainsText(std::string_view text, std::string_view sub);
bool StartsText(std::string_view prefix, std::string_view text);
// Replace every occurrence of `from` (case-sensitive) by `to`.
// The longest prefix of `s` of at most `maxBytes` bytes that does not end inside a UTF-8
// character (a character cut in two would show as garbage on a display or in a mail).
std::string Utf8Prefix(std::string_view s, size_t maxBytes);
// True when every byte is 7-bit ASCII.
bool IsAscii(std::string_view s);
// Length of the well-formed UTF-8 character that starts at s[i] (1 to 4; shortest form,
// no surrogates, at most U+10FFFF); 0 when the bytes there are not one.
size_t Utf8CharLength(std::string_view s, size_t i);
// A text for one line of a log or the journal: every byte below 0x20, 0x7F and every byte
// that is not part of a well-formed UTF-8 character written as \xNN (two upper-case hex
// digits), so that no text read from a device or a database can end a line, forge one or
// send a terminal escape. Clean text (printable ASCII, UTF-8) is returned as it is.
std::string EscapeLogText(std::string_view s);

std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to);

// Optionally signed decimal integer, also "$1F" and "0x1F" hexadecimal; nothing else.
std::optional<int64_t> TryStrToInt64(std::string_view s);
// As above, within the 32-bit range.
std::optional<int32_t> TryStrToInt(std::string_view s);
int32_t StrToIntDef(std::string_view s, int32_t def);
int64_t StrToInt64Def(std::string_view s, int64_t def);
// Decimal number with '.' as separator and an optional exponent. Non-finite results
// (an exponent beyond the range, "inf", "nan") are rejected.
std::optional<double> TryStrToFloat(std::string_view s);
double StrToFloatDef(std::string_view s, double def);

std::string IntToStr(int64_t v);
// Shortest general form with up to 15 significant digits: 12345 -> "12345",
// 0.5 -> "0.5", 1e20 -> "1E20", 1.5e-7 -> "1.5E-7".
std::string FloatToStr(double v);
std::string FloatToStrG(double v, int precision);

// Comma-text splitting: items are separated by commas or blanks; an item may be enclosed
// in double quotes (then it may hold commas and blanks, and "" stands for one quote).
// Empty items are dropped.
std::vector<std::string> SplitCommaText(std::string_view s);
// Plain split on one character, items kept as they are (also empty ones).
std::vector<std::string> Split(std::string_view s, char sep);

}  // namespace tarn
