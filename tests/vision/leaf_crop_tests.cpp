#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "analysis.hpp"
#include "drawn_leaves.hpp"
#include "evaluation.hpp"
#include "handoff.hpp"
#include "leaf_crop.hpp"
#include "loader.hpp"
#include "picture.hpp"
#include "test_support.hpp"

namespace fs = std::filesystem;

namespace {

const cv::Size frame(1600, 1200);
const cv::Rect wholeFrame({0, 0}, frame);

// A sheet of paper (A4, turned by 3 degrees) on a dark or wooden table, the light falling off
// to 70% from left to right.
cv::Mat sheetOnTable(bool wooden) {
    cv::Mat scene(frame, CV_32F);
    for (int y = 0; y < frame.height; ++y) {
        scene.row(y).setTo(wooden ? 110.0 + 40.0 * std::sin(y / 9.0) * std::sin(y / 61.0) : 45.0);
    }
    cv::Point2f corners[4];
    cv::RotatedRect({800, 600}, {760, 1080}, 3).points(corners);
    const std::vector<cv::Point> sheet(corners, corners + 4);
    cv::fillConvexPoly(scene, sheet, cv::Scalar(245), cv::LINE_AA);
    for (int x = 0; x < frame.width; ++x) {
        scene.col(x) *= 1.0 - 0.3 * x / frame.width;
    }
    return scene;
}

// leaf (0 to 1, 1 where it is paper) laid in the middle of scene with its soft shadow down and
// to the right; then a sensor's grain and a JPEG round trip.
cv::Mat photographed(cv::Mat scene, const cv::Mat& leaf, double shadow = 0.3) {
    cv::Mat cover(frame, CV_32F, cv::Scalar(1.0));
    leaf.copyTo(cover(cv::Rect((frame.width - leaf.cols) / 2, (frame.height - leaf.rows) / 2,
                               leaf.cols, leaf.rows)));
    cv::Mat shade;
    cv::GaussianBlur(1.0 - cover, shade, cv::Size(), 8.0);
    cv::warpAffine(shade, shade, cv::Matx23d(1, 0, 10, 0, 1, 10), frame);
    scene = scene.mul(cover).mul(1.0 - shadow * cv::min(2.0 * shade, 1.0));
    cv::Mat grain(frame, CV_32F);
    cv::RNG(3).fill(grain, cv::RNG::NORMAL, 0.0, 3.0);
    cv::Mat picture;
    cv::Mat(scene + grain).convertTo(picture, CV_8U);
    std::vector<uchar> jpeg;
    cv::imencode(".jpg", picture, jpeg, {cv::IMWRITE_JPEG_QUALITY, 90});
    return cv::imdecode(jpeg, cv::IMREAD_GRAYSCALE);
}

// A shared photo's leaf, its paper made white, share of the frame wide (at most 60% high).
cv::Mat leafOf(const cv::Mat& photo, double share) {
    cv::Mat smooth;
    cv::medianBlur(photo, smooth, 5);
    double paper = 0.0;
    cv::minMaxLoc(smooth, nullptr, &paper);
    const double scale =
        std::min(share * frame.width / photo.cols, 0.6 * frame.height / photo.rows);
    cv::Mat leaf;
    cv::resize(photo, leaf, cv::Size(), scale, scale, cv::INTER_AREA);
    leaf.convertTo(leaf, CV_32F, 1.0 / paper);
    return cv::min(leaf, 1.0);
}

// A drawn leaf, a lobed ellipse of grey 60 about 240 x 140 pixels, on white.
cv::Mat drawnLeaf() {
    cv::Mat leaf(180, 280, CV_32F, cv::Scalar(1.0));
    cv::ellipse(leaf, {140, 90}, {120, 60}, 10, 0, 360, cv::Scalar(0.25), cv::FILLED, cv::LINE_AA);
    cv::circle(leaf, {90, 60}, 35, cv::Scalar(0.25), cv::FILLED, cv::LINE_AA);
    return leaf;
}

LeafAnalysis measured(const cv::Mat& picture, size_t descriptors) {
    CoutCapture quiet;
    return analyzeLeafPicture(picture, "", false, false, descriptors);
}

}  // namespace

// The box of leaf laid in the middle of the frame, and a tenth of its length around it.
cv::Rect cropAround(const cv::Mat& leaf) {
    const cv::Rect box = cv::boundingRect(leaf < 0.9) +
                         cv::Point((frame.width - leaf.cols) / 2, (frame.height - leaf.rows) / 2);
    const int margin = std::max(box.width, box.height) / 10;
    return cv::Rect(box.x - margin, box.y - margin, box.width + 2 * margin,
                    box.height + 2 * margin);
}

