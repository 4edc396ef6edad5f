// One photo's answer as every front end gives it: the dialogue's line, and the same answer with
// its numbers for the web server and leafid-eval's JSON.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "analysis.hpp"
#include "confidence.hpp"
#include "network.hpp"

struct NamedValue {
    std::string name;
    double value = 0.0;
};

struct Identification {
    LeafVerdict verdict = LeafVerdict::UnreadableImage;
    std::string answer;      // the dialogue's line: "tree = Maple (Javor)" or a "Sorry, ..." line
    std::string speciesKey;  // "maple"; empty when no species is named
    std::vector<NamedValue> outputs;  // every output of the network by key, when it ran
    std::vector<NamedValue> values;   // the features and descriptors the network read, by name
    std::vector<std::vector<double>> histograms;  // the outline histogram bins it read, by radius
    cv::Size workingSize;   // the picture as measured; empty when none was read
    Confidence confidence;  // of the outputs, when the network ran
    std::string hedged;     // "Oak", or "Oak, or perhaps Maple" when uncertain; empty when not run
};

// The keys of the outputs, in output order: ginkgo, lime, maple, oak, willow, then other (a
// sixth output: none of the five).
const std::vector<std::string>& outputKeys();

// The names of the first count values a network reads: smooth_factor ... perimeter_ratio_factor,
// then the outline descriptors by their report labels in lower case with '_' for the rest, then
// the histogram values as radius_<share>_bin_<1 to 12>.
std::vector<std::string> leafValueNames(size_t count);

// Measures the photo at path (which must exist) and names its species with network. With
// console, the report goes to standard output and the windows open, as in the dialogue;
// without, nothing is written anywhere, so several threads may identify at once (each with a
// network of its own: the evaluation keeps its state in the network). The three pictures go to
// pictures when it is given.
Identification identifyLeaf(NeuralNetwork& network, const std::string& path, bool console,
                            LeafPictures* pictures = nullptr);

// How a verdict reads in JSON: "measured", "no leaf", "not measurable" or "not a picture".
const char* verdictKey(LeafVerdict verdict);
