#include "norva_core/text_forms.h"

#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string_view>

namespace norva_core::text_forms {

std::string seconds_text(std::chrono::milliseconds duration) {
    return fmt::format("{:g} s", static_cast<double>(duration.count()) / 1000.0);
}

std::string float_repr(double value) {
    if (std::isnan(value)) {
        return "nan";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    // Shortest round-trip digits, then laid out by Python's rule: positional for decimal
    // exponents from -4 to 15, scientific otherwise.
    char buffer[64];
    auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
    bool negative = text.front() == '-';
    if (negative) {
        text.remove_prefix(1);
    }
    auto e = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e)) {
        if (c != '.') {
            digits += c;
        }
    }
    // The exponent is written as printf's %e writes it: a sign, then at least two digits.
    auto exponent_text = text.substr(e + 2);
    int exponent = 0;
    std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
    if (text[e + 1] == '-') {
        exponent = -exponent;
    }

    std::string out = negative ? "-" : "";
    if (exponent < -4 || exponent >= 16) {
        out += digits.substr(0, 1);
        if (digits.size() > 1) {
            out += '.' + digits.substr(1);
        }
        out += exponent < 0 ? "e-" : "e+";
        auto magnitude = std::to_string(std::abs(exponent));
        out += (magnitude.size() < 2 ? "0" : "") + magnitude;
        return out;
    }
    if (exponent < 0) {
        out += "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
        return out;
    }
    auto whole = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= whole) {
        out += digits + std::string(whole - digits.size(), '0') + ".0";
    } else {
        out += digits.substr(0, whole) + '.' + digits.substr(whole);
    }
    return out;
}

std::string three_digits(double value) {
    return fmt::format("{:.3g}", value);
}

std::string str_repr(const std::string& text) {
    const bool has_single = text.find('\'') != std::string::npos;
    const bool has_double = text.find('"') != std::string::npos;
    const char quote = has_single && !has_double ? '"' : '\'';
    static constexpr char hex[] = "0123456789abcdef";
    std::string literal(1, quote);
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == quote || c == '\\') {
            literal += '\\';
            literal += c;
        } else if (c == '\n') {
            literal += "\\n";
        } else if (c == '\r') {
            literal += "\\r";
        } else if (c == '\t') {
            literal += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            literal += "\\x";
            literal += hex[byte >> 4];
            literal += hex[byte & 0xF];
        } else {
            literal += c;
        }
    }
    literal += quote;
    return literal;
}

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view blanks = " \t\r\n\f\v";
    auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

namespace {

// The letter after the backslash where Python writes a character so.
std::optional<char> python_escape(char c) {
    switch (c) {
        case '\\':
            return '\\';
        case '\n':
            return 'n';
        case '\r':
            return 'r';
        case '\t':
            return 't';
        default:
            return std::nullopt;
    }
}

}  // namespace

std::size_t utf8_length(std::string_view text) {
    if (text.empty()) {
        return 0;
    }
    auto lead = static_cast<unsigned char>(text[0]);
    std::size_t length = lead < 0x80                   ? 1
                         : lead >= 0xc2 && lead < 0xe0 ? 2
                         : lead >= 0xe0 && lead < 0xf0 ? 3
                         : lead >= 0xf0 && lead < 0xf5 ? 4
                                                       : 0;
    if (length == 0 || length > text.size()) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xc0) != 0x80) {
            return 0;
        }
    }
    return length;
}

std::string quoted(std::string_view text) {
    constexpr std::size_t shown_characters = 64;
    std::string out;
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size(); ++characters) {
        if (characters == shown_characters) {
            return out + "… (" + std::to_string(text.size()) + " bytes)";
        }
        auto byte = static_cast<unsigned char>(text[i]);
        std::size_t length = utf8_length(text.substr(i));
        if (auto escape = python_escape(text[i])) {
            out += '\\';
            out += *escape;
            ++i;
        } else if (length == 0 || byte < 0x20 || byte == 0x7f) {
            out += fmt::format("\\x{:02x}", byte);
            ++i;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

std::string excerpt(std::string_view text) {
    constexpr std::size_t shown_characters = 1000;
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        // A character starts at every byte that does not continue a UTF-8 sequence.
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 &&
            ++characters > shown_characters) {
            return std::string(text.substr(0, i)) + "… (" + std::to_string(text.size()) + " bytes)";
        }
    }
    return std::string(text);
}

}  // namespace norva_core::text_forms