// White paper covering share of the frame, a dark table in a strip along the bottom, width
// pixels wide from the left.
cv::Mat sheetCovering(double share, int width = frame.width) {
    cv::Mat scene(frame, CV_32F, cv::Scalar(245));
    const int rows = static_cast<int>((1.0 - share) * frame.area() / width);
    scene(cv::Rect(0, frame.height - rows, width, rows)).setTo(45);
    return scene;
}

TEST(LeafCrop, TheLeafOnASheetIsCroppedWithItsMarginWhateverLiesBesideIt) {
    const cv::Rect crop = cropAround(drawnLeaf());
    // A leaf too big to be cropped for its size (its crop a third of the frame) is cropped when
    // a strip of table shows, however narrow, and not when the paper fills 99% of the frame.
    cv::Mat big;
    cv::resize(drawnLeaf(), big, {}, 3.5, 3.5);
    // A stalk too thin to show on the decision copy, half the leaf's length; a pale tip (70% of
    // the paper) that Otsu's threshold leaves on the paper's side.
    cv::Mat stalked(180, 420, CV_32F, cv::Scalar(1.0));
    drawnLeaf().copyTo(stalked(cv::Rect(0, 0, 280, 180)));
    cv::line(stalked, {255, 112}, {400, 150}, cv::Scalar(0.3), 2, cv::LINE_AA);
    // Two leaflets of a compound leaf, their stalk too thin to show anywhere, 20 pixels apart.
    cv::Mat leaflets(180, 540, CV_32F, cv::Scalar(1.0));
    for (const int x : {140, 400}) {
        cv::ellipse(leaflets, {x, 90}, {120, 50}, 0, 0, 360, cv::Scalar(0.25), cv::FILLED);
    }
    cv::Mat pale = stalked.clone();
    pale.colRange(260, 420).setTo(1.0);
    cv::circle(pale, {300, 110}, 40, cv::Scalar(0.7), cv::FILLED);

    cv::Mat crumbs = sheetOnTable(false);
    cv::circle(crumbs, {560, 300}, 6, cv::Scalar(40), cv::FILLED);
    cv::line(crumbs, {1000, 900}, {1080, 980}, cv::Scalar(60), 4);
    cv::Mat onWhite(frame, CV_32F, cv::Scalar(245));
    const struct {
        const char* name;
        cv::Mat picture;
        cv::Rect expected;  // the whole frame: not cropped
    } cases[] = {
        {"alone", photographed(sheetOnTable(false), drawnLeaf(), 0.0), crop},
        {"with its soft shadow", photographed(sheetOnTable(false), drawnLeaf()), crop},
        {"on a wooden table", photographed(sheetOnTable(true), drawnLeaf()), crop},
        {"with a crumb and a stalk lying apart", photographed(crumbs, drawnLeaf()), crop},
        {"with its thin stalk", photographed(sheetOnTable(false), stalked), cropAround(stalked)},
        {"with a pale tip", photographed(sheetOnTable(false), pale), cropAround(pale)},
        {"of two leaflets", photographed(sheetOnTable(false), leaflets), cropAround(leaflets)},
        {"small, on paper that fills the frame", photographed(onWhite, drawnLeaf()), crop},
        {"filling most of the frame", photographed(onWhite, cv::Mat(1000, 1400, CV_32F, 0.25)),
         wholeFrame},
        {"big, on paper over 90% of the frame", photographed(sheetCovering(0.9), big),
         cropAround(big)},
        {"big, on paper over 98% of the frame", photographed(sheetCovering(0.98), big),
         cropAround(big)},
        {"big, on paper over 99.5% of the frame", photographed(sheetCovering(0.995, 320), big),
         wholeFrame},
        {"an empty sheet", photographed(sheetOnTable(false), cv::Mat(1, 1, CV_32F, 1.0)),
         wholeFrame},
        {"a speck on the sheet", photographed(sheetOnTable(false), cv::Mat(20, 20, CV_32F, 0.2)),
         wholeFrame},
        {"over the sheet's edge", photographed(sheetOnTable(false), cv::Mat(200, 900, CV_32F, 0.2)),
         wholeFrame},
    };
    for (const auto& [name, picture, expected] : cases) {
        const cv::Rect found = findLeafCrop(picture);
        EXPECT_LE(std::max({std::abs(found.x - expected.x), std::abs(found.y - expected.y),
                            std::abs(found.br().x - expected.br().x),
                            std::abs(found.br().y - expected.br().y)}),
                  4)
            << name << ": " << found << " instead of " << expected;
    }
    // A picture no wider than the working picture is never cropped, whatever lies around.
    cv::Mat narrow;
    cv::resize(photographed(sheetOnTable(false), drawnLeaf()), narrow, {128, 96}, 0, 0,
               cv::INTER_AREA);
    EXPECT_EQ(findLeafCrop(narrow), cv::Rect(0, 0, 128, 96));
}

