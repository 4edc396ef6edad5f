#include "identification.hpp"

#include <cctype>
#include <sstream>

#include "dialogue.hpp"
#include "evaluation.hpp"
#include "handoff.hpp"
#include "picture.hpp"
#include "text_numbers.hpp"

namespace {

// A picture in a format that is not read says which; any other file that cannot be read gets
// the one line for all.
std::string sorryFor(LeafVerdict verdict, const std::string& path) {
    const std::string unread =
        verdict == LeafVerdict::UnreadableImage ? unreadFormatName(path) : "";
    if (!unread.empty()) {
        return "Sorry, but " + unread + " pictures aren't read!";
    }
    switch (verdict) {
        case LeafVerdict::NoLeaf:
            return "Sorry, but no leaf was found in this image!";
        case LeafVerdict::Unmeasurable:
            return "Sorry, but this leaf couldn't be measured!";
        default:
            return "Sorry, but this file isn't a readable image!";
    }
}

// The species line of the winning output, and its key when it names one of the five.
void name(Identification& identification, int winner) {
    const TreeNameList treeNames = makeTreeNameList();
    if (winner == noAnswer) {
        identification.answer = "Sorry, but the network couldn't name this leaf!";
    } else if (static_cast<size_t>(winner) >= treeNames.size()) {
        identification.answer = "Sorry, but this leaf is none of the five species!";
    } else {
        identification.answer = "tree = " + treeNames[static_cast<size_t>(winner)];
        identification.speciesKey = outputKeys()[static_cast<size_t>(winner)];
    }
}

// The answer in a few words, with the runner-up when the answer is uncertain.
std::string hedgedAnswer(const Confidence& confidence) {
    const auto shortName = [](int output) -> std::string {
        if (output < 0 || static_cast<size_t>(output) >= outputKeys().size()) {
            return "";
        }
        if (static_cast<size_t>(output) >= makeTreeNameList().size()) {
            return "none of the five";
        }
        std::string key = outputKeys()[static_cast<size_t>(output)];
        key[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(key[0])));
        return key;
    };
    std::string answer = shortName(confidence.best);
    if (confidence.uncertain && confidence.runnerUp >= 0) {
        answer += ", or perhaps " + shortName(confidence.runnerUp);
    }
    if (!answer.empty()) {
        answer[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(answer[0])));
    }
    return answer;
}

}  // namespace

const std::vector<std::string>& outputKeys() {
    static const std::vector<std::string> keys = {"ginkgo", "lime",   "maple",
                                                  "oak",    "willow", "other"};
    return keys;
}

std::vector<std::string> leafValueNames(size_t count) {
    std::vector<std::string> names = {"smooth_factor",
                                      "aspect_ratio",
                                      "form_factor",
                                      "rectangularity",
                                      "ratio_perimeter_diameter",
                                      "perimeter_ratio_factor"};
    for (const std::string& label : outlineDescriptorNames()) {
        std::string key;
        for (char c : label) {
            key += std::isalnum(static_cast<unsigned char>(c))
                       ? static_cast<char>(std::tolower(static_cast<unsigned char>(c)))
                       : '_';
        }
        names.push_back(key);
    }
    for (int r = 0; r < histogramRadiusCount && names.size() < count; ++r) {
        std::ostringstream radius;
        radius << histogramRadiusShares[r];
        for (int b = 1; b <= histogramBinCount; ++b) {
            names.push_back("radius_" + radius.str() + "_bin_" + std::to_string(b));
        }
    }
    names.resize(std::min(count, names.size()));
    return names;
}

const char* verdictKey(LeafVerdict verdict) {
    switch (verdict) {
        case LeafVerdict::Measured:
            return "measured";
        case LeafVerdict::NoLeaf:
            return "no leaf";
        case LeafVerdict::Unmeasurable:
            return "not measurable";
        default:
            return "not a picture";
    }
}

Identification identifyLeaf(NeuralNetwork& network, const std::string& path, bool console,
                            LeafPictures* pictures) {
    Identification identification;
    const cv::Mat grey = readGreyPicture(path);
    const size_t descriptors = descriptorsRead(inputCount(network));
    const LeafAnalysis analysis = console ? analyzeLeafPicture(grey, path, true, true, descriptors)
                                          : analyzeLeafPictureSilently(grey, descriptors, pictures);
    identification.verdict = analysis.verdict;
    identification.workingSize = analysis.workingSize;
    if (analysis.verdict != LeafVerdict::Measured) {
        identification.answer = sorryFor(analysis.verdict, path);
        return identification;
    }
    // The network reads the values as the text hand-off writes them, six significant digits.
    const FeatureText text = toFeatureText(analysis.features);
    const std::vector<std::string> names = leafValueNames(analysis.features.size());
    const std::vector<std::string> tokens = splitString(text, ' ');
    constexpr size_t scalarCount = leafFeatureCount + outlineDescriptorCount;
    for (size_t v = 0; v < names.size() && v < tokens.size(); ++v) {
        const double value = readDecimal(tokens[v]);
        if (v < scalarCount) {
            identification.values.push_back({names[v], value});
        } else {
            if ((v - scalarCount) % histogramBinCount == 0) {
                identification.histograms.emplace_back();
            }
            identification.histograms.back().push_back(value);
        }
    }
    const int winner = classify(network, text);
    for (size_t k = 0; k < network.outputLayer.size() && k < outputKeys().size(); ++k) {
        identification.outputs.push_back({outputKeys()[k], network.outputLayer[k].output});
    }
    name(identification, winner);
    std::vector<double> outputs;
    for (const Neuron& neuron : network.outputLayer) {
        outputs.push_back(neuron.output);
    }
    identification.confidence = judgeConfidence(outputs, network.calibration);
    identification.hedged = hedgedAnswer(identification.confidence);
    return identification;
}
