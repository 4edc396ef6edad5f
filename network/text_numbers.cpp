#include "text_numbers.hpp"

#include <charconv>
#include <cmath>
#include <limits>

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

size_t skipSpaces(const std::string& text, size_t pos) {
    while (pos < text.size() && isSpace(text[pos])) {
        ++pos;
    }
    return pos;
}

size_t skipDigits(const std::string& text, size_t pos) {
    while (pos < text.size() && isDigit(text[pos])) {
        ++pos;
    }
    return pos;
}

// End of the decimal number starting at pos, or pos when there is none:
// sign, digits with optional fraction, optional exponent.
size_t decimalEnd(const std::string& text, size_t pos) {
    size_t p = pos;
    if (p < text.size() && (text[p] == '+' || text[p] == '-')) {
        ++p;
    }
    const size_t intStart = p;
    p = skipDigits(text, p);
    size_t digits = p - intStart;
    if (p < text.size() && text[p] == '.') {
        const size_t fracStart = p + 1;
        const size_t fracEnd = skipDigits(text, fracStart);
        digits += fracEnd - fracStart;
        p = fracEnd;
    }
    if (digits == 0) {
        return pos;
    }
    if (p < text.size() && (text[p] == 'e' || text[p] == 'E')) {
        size_t e = p + 1;
        if (e < text.size() && (text[e] == '+' || text[e] == '-')) {
            ++e;
        }
        const size_t expEnd = skipDigits(text, e);
        if (expEnd > e) {
            p = expEnd;
        }
    }
    return p;
}

}  // namespace

std::vector<std::string> splitString(std::string text, char delimiter) {
    std::vector<std::string> pieces;
    std::string piece;
    for (char c : text) {
        if (c != delimiter) {
            piece += c;
        } else if (!piece.empty()) {
            pieces.push_back(piece);
            piece.clear();
        }
    }
    if (!piece.empty()) {
        pieces.push_back(piece);
    }
    return pieces;
}

std::optional<int> readCount(const std::string& text) {
    size_t p = skipSpaces(text, 0);
    if (p < text.size() && text[p] == '+') {
        ++p;  // from_chars takes no plus sign
        if (p < text.size() && text[p] == '-') {
            return std::nullopt;
        }
    }
    int value = 0;
    const auto [end, error] = std::from_chars(text.data() + p, text.data() + text.size(), value);
    if (error != std::errc()) {
        return std::nullopt;
    }
    return value;
}

double readDecimal(const std::string& text) {
    const size_t start = skipSpaces(text, 0);
    const size_t end = decimalEnd(text, start);
    if (end == start) {
        return 0.0;
    }
    size_t p = start;
    bool negative = false;
    if (text[p] == '+' || text[p] == '-') {
        negative = text[p] == '-';
        ++p;
    }
    double value = 0.0;
    const auto [last, error] =
        std::from_chars(text.data() + p, text.data() + end, value, std::chars_format::general);
    if (error == std::errc::result_out_of_range) {
        // Like strtod: overflow gives infinity, underflow zero.
        const bool tinyExponent =
            text.find_first_of("eE", p) < end && text.find('-', text.find_first_of("eE", p)) < end;
        value = tinyExponent ? 0.0 : std::numeric_limits<double>::infinity();
    }
    return negative ? -value : value;
}

std::optional<double> readFiniteDecimal(const std::string& text) {
    size_t p = skipSpaces(text, 0);
    if (p < text.size() && (text[p] == '+' || text[p] == '-')) {
        ++p;
    }
    const auto names = [&](const char* word) {
        for (size_t i = 0; i < 3; ++i) {
            if (p + i >= text.size() || (text[p + i] | 0x20) != word[i]) {
                return false;
            }
        }
        return true;
    };
    const double value = readDecimal(text);
    if (names("inf") || names("nan") || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

std::optional<int> readExactCount(const std::string& text) {
    const size_t start = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
    if (start == text.size() || skipDigits(text, start) != text.size()) {
        return std::nullopt;
    }
    return readCount(text);
}

std::optional<double> readExactDecimal(const std::string& text) {
    if (text.empty() || decimalEnd(text, 0) != text.size()) {
        return std::nullopt;
    }
    return readFiniteDecimal(text);
}
