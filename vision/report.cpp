#include "report.hpp"

#include <iostream>

namespace {
const char* const separator = "-------------------";
}

void printProcessingLine(const std::string& path, int width, int height) {
    std::cout << "Processing image \"" << path << "\" (" << width << "x" << height << ") ..."
              << std::endl;
}

void printGeometricBlock(const GeometricFeatures& geometric) {
    std::cout << separator << std::endl;
    std::cout << "- Geometric features" << std::endl;
    std::cout << "Perimeter: " << geometric[0] << std::endl;
    std::cout << "Area: " << geometric[1] << std::endl;
    std::cout << "Diameter: " << geometric[2] << std::endl;
    std::cout << "Width: " << geometric[3] << std::endl;
    std::cout << separator << std::endl;
}

void printMorphologicalBlock(const FeatureVector& features) {
    std::cout << "- Morphological features" << std::endl;
    std::cout << "Smooth factor: " << features[0] << std::endl;
    std::cout << "Aspect ratio: " << features[1] << std::endl;
    std::cout << "Form factor: " << features[2] << std::endl;
    std::cout << "Rectangularity: " << features[3] << std::endl;
    std::cout << "Ratio perimeter diameter: " << features[4] << std::endl;
    std::cout << "Perimeter ratio factor: " << features[5] << std::endl;
    std::cout << separator << std::endl;
    std::cout << std::endl;
}
