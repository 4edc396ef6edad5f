// Window counts on two-valued pictures (0 and 255). On such a picture a median filter is a
// majority vote and a box blur is non-zero wherever its window holds a single 255, so both come
// down to counting, which is several times cheaper than the library's general filters.
#pragma once

#include <opencv2/core.hpp>

// What cv::medianBlur(image, result, kernelSize) gives for a CV_8UC1 image of 0 and 255: 255
// where more than half of the kernelSize x kernelSize window (border replicated) is 255.
// kernelSize is odd and at most 15.
cv::Mat twoValuedMedian(const cv::Mat& image, int kernelSize);

// 255 where cv::blur with a kernelSize x kernelSize box, anchored at its centre, with the default
// border, is non-zero on a CV_8UC1 image of 0 and 255; 0 elsewhere.
cv::Mat twoValuedBlurSupport(const cv::Mat& image, int kernelSize);
