// The console report of one leaf analysis.
#pragma once

#include <string>

#include "geometry.hpp"
#include "morphology.hpp"

void printProcessingLine(const std::string& path, int width, int height);
void printGeometricBlock(const GeometricFeatures& geometric);
void printMorphologicalBlock(const FeatureVector& features);
// One line per descriptor, labelled in input order; printed only for networks that read them.
void printOutlineBlock(const std::vector<double>& descriptors);
