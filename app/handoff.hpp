// Handing one image's features to the classifier as text.
#pragma once

#include <string>

#include "analysis.hpp"

// Each value in the stream's default format, followed by one blank.
using FeatureText = std::string;

struct FeatureHandOff {
    LeafVerdict verdict = LeafVerdict::UnreadableImage;
    FeatureText text;  // filled only when the leaf was measured
};

// Analyses the image at path with report and windows, and writes its features as text.
FeatureHandOff extractFeatures(std::string path);

FeatureText toFeatureText(FeatureVector features);
