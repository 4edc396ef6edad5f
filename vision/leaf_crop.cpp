#include "leaf_crop.hpp"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <vector>

namespace {

// The smallest leaf looked for, as a share of the picture's longer side: a speck of dust on an
// empty sheet is no leaf to crop to.
constexpr double smallestLeaf = 0.05;
// Where the sheet and what lies on it cover less of the frame than this, what lies around it
// (a table, the floor) would be taken for leaf, so the picture is cropped whatever the leaf's
// size.
constexpr double sheetFillingFrame = 0.99;
// A leaf whose crop covers at most this share of the picture is small enough to lose most of
// its outline when the whole picture is scaled to the working width, so it is cropped as well.
constexpr double smallLeafCrop = 0.25;
// The margin around the leaf, as a share of its longer side, like that of the photos the
// network learnt from.
constexpr double leafMargin = 0.1;
// Dark things on the sheet this close on the small copy (in its pixels) are one: the leaflets
// of a compound leaf, which a stalk too thin to show there holds together.
constexpr int joiningReach = 2;
// The leaf is looked for again within this share of its longer side around it: room for a
// stalk too thin to show on the small copy.
constexpr double searchMargin = 0.6;
// Pixels of the sheet darker than this share of the paper around them are leaf where they touch
// it (the silhouette's threshold takes 86%); the leaf's soft shadow is mostly lighter.
constexpr double paleLeaf = 0.8;

using Contour = std::vector<cv::Point>;

// picture reduced by the smallest whole factor that brings its longer side to side or less.
// The area average runs on its fast path only for an exact whole factor, so the last rows and
// columns that do not fill a block are left out.
cv::Mat reduceTo(const cv::Mat& picture, int side, int& factor) {
    factor = std::max(1, (std::max(picture.cols, picture.rows) + side - 1) / side);
    if (factor == 1) {
        return picture;
    }
    const cv::Size reducedSize(picture.cols / factor, picture.rows / factor);
    cv::Mat reduced;
    cv::resize(picture(cv::Rect(0, 0, reducedSize.width * factor, reducedSize.height * factor)),
               reduced, reducedSize, 0.0, 0.0, cv::INTER_AREA);
    return reduced;
}

// grey sampled down to side pixels on its longer side (or as it is when smaller), one pixel of
// grey for each: that reads a few rows of the picture where averaging would read all of it, and
// the sheet and any leaf big enough to be looked for are many samples wide either way. A plain
// loop, since the library's resize costs more in setting up than in work at this size.
cv::Mat sampleDown(const cv::Mat& grey, int side) {
    const double scale = static_cast<double>(side) / std::max(grey.cols, grey.rows);
    if (scale >= 1.0) {
        return grey;
    }
    cv::Mat sampled(std::max(1, static_cast<int>(grey.rows * scale)),
                    std::max(1, static_cast<int>(grey.cols * scale)), CV_8U);
    std::vector<int> columns(static_cast<size_t>(sampled.cols));
    for (int x = 0; x < sampled.cols; ++x) {
        columns[static_cast<size_t>(x)] = static_cast<int>((x + 0.5) * grey.cols / sampled.cols);
    }
    for (int y = 0; y < sampled.rows; ++y) {
        const uchar* from = grey.ptr<uchar>(static_cast<int>((y + 0.5) * grey.rows / sampled.rows));
        uchar* to = sampled.ptr<uchar>(y);
        for (int x = 0; x < sampled.cols; ++x) {
            to[x] = from[columns[static_cast<size_t>(x)]];
        }
    }
    return sampled;
}

// The outer boundary of the largest region of mask (by the area it encloses), filled, as 255
// in region; its bounding box as the result, empty when mask is 0 everywhere.
cv::Rect largestRegion(const cv::Mat& mask, cv::Mat& region) {
    std::vector<Contour> contours;
    cv::findContours(mask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
    region = cv::Mat::zeros(mask.size(), CV_8U);
    if (contours.empty()) {
        return cv::Rect();
    }
    const auto largest = std::max_element(
        contours.begin(), contours.end(),
        [](const Contour& a, const Contour& b) { return cv::contourArea(a) < cv::contourArea(b); });
    cv::drawContours(region, contours, static_cast<int>(largest - contours.begin()),
                     cv::Scalar(255), cv::FILLED);
    return cv::boundingRect(*largest);
}

// The sheet and the leaf on the small copy.
struct SheetSearch {
    double threshold = 0.0;   // Otsu's, between the paper and everything darker
    cv::Mat sheet;            // the sheet's outline, filled: the sheet and what lies on it, 255
    double sheetShare = 0.0;  // of the frame that sheet covers
    cv::Mat leaf;             // the largest dark region inside it, 255
    cv::Rect leafBox;         // its box; empty when there is none or it is a speck
};

// Light and dark are told apart by Otsu's threshold, which on a picture of a leaf on paper
// falls between the paper and everything darker: the leaf, the table, the floor. The sheet is
// the largest light region, the leaf the largest dark region inside its outline; a leaf that
// touches the sheet's edge or the frame lies in no such region.
SheetSearch searchSheet(const cv::Mat& small) {
    SheetSearch search;
    cv::Mat light;
    search.threshold = cv::threshold(small, light, 0.0, 255.0, cv::THRESH_BINARY | cv::THRESH_OTSU);
    largestRegion(light, search.sheet);
    search.sheetShare = static_cast<double>(cv::countNonZero(search.sheet)) / search.sheet.total();
    cv::Mat onSheet;
    cv::morphologyEx(search.sheet & ~light, onSheet, cv::MORPH_CLOSE,
                     cv::getStructuringElement(
                         cv::MORPH_ELLIPSE, cv::Size(2 * joiningReach + 1, 2 * joiningReach + 1)));
    const cv::Rect box = largestRegion(onSheet & search.sheet, search.leaf);
    if (std::max(box.width, box.height) >= smallestLeaf * std::max(small.cols, small.rows)) {
        search.leafBox = box;
    }
    return search;
}

// A mask of the small copy, sampled on the pixels of fine, a copy of the part around of the
// picture reduced by fineFactor. scale is the size of a pixel of the small copy in pixels of
// the picture, across and down.
cv::Mat onFineGrid(const cv::Mat& mask, cv::Size fine, const cv::Rect& around, int fineFactor,
                   cv::Point2d scale) {
    const cv::Matx23d fineToSmall(
        fineFactor / scale.x, 0.0, (around.x + 0.5 * fineFactor) / scale.x - 0.5,  //
        0.0, fineFactor / scale.y, (around.y + 0.5 * fineFactor) / scale.y - 0.5);
    cv::Mat sampled;
    cv::warpAffine(mask, sampled, fineToSmall, fine, cv::INTER_NEAREST | cv::WARP_INVERSE_MAP);
    return sampled;
}

// The leaf's box in pixels of fine: the pixels darker than paleLeaf times the paper around them
// (the mean of the sheet's pixels lighter than threshold in a window a sixteenth of the copy
// wide) inside the sheet, connected to the dark pixels of the leaf found on the small copy. So the
// leaf takes in its thin stalk, pale tips and margins, which Otsu's threshold leaves on the paper's
// side.
cv::Rect leafOnFineGrid(const cv::Mat& fine, const cv::Mat& sheet, const cv::Mat& leaf,
                        double threshold) {
    const cv::Mat light = fine > threshold;
    const cv::Mat paper = light & sheet;
    const int window = std::max(fine.cols, fine.rows) / 16 * 2 + 1;
    cv::Mat paperSum;  // mean brightness of the paper, counting other pixels as 0
    cv::Mat paperShare;
    cv::blur(fine & paper, paperSum, cv::Size(window, window));
    cv::blur(paper, paperShare, cv::Size(window, window));
    // The leaf's soft shadow may be darker than that right beside it; so where the leaf is dark
    // the level is halfway between it and the paper, as for the silhouette.
    const double leafShare =
        cv::mean(fine, leaf & ~light)[0] / std::max(cv::mean(fine, paper)[0], 1.0);
    const double level = std::min(paleLeaf, (1.0 + leafShare) / 2.0);
    // In whole grey levels: brightness * paperShare < level * 255 * paperSum.
    cv::Mat weighted;
    cv::Mat paleLevel;
    cv::multiply(fine, paperShare, weighted, 1.0, CV_16U);
    paperSum.convertTo(paleLevel, CV_16U, level * 255.0);
    const cv::Mat grown = (weighted < paleLevel) & sheet;
    const cv::Mat seed = grown & leaf;
    cv::Mat labels;
    cv::Mat stats;
    cv::Mat centroids;
    const int count = cv::connectedComponentsWithStats(grown, labels, stats, centroids, 8, CV_32S);
    std::vector<bool> seeded(static_cast<size_t>(count), false);
    for (int y = 0; y < seed.rows; ++y) {
        const uchar* isSeed = seed.ptr<uchar>(y);
        const int* label = labels.ptr<int>(y);
        for (int x = 0; x < seed.cols; ++x) {
            if (isSeed[x] != 0) {
                seeded[static_cast<size_t>(label[x])] = true;
            }
        }
    }
    cv::Rect box;
    for (int label = 1; label < count; ++label) {
        if (seeded[static_cast<size_t>(label)]) {
            box |= cv::Rect(
                stats.at<int>(label, cv::CC_STAT_LEFT), stats.at<int>(label, cv::CC_STAT_TOP),
                stats.at<int>(label, cv::CC_STAT_WIDTH), stats.at<int>(label, cv::CC_STAT_HEIGHT));
        }
    }
    return box;
}

// box, in a grid whose pixels are scale pixels of the picture across and down, in pixels of the
// picture, grown by extra times its longer side on every side and clamped to whole.
cv::Rect scaledUp(const cv::Rect& box, cv::Point2d scale, double extra, const cv::Rect& whole) {
    const double grow = extra * std::max(box.width * scale.x, box.height * scale.y);
    const int left = static_cast<int>(std::floor(box.x * scale.x - grow));
    const int top = static_cast<int>(std::floor(box.y * scale.y - grow));
    const int right = static_cast<int>(std::ceil(box.br().x * scale.x + grow));
    const int bottom = static_cast<int>(std::ceil(box.br().y * scale.y + grow));
    return cv::Rect(left, top, right - left, bottom - top) & whole;
}

bool worthCropping(const cv::Rect& crop, const cv::Rect& whole, double sheetShare) {
    const bool tableAround = sheetShare < sheetFillingFrame;
    const bool smallLeaf = crop.area() <= smallLeafCrop * whole.area();
    return tableAround || smallLeaf;
}

}  // namespace

cv::Rect findLeafCrop(const cv::Mat& grey) {
    const cv::Rect whole(0, 0, grey.cols, grey.rows);
    // A picture no wider than the working picture has no pixels to give a crop: it is measured
    // as it is.
    if (grey.empty() || grey.type() != CV_8UC1 || grey.cols <= smallestCroppedWidth) {
        return whole;
    }
    try {
        const cv::Mat small = sampleDown(grey, cropDecisionSide);
        const cv::Point2d scale(static_cast<double>(grey.cols) / small.cols,
                                static_cast<double>(grey.rows) / small.rows);
        const SheetSearch search = searchSheet(small);
        // Growing the leaf over its pale parts only widens its box, so a leaf not worth cropping
        // to here is not worth it after either: most pictures end here.
        if (search.leafBox.empty() ||
            !worthCropping(scaledUp(search.leafBox, scale, leafMargin, whole), whole,
                           search.sheetShare)) {
            return whole;
        }
        const cv::Rect around = scaledUp(search.leafBox, scale, searchMargin, whole);
        int fineFactor = 1;
        const cv::Mat fine = reduceTo(grey(around), cropSearchSide, fineFactor);
        cv::Mat inner;  // the sheet's own dark rim is no leaf
        cv::erode(search.sheet, inner, cv::Mat());
        const cv::Rect leaf = leafOnFineGrid(
            fine, onFineGrid(inner, fine.size(), around, fineFactor, scale),
            onFineGrid(search.leaf, fine.size(), around, fineFactor, scale), search.threshold);
        if (leaf.empty()) {
            return whole;
        }
        const cv::Rect crop =
            scaledUp(leaf, cv::Point2d(fineFactor, fineFactor), leafMargin, whole - around.tl()) +
            around.tl();
        return worthCropping(crop, whole, search.sheetShare) ? crop : whole;
    } catch (const std::exception&) {
        return whole;  // memory ran out: the picture is measured as it is, or fails there
    }
}
