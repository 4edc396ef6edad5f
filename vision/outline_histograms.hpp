// Outline histograms: how much of a small disk around each point of the outline lies inside the
// leaf, at several disk sizes. About one half on a straight edge, more in a notch or between two
// lobes, less on a tooth or a tip: one histogram per size describes the teeth, lobes and tips
// that a handful of single numbers cannot.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "geometry.hpp"

// Disk radii as shares of the square root of the leaf's area, smallest first: from the teeth of
// the margin (3%) to the leaf's halves (50%).
constexpr int histogramRadiusCount = 8;
constexpr double histogramRadiusShares[histogramRadiusCount] = {0.03, 0.045, 0.065, 0.1,
                                                                0.15, 0.22,  0.33,  0.5};
// Bins of equal width over the share inside, 0 to 1.
constexpr int histogramBinCount = 12;
constexpr size_t outlineHistogramValueCount =
    static_cast<size_t>(histogramRadiusCount) * histogramBinCount;

// The histograms of the leaf outline in binary (non-zero is leaf), radius after radius, each
// summing to 1, taken at the resampled outline's points (see resampleOutline). Each value is the
// same for a turned, mirrored or scaled leaf and any starting point, up to the pixel grid.
std::vector<double> computeOutlineHistograms(const cv::Mat& binary, const LeafOutline& outline);

// The share of the disk of radius around centre that lies inside the leaf, with every pixel a
// unit square and the rows of the disk as the pixel rows cut it; outside the picture is not leaf.
// rowCounts holds, for every row, the leaf left of each column (cols + 1 per row).
double diskShareInside(const cv::Mat& rowCounts, cv::Point2d centre, double radius);

// The leaf left of each column, row by row, as a CV_64F matrix of rows x (cols + 1): of a binary
// CV_8U picture (non-zero is leaf) in pixels, of a CV_32F picture of shares in their sum.
cv::Mat countLeafPixelsByRow(const cv::Mat& leaf);
