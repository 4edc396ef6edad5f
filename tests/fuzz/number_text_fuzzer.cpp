// libFuzzer target: the number text both ways. Any text is read as the C library reads it in
// the "C" locale, except for the spellings the readers leave out on purpose; feature values
// written by the hand-off come back rounded to six significant digits; and the classifier takes
// any text without reading outside its arrays.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale>
#include <sstream>
#include <string>

#include "evaluation.hpp"
#include "handoff.hpp"
#include "text_numbers.hpp"

namespace {

[[noreturn]] void fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "%s: \"%s\"\n", what, text.c_str());
    std::abort();
}

bool sameBits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// readDecimal is strtod without hexadecimal numbers and the words for infinity and not-a-number.
void checkDecimal(const std::string& text) {
    const char* start = text.c_str();
    while (*start == ' ' || (*start >= '\t' && *start <= '\r')) {
        ++start;
    }
    const char* number = start + (*start == '+' || *start == '-');
    const bool leftOut = (number[0] | 0x20) == 'i' || (number[0] | 0x20) == 'n' ||
                         (number[0] == '0' && (number[1] | 0x20) == 'x');
    const double expected = std::strtod(text.c_str(), nullptr);
    if (!leftOut && !sameBits(readDecimal(text), expected)) {
        fail("readDecimal differs from strtod", text);
    }
    const std::optional<double> finite = readFiniteDecimal(text);
    if (finite && (!std::isfinite(*finite) || !sameBits(*finite, readDecimal(text)))) {
        fail("readFiniteDecimal let through a value readDecimal does not give", text);
    }
}

// The exact readers take a text only when it is wholly the number the prefix readers read.
void checkExact(const std::string& text) {
    const std::optional<int> count = readExactCount(text);
    if (count &&
        (count != readCount(text) || text.find_first_not_of("+-0123456789") != std::string::npos)) {
        fail("readExactCount took more than a count", text);
    }
    const std::optional<double> decimal = readExactDecimal(text);
    if (decimal && (!sameBits(*decimal, readDecimal(text)) ||
                    text.find_first_not_of("+-.0123456789eE") != std::string::npos)) {
        fail("readExactDecimal took more than a decimal number", text);
    }
}

// readCount is a text stream reading an int in the classic locale.
void checkCount(const std::string& text) {
    std::istringstream stream(text.substr(0, text.find('\0')));
    stream.imbue(std::locale::classic());
    int expected = 0;
    const bool read = static_cast<bool>(stream >> expected);
    const std::optional<int> count = readCount(text.substr(0, text.find('\0')));
    if (read != count.has_value() || (read && *count != expected)) {
        fail("readCount differs from a text stream", text);
    }
}

// Six finite doubles written by the hand-off read back as printf's %g writes them.
void checkHandOff(const uint8_t* data, size_t size) {
    FeatureVector features;
    for (size_t offset = 0; offset + sizeof(double) <= size && features.size() < 6;
         offset += sizeof(double)) {
        double value = 0.0;
        std::memcpy(&value, data + offset, sizeof value);
        if (std::isfinite(value)) {
            features.push_back(value);
        }
    }
    const FeatureText text = toFeatureText(features);
    const std::vector<std::string> tokens = splitString(text, ' ');
    if (tokens.size() != features.size() || (!text.empty() && text.back() != ' ')) {
        fail("the hand-off text has the wrong shape", text);
    }
    for (size_t i = 0; i < tokens.size(); ++i) {
        char expected[64];
        std::snprintf(expected, sizeof expected, "%g", features[i]);
        if (tokens[i] != expected ||
            !sameBits(readDecimal(tokens[i]), std::strtod(expected, nullptr))) {
            fail("a feature did not come back as %g writes it", text);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    checkDecimal(text.substr(0, text.find('\0')));
    checkCount(text);
    checkExact(text.substr(0, text.find('\0')));
    checkHandOff(data, size);
    static NeuralNetwork network = [] {  // two inputs, one hidden layer of three, five outputs
        NeuralNetwork small;
        small.hiddenLayers.push_back(Layer(3));
        small.outputLayer = Layer(5);
        small.weights = {{{0.5, -1, 2}, {1, 1, -1}},
                         {{1, 0, 0, 0, -1}, {0, 1, 0, -1, 0}, {0, 0, 1, 0, 0}}};
        return small;
    }();
    const int answer = classify(network, text);
    if (answer < noAnswer || answer > 4 || !network.patternSets.empty()) {
        fail("classify answered out of range or kept its pattern", text);
    }
    return 0;
}
