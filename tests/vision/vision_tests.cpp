#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "analysis.hpp"
#include "geometry.hpp"
#include "handoff.hpp"
#include "morphology.hpp"
#include "picture.hpp"
#include "test_support.hpp"

namespace {

const double sqrt2 = std::sqrt(2.0);
const double pi = std::acos(-1.0);

// A black binary image with a filled leaf rectangle of w x h pixels at (x, y).
cv::Mat rectangleImage(int x, int y, int w, int h, cv::Size size = {128, 96}) {
    cv::Mat image = cv::Mat::zeros(size, CV_8UC1);
    image(cv::Rect(x, y, w, h)).setTo(255);
    return image;
}

int countColour(const cv::Mat& canvas, const cv::Vec3b& colour) {
    cv::Mat mask;
    cv::inRange(canvas, cv::Scalar(colour), cv::Scalar(colour), mask);
    return cv::countNonZero(mask);
}

const cv::Vec3b white(255, 255, 255), green(0, 255, 0), blue(255, 0, 0);

}  // namespace

TEST(Geometry, FilledSquareMeasuresByHand) {
    for (int s : {2, 7, 10, 20, 33, 50}) {
        const cv::Mat image = rectangleImage(30, 20, s, s);
        cv::Mat canvas;
        const GeometricFeatures g = computeGeometricFeatures(canvas, true, image);
        ASSERT_EQ(g.size(), 4u);
        EXPECT_DOUBLE_EQ(g[0], 4.0 * (s - 1)) << "side " << s;
        EXPECT_DOUBLE_EQ(g[1], (s - 1.0) * (s - 1.0));
        EXPECT_DOUBLE_EQ(g[2], (s - 1) * sqrt2);
        EXPECT_DOUBLE_EQ(g[3], (s - 1) * sqrt2);  // the other diagonal is exactly perpendicular
        EXPECT_EQ(canvas.type(), CV_8UC3);
        const FeatureVector f = computeMorphologicalFeatures(image, g);
        ASSERT_EQ(f.size(), 6u);
        EXPECT_DOUBLE_EQ(f[0], std::pow((s + 3.0) / s, 2.0));
        EXPECT_DOUBLE_EQ(f[1], 1.0);
        EXPECT_NEAR(f[2], pi / 4, 1e-15);
        EXPECT_NEAR(f[3], 2.0, 1e-14);
        EXPECT_NEAR(f[4], 2 * sqrt2, 1e-14);
        EXPECT_NEAR(f[5], sqrt2, 1e-14);
    }
}

TEST(Geometry, RectanglesAndTheStrictPerpendicularTolerance) {
    cv::Mat canvas;
    GeometricFeatures g = computeGeometricFeatures(canvas, true, rectangleImage(10, 40, 101, 6));
    EXPECT_EQ(
        g, (GeometricFeatures{2.0 * (100 + 5), 500.0, std::sqrt(100.0 * 100.0 + 5.0 * 5.0), 5.0}));
    // 5 is a short side: |cos| about 0.05. In a 21 x 11 rectangle no chord between the corners is
    // near perpendicular to the diagonal: the width is 0, no width line is drawn, and the aspect
    // ratio is infinite.
    const cv::Mat image = rectangleImage(10, 40, 21, 11);
    g = computeGeometricFeatures(canvas, true, image);
    EXPECT_DOUBLE_EQ(g[2], std::sqrt(20.0 * 20.0 + 10.0 * 10.0));
    EXPECT_EQ(g[3], 0.0);
    EXPECT_EQ(countColour(canvas, green), 0);
    EXPECT_GT(countColour(canvas, blue), 20);
    const FeatureVector f = computeMorphologicalFeatures(image, g);
    EXPECT_EQ(f[1], std::numeric_limits<double>::infinity());
    EXPECT_EQ(f[3], 0.0);
    EXPECT_EQ(f[5], f[4]);
    EXPECT_TRUE(std::isfinite(f[0]) && std::isfinite(f[2]));
}

TEST(Geometry, DrawsOutlinesThenWidthThenDiameter) {
    cv::Mat canvas(5, 5, CV_8UC3, cv::Scalar(9, 9, 9));  // replaced, whatever it held
    const cv::Mat image = rectangleImage(40, 30, 20, 20);
    computeGeometricFeatures(canvas, true, image);
    EXPECT_EQ(canvas.size(), image.size());
    // Diameter from (40,30) to (59,49); width between the other two corners, under the blue.
    EXPECT_EQ(canvas.at<cv::Vec3b>(30, 40), blue);
    EXPECT_EQ(canvas.at<cv::Vec3b>(40, 50), blue);
    EXPECT_EQ(canvas.at<cv::Vec3b>(31, 58), green);
    EXPECT_EQ(canvas.at<cv::Vec3b>(30, 50), white);
    EXPECT_EQ(canvas.at<cv::Vec3b>(10, 10), cv::Vec3b(0, 0, 0));
    EXPECT_EQ(countColour(canvas, white) + countColour(canvas, green) + countColour(canvas, blue),
              4 * 19 + 18 + 18);  // diagonals without their corner ends

    EXPECT_EQ(computeGeometricFeatures(canvas, false, image).size(), 2u);
    EXPECT_EQ(countColour(canvas, white), 4 * 19);
    EXPECT_EQ(countColour(canvas, green) + countColour(canvas, blue), 0);
}

