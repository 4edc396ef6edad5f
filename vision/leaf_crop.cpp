#include "leaf_crop.hpp"

#include <algorithm>
#include <opencv2/imgproc.hpp>

namespace {

// The smallest leaf looked for, as a share of the picture's longer side: a speck of dust on an
// empty sheet is no leaf to crop to.
constexpr double smallestLeaf = 0.05;
// Where the sheet covers less of the frame than this, what lies around it (a table, the floor)
// would be taken for leaf, so the picture is cropped to the leaf whatever its size.
constexpr double sheetFillingFrame = 0.99;
// A leaf whose crop covers at most this share of the picture is small enough to lose most of
// its outline when the whole picture is scaled to the working width, so it is cropped as well.
constexpr double smallLeafCrop = 0.25;

// grey reduced by the smallest whole factor that brings its longer side to cropSearchSide or
// less; a whole factor lets the area average run on its fast path.
cv::Mat reduceForSearch(const cv::Mat& grey, int& factor) {
    factor = (std::max(grey.cols, grey.rows) + cropSearchSide - 1) / cropSearchSide;
    if (factor <= 1) {
        factor = 1;
        return grey;
    }
    cv::Mat reduced;
    cv::resize(grey, reduced, cv::Size(grey.cols / factor, grey.rows / factor), 0.0, 0.0,
               cv::INTER_AREA);
    return reduced;
}

// mask with its holes filled: 255 wherever the picture's border cannot be reached through
// pixels that are 0 in mask.
cv::Mat fillHoles(const cv::Mat& mask) {
    cv::Mat outside(mask.rows + 2, mask.cols + 2, CV_8U, cv::Scalar(0));
    mask.copyTo(outside(cv::Rect(1, 1, mask.cols, mask.rows)));
    cv::floodFill(outside, cv::Point(0, 0), cv::Scalar(128), nullptr, cv::Scalar(0), cv::Scalar(0),
                  4);
    return outside(cv::Rect(1, 1, mask.cols, mask.rows)) != 128;
}

// The largest 8-connected component of mask: its pixels in component, its bounding box as the
// result (empty when mask is 0 everywhere).
cv::Rect largestComponent(const cv::Mat& mask, cv::Mat& component) {
    cv::Mat labels;
    cv::Mat stats;
    cv::Mat centroids;
    const int count = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
    int largest = 0;
    for (int label = 1; label < count; ++label) {
        if (largest == 0 ||
            stats.at<int>(label, cv::CC_STAT_AREA) > stats.at<int>(largest, cv::CC_STAT_AREA)) {
            largest = label;
        }
    }
    component = labels == largest;
    if (largest == 0) {
        return cv::Rect();
    }
    return cv::Rect(
        stats.at<int>(largest, cv::CC_STAT_LEFT), stats.at<int>(largest, cv::CC_STAT_TOP),
        stats.at<int>(largest, cv::CC_STAT_WIDTH), stats.at<int>(largest, cv::CC_STAT_HEIGHT));
}

}  // namespace

LeafOnSheet findLeafOnSheet(const cv::Mat& grey) {
    if (grey.empty() || grey.type() != CV_8UC1) {
        return {};
    }
    int factor = 1;
    const cv::Mat reduced = reduceForSearch(grey, factor);
    cv::Mat light;
    cv::threshold(reduced, light, 0.0, 255.0, cv::THRESH_BINARY | cv::THRESH_OTSU);
    cv::Mat sheet;
    largestComponent(light, sheet);
    const cv::Mat filledSheet = fillHoles(sheet);
    cv::Mat leaf;
    const cv::Rect box = largestComponent(filledSheet & ~sheet, leaf);
    LeafOnSheet found;
    found.sheetShare = static_cast<double>(cv::countNonZero(filledSheet)) / filledSheet.total();
    if (std::max(box.width, box.height) >= smallestLeaf * std::max(reduced.cols, reduced.rows)) {
        found.leaf =
            cv::Rect(box.x * factor, box.y * factor, box.width * factor, box.height * factor);
    }
    return found;
}

cv::Rect findLeafCrop(const cv::Mat& grey) {
    const cv::Rect whole(0, 0, grey.cols, grey.rows);
    const LeafOnSheet found = findLeafOnSheet(grey);
    if (found.leaf.empty()) {
        return whole;
    }
    const cv::Rect& leaf = found.leaf;
    const int margin = std::max(leaf.width, leaf.height) / 10;
    const cv::Rect crop = cv::Rect(leaf.x - margin, leaf.y - margin, leaf.width + 2 * margin,
                                   leaf.height + 2 * margin) &
                          whole;
    const bool tableAround = found.sheetShare < sheetFillingFrame;
    const bool smallLeaf = crop.area() <= smallLeafCrop * whole.area();
    return tableAround || smallLeaf ? crop : whole;
}
