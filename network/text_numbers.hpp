// Locale-independent number reading for network files and feature texts.
#pragma once

#include <optional>
#include <string>
#include <vector>

// Cuts text at every delimiter; returns the non-empty pieces in order.
std::vector<std::string> splitString(std::string text, char delimiter);

// A signed 32-bit integer at the start of text (after white space), as a text stream reads it.
// Empty when there is none or it does not fit in 32 bits.
std::optional<int> readCount(const std::string& text);

// The longest decimal-number prefix of text (after white space), with '.' as decimal point
// whatever the locale; 0.0 when there is none. Behaves like atof in the "C" locale.
double readDecimal(const std::string& text);

// readDecimal's value, or nothing when it is not a finite number: text that names infinity or
// not-a-number (as strtod would read "inf", "nan" and their kin), or a number beyond a double.
std::optional<double> readFiniteDecimal(const std::string& text);

// text that is wholly a count (an optional sign and decimal digits, nothing before or after) of
// 32 bits, or nothing.
std::optional<int> readExactCount(const std::string& text);

// text that is wholly a finite decimal number in readDecimal's form (no white space, no hex, no
// word, nothing after it), or nothing.
std::optional<double> readExactDecimal(const std::string& text);
