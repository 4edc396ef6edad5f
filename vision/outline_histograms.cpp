#include "outline_histograms.hpp"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "outline.hpp"

namespace {

// The radius in pixels beyond which a disk is measured on a halved copy of the leaf.
constexpr double smallDisk = 4.0;

// Leaf pixels of one row left of x, pixel i covering [i - 0.5, i + 0.5): whole pixels plus the
// covered part of the pixel that x falls in.
inline double leafLeftOf(const float* counts, int cols, double x) {
    const double edge = x + 0.5 <= 0.0 ? 0.0 : x + 0.5 >= cols ? cols : x + 0.5;
    const int whole = edge < cols ? static_cast<int>(edge) : cols - 1;
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

namespace {

// countLeafPixelsByRow into counts, which holds leaf.rows x (leaf.cols + 1) floats already.
void countLeafPixelsInto(const cv::Mat& leaf, cv::Mat& counts) {
    for (int y = 0; y < leaf.rows; ++y) {
        float* row = counts.ptr<float>(y);
        row[0] = 0.0f;
        if (leaf.depth() == CV_8U) {
            const uchar* pixels = leaf.ptr<uchar>(y);
            for (int x = 0; x < leaf.cols; ++x) {
                row[x + 1] = row[x] + (pixels[x] != 0 ? 1.0f : 0.0f);
            }
        } else {
            const float* pixels = leaf.ptr<float>(y);
            for (int x = 0; x < leaf.cols; ++x) {
                row[x + 1] = row[x] + pixels[x];
            }
        }
    }
}

}  // namespace

cv::Mat countLeafPixelsByRow(const cv::Mat& leaf) {
    cv::Mat counts(leaf.rows, leaf.cols + 1, CV_32F);
    countLeafPixelsInto(leaf, counts);
    return counts;
}

// The row counts (see countLeafPixelsByRow) of the leaf at full size, then halved again and
// again, each pixel of a halved copy keeping the share of leaf in the four it stands for (an odd
// side gets a row or column of background), halvings times. A disk is then measured on the
// first copy on which it is at most smallDisk pixels in radius, so every point costs about the
// same at every radius. The memory stays with the thread for the next leaf: asked for afresh,
// its pages cost more than the counting.
std::vector<cv::Mat> countLeafPixelsOfHalves(const cv::Mat& binary, int halvings) {
    std::vector<cv::Size> sizes{binary.size()};
    size_t needed = 0;
    for (int level = 0; level <= halvings; ++level) {
        if (level > 0) {
            sizes.emplace_back((sizes.back().width + 1) / 2, (sizes.back().height + 1) / 2);
        }
        needed += static_cast<size_t>(sizes.back().height) * (2 * sizes.back().width + 1);
    }
    thread_local std::vector<float> scratch;
    constexpr size_t keptScratch = 1 << 20;  // floats: a 128 x 2000 silhouette and its halves
    if (scratch.size() < needed || scratch.size() > std::max(needed, keptScratch)) {
        scratch.assign(needed, 0.0f);
    }
    std::vector<cv::Mat> counts;
    cv::Mat shares;  // of the copy before
    float* free = scratch.data();
    for (int level = 0; level <= halvings; ++level) {
        const cv::Size size = sizes[static_cast<size_t>(level)];
        cv::Mat copy(size, CV_32F, free);
        free += copy.total();
        for (int y = 0; y < size.height; ++y) {
            float* row = copy.ptr<float>(y);
            if (level == 0) {
                const uchar* pixels = binary.ptr<uchar>(y);
                for (int x = 0; x < size.width; ++x) {
                    row[x] = pixels[x] != 0 ? 1.0f : 0.0f;
                }
                continue;
            }
            const float* upper = shares.ptr<float>(2 * y);
            const float* lower = 2 * y + 1 < shares.rows ? shares.ptr<float>(2 * y + 1) : nullptr;
            for (int x = 0; x < size.width; ++x) {
                const bool inside = 2 * x + 1 < shares.cols;
                float sum = upper[2 * x] + (inside ? upper[2 * x + 1] : 0.0f);
                if (lower != nullptr) {
                    sum += lower[2 * x] + (inside ? lower[2 * x + 1] : 0.0f);
                }
                row[x] = sum / 4.0f;
            }
        }
        cv::Mat levelCounts(size.height, size.width + 1, CV_32F, free);
        free += levelCounts.total();
        countLeafPixelsInto(copy, levelCounts);
        counts.push_back(levelCounts);
        shares = copy;
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
    // How often the leaf is halved: until the largest disk is at most smallDisk pixels wide.
    int halvings = 0;
    for (double largest = histogramRadiusShares[histogramRadiusCount - 1] * size;
         largest > smallDisk; largest /= 2.0) {
        ++halvings;
    }
    const std::vector<cv::Mat> counts = countLeafPixelsOfHalves(binary, halvings);
    for (int r = 0; r < histogramRadiusCount; ++r) {
        double* bins = histograms.data() + static_cast<size_t>(r) * histogramBinCount;
        const double radius = histogramRadiusShares[r] * size;
        int level = 0;
        for (double shrunk = radius; shrunk > smallDisk; shrunk /= 2.0) {
            ++level;
        }
        const double scale = std::ldexp(1.0, -level);
        for (const cv::Point2d& point : samples) {
            // Pixel centres sit at whole coordinates in every copy.
            const cv::Point2d centre((point.x + 0.5) * scale - 0.5, (point.y + 0.5) * scale - 0.5);
            addShare(bins,
                     diskShareInside(counts[static_cast<size_t>(level)], centre, radius * scale),
                     weight);
        }
    }
    return histograms;
}
