// The analysis of one leaf photograph: read, scale, binarize, measure, describe.
#pragma once

#include <opencv2/core.hpp>
#include <string>

#include "morphology.hpp"
#include "outline.hpp"
#include "outline_histograms.hpp"

constexpr int workingWidth = 128;
constexpr double backgroundThreshold = 220.0;  // greys above this are background
constexpr int medianKernelSize = 9;
// A picture 128 times as tall as wide or taller would need gigabytes at working size from a
// file of a few kilobytes; like one 128 times as wide (height 0), it is no leaf photo.
constexpr int maxWorkingHeight = workingWidth * workingWidth - 1;

// A leaf photographed on light paper lies apart from the frame: a silhouette that reaches three
// or four of its sides is a tree, bark, foliage or a table, not a leaf on paper. No photo of a
// single leaf on paper reaches even one.
constexpr int maxSidesReached = 2;

// The most values a network can read from a leaf: the six features, every descriptor, then the
// outline histograms.
constexpr size_t leafValueCount =
    leafFeatureCount + outlineDescriptorCount + outlineHistogramValueCount;

// How many values a network of inputCount inputs reads after the six features: descriptors
// first, then histogram values.
size_t descriptorsRead(int inputCount);

enum class LeafVerdict {
    Measured,         // features holds the values asked for, all finite
    UnreadableImage,  // no picture read, or it scales to less than 1 or over 16383 rows
    NoLeaf,           // no leaf pixel survived binarization, or no light paper around it
    Unmeasurable,  // features holds the values asked for, not all finite; or the measuring failed
};

struct LeafAnalysis {
    LeafVerdict verdict = LeafVerdict::UnreadableImage;
    FeatureVector features;  // the six features, then the first descriptorCount descriptors
    cv::Size workingSize;    // of the picture as measured (cropped, scaled); empty when none
};

// What the three windows show, kept for callers without windows (a web page): the picture as
// measured, the silhouette, and the outline with the width in green and the diameter in blue
// (BGR). geometric holds perimeter, area, diameter and width when an outline was found.
struct LeafPictures {
    cv::Mat working;
    cv::Mat binary;
    cv::Mat contours;
    GeometricFeatures geometric;
};

// Analyses the image at path, read by readGreyPicture. The processing line is printed for every
// picture read; the two report blocks with printReport, the three windows with showWindows. With
// descriptorCount above 0 (at most outlineDescriptorCount) the first descriptorCount outline
// descriptors follow the six features, and the report gets a block for them.
LeafAnalysis analyzeLeafImage(std::string path, bool printReport, bool showWindows,
                              size_t descriptorCount = 0);

// The same for an 8-bit grey picture already in memory; path only names it in the processing
// line. An error of the image library during the measuring makes the leaf Unmeasurable.
LeafAnalysis analyzeLeafPicture(cv::Mat picture, const std::string& path, bool printReport,
                                bool showWindows, size_t descriptorCount = 0);

// The same without a single line on standard output, which several threads cannot share; the
// pictures go to pictures when it is given (working stays empty when no picture was read).
LeafAnalysis analyzeLeafPictureSilently(cv::Mat picture, size_t descriptorCount,
                                        LeafPictures* pictures = nullptr);

// Threshold (leaf 255, background 0), then a 9 x 9 median filter, into destination.
void binarizeImage(cv::Mat source, cv::Mat& destination);

// Working height of a cols x rows picture scaled to 128 pixels wide (truncated).
int workingHeight(int cols, int rows);
