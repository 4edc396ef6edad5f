#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <opencv2/imgproc.hpp>

#include "analysis.hpp"
#include "background.hpp"
#include "drawn_leaves.hpp"
#include "picture.hpp"
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

// Paper of brightness grey, darkened by depth towards the top left corner or towards the
// middle over a soft edge from near to far (distances in picture widths).
Light paper(double grey, double depth = 0.0, bool corner = true, double near = 0, double far = 1) {
    return [=](double x, double y) {
        const double distance = corner ? (x + y) / 2.0 : std::hypot(x - 0.5, y - 0.5);
        return (grey - depth * (1.0 - smoothStep(near, far, distance))) / 255.0;
    };
}

cv::Mat silhouette(const cv::Mat& working) {
    cv::Mat binary;
    binarizeImage(levelBackground(working), binary);
    return binary;
}

}  // namespace

TEST(Levelling, GreyAndUnevenPaperGiveTheOutlineOfWhitePaper) {
    const std::pair<const char*, Light> papers[] = {
        {"grey 200", paper(200)},
        {"grey 160", paper(160)},
        {"250 to 170 from left to right", [](double x, double) { return (250 - 80 * x) / 255; }},
        {"230, down to 160 in a soft shadow across a corner", paper(230, 70, true, 0.2, 0.35)},
        {"240, down to 180 in a soft shadow in the middle", paper(240, 60, false, 0.1, 0.4)},
        {"vignette",
         [](double x, double y) {
             return 0.9 - 0.6 * std::pow(x - 0.5, 2) - 0.6 * std::pow(y - 0.5, 2);
         }},
    };
    const cv::Mat leaf = leafOnWhite();
    const cv::Mat expected = silhouette(leaf);
    cv::Mat nearOutline;  // within two pixels of the outline
    cv::morphologyEx(expected, nearOutline, cv::MORPH_GRADIENT,
                     cv::getStructuringElement(cv::MORPH_ELLIPSE, {5, 5}));
    ASSERT_GT(cv::countNonZero(expected), 2000);
    for (const auto& [name, light] : papers) {
        const cv::Mat differences = expected != silhouette(underLight(leaf, light));
        EXPECT_EQ(cv::countNonZero(differences & ~nearOutline), 0) << name;
    }
}

TEST(Levelling, OnlyPaperLighterThanTheMarginEverywhereIsLeftAsItIs) {
    cv::Mat outOfFocus;  // the leaf's edge grey for several pixels, the paper between white
    cv::GaussianBlur(leafOnWhite(), outOfFocus, cv::Size(), 4.0);
    const struct {
        const char* name;
        cv::Mat photo;
        bool untouched;
    } photos[] = {
        {"white", underLight(leafOnWhite(), paper(255)), true},
        {"250", underLight(leafOnWhite(), paper(250)), true},
        {"232", underLight(leafOnWhite(), paper(232)), true},
        {"out of focus on 240", underLight(outOfFocus, paper(240)), true},
        {"226", underLight(leafOnWhite(), paper(226)), false},
        {"white with a corner at 210", underLight(leafOnWhite(), paper(255, 45, true, 0.1, 0.3)),
         false},
    };
    for (const auto& [name, photo, untouched] : photos) {
        EXPECT_EQ(cv::countNonZero(levelBackground(photo) != photo) == 0, untouched) << name;
    }
}