TEST(LeafCrop, APhoneLikePhotoIsMeasuredAsTheSameLeafCroppedOnWhite) {
    const fs::path leaves = LEAFID_LEAVES_DIR;
    if (!fs::is_directory(leaves)) {
        GTEST_SKIP() << "no leaf photos at " << leaves << "; phone-like photos not checked";
    }
    NeuralNetwork network;
    {
        CoutCapture quiet;
        ASSERT_TRUE(loadNetwork(network, std::string(LEAFID_SOURCE_DIR) + "/nn.dat"));
    }
    const size_t descriptors = descriptorsRead(inputCount(network));
    for (const char* name :
         {"ginkgo/ginkgo_flav_001.jpg", "lime/lime_swe_001.jpg", "maple/maple_kew_040.jpg",
          "oak/oak_lsapp_003.jpg", "willow/willow_lsapp_001.jpg"}) {
        const cv::Mat photo = readGreyPicture((leaves / name).string());
        const LeafAnalysis original = measured(photo, descriptors);
        ASSERT_EQ(original.verdict, LeafVerdict::Measured) << name;
        for (const auto& [share, wooden] : {std::pair(0.22, false), std::pair(0.38, true)}) {
            const LeafAnalysis phone =
                measured(photographed(sheetOnTable(wooden), leafOf(photo, share)), descriptors);
            ASSERT_EQ(phone.verdict, LeafVerdict::Measured) << name << " at " << share;
            EXPECT_EQ(classify(network, toFeatureText(phone.features)),
                      classify(network, toFeatureText(original.features)))
                << name << " at " << share;
            // The mean relative difference of the features and descriptors; the histograms'
            // bins, many of them 0, by how much of each histogram moves.
            const size_t scalars = std::min(original.features.size(), size_t{16});
            double difference = 0.0;
            for (size_t i = 0; i < scalars; ++i) {
                difference += std::abs(phone.features[i] / original.features[i] - 1.0) / scalars;
            }
            EXPECT_LT(difference, 0.05) << name << " at " << share;
            double moved = 0.0;
            for (size_t i = scalars; i < original.features.size(); ++i) {
                moved += std::abs(phone.features[i] - original.features[i]) / 2.0 / 8.0;
            }
            EXPECT_LT(moved, 0.1) << name << " at " << share << ": histograms";
        }
    }
}

TEST(LeafCrop, RealPhonePhotosAreCroppedToTheLeafAndSharedPhotosAreLeftWhole) {
    const fs::path leaves = LEAFID_LEAVES_DIR;
    if (!fs::is_directory(leaves) || !fs::is_directory(leaves / "../phone")) {
        GTEST_SKIP() << "no photos at " << leaves << " and ../phone; crops not checked";
    }
    // Holly leaves, about twice as long as wide, in the middle of a 1200 x 1600 frame, each
    // about a seventh of it wide.
    for (const char* name : {"ilex_ipcv_001.jpg", "ilex_ipcv_002.jpg", "ilex_ipcv_003.jpg"}) {
        const cv::Mat photo = readGreyPicture((leaves / "../phone" / name).string());
        const cv::Rect crop = findLeafCrop(photo);
        EXPECT_TRUE(crop.contains({600, 800}) && crop.width > 180 && crop.width < 320 &&
                    crop.height > 2 * crop.width - 200 && crop.height < 2 * crop.width + 100)
            << name << ": " << crop;
        const LeafAnalysis leaf = measured(photo, 0);
        ASSERT_EQ(leaf.verdict, LeafVerdict::Measured) << name;
        EXPECT_GT(leaf.features[1], 1.6) << name << ": aspect ratio";
        EXPECT_LT(leaf.features[1], 2.8) << name << ": aspect ratio";
    }
    size_t photos = 0;
    for (const auto& entry : fs::recursive_directory_iterator(leaves)) {
        if (entry.path().extension() == ".jpg") {
            const cv::Mat photo = readGreyPicture(entry.path().string());
            EXPECT_EQ(findLeafCrop(photo), cv::Rect(0, 0, photo.cols, photo.rows)) << entry.path();
            ++photos;
        }
    }
    EXPECT_GT(photos, 0u);
}
