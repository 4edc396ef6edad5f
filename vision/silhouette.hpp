// Window counts on two-valued pictures. On a picture of 0 and 255 a median filter is a majority
// vote and a box blur is non-zero wherever its window holds a single 255, so both come down to
// counting, which is several times cheaper than the library's general filters.
#pragma once

#include <opencv2/core.hpp>

// What cv::threshold(grey, t, threshold, 255, cv::THRESH_BINARY_INV) followed by
// cv::medianBlur(t, result, 9) gives for a CV_8UC1 grey picture, in one pass: 255 where at
// least 41 of the 81 pixels of the 9 x 9 window (border replicated) are at most threshold.
cv::Mat binarizeByMajority(const cv::Mat& grey, uchar threshold);

// 255 where cv::blur with a kernelSize x kernelSize box (1 to 5), anchored at its centre, with
// the default border, is non-zero on a CV_8UC1 image of 0 and 255; 0 elsewhere.
cv::Mat twoValuedBlurSupport(const cv::Mat& image, int kernelSize);
