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

// Analyses the image at path with report and windows, and writes its six features and its first
// descriptorCount outline descriptors as text.
FeatureHandOff extractFeatures(std::string path, size_t descriptorCount);

FeatureText toFeatureText(FeatureVector features);
