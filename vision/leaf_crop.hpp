// Finding the leaf in a phone photo of a leaf on a sheet of paper, so that it is measured as if
// the photo had been cropped to it like the photos the network learnt from.
#pragma once

#include <opencv2/core.hpp>

// The search runs on reduced copies: whether to crop is decided on one of cropDecisionSide
// pixels on its longer side, which costs little beside the decode; only a picture that is
// cropped is searched again around the leaf, averaged down to at most cropSearchSide pixels,
// where the leaf is some hundreds of pixels long and a stalk shows.
constexpr int cropSearchSide = 512;
constexpr int cropDecisionSide = 128;

// Pictures this wide or narrower are never cropped.
constexpr int smallestCroppedWidth = 128;

// The part of grey (8-bit, one channel, upright) to measure. The sheet is the largest light
// region, the leaf the largest dark region lying wholly on it (touching neither the sheet's
// edge nor the frame) and at least a twentieth of the picture's longer side long. The picture
// is cropped to the leaf's bounding box plus a margin of a tenth of its longer side on every
// side, clamped to the picture, when
//   - the sheet, with what lies on it, covers less than 99% of the frame (a table or floor is
//     in sight, which would be taken for leaf), or
//   - that crop covers at most a quarter of the picture (the leaf is small).
// Otherwise, and when no leaf lies wholly on a sheet or the picture is no wider than the working
// picture (128 pixels, smallestCroppedWidth), the result is the whole picture.
cv::Rect findLeafCrop(const cv::Mat& grey);
