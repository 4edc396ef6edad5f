// The outline histograms on drawn shapes whose shares can be worked out by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <opencv2/imgproc.hpp>

#include "analysis.hpp"
#include "outline_histograms.hpp"

namespace {

const double pi = std::acos(-1.0);

struct Drawn {
    cv::Mat binary;
    LeafOutline outline;
};

Drawn outlined(cv::Mat binary) {
    Drawn drawn{binary, {}};
    measureGeometricFeatures(false, binary, &drawn.outline);
    return drawn;
}

Drawn disk(int radius) {
    cv::Mat binary = cv::Mat::zeros(2 * radius + 40, 2 * radius + 40, CV_8U);
    cv::circle(binary, {radius + 20, radius + 20}, radius, cv::Scalar(255), cv::FILLED);
    return outlined(binary);
}

// Seven rounded lobes, longer one way than the other, turned by angle degrees, size times as
// large, mirrored when asked.
Drawn lobedLeaf(double angle, double size, bool mirrored) {
    std::vector<cv::Point> polygon;
    for (int k = 0; k < 720; ++k) {
        const double t = 2.0 * pi * k / 720.0;
        const double r = size * (80.0 + 20.0 * std::cos(7.0 * t) + 15.0 * std::cos(2.0 * t));
        const double a = t + angle * pi / 180.0;
        polygon.emplace_back(
            static_cast<int>(std::lround(300 + r * std::cos(a))),
            static_cast<int>(std::lround(300 + (mirrored ? -1 : 1) * r * std::sin(a))));
    }
    cv::Mat binary = cv::Mat::zeros(600, 600, CV_8U);
    cv::fillPoly(binary, std::vector<std::vector<cv::Point>>{polygon}, cv::Scalar(255));
    return outlined(binary);
}

// The histogram of radius r: its bins, and its mean share (each bin at its centre, which the
// split between neighbouring bins keeps exact).
std::vector<double> binsOf(const std::vector<double>& histograms, int r) {
    const auto begin = histograms.begin() + r * histogramBinCount;
    return {begin, begin + histogramBinCount};
}

double meanShare(const std::vector<double>& bins) {
    double mean = 0.0;
    for (size_t b = 0; b < bins.size(); ++b) {
        mean += bins[b] * (b + 0.5) / histogramBinCount;
    }
    return mean;
}

}  // namespace

TEST(OutlineHistograms, DiskShareByHand) {
    const cv::Mat counts = countLeafPixelsByRow(disk(100).binary);
    // On a straight edge half the disk is inside; in a corner of a square a quarter.
    cv::Mat square = cv::Mat::zeros(100, 100, CV_8U);
    square(cv::Rect(0, 0, 50, 100)).setTo(255);
    const cv::Mat halves = countLeafPixelsByRow(square);
    EXPECT_NEAR(diskShareInside(halves, {49.5, 50.0}, 10.0), 0.5, 1e-9);
    EXPECT_NEAR(diskShareInside(halves, {49.5, 99.5}, 10.0), 0.25, 0.02);
    EXPECT_NEAR(diskShareInside(halves, {20.0, 50.0}, 10.0), 1.0, 1e-9);
    EXPECT_NEAR(diskShareInside(halves, {89.5, 50.0}, 10.0), 0.0, 1e-9);
    // Outside the picture is no leaf.
    EXPECT_NEAR(diskShareInside(counts, {-500.0, -500.0}, 10.0), 0.0, 1e-9);
}

TEST(OutlineHistograms, ADiskHasOneShareAtEveryPointOfItsOutline) {
    // On a circle of radius R, a disk of radius r = f sqrt(pi) R centred on it holds the lens
    // the two circles share: r^2 acos(r / 2R) + R^2 acos(1 - r^2 / 2R^2)
    // - r/2 sqrt(4R^2 - r^2), worked out for each share f of the square root of the area.
    const double byHand[histogramRadiusCount] = {0.4944, 0.4915, 0.4878, 0.4812,
                                                 0.4717, 0.4585, 0.4374, 0.4040};
    const Drawn drawn = disk(150);
    const std::vector<double> histograms = computeOutlineHistograms(drawn.binary, drawn.outline);
    ASSERT_EQ(histograms.size(), outlineHistogramValueCount);
    for (int r = 0; r < histogramRadiusCount; ++r) {
        const std::vector<double> bins = binsOf(histograms, r);
        EXPECT_NEAR(std::accumulate(bins.begin(), bins.end(), 0.0), 1.0, 1e-12) << r;
        // The outline runs through the edge pixels' centres, half a pixel inside the circle.
        EXPECT_NEAR(meanShare(bins), byHand[r], 0.02) << "radius " << histogramRadiusShares[r];
        EXPECT_LT(*std::min_element(bins.begin(), bins.begin() + 4), 1e-12) << r;
    }
}

TEST(OutlineHistograms, TheCornersOfASquareShowAtSmallRadiiOnly) {
    cv::Mat binary = cv::Mat::zeros(240, 240, CV_8U);
    binary(cv::Rect(20, 20, 200, 200)).setTo(255);
    const Drawn square = outlined(binary);
    const std::vector<double> histograms = computeOutlineHistograms(square.binary, square.outline);
    // At 3% of the side a disk is 6 pixels across: the corners, a fortieth of the outline each
    // way, hold about a quarter, the rest a half. Bins 3 (a quarter) and 5 to 6 (a half).
    const std::vector<double> smallest = binsOf(histograms, 0);
    EXPECT_GT(smallest[2] + smallest[3], 0.005);
    EXPECT_GT(smallest[5] + smallest[6], 0.9);
    EXPECT_LT(smallest[8] + smallest[9] + smallest[10] + smallest[11], 1e-12);
    // At half the side, every point is near enough a corner to hold less than half.
    EXPECT_LT(meanShare(binsOf(histograms, histogramRadiusCount - 1)), 0.45);
}

TEST(OutlineHistograms, TurnMirrorScaleAndStartChangeLittle) {
    const Drawn original = lobedLeaf(0.0, 1.0, false);
    const std::vector<double> expected =
        computeOutlineHistograms(original.binary, original.outline);
    LeafOutline shifted(original.outline.begin() + 100, original.outline.end());
    shifted.insert(shifted.end(), original.outline.begin(), original.outline.begin() + 100);
    const struct {
        const char* name;
        Drawn drawn;
    } changed[] = {{"turned by 30 degrees", lobedLeaf(30.0, 1.0, false)},
                   {"mirrored", lobedLeaf(0.0, 1.0, true)},
                   {"1.5 times as large", lobedLeaf(0.0, 1.5, false)},
                   {"started elsewhere", {original.binary, shifted}}};
    for (const auto& [name, drawn] : changed) {
        const std::vector<double> same = computeOutlineHistograms(drawn.binary, drawn.outline);
        for (int r = 0; r < histogramRadiusCount; ++r) {
            double difference = 0.0;  // half the L1 distance: the share of points that moved
            for (int b = 0; b < histogramBinCount; ++b) {
                const size_t i = static_cast<size_t>(r * histogramBinCount + b);
                difference += std::fabs(same[i] - expected[i]) / 2.0;
            }
            EXPECT_LT(difference, 0.1) << name << ", radius " << histogramRadiusShares[r];
        }
    }
}
