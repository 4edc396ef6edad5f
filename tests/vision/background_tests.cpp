#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/imgproc.hpp>

#include "analysis.hpp"
#include "background.hpp"
#include "drawn_leaves.hpp"
#include "test_support.hpp"

namespace {

// A lobed leaf of grey 70 with a soft edge on white, at working size.
cv::Mat leafOnWhite() {
    cv::Mat picture(96, 128, CV_8UC1, cv::Scalar(255));
    const cv::Scalar leaf(70);
    cv::ellipse(picture, {64, 50}, {38, 20}, 25, 0, 360, leaf, cv::FILLED, cv::LINE_AA);
    cv::circle(picture, {50, 30}, 13, leaf, cv::FILLED, cv::LINE_AA);
    cv::circle(picture, {82, 68}, 13, leaf, cv::FILLED, cv::LINE_AA);
    return picture;
}

cv::Mat silhouette(const cv::Mat& working) {
    cv::Mat binary;
    binarizeImage(levelBackground(working), binary);
    return binary;
}

// Pixels where the two silhouettes differ farther than two pixels from the outline of expected.
int differencesBeyondTwoPixels(const cv::Mat& expected, const cv::Mat& actual) {
    cv::Mat nearOutline;
    cv::morphologyEx(expected, nearOutline, cv::MORPH_GRADIENT,
                     cv::getStructuringElement(cv::MORPH_ELLIPSE, {5, 5}));
    return cv::countNonZero((expected != actual) & ~nearOutline);
}

LeafVerdict verdictFor(const cv::Mat& picture) {
    CoutCapture quiet;
    return analyzeLeafPicture(picture, "drawn", false, false).verdict;
}

}  // namespace

TEST(Levelling, GreyAndUnevenPaperGiveTheOutlineOfWhitePaper) {
    const struct {
        const char* paper;
        Light light;
    } papers[] = {
        {"grey 200", [](double, double) { return 200.0 / 255; }},
        {"grey 160", [](double, double) { return 160.0 / 255; }},
        {"250 to 170 from left to right",
         [](double x, double) { return (250.0 - 80.0 * x) / 255; }},
        {"230 with a soft shadow across the top left corner",
         [](double x, double y) {
             return (230.0 - 70.0 * (1.0 - smoothStep(0.4, 0.7, x + y))) / 255;
         }},
        {"240 with a soft shadow over the middle",
         [](double x, double y) {
             return (240.0 - 60.0 * (1.0 - smoothStep(0.1, 0.4, std::hypot(x - 0.5, y - 0.5)))) /
                    255;
         }},
        {"230 with a vignette",
         [](double x, double y) {
             return (230.0 - 150.0 * ((x - 0.5) * (x - 0.5) + (y - 0.5) * (y - 0.5))) / 255;
         }},
    };
    const cv::Mat leaf = leafOnWhite();
    const cv::Mat expected = silhouette(leaf);
    ASSERT_GT(cv::countNonZero(expected), 2000);
    for (const auto& [paper, light] : papers) {
        const cv::Mat photo = underLight(leaf, light);
        EXPECT_EQ(differencesBeyondTwoPixels(expected, silhouette(photo)), 0) << paper;
    }
}

TEST(Levelling, PaperLighterThanTheMarginEverywhereIsLeftAsItIs) {
    const cv::Mat leaf = leafOnWhite();
    for (const double paper : {255.0, 250.0, 232.0}) {
        const cv::Mat photo = underLight(leaf, [paper](double, double) { return paper / 255; });
        EXPECT_EQ(cv::countNonZero(levelBackground(photo) != photo), 0) << "paper " << paper;
    }
    // Out of focus, the leaf's edge is grey for several pixels; the paper between is white.
    cv::Mat blurred;
    cv::GaussianBlur(leaf, blurred, cv::Size(), 4.0);
    const cv::Mat soft = underLight(blurred, [](double, double) { return 240.0 / 255; });
    EXPECT_EQ(cv::countNonZero(levelBackground(soft) != soft), 0) << "leaf out of focus";
    // A shadow that darkens one corner to 210 is levelled, however white the rest.
    const cv::Mat shaded = underLight(leaf, [](double x, double y) {
        return (255.0 - 45.0 * (1.0 - smoothStep(0.2, 0.6, x + y))) / 255;
    });
    EXPECT_GT(cv::countNonZero(levelBackground(shaded) != shaded), 0);
    const cv::Mat grey = underLight(leaf, [](double, double) { return 226.0 / 255; });
    EXPECT_GT(cv::mean(levelBackground(grey))[0], cv::mean(grey)[0] + 10.0);
}

TEST(Levelling, PicturesWithoutALeafDarkEnoughAreNoLeaf) {
    for (const int grey : {0, 40, 128, 200, 225, 255}) {
        const cv::Mat plain = underLight(cv::Mat(96, 128, CV_8UC1, cv::Scalar(255)),
                                         [grey](double, double) { return grey / 255.0; });
        EXPECT_EQ(verdictFor(plain), LeafVerdict::NoLeaf) << "all grey " << grey;
    }
    // A leaf only a few levels darker than its paper, on grey and on white paper.
    for (const int paper : {200, 250}) {
        for (const int leaf : {paper - 5, paper - 20}) {
            cv::Mat faint(96, 128, CV_8UC1, cv::Scalar(paper));
            cv::ellipse(faint, {64, 48}, {40, 20}, 0, 0, 360, cv::Scalar(leaf), cv::FILLED);
            EXPECT_EQ(verdictFor(faint), LeafVerdict::NoLeaf) << leaf << " on " << paper;
        }
    }
}
