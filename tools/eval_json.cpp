#include "eval_json.hpp"

#include <cstdio>

#include "identification_json.hpp"
#include "writer.hpp"

namespace {

// The length of the well-formed UTF-8 sequence at text[at], or 0 when the byte there starts
// none: a stray continuation byte, an overlong form, a surrogate or a code point past U+10FFFF.
size_t utf8SequenceAt(const std::string& text, size_t at) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[at + k]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        return 1;
    }
    size_t length = 0;
    unsigned char low = 0x80;  // the range of the second byte, which rules out the bad forms
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (at + length > text.size() || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (size_t k = 2; k < length; ++k) {
        if (byte(k) < 0x80 || byte(k) > 0xBF) {
            return 0;
        }
    }
    return length;
}

}  // namespace

std::string jsonFileName(const std::string& name) {
    std::string valid;
    std::string quoted;
    const auto flush = [&] {
        const std::string text = Json(valid).dump();
        quoted += text.substr(1, text.size() - 2);
        valid.clear();
    };
    for (size_t at = 0; at < name.size();) {
        const size_t length = utf8SequenceAt(name, at);
        if (length > 0) {
            valid += name.substr(at, length);
            at += length;
            continue;
        }
        flush();
        char escape[7];
        std::snprintf(escape, sizeof escape, "\\udc%02x", static_cast<unsigned char>(name[at]));
        quoted += escape;
        ++at;
    }
    flush();
    return "\"" + quoted + "\"";
}

std::string writeJsonLines(const std::string& fileName, NeuralNetwork& network,
                           const std::vector<LabelledImage>& images,
                           const std::vector<std::string>& names) {
    // Made whole in memory, then renamed over the file: a full disk leaves the old file.
    std::string lines;
    for (const LabelledImage& image : images) {
        Json line = {{"class", nullptr}};
        if (image.label >= 0) {
            line["class"] = names[static_cast<size_t>(image.label)];
        }
        line.update(identificationJson(identifyLeaf(network, image.path, false)));
        lines += "{\"path\":" + jsonFileName(image.path) + "," +
                 line.dump(-1, ' ', false, Json::error_handler_t::replace).substr(1) + "\n";
    }
    return replaceFile(fileName, lines);
}
