// The six shape features derived from the leaf measurements.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "geometry.hpp"

// Smooth factor, aspect ratio, form factor, rectangularity, ratio perimeter diameter,
// perimeter ratio factor: input i of the network is position i.
using FeatureVector = std::vector<double>;

constexpr size_t leafFeatureCount = 6;

constexpr double fourPi = 12.566370614359172;

// Leaf area after a 5 x 5 box blur divided by leaf area after a 2 x 2 box blur.
double computeSmoothFactor(cv::Mat image);

// The six features of image, whose perimeter, area, diameter and width are in geometric.
FeatureVector computeMorphologicalFeatures(cv::Mat image, GeometricFeatures geometric);
