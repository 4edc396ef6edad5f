// Measuring the leaf outline in a two-valued image.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

// The leaf outline as the contour extraction returns it, closed, in compressed form.
using LeafOutline = std::vector<cv::Point>;

// Perimeter and area of the leaf contour, then diameter and width when asked for.
// Empty when the image holds no contour at all.
using GeometricFeatures = std::vector<double>;

// Chords whose absolute cosine with the diameter is below this count as perpendicular.
constexpr double perpendicularityTolerance = 0.1;

// The width search compares each outline point with the points level with it along the
// diameter. An outline that would need more comparisons than this (seconds of work; real leaf
// outlines need a few thousand, a 128 x 16384 comb of 227,000 points about 80 million) gets a
// width of NaN: not measured.
constexpr long long maxWidthPairs = 1LL << 28;

// A chord between points i and j of a contour.
struct Chord {
    int i = 0;
    int j = 0;
    double length = 0.0;  // 0 when no pair was found, NaN when the search was refused
};

// The longest chord between two points of contour p, the first in a scan over all ordered
// pairs (i, j), i outer, j inner.
Chord findDiameter(const std::vector<cv::Point>& p);

// The longest chord of p whose absolute cosine with the diameter is below the tolerance, the
// first such in the same scan; length 0 when none qualifies or the diameter is 0, NaN when the
// search would need more than maxPairs comparisons.
Chord findWidth(const std::vector<cv::Point>& p, const Chord& diameter,
                long long maxPairs = maxWidthPairs);

// Measures the largest contour of image (non-zero is leaf) and draws every contour in white on
// a fresh black contourCanvas, then the width line in green and the diameter line in blue.
// The measured contour goes to leafOutline when one is given.
GeometricFeatures computeGeometricFeatures(cv::Mat& contourCanvas, bool withDiameterAndWidth,
                                           cv::Mat image, LeafOutline* leafOutline = nullptr);

// The same measurements without drawing, for pictures that no window shows.
GeometricFeatures measureGeometricFeatures(bool withDiameterAndWidth, cv::Mat image,
                                           LeafOutline* leafOutline = nullptr);
