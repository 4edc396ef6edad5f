#include "report.hpp"

#include <algorithm>
#include <iostream>

#include "outline.hpp"
#include "outline_histograms.hpp"

// Lines end in '\n', not std::endl: the dialogue flushes before it reads the next path, so a
// report costs one write to the terminal or pipe instead of one per line.

namespace {
const char* const separator = "-------------------\n";
}

void printProcessingLine(const std::string& path, int width, int height) {
    std::cout << "Processing image \"" << path << "\" (" << width << "x" << height << ") ...\n";
}

void printGeometricBlock(const GeometricFeatures& geometric) {
    std::cout << separator << "- Geometric features\n";
    std::cout << "Perimeter: " << geometric[0] << "\n";
    std::cout << "Area: " << geometric[1] << "\n";
    std::cout << "Diameter: " << geometric[2] << "\n";
    std::cout << "Width: " << geometric[3] << "\n";
    std::cout << separator;
}

void printMorphologicalBlock(const FeatureVector& features) {
    std::cout << "- Morphological features\n";
    std::cout << "Smooth factor: " << features[0] << "\n";
    std::cout << "Aspect ratio: " << features[1] << "\n";
    std::cout << "Form factor: " << features[2] << "\n";
    std::cout << "Rectangularity: " << features[3] << "\n";
    std::cout << "Ratio perimeter diameter: " << features[4] << "\n";
    std::cout << "Perimeter ratio factor: " << features[5] << "\n";
    std::cout << separator << "\n";
}

void printOutlineBlock(const std::vector<double>& descriptors) {
    const std::vector<std::string>& names = outlineDescriptorNames();
    std::cout << "- Outline descriptors\n";
    for (size_t i = 0; i < descriptors.size() && i < names.size(); ++i) {
        std::cout << names[i] << ": " << descriptors[i] << "\n";
    }
    std::cout << separator << "\n";
}

void printHistogramBlock(const std::vector<double>& histograms) {
    std::cout << "- Outline histograms\n";
    for (size_t start = 0; start < histograms.size(); start += histogramBinCount) {
        std::cout << "Radius " << histogramRadiusShares[start / histogramBinCount] << ":";
        const size_t end = std::min(start + histogramBinCount, histograms.size());
        for (size_t i = start; i < end; ++i) {
            std::cout << " " << histograms[i];
        }
        std::cout << "\n";
    }
    std::cout << separator << "\n";
}
