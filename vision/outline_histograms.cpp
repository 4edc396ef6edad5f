#include "outline_histograms.hpp"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "outline.hpp"

namespace {

// The radius in pixels beyond which a disk is measured on a halved copy of the leaf.
constexpr double smallDisk = 6.0;

// Leaf pixels of one row left of x, pixel i covering [i - 0.5, i + 0.5): whole pixels plus the
// covered part of the pixel that x falls in.
double leafLeftOf(const float* counts, int cols, double x) {
    const double edge = std::clamp(x + 0.5, 0.0, static_cast<double>(cols));
    const int whole = std::min(static_cast<int>(edge), cols - 1);
    const double part = edge - whole;
    return counts[whole] + part * (counts[whole + 1] - counts[whole]);
}

// Adds one share to the histogram, split between the two nearest bin centres, so that a share
// near a bin edge does not jump from one bin to the next with the pixel grid.
void addShare(double* bins, double share, double weight) {
    const double position = share * histogramBinCount - 0.5;
    if (position <= 0.0) {
        bins[0] += weight;
    } else if (position >= histogramBinCount - 1) {
        bins[histogramBinCount - 1] += weight;
    } else {
        const int lower = static_cast<int>(position);
        const double upper = position - lower;
        bins[lower] += weight * (1.0 - upper);
        bins[lower + 1] += weight * upper;
    }
}

// The outline runs through the centres of the leaf's edge pixels, half a pixel inside the edge
// the disks should sit on: left there, every share would be too large by a part that grows as
// the disk shrinks, and a leaf would look different at every size. Each point moves half a pixel
// out along the outline's normal (the outline runs with the leaf on its left, counterclockwise
// with y pointing up, as resampleOutline orders it).
std::vector<cv::Point2d> onPixelEdges(const std::vector<cv::Point2d>& samples) {
    const size_t n = samples.size();
    std::vector<cv::Point2d> moved;
    for (size_t i = 0; i < n; ++i) {
        const cv::Point2d along = samples[(i + 1) % n] - samples[(i + n - 1) % n];
        const double length = std::hypot(along.x, along.y);
        const cv::Point2d outward =
            length > 0.0 ? cv::Point2d(along.y, -along.x) * (0.5 / length) : cv::Point2d();
        moved.push_back(samples[i] + outward);
    }
    return moved;
}

}  // namespace

cv::Mat countLeafPixelsByRow(const cv::Mat& leaf) {
    cv::Mat share;
    leaf.convertTo(share, CV_32F, leaf.depth() == CV_8U ? 1.0 / 255.0 : 1.0);
    cv::Mat counts(share.rows, share.cols + 1, CV_32F);
    for (int y = 0; y < share.rows; ++y) {
        const float* pixels = share.ptr<float>(y);
        float* row = counts.ptr<float>(y);
        row[0] = 0.0f;
        for (int x = 0; x < share.cols; ++x) {
            row[x + 1] = row[x] + pixels[x];
        }
    }
    return counts;
}

double diskShareInside(const cv::Mat& rowCounts, cv::Point2d centre, double radius) {
    const int cols = rowCounts.cols - 1;
    const int top = static_cast<int>(std::ceil(centre.y - radius));
    const int bottom = static_cast<int>(std::floor(centre.y + radius));
    double inside = 0.0;
    double disk = 0.0;
    for (int y = top; y <= bottom; ++y) {
        const double dy = y - centre.y;
        const double halfWidth = std::sqrt(std::max(radius * radius - dy * dy, 0.0));
        disk += 2.0 * halfWidth;
        if (y >= 0 && y < rowCounts.rows) {
            const float* counts = rowCounts.ptr<float>(y);
            inside += leafLeftOf(counts, cols, centre.x + halfWidth) -
                      leafLeftOf(counts, cols, centre.x - halfWidth);
        }
    }
    return disk > 0.0 ? inside / disk : 0.0;
}

std::vector<double> computeOutlineHistograms(const cv::Mat& binary, const LeafOutline& outline) {
    std::vector<double> histograms(outlineHistogramValueCount, 0.0);
    const std::vector<cv::Point2d> samples = onPixelEdges(resampleOutline(outline));
    const double size = std::sqrt(std::fabs(cv::contourArea(outline)));
    const double weight = 1.0 / static_cast<double>(samples.size());
    // The leaf at full size, then halved again and again, each pixel keeping the share of leaf it
    // covers: a disk is measured on the first copy on which it is at most smallDisk pixels in
    // radius, so the work per point stays the same for every size of disk.
    cv::Mat leaf;
    binary.convertTo(leaf, CV_32F, 1.0 / 255.0);
    std::vector<cv::Mat> copies{leaf};
    std::vector<cv::Mat> counts{countLeafPixelsByRow(leaf)};
    for (int r = 0; r < histogramRadiusCount; ++r) {
        double* bins = histograms.data() + static_cast<size_t>(r) * histogramBinCount;
        const double radius = histogramRadiusShares[r] * size;
        size_t level = 0;
        for (double shrink = radius; shrink > smallDisk; shrink /= 2.0) {
            if (++level == copies.size()) {
                // An odd side gets a column or row of background, so each copy is exactly half.
                cv::Mat even;
                cv::copyMakeBorder(copies.back(), even, 0, copies.back().rows % 2, 0,
                                   copies.back().cols % 2, cv::BORDER_CONSTANT, cv::Scalar(0));
                cv::Mat half;
                cv::resize(even, half, cv::Size(even.cols / 2, even.rows / 2), 0.0, 0.0,
                           cv::INTER_AREA);
                copies.push_back(half);
                counts.push_back(countLeafPixelsByRow(half));
            }
        }
        const double scale = std::ldexp(1.0, -static_cast<int>(level));
        for (const cv::Point2d& point : samples) {
            // Pixel centres sit at whole coordinates in every copy.
            const cv::Point2d centre((point.x + 0.5) * scale - 0.5, (point.y + 0.5) * scale - 0.5);
            addShare(bins, diskShareInside(counts[level], centre, radius * scale), weight);
        }
    }
    return histograms;
}
