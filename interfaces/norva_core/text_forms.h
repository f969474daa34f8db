#pragma once

#include <chrono>
#include <string>
#include <string_view>

// Implemented in toolkit/runtime/text_forms.cpp.
namespace norva_core::text_forms {

// The shortest text that reads back as the same number, written the way Python writes a float:
// "1234.5", "1.0", "1e-05", "1e+16", "inf", "nan".
std::string float_repr(double value);

// A duration as messages give it: "10 s", "0.5 s".
std::string seconds_text(std::chrono::milliseconds duration);

// The number to three significant digits, as "%.3g" writes it: "0.0412", "12.5", "1.2e+03".
std::string three_digits(double value);

// The text as Python writes it as a literal: in single quotes, or in double quotes when it holds
// a single quote and no double quote; backslashes, the quote and control characters escaped.
std::string str_repr(const std::string& text);

// The text without the blanks (spaces, tabs, line ends, form feeds) at either end.
std::string_view trimmed(std::string_view text);

// A body quoted in a message: its first 1,000 characters, and when it is longer, "… (N bytes)"
// after them with its whole size.
std::string excerpt(std::string_view text);

// The length in bytes of the UTF-8 sequence at the front of the text; 0 when it is none (a
// stray continuation byte, an overlong lead, a sequence cut short) or the text is empty.
std::size_t utf8_length(std::string_view text);

// A client's text (an id, a name, a path) quoted in a message: its first 64 characters with
// backslashes, line ends and tabs escaped as Python escapes them, other control characters, NUL
// and bytes that are not UTF-8 shown as "\xNN", and "… (N bytes)" after
// them when it is longer, so that no client can make a message long, cut short or unreadable.
std::string quoted(std::string_view text);

}  // namespace norva_core::text_forms
