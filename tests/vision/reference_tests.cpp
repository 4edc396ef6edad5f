// The silhouette and outline code against the plain algorithms it replaces, kept here as the
// reference: the library's threshold, median filter and box blurs; every contour with its
// nesting, drawn one by one; both chords found by comparing every ordered pair of points.
// Pictures, features, chosen pairs and canvases must be the same, bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/imgproc.hpp>
#include <tuple>

#include "analysis.hpp"
#include "geometry.hpp"
#include "morphology.hpp"
#include "silhouette.hpp"

namespace {

using Points = std::vector<cv::Point>;

double distance(const cv::Point& a, const cv::Point& b) {
    return std::sqrt(std::pow(b.x - a.x, 2.0) + std::pow(b.y - a.y, 2.0));
}

// The longest chord of p by comparing every ordered pair of points; given a diameter, the
// longest one near perpendicular to it.
Chord referenceChord(const Points& p, const Chord* diameter = nullptr) {
    Chord best;
    if (diameter && diameter->length == 0.0) {
        return best;
    }
    for (size_t i = 0; i < p.size(); ++i) {
        for (size_t j = 0; j < p.size(); ++j) {
            const double d = distance(p[i], p[j]);
            if (diameter) {
                const cv::Point u = p[diameter->j] - p[diameter->i], v = p[j] - p[i];
                if (d == 0.0 ||
                    std::abs((v.x / d) * (u.x / diameter->length) +
                             (v.y / d) * (u.y / diameter->length)) >= perpendicularityTolerance) {
                    continue;
                }
            }
            if (d > best.length) {
                best = {static_cast<int>(i), static_cast<int>(j), d};
            }
        }
    }
    return best;
}

// The measurement as first written: copy, every contour with its tree, the first largest,
// each contour drawn by itself, the exhaustive chords.
GeometricFeatures referenceGeometry(cv::Mat& canvas, bool withDiameterAndWidth,
                                    const cv::Mat& image) {
    cv::Mat scratch = image.clone();
    std::vector<Points> contours;
    std::vector<cv::Vec4i> hierarchy;
    cv::findContours(scratch, contours, hierarchy, cv::RETR_TREE, cv::CHAIN_APPROX_SIMPLE);
    canvas = cv::Mat::zeros(image.rows, image.cols, CV_8UC3);
    if (contours.empty()) {
        return {};
    }
    size_t leaf = 0;
    for (size_t i = 1; i < contours.size(); ++i) {
        if (cv::contourArea(contours[leaf]) < cv::contourArea(contours[i])) {
            leaf = i;
        }
    }
    for (size_t i = 0; i < contours.size(); ++i) {
        cv::drawContours(canvas, contours, static_cast<int>(i), cv::Scalar(255, 255, 255), 1,
                         cv::LINE_8, std::vector<cv::Vec4i>(), 0);
    }
    const Points& p = contours[leaf];
    GeometricFeatures features{cv::arcLength(p, true), cv::contourArea(p)};
    if (withDiameterAndWidth) {
        const Chord diameter = referenceChord(p);
        const Chord width = referenceChord(p, &diameter);
        for (const auto& [chord, colour] : {std::make_pair(width, cv::Scalar(0, 255, 0)),
                                            std::make_pair(diameter, cv::Scalar(255, 0, 0))}) {
            if (chord.length > 0.0) {
                cv::line(canvas, p[chord.i], p[chord.j], colour, 1, cv::LINE_8);
            }
        }
        features.push_back(diameter.length);
        features.push_back(width.length);
    }
    return features;
}

double referenceSmoothFactor(const cv::Mat& image) {
    cv::Mat slightly, strongly, canvas;
    cv::blur(image, slightly, {2, 2});
    cv::blur(image, strongly, {5, 5});
    const GeometricFeatures slight = referenceGeometry(canvas, false, slightly);
    const GeometricFeatures strong = referenceGeometry(canvas, false, strongly);
    return slight.empty() ? std::nan("") : strong[1] / slight[1];
}

void expectSameChords(const Points& p, const std::string& what) {
    const auto fields = [](const Chord& c) { return std::make_tuple(c.i, c.j, c.length); };
    const Chord diameter = findDiameter(p), expected = referenceChord(p);
    ASSERT_EQ(fields(diameter), fields(expected)) << "diameter of " << what;
    ASSERT_EQ(fields(findWidth(p, diameter)), fields(referenceChord(p, &expected)))
        << "width of " << what;
}

// grey: a picture as read; its silhouette, then every measurement of the silhouette (and of
// the picture itself when it holds only 0 and 255) must match the references.
void expectSameResults(const cv::Mat& grey, const std::string& what) {
    cv::Mat thresholded, median;
    cv::threshold(grey, thresholded, 220.0, 255.0, cv::THRESH_BINARY_INV);
    cv::medianBlur(thresholded, median, 9);
    cv::Mat binary;
    binarizeImage(grey, binary);
    ASSERT_EQ(cv::countNonZero(binary != median), 0) << "silhouette of " << what;
    std::vector<cv::Mat> twoValued = {binary};
    if (cv::countNonZero((grey != 0) & (grey != 255)) == 0) {
        twoValued.push_back(grey);
    }
    for (const cv::Mat& image : twoValued) {
        for (int size : {1, 2, 3, 5}) {
            cv::Mat blurred;
            cv::blur(image, blurred, {size, size});
            ASSERT_EQ(cv::countNonZero(twoValuedBlurSupport(image, size) != (blurred != 0)), 0)
                << "blur " << size << " of " << what;
        }
        cv::Mat canvas, expectedCanvas;
        const GeometricFeatures expected = referenceGeometry(expectedCanvas, true, image);
        ASSERT_EQ(computeGeometricFeatures(canvas, true, image), expected) << what;
        ASSERT_EQ(measureGeometricFeatures(true, image), expected) << what;
        ASSERT_EQ(cv::norm(canvas, expectedCanvas, cv::NORM_INF), 0.0) << "canvas of " << what;
        const double smooth = computeSmoothFactor(image);
        const double expectedSmooth = referenceSmoothFactor(image);
        ASSERT_TRUE(smooth == expectedSmooth || (std::isnan(smooth) && std::isnan(expectedSmooth)))
            << "smooth factor of " << what << ": " << smooth << " for " << expectedSmooth;
    }
}

// Point lists of every kind: lattice points with many equal distances and duplicates, points
// on one line, single points, scattered points.
std::vector<Points> pointLists() {
    std::vector<Points> lists = {{}, {{3, 4}}, {{3, 4}, {3, 4}}, {{0, 0}, {7, 0}, {3, 0}, {7, 0}}};
    cv::RNG random(11);
    for (int n = 1; n < 3000; ++n) {
        const int span = n % 3 == 0 ? 3 : n % 3 == 1 ? 8 : 128;
        Points p;
        for (int k = 0; k <= n % 40; ++k) {
            p.emplace_back(random.uniform(0, span), random.uniform(0, n % 5 == 0 ? 1 : span));
        }
        lists.push_back(p);
    }
    for (int angle = 0; angle < 180; angle += 13) {  // collinear points, repeated
        Points line;
        for (int k = 0; k < 30; ++k) {
            const double t = (k * 7) % 11 * 10.0;
            line.emplace_back(static_cast<int>(t * std::cos(angle * CV_PI / 180)),
                              static_cast<int>(t * std::sin(angle * CV_PI / 180)));
        }
        lists.push_back(line);
    }
    // A chord at the very edge of the tolerance: |cos| = 0.0999988 with the diameter, rising
    // along it 20 / 199 = 0.1005 times its breadth.
    lists.push_back({{0, 0}, {500, 0}, {1000, 0}, {520, 199}, {300, 100}});
    return lists;
}

// Noise of several densities (specks, holes, nesting, equal areas), period-2 stripes and checks
// a median keeps, from one pixel up; grey noise around the threshold, ellipses at many angles,
// rectangles, two equal squares, a ring with an island, lines, a comb.
std::vector<cv::Mat> drawnPictures() {
    const auto pattern = [](cv::Size size, auto isLeaf) {
        cv::Mat picture(size, CV_8UC1);
        picture.forEach<uchar>([&](uchar& v, const int* at) { v = isLeaf(at[1], at[0]) * 255; });
        return picture;
    };
    std::vector<cv::Mat> pictures;
    cv::RNG random(5);
    for (const cv::Size size :
         {cv::Size(1, 1), cv::Size(1, 9), cv::Size(9, 1), cv::Size(2, 3), cv::Size(17, 5),
          cv::Size(12, 9), cv::Size(40, 31), cv::Size(128, 10)}) {
        for (double density : {0.0, 0.1, 0.15, 0.2, 0.3, 0.5, 0.55, 0.7, 0.9, 1.0}) {
            cv::Mat noise(size, CV_32F);
            random.fill(noise, cv::RNG::UNIFORM, 0.0, 1.0);
            pictures.push_back(noise < density);
        }
        cv::Mat grey(size, CV_8UC1);
        random.fill(grey, cv::RNG::UNIFORM, 200, 240);
        pictures.insert(pictures.end(),
                        {pattern(size, [](int x, int) { return x % 2; }),
                         pattern(size, [](int x, int y) { return (x + y) % 2; }), grey});
    }
    for (int angle = 0; angle < 180; angle += 7) {
        cv::Mat ellipse(96, 128, CV_8UC1, cv::Scalar(255));
        cv::ellipse(ellipse, {64, 48}, {50, 8 + angle % 30}, angle, 0, 360, 0, cv::FILLED);
        pictures.push_back(ellipse);
    }
    for (const cv::Rect& box : {cv::Rect(10, 40, 101, 6), cv::Rect(10, 40, 21, 11),
                                cv::Rect(30, 20, 2, 2), cv::Rect(0, 0, 128, 96)}) {
        cv::Mat rectangle = cv::Mat::zeros(96, 128, CV_8UC1);
        rectangle(box).setTo(255);
        pictures.push_back(rectangle);
    }
    cv::Mat pair = cv::Mat::zeros(60, 60, CV_8UC1), ring = pair.clone(), lines = pair.clone();
    pair(cv::Rect(5, 5, 9, 9)).setTo(255);
    pair(cv::Rect(30, 40, 9, 9)).setTo(255);
    cv::rectangle(ring, {10, 10}, {40, 40}, 255);
    ring(cv::Rect(20, 20, 5, 5)).setTo(255);
    cv::line(lines, {0, 59}, {59, 0}, 255);
    cv::line(lines, {3, 3}, {50, 10}, 255);
    // A comb: checkered teeth under a solid back.
    const cv::Mat comb = pattern(cv::Size(128, 160), [](int x, int y) {
        return y < 12 || (x % 18 < 17 && (x + y) % 2 == 0);
    });
    pictures.insert(pictures.end(), {pair, ring, lines, comb});
    return pictures;
}

}  // namespace

TEST(Reference, ChordsEqualTheAllPairsScanOnPointListsOfEveryKind) {
    const std::vector<Points> lists = pointLists();
    for (size_t k = 0; k < lists.size(); ++k) {
        expectSameChords(lists[k], "point list " + std::to_string(k));
    }
}

TEST(Reference, SilhouetteAndMeasurementsAreTheSameOnDrawnPictures) {
    const std::vector<cv::Mat> pictures = drawnPictures();
    for (size_t k = 0; k < pictures.size(); ++k) {
        expectSameResults(pictures[k], "drawn picture " + std::to_string(k));
    }
}

TEST(Reference, WidthSearchBeyondItsBudgetIsRefused) {
    const Points square = {{0, 0}, {9, 0}, {9, 9}, {0, 9}};
    const Chord diameter = findDiameter(square);
    // Level with each other along the diagonal diameter are only the other two corners.
    EXPECT_EQ(findWidth(square, diameter, 1).length, std::sqrt(162.0));
    EXPECT_TRUE(std::isnan(findWidth(square, diameter, 0).length));
}