// Holes, equal largest areas and the input left alone: see the reference comparison.
TEST(Geometry, EmptyImageHasNoContour) {
    cv::Mat canvas;
    EXPECT_TRUE(computeGeometricFeatures(canvas, true, cv::Mat::zeros(20, 30, CV_8UC1)).empty());
    EXPECT_EQ(canvas.size(), cv::Size(30, 20));
    EXPECT_EQ(cv::countNonZero(canvas.reshape(1)), 0);
}

TEST(Preparation, WorkingHeightTruncatesInDoublePrecision) {
    EXPECT_EQ(workingHeight(640, 480), 96);
    EXPECT_EQ(workingHeight(49, 49), 127);  // 127.99999999999999
    EXPECT_EQ(workingHeight(128, 77), 77);
    EXPECT_EQ(workingHeight(1000, 1), 0);
    EXPECT_EQ(workingHeight(129, 1), 0);
}

TEST(Preparation, ScalesToWorkingWidthAndReadsColourAsGrey) {
    TempDir dir;
    cv::Mat photo(480, 640, CV_8UC3, cv::Scalar(255, 255, 255));
    cv::ellipse(photo, {320, 240}, {200, 80}, 30, 0, 360, cv::Scalar(30, 140, 40), cv::FILLED);
    const std::string path = dir.file("leaf.png");
    cv::imwrite(path, photo);

    CoutCapture quiet;
    const LeafAnalysis plain = analyzeLeafImage(path, false, false);
    EXPECT_EQ(quiet.text(), "Processing image \"" + path + "\" (128x96) ...\n");
    EXPECT_EQ(plain.verdict, LeafVerdict::Measured);
    ASSERT_EQ(plain.features.size(), 6u);

    const LeafAnalysis reported = analyzeLeafImage(path, true, false);
    EXPECT_EQ(reported.features, plain.features);
    // Rotated 30 degrees, an ellipse 2.5 times as long as wide stays about that much longer.
    EXPECT_NEAR(plain.features[1], 2.5, 0.3);
}

TEST(Preparation, ExtremeProportionsAreNoPicture) {
    CoutCapture quiet;
    const auto verdict = [](int rows, int cols) {
        return analyzeLeafPicture(cv::Mat(rows, cols, CV_8UC1, cv::Scalar(255)), "p", true, false)
            .verdict;
    };
    EXPECT_EQ(verdict(1, 1000), LeafVerdict::UnreadableImage);     // height 0
    EXPECT_EQ(verdict(16384, 128), LeafVerdict::UnreadableImage);  // 128 times as tall
    EXPECT_EQ(verdict(16383, 128), LeafVerdict::NoLeaf);  // the tallest picture still measured
    EXPECT_EQ(quiet.text(), "Processing image \"p\" (128x16383) ...\n");
}

namespace {

// value in count bytes, least significant first (le) or last (be).
std::string le(uint64_t value, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += static_cast<char>(value >> 8 * i);
    }
    return text;
}
std::string be(uint64_t value, int count) {
    const std::string text = le(value, count);
    return {text.rbegin(), text.rend()};
}

std::string png(uint64_t w, uint64_t h, int depth, int colourType, const std::string& chunks = "") {
    return "\x89PNG\r\n\x1A\n" + be(13, 4) + "IHDR" + be(w, 4) + be(h, 4) + char(depth) +
           char(colourType) + std::string(3, '\0') + "crc." + chunks + be(0, 4) + "IDAT";
}

// A JFIF segment, a frame header with the given sampling factors (0x22 is 2 x 2), a scan.
std::string jpeg(int frameMarker, uint64_t w, uint64_t h, const std::string& sampling,
                 int scanComponents) {
    std::string frame = "\x08" + be(h, 2) + be(w, 2) + char(sampling.size());
    for (char factors : sampling) {
        frame += std::string("\x01") + factors + '\0';
    }
    return "\xFF\xD8\xFF\xE0" + be(16, 2) + "JFIF" + std::string(10, '\0') + "\xFF" +
           char(frameMarker) + be(frame.size() + 2, 2) + frame + "\xFF\xDA" +
           be(6 + 2 * scanComponents, 2) + char(scanComponents);
}

// Classic little-endian TIFF, entries of short values: tag, value.
std::string tiff(const std::vector<std::pair<int, int>>& entries) {
    std::string text = std::string("II*\0", 4) + le(8, 4) + le(entries.size(), 2);
    for (const auto& [tag, value] : entries) {
        text += le(tag, 2) + le(3, 2) + le(1, 4) + le(value, 4);
    }
    return text + le(0, 4);
}

