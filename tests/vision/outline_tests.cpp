// The outline measurements against the plain algorithms they replace, kept here as the
// reference: every contour with its nesting, drawn one by one, and both chords found by
// comparing every ordered pair of points. Results, chosen pairs and canvases must be the same.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <tuple>

#include "analysis.hpp"
#include "geometry.hpp"
#include "morphology.hpp"

namespace {

using Points = std::vector<cv::Point>;

double distance(const cv::Point& a, const cv::Point& b) {
    return std::sqrt(std::pow(b.x - a.x, 2.0) + std::pow(b.y - a.y, 2.0));
}

Chord referenceDiameter(const Points& p) {
    Chord best;
    for (size_t i = 0; i < p.size(); ++i) {
        for (size_t j = 0; j < p.size(); ++j) {
            const double d = distance(p[i], p[j]);
            if (d > best.length) {
                best = {static_cast<int>(i), static_cast<int>(j), d};
            }
        }
    }
    return best;
}

Chord referenceWidth(const Points& p, const Chord& diameter) {
    Chord best;
    if (diameter.length == 0.0) {
        return best;
    }
    const double ux = (p[diameter.j].x - p[diameter.i].x) / diameter.length;
    const double uy = (p[diameter.j].y - p[diameter.i].y) / diameter.length;
    for (size_t i = 0; i < p.size(); ++i) {
        for (size_t j = 0; j < p.size(); ++j) {
            const double d = distance(p[i], p[j]);
            if (d == 0.0) {
                continue;
            }
            const double vx = (p[j].x - p[i].x) / d;
            const double vy = (p[j].y - p[i].y) / d;
            if (std::abs(vx * ux + vy * uy) < perpendicularityTolerance && d > best.length) {
                best = {static_cast<int>(i), static_cast<int>(j), d};
            }
        }
    }
    return best;
}

// The whole measurement as first written: copy, every contour with its tree, the first
// largest, each contour drawn by itself, the exhaustive chords.
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
        const Chord diameter = referenceDiameter(p);
        const Chord width = referenceWidth(p, diameter);
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
    const Chord diameter = findDiameter(p);
    const Chord expected = referenceDiameter(p);
    ASSERT_EQ(std::tie(diameter.i, diameter.j, diameter.length),
              std::tie(expected.i, expected.j, expected.length))
        << "diameter of " << what;
    const Chord width = findWidth(p, diameter);
    const Chord expectedWidth = referenceWidth(p, expected);
    ASSERT_EQ(std::tie(width.i, width.j, width.length),
              std::tie(expectedWidth.i, expectedWidth.j, expectedWidth.length))
        << "width of " << what;
}

