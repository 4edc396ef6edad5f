#include "outline_histograms.hpp"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "outline.hpp"

namespace {

// Leaf pixels of one row left of x, pixel i covering [i - 0.5, i + 0.5): whole pixels plus the
// covered part of the pixel that x falls in.
double leafLeftOf(const int* counts, int cols, double x) {
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

}  // namespace

cv::Mat countLeafPixelsByRow(const cv::Mat& binary) {
    cv::Mat counts(binary.rows, binary.cols + 1, CV_32S);
    for (int y = 0; y < binary.rows; ++y) {
        const uchar* pixels = binary.ptr<uchar>(y);
        int* row = counts.ptr<int>(y);
        row[0] = 0;
        for (int x = 0; x < binary.cols; ++x) {
            row[x + 1] = row[x] + (pixels[x] != 0);
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
            const int* counts = rowCounts.ptr<int>(y);
            inside += leafLeftOf(counts, cols, centre.x + halfWidth) -
                      leafLeftOf(counts, cols, centre.x - halfWidth);
        }
    }
    return disk > 0.0 ? inside / disk : 0.0;
}

std::vector<double> computeOutlineHistograms(const cv::Mat& binary, const LeafOutline& outline) {
    std::vector<double> histograms(outlineHistogramValueCount, 0.0);
    const std::vector<cv::Point2d> samples = resampleOutline(outline);
    const cv::Mat rowCounts = countLeafPixelsByRow(binary);
    const double size = std::sqrt(std::fabs(cv::contourArea(outline)));
    const double weight = 1.0 / static_cast<double>(samples.size());
    for (int r = 0; r < histogramRadiusCount; ++r) {
        double* bins = histograms.data() + static_cast<size_t>(r) * histogramBinCount;
        const double radius = histogramRadiusShares[r] * size;
        for (const cv::Point2d& point : samples) {
            addShare(bins, diskShareInside(rowCounts, point, radius), weight);
        }
    }
    return histograms;
}