// Nothing darker than its paper, or no light paper around the dark part: a tree, bark or a
// table reaches three sides of the frame. A leaf in a corner is still one.
TEST(Levelling, PicturesWithoutALeafOnLightPaperHaveNoLeaf) {
    CoutCapture quiet;
    const auto verdict = [](const cv::Mat& picture) {
        return analyzeLeafPicture(picture, "drawn", false, false).verdict;
    };
    for (const int grey : {0, 40, 128, 200, 225, 255}) {
        const cv::Mat plain = underLight(cv::Mat(96, 128, CV_8UC1, cv::Scalar(255)), paper(grey));
        EXPECT_EQ(verdict(plain), LeafVerdict::NoLeaf) << "all " << grey;
    }
    for (const int grey : {200, 250}) {
        for (const int leaf : {grey - 5, grey - 20}) {
            cv::Mat faint(96, 128, CV_8UC1, cv::Scalar(grey));
            cv::ellipse(faint, {64, 48}, {40, 20}, 0, 0, 360, cv::Scalar(leaf), cv::FILLED);
            EXPECT_EQ(verdict(faint), LeafVerdict::NoLeaf) << leaf << " on " << grey;
        }
    }
    const auto drawn = [](cv::Scalar paper, cv::Point centre, cv::Size axes, cv::Scalar leaf) {
        cv::Mat picture(96, 128, CV_8UC1, paper);
        cv::ellipse(picture, centre, axes, 0, 0, 360, leaf, cv::FILLED);
        return picture;
    };
    cv::Mat texture(96, 128, CV_8UC1);
    cv::RNG(3).fill(texture, cv::RNG::UNIFORM, 0, 200);
    cv::GaussianBlur(texture, texture, {}, 2.0);
    const std::pair<const char*, cv::Mat> noPaper[] = {
        {"a light blob on black", drawn(cv::Scalar(20), {64, 48}, {30, 20}, cv::Scalar(250))},
        {"a texture filling the frame", texture},
        {"a leaf across three sides", drawn(cv::Scalar(255), {64, 90}, {70, 30}, cv::Scalar(60))},
    };
    for (const auto& [name, picture] : noPaper) {
        EXPECT_EQ(verdict(picture), LeafVerdict::NoLeaf) << name;
    }
    EXPECT_EQ(verdict(drawn(cv::Scalar(255), {0, 0}, {60, 40}, cv::Scalar(60))),
              LeafVerdict::Measured);
}

// A photo that is already the leaf on its paper (a scan, a crop) is measured on darker or
// unevenly lit paper as on white: its pale, soft edges stay leaf. (Only a photo cropped from a
// sheet on a table has its leaf's soft shadow lifted.)
TEST(Levelling, SharedPhotosOnGreyPaperGiveTheSilhouetteOfWhitePaper) {
    const std::filesystem::path leaves = LEAFID_LEAVES_DIR;
    if (!std::filesystem::is_directory(leaves)) {
        GTEST_SKIP() << "no leaf photos at " << leaves << "; grey paper not checked";
    }
    const std::pair<const char*, Light> papers[] = {
        {"85%", paper(217)},
        {"65%", paper(166)},
        {"255 to 165 from left to right", [](double x, double) { return (255 - 90 * x) / 255; }},
    };
    std::vector<std::filesystem::path> photos;
    for (const char* species : {"ginkgo", "lime", "maple", "oak", "willow"}) {
        for (const auto& entry : std::filesystem::directory_iterator(leaves / species)) {
            photos.push_back(entry.path());
        }
    }
    std::sort(photos.begin(), photos.end());
    for (const auto& [name, light] : papers) {
        double moved = 0.0;  // silhouette pixels that change, per outline pixel of white paper
        int measured = 0;
        for (size_t i = 0; i < photos.size(); i += 36) {
            const cv::Mat photo = readGreyPicture(photos[i].string());
            LeafPictures white;
            LeafPictures grey;
            analyzeLeafPictureSilently(photo, 0, &white);
            analyzeLeafPictureSilently(underLight(photo, light), 0, &grey);
            cv::Mat outline;
            cv::morphologyEx(white.binary, outline, cv::MORPH_GRADIENT, cv::Mat::ones(3, 3, CV_8U));
            moved += cv::countNonZero(white.binary != grey.binary) /
                     std::max(1.0, cv::countNonZero(outline) / 2.0);
            ++measured;
        }
        EXPECT_LT(moved / measured, 0.12) << name;  // 0.05 here; 0.33 with the shadow lifted
    }
}
