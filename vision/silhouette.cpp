#include "silhouette.hpp"

#include <algorithm>
#include <opencv2/core/base.hpp>
#include <vector>

// The loops below work on whole rows of bytes; the compiler turns each into vector code.

namespace {

constexpr int majorityWindow = 9;
constexpr int majorityReach = majorityWindow / 2;
constexpr int majority = majorityWindow * majorityWindow / 2 + 1;  // 41 of 81

// counts[x] += (entering[x] is leaf) - (leaving[x] is leaf); leaf is at most limit.
void updateLeafCounts(uchar* counts, const uchar* entering, const uchar* leaving, uchar limit,
                      int cols) {
    for (int x = 0; x < cols; ++x) {
        counts[x] = static_cast<uchar>(counts[x] + (entering[x] <= limit) - (leaving[x] <= limit));
    }
}

// row[x] |= other[x]
void orRow(uchar* row, const uchar* other, int cols) {
    for (int x = 0; x < cols; ++x) {
        row[x] |= other[x];
    }
}

}  // namespace

cv::Mat binarizeByMajority(const cv::Mat& grey, uchar threshold) {
    CV_Assert(grey.type() == CV_8UC1);
    const int rows = grey.rows;
    const int cols = grey.cols;
    const auto row = [&](int y) { return grey.ptr<uchar>(std::clamp(y, 0, rows - 1)); };

    // counts[majorityReach + x]: the leaf pixels of column x in the 9 rows around the current
    // row, with majorityReach columns of replicated border on either side. threes[x] sums
    // counts[x .. x + 2], so the window of pixel x holds threes[x] + threes[x + 3] + threes[x + 6].
    std::vector<uchar> counts(cols + 2 * majorityReach, 0);
    std::vector<uchar> threes(cols + 6);
    uchar* column = counts.data() + majorityReach;
    for (int y = -majorityReach; y <= majorityReach; ++y) {
        const uchar* entering = row(y);
        for (int x = 0; x < cols; ++x) {
            column[x] = static_cast<uchar>(column[x] + (entering[x] <= threshold));
        }
    }
    cv::Mat result(rows, cols, CV_8UC1);
    for (int y = 0; y < rows; ++y) {
        if (y > 0) {
            updateLeafCounts(column, row(y + majorityReach), row(y - majorityReach - 1), threshold,
                             cols);
        }
        std::fill_n(counts.begin(), majorityReach, column[0]);
        std::fill_n(counts.end() - majorityReach, majorityReach, column[cols - 1]);
        const uchar* c = counts.data();
        uchar* t = threes.data();
        for (int x = 0; x < cols + 6; ++x) {
            t[x] = static_cast<uchar>(c[x] + c[x + 1] + c[x + 2]);
        }
        uchar* out = result.ptr<uchar>(y);
        for (int x = 0; x < cols; ++x) {
            out[x] = t[x] + t[x + 3] + t[x + 6] >= majority ? 255 : 0;
        }
    }
    return result;
}

cv::Mat twoValuedBlurSupport(const cv::Mat& image, int kernelSize) {
    CV_Assert(image.type() == CV_8UC1 && kernelSize >= 1 && kernelSize <= 5);
    // The window of pixel x reaches from x - before to x - before + kernelSize - 1; outside the
    // picture the blur mirrors it without repeating the edge (cv::BORDER_REFLECT_101).
    const int before = kernelSize / 2;
    const int rows = image.rows;
    const int cols = image.cols;
    const auto mirrored = [&](int length) {
        std::vector<int> index(length + kernelSize - 1);  // index[i]: what i - before shows
        for (size_t i = 0; i < index.size(); ++i) {
            index[i] =
                cv::borderInterpolate(static_cast<int>(i) - before, length, cv::BORDER_REFLECT_101);
        }
        return index;
    };
    const std::vector<int> rowAt = mirrored(rows);
    const std::vector<int> columnAt = mirrored(cols);

    cv::Mat result(rows, cols, CV_8UC1);
    std::vector<uchar> padded(cols + kernelSize - 1);
    for (int y = 0; y < rows; ++y) {
        // The rows of the window first, then its columns.
        uchar* acrossRows = padded.data() + before;
        std::copy_n(image.ptr<uchar>(rowAt[y]), cols, acrossRows);
        for (int k = 1; k < kernelSize; ++k) {
            orRow(acrossRows, image.ptr<uchar>(rowAt[y + k]), cols);
        }
        for (int i = 0; i < before; ++i) {
            padded[i] = acrossRows[columnAt[i]];
        }
        for (int i = before + cols; i < static_cast<int>(padded.size()); ++i) {
            padded[i] = acrossRows[columnAt[i]];
        }
        uchar* out = result.ptr<uchar>(y);
        std::copy_n(padded.data(), cols, out);
        for (int k = 1; k < kernelSize; ++k) {
            orRow(out, padded.data() + k, cols);
        }
    }
    return result;
}