std::string webp(const std::string& chunk, const std::string& data) {
    return "RIFF" + le(30, 4) + "WEBP" + chunk + le(data.size(), 4) + data + std::string(10, '\0');
}

}  // namespace

// Headers written by hand: the format, what decoding would take and transparency, read before
// anything is decoded. The decodingBytes of each rule is width x height x bytes per pixel.
TEST(Pictures, HeadersTellWhatDecodingWouldTake) {
    const double gigapixel = 32000.0 * 32000.0;
    const std::string bigTiffEntry = be(3, 2) + be(1, 8);  // type short, one value
    const auto bigTiff = [&](const std::vector<std::pair<int, int>>& entries) {
        std::string text =
            std::string("MM\0+", 4) + be(8, 2) + be(0, 2) + be(16, 8) + be(entries.size(), 8);
        for (const auto& [tag, value] : entries) {
            text += be(tag, 2) + bigTiffEntry + be(value, 2) + std::string(6, '\0');
        }
        return text;
    };
    struct Case {
        std::string content;
        PictureFormat format;
        double decodingBytes;
        bool transparent;
    };
    const PictureFormat unknown = PictureFormat::Unknown;
    const std::vector<Case> cases = {
        {png(60000, 60000, 8, 0), PictureFormat::Png, 3.6e9, false},
        {png(1000, 1000, 16, 2), PictureFormat::Png, 6e6, false},  // 16-bit colour
        {png(1000, 1000, 4, 3, be(2, 4) + "tRNS\0\0crc."), PictureFormat::Png, 6e6, true},
        {png(1000, 1000, 16, 4), PictureFormat::Png, 12e6, true},  // grey and alpha
        {png(1000, 1000, 8, 5), unknown, 0, false},                // no such colour type
        {jpeg(0xC0, 4000, 3000, "\x22\x11\x11", 3), PictureFormat::Jpeg, 12e6, false},
        {jpeg(0xC2, 32000, 32000, "\x22\x11\x11", 3), PictureFormat::Jpeg, 4 * gigapixel, false},
        {jpeg(0xC0, 1000, 1000, "\x11\x11\x11", 1), PictureFormat::Jpeg, 7e6, false},
        {jpeg(0xC0, 1000, 0, "\x11", 1), unknown, 0, false},
        {tiff({{256, 32000}, {257, 32000}, {258, 8}, {278, 1}}), PictureFormat::Tiff,
         gigapixel + 4 * 32000, false},
        {bigTiff({{256, 1000}, {257, 1000}, {258, 16}, {262, 2}, {277, 4}, {322, 256}, {323, 256}}),
         PictureFormat::Tiff, 12e6 + 8 * 65536, true},
        {tiff({{256, 10}, {257, 10}, {258, 32}, {339, 3}}), unknown, 0, false},  // floating point
        {webp("VP8L", "\x2F" + le(16382 | 16382 << 14 | 1 << 28, 4)), PictureFormat::WebP,
         6 * 16383.0 * 16383.0 + 35, true},  // and the file, read whole
        {webp("VP8X", "\x02" + std::string(3, '\0') + le(99, 3) + le(99, 3)), unknown, 0, false},
        {"BM" + std::string(12, '\0') + le(40, 4) + le(2000, 4) + le(uint32_t(-1000), 4),
         PictureFormat::Bmp, 2e6, false},
        {"P5\n# drawn by hand\n300 200\n255\n", PictureFormat::Pnm, 60000, false},
        {"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 2 +X 2\n", unknown, 0, false},
        {"GIF89a" + le(10, 2) + le(10, 2), unknown, 0, false},
        {"\x89PNG\r\n\x1A\n", unknown, 0, false},
    };
    TempDir dir;
    for (const Case& c : cases) {
        const PictureHeader header = readPictureHeader(dir.write("p", c.content));
        EXPECT_EQ(header.format, c.format) << "case " << &c - cases.data();
        EXPECT_EQ(header.decodingBytes, c.decodingBytes) << "case " << &c - cases.data();
        EXPECT_EQ(header.transparent, c.transparent) << "case " << &c - cases.data();
    }
}

// The report's lines are pinned end to end by the program tests.
TEST(FeatureText, EveryValueInDefaultFormatWithABlank) {
    EXPECT_EQ(toFeatureText({1, 0.5, 100000, 1000000, 0.000123456, 0.0000123456, -2.5, 12.0, 0.250,
                             1234567, 0.123456789}),
              "1 0.5 100000 1e+06 0.000123456 1.23456e-05 -2.5 12 0.25 1.23457e+06 0.123457 ");
    EXPECT_EQ(toFeatureText({}), "");
}

TEST(FeatureText, KeepsItsDecimalPointInAGermanLocale) {
    const GermanLocale german;
    if (!german.active()) {
        GTEST_SKIP() << "locale de_DE.UTF-8 is not installed here";
    }
    EXPECT_EQ(toFeatureText({0.5, 1234.5}), "0.5 1234.5 ");
}
