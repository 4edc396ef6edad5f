// Finding the leaf in a phone photo of a leaf on a sheet of paper, so that it can be measured as
// if the photo had been cropped to it like the photos the network learnt from.
#pragma once

#include <opencv2/core.hpp>

// The search runs on a copy reduced by a whole factor to at most this many pixels on its
// longer side: a leaf a fifth of a 12-megapixel frame wide is still about 100 pixels wide there.
constexpr int cropSearchSide = 512;

struct LeafOnSheet {
    cv::Rect leaf;            // in pixels of grey; empty when no leaf lies wholly on the sheet
    double sheetShare = 0.0;  // of the frame covered by the sheet and what lies on it
};

// The sheet is the largest light region of the picture, the leaf the largest dark region wholly
// inside it.
LeafOnSheet findLeafOnSheet(const cv::Mat& grey);

// The part of grey (8-bit, one channel, upright) to measure: the leaf's bounding box plus a
// margin of a tenth of its longer side on every side, clamped to the picture, when the leaf
// lies wholly on a light sheet and that box covers at most half of the picture; otherwise the
// whole picture.
cv::Rect findLeafCrop(const cv::Mat& grey);
