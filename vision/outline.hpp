// Outline descriptors: shape numbers of the leaf outline beyond the six features, each the same
// for a turned, scaled or mirrored copy of the outline and whatever point the outline starts at.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "geometry.hpp"

// Solidity, convexity, bending at 1/128, 1/64, 1/32 and 1/16 of the outline, elongation,
// harmonics 2-3, 4-7 and 8-15: after the six features, network input 6 + i is descriptor i.
constexpr size_t outlineDescriptorCount = 10;

// Points the outline is resampled to, evenly spaced along it, for bending and harmonics.
constexpr int outlineSamples = 256;

// The report label of each descriptor, in input order ("Solidity", ...).
const std::vector<std::string>& outlineDescriptorNames();

// All descriptors of an outline that encloses some area, in input order.
std::vector<double> computeOutlineDescriptors(const LeafOutline& outline);

// outlineSamples points spaced evenly by length along the closed outline, from its first point,
// running so that the enclosed area counts positive (counterclockwise with y pointing up).
std::vector<cv::Point2d> resampleOutline(const LeafOutline& outline);
