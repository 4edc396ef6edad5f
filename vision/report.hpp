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
// The outline histograms, one line per radius: its share of the leaf's size, then its bins. A
// network that reads only part of them gets only the values it reads.
void printHistogramBlock(const std::vector<double>& histograms);
