// Measuring the leaf outline in a two-valued image.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

// Perimeter and area of the leaf contour, then diameter and width when asked for.
// Empty when the image holds no contour at all.
using GeometricFeatures = std::vector<double>;

// Chords whose absolute cosine with the diameter is below this count as perpendicular.
constexpr double perpendicularityTolerance = 0.1;

// Measures the largest contour of image (non-zero is leaf) and draws every contour in white on
// a fresh black contourCanvas, then the width line in green and the diameter line in blue.
GeometricFeatures computeGeometricFeatures(cv::Mat& contourCanvas, bool withDiameterAndWidth,
                                           cv::Mat image);
