#include "silhouette.hpp"

#include <algorithm>
#include <opencv2/core/base.hpp>
#include <vector>

// The loops below work on whole rows of bytes; the compiler turns each into vector code.

namespace {

// counts[x] += (entering[x] is 255) - (leaving[x] is 255)
void updateColumnCounts(uchar* counts, const uchar* entering, const uchar* leaving, int cols) {
    for (int x = 0; x < cols; ++x) {
        counts[x] = static_cast<uchar>(counts[x] + (entering[x] & 1) - (leaving[x] & 1));
    }
}

// sums[x] = counts[x] + ... + counts[x + width - 1]
void sumWindows(const uchar* counts, int width, uchar* sums, int cols) {
    std::fill_n(sums, cols, 0);
    for (int k = 0; k < width; ++k) {
        for (int x = 0; x < cols; ++x) {
            sums[x] = static_cast<uchar>(sums[x] + counts[x + k]);
        }
    }
}

// row[x] |= other[x]
void orRow(uchar* row, const uchar* other, int cols) {
    for (int x = 0; x < cols; ++x) {
        row[x] |= other[x];
    }
}

}  // namespace

cv::Mat twoValuedMedian(const cv::Mat& image, int kernelSize) {
    CV_Assert(image.type() == CV_8UC1 && kernelSize % 2 == 1 && kernelSize <= 15);
    const int reach = kernelSize / 2;
    const int majority = kernelSize * kernelSize / 2 + 1;
    const int rows = image.rows;
    const int cols = image.cols;
    const auto row = [&](int y) { return image.ptr<uchar>(std::clamp(y, 0, rows - 1)); };

    // counts[reach + x]: the 255 pixels of column x in the kernelSize rows around the current
    // row, with reach columns of replicated border on either side.
    std::vector<uchar> counts(cols + 2 * reach, 0);
    uchar* column = counts.data() + reach;
    const std::vector<uchar> none(cols, 0);
    for (int y = -reach; y <= reach; ++y) {
        updateColumnCounts(column, row(y), none.data(), cols);
    }
    std::vector<uchar> sums(cols);
    cv::Mat result(rows, cols, CV_8UC1);
    for (int y = 0; y < rows; ++y) {
        if (y > 0) {
            updateColumnCounts(column, row(y + reach), row(y - reach - 1), cols);
        }
        std::fill_n(counts.begin(), reach, column[0]);
        std::fill_n(counts.end() - reach, reach, column[cols - 1]);
        sumWindows(counts.data(), kernelSize, sums.data(), cols);
        uchar* out = result.ptr<uchar>(y);
        for (int x = 0; x < cols; ++x) {
            out[x] = sums[x] >= majority ? 255 : 0;
        }
    }
    return result;
}

cv::Mat twoValuedBlurSupport(const cv::Mat& image, int kernelSize) {
    CV_Assert(image.type() == CV_8UC1 && kernelSize >= 1);
    // The window of pixel x reaches from x - before to x + after; outside the picture the blur
    // mirrors it without repeating the edge (cv::BORDER_REFLECT_101).
    const int before = kernelSize / 2;
    const int rows = image.rows;
    const int cols = image.cols;
    const auto mirrored = [](int i, int size) {
        return cv::borderInterpolate(i, size, cv::BORDER_REFLECT_101);
    };

    cv::Mat result(rows, cols, CV_8UC1);
    std::vector<uchar> padded(cols + kernelSize - 1);
    for (int y = 0; y < rows; ++y) {
        // The rows of the window first, then its columns.
        uchar* acrossRows = padded.data() + before;
        std::copy_n(image.ptr<uchar>(mirrored(y - before, rows)), cols, acrossRows);
        for (int k = 1; k < kernelSize; ++k) {
            orRow(acrossRows, image.ptr<uchar>(mirrored(y - before + k, rows)), cols);
        }
        for (int i = 0; i < before; ++i) {
            padded[i] = acrossRows[mirrored(i - before, cols)];
        }
        for (int i = before + cols; i < static_cast<int>(padded.size()); ++i) {
            padded[i] = acrossRows[mirrored(i - before, cols)];
        }
        uchar* out = result.ptr<uchar>(y);
        std::copy_n(padded.data(), cols, out);
        for (int k = 1; k < kernelSize; ++k) {
            orRow(out, padded.data() + k, cols);
        }
    }
    return result;
}