void expectSameMeasurements(const cv::Mat& image, const std::string& what) {
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

// Point lists of every kind: lattice points with many equal distances and duplicates, points
// on one line, single points, scattered points, and rectangles' corners.
std::vector<Points> pointLists() {
    std::vector<Points> lists = {{}, {{3, 4}}, {{3, 4}, {3, 4}}, {{0, 0}, {7, 0}, {3, 0}, {7, 0}}};
    cv::RNG random(11);
    for (int n = 1; n < 3000; ++n) {
        const int count = 1 + n % 40;
        const int span = n % 3 == 0 ? 3 : n % 3 == 1 ? 8 : 128;
        Points p;
        for (int k = 0; k < count; ++k) {
            p.emplace_back(random.uniform(0, span), random.uniform(0, n % 5 == 0 ? 1 : span));
        }
        lists.push_back(p);
    }
    for (int angle = 0; angle < 180; angle += 13) {  // collinear points, repeated
        Points line;
        for (int k = 0; k < 30; ++k) {
            const int t = (k * 7) % 11;
            line.emplace_back(static_cast<int>(t * 10 * std::cos(angle * CV_PI / 180)),
                              static_cast<int>(t * 10 * std::sin(angle * CV_PI / 180)));
        }
        lists.push_back(line);
    }
    // A chord at the very edge of the tolerance: |cos| = 0.0999988 with the diameter, rising
    // along it 20 / 199 = 0.1005 times its breadth.
    lists.push_back({{0, 0}, {500, 0}, {1000, 0}, {520, 199}, {300, 100}});
    return lists;
}

// Binary pictures of every kind: noise of several densities (specks, holes, nesting, equal
// areas), ellipses at many angles, rectangles, two equal squares, rings, lines, combs.
std::vector<cv::Mat> drawnPictures() {
    std::vector<cv::Mat> pictures;
    cv::RNG random(5);
    for (double density : {0.1, 0.3, 0.5, 0.55, 0.7, 0.9}) {
        for (const cv::Size size : {cv::Size(12, 9), cv::Size(40, 31), cv::Size(128, 96)}) {
            cv::Mat noise(size, CV_32F);
            random.fill(noise, cv::RNG::UNIFORM, 0.0, 1.0);
            pictures.push_back(noise < density);
        }
    }
    for (int angle = 0; angle < 180; angle += 7) {
        cv::Mat ellipse = cv::Mat::zeros(96, 128, CV_8UC1);
        cv::ellipse(ellipse, {64, 48}, {50, 8 + angle % 30}, angle, 0, 360, 255, cv::FILLED);
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
    ring(cv::Rect(20, 20, 5, 5)).setTo(255);  // an island inside the ring's hole
    cv::line(lines, {0, 59}, {59, 0}, 255);
    cv::line(lines, {3, 3}, {50, 10}, 255);
    pictures.insert(pictures.end(), {pair, ring, lines});
    cv::Mat comb = cv::Mat::zeros(160, 128, CV_8UC1);  // checkered teeth under a solid back
    for (int y = 0; y < comb.rows; ++y) {
        for (int x = 0; x < comb.cols; ++x) {
            comb.at<uchar>(y, x) = y < 12 || (x % 18 < 17 && (x + y) % 2 == 0) ? 255 : 0;
        }
    }
    pictures.push_back(comb);
    return pictures;
}

}  // namespace

TEST(Outline, ChordsEqualTheAllPairsScanOnPointListsOfEveryKind) {
    const std::vector<Points> lists = pointLists();
    for (size_t k = 0; k < lists.size(); ++k) {
        expectSameChords(lists[k], "point list " + std::to_string(k));
    }
}

TEST(Outline, MeasurementsAndCanvasEqualThePlainAlgorithmsOnDrawnPictures) {
    const std::vector<cv::Mat> pictures = drawnPictures();
    for (size_t k = 0; k < pictures.size(); ++k) {
        expectSameMeasurements(pictures[k], "drawn picture " + std::to_string(k));
        cv::Mat binary;
        binarizeImage(255 - pictures[k], binary);  // and the same picture as a photo
        expectSameMeasurements(binary, "binarized drawn picture " + std::to_string(k));
    }
}

TEST(Outline, MeasurementsAndCanvasEqualThePlainAlgorithmsOnEverySharedPhoto) {
    const std::filesystem::path leaves = LEAFID_LEAVES_DIR;
    if (!std::filesystem::is_directory(leaves)) {
        GTEST_SKIP() << "no leaf photos at " << leaves;
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(leaves)) {
        const cv::Mat grey = cv::imread(entry.path().string(), cv::IMREAD_GRAYSCALE);
        if (!grey.empty()) {
            cv::Mat working, binary;
            cv::resize(grey, working, {workingWidth, workingHeight(grey.cols, grey.rows)});
            binarizeImage(working, binary);
            expectSameMeasurements(binary, entry.path().string());
        }
    }
}

TEST(Outline, WidthSearchBeyondItsBudgetIsRefused) {
    const Points square = {{0, 0}, {9, 0}, {9, 9}, {0, 9}};
    const Chord diameter = findDiameter(square);
    // Level with each other along the diagonal diameter are only the other two corners.
    EXPECT_EQ(findWidth(square, diameter, 1).length, std::sqrt(162.0));
    EXPECT_TRUE(std::isnan(findWidth(square, diameter, 0).length));
}
