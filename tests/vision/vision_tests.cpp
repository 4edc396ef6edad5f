#include <gtest/gtest.h>

#include <zlib.h>
#include <ctime>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <limits>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <jpeglib.h>  // after <cstdio>, which it needs

#include "analysis.hpp"
#include "drawn_leaves.hpp"
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

// In a 21 x 11 rectangle no chord between the corners is near perpendicular to the diagonal: the
// width is 0 and the aspect ratio infinite. Its chords and canvas (no width line), and those of a
// 101 x 6 one, are compared with the all-pairs scan in Reference.SilhouetteAndMeasurements...
TEST(Geometry, RectanglesAndTheStrictPerpendicularTolerance) {
    cv::Mat canvas;
    const cv::Mat image = rectangleImage(10, 40, 21, 11);
    const GeometricFeatures g = computeGeometricFeatures(canvas, true, image);
    EXPECT_EQ(g[3], 0.0);
    const FeatureVector f = computeMorphologicalFeatures(image, g);
    EXPECT_EQ(f[1], std::numeric_limits<double>::infinity());
    EXPECT_EQ(f[3], 0.0);
    EXPECT_EQ(f[5], f[4]);
    EXPECT_TRUE(std::isfinite(f[0]) && std::isfinite(f[2]));
}

// Outline, width and diameter lines, their colours and order, are compared with the reference
// drawing in Reference.SilhouetteAndMeasurementsAreTheSameOnDrawnPictures; here the canvas is
// replaced whatever it held, and holds only the outline without the chords.
TEST(Geometry, DrawsOnAFreshCanvasAndOnlyTheOutlineWithoutChords) {
    cv::Mat canvas(5, 5, CV_8UC3, cv::Scalar(9, 9, 9));
    const cv::Mat image = rectangleImage(40, 30, 20, 20);
    computeGeometricFeatures(canvas, true, image);
    EXPECT_EQ(canvas.size(), image.size());
    EXPECT_EQ(canvas.at<cv::Vec3b>(10, 10), cv::Vec3b(0, 0, 0));
    EXPECT_EQ(computeGeometricFeatures(canvas, false, image).size(), 2u);
    EXPECT_EQ(countColour(canvas, white), 4 * 19);
    EXPECT_EQ(countColour(canvas, green) + countColour(canvas, blue), 0);
}

// Empty pictures, holes, equal largest areas and the input left alone: see the reference
// comparison.
TEST(Preparation, WorkingHeightTruncatesInDoublePrecision) {
    EXPECT_EQ(workingHeight(640, 480), 96);
    EXPECT_EQ(workingHeight(49, 49), 127);  // 127.99999999999999
    EXPECT_EQ(workingHeight(128, 77), 77);
    EXPECT_EQ(workingHeight(1000, 1), 0);
    EXPECT_EQ(workingHeight(129, 1), 0);
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

std::string png(uint64_t w, uint64_t h, int depth, int colourType, const std::string& chunks = "") {
    return "\x89PNG\r\n\x1A\n" + be(13, 4) + "IHDR" + be(w, 4) + be(h, 4) + char(depth) +
           char(colourType) + std::string(3, '\0') + "crc." + chunks + be(0, 4) + "IDAT";
}

// A JFIF segment, a frame header with the given sampling factors (0x22 is 2 x 2), a scan of
// the first scanComponents components.
std::string jpeg(int frameMarker, uint64_t w, uint64_t h, const std::string& sampling,
                 int scanComponents) {
    std::string frame = "\x08" + be(h, 2) + be(w, 2) + char(sampling.size());
    std::string scan(1, char(scanComponents));
    for (size_t c = 0; c < sampling.size(); ++c) {
        frame += char(c + 1) + sampling.substr(c, 1) + '\0';
        scan += c < size_t(scanComponents) ? std::string(1, char(c + 1)) + '\0' : "";
    }
    return "\xFF\xD8\xFF\xE0" + be(16, 2) + "JFIF" + std::string(10, '\0') + "\xFF" +
           char(frameMarker) + be(frame.size() + 2, 2) + frame + "\xFF\xDA" +
           be(scan.size() + 5, 2) + scan + std::string("\0\x3F\0", 3);
}

// Classic little-endian TIFF of one strip; entries of one value each: tag, value, and the type
// (short unless given).
std::string tiff(std::vector<std::tuple<int, int, int>> entries) {
    entries.insert(entries.end(), {{273, 8, 3}, {279, 1, 3}});
    std::string text = std::string("II*\0", 4) + le(8, 4) + le(entries.size(), 2);
    for (const auto& [tag, value, type] : entries) {
        text += le(tag, 2) + le(type == 0 ? 3 : type, 2) + le(1, 4) + le(value, 4);
    }
    return text + le(0, 4);
}

std::string webp(const std::string& chunk, const std::string& data) {
    return "RIFF" + le(30, 4) + "WEBP" + chunk + le(data.size(), 4) + data + std::string(10, '\0');
}

std::string box(const std::string& type, const std::string& content, int version = -1) {
    const std::string full = version < 0 ? "" : char(version) + std::string(3, '\0');
    return be(8 + full.size() + content.size(), 4) + type + full + content;
}

// An AVIF of one image (48 x 32, AV1), whose data is one piece of 14 bytes or none at all.
std::string avif(bool withData) {
    const std::string data = std::string("\x12\0\x0a\x0b", 4) + std::string(10, '\x24');
    const auto file = [&](size_t dataAt) {
        const std::string iloc =
            box("iloc",
                "\x44" + std::string(1, '\0') + be(1, 2) + be(1, 2) + be(0, 2) + be(withData, 2) +
                    (withData ? be(dataAt, 4) + be(14, 4) : ""),
                0);
        const std::string properties =
            box("ipco", box("ispe", be(48, 4) + be(32, 4), 0) +
                            box("av1C", std::string("\x81\0\x0c\0", 4))) +
            box("ipma", be(1, 4) + be(1, 2) + "\x02\x81\x02", 0);
        return box("ftyp", "avif" + std::string(4, '\0') + "avifmif1") +
               box("meta",
                   box("hdlr", std::string(4, '\0') + "pict" + std::string(13, '\0'), 0) +
                       box("pitm", be(1, 2), 0) + iloc +
                       box("iinf", be(1, 2) + box("infe", be(1, 2) + be(0, 2) + "av01" + '\0', 2),
                           0) +
                       box("iprp", properties),
                   0);
    };
    const size_t dataAt = file(0).size() + 8;
    return file(dataAt) + box("mdat", data);
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
        // A chunk beyond the file, before the image data or after it.
        {png(1000, 1000, 8, 0, be(1 << 29, 4) + "eXIf"), unknown, 0, false},
        {png(1000, 1000, 8, 0) + "crc." + be(1 << 30, 4) + "tEXt", unknown, 0, false},
        // The picture, decoded in place when stored upright (16384 x 16384 is 256 MiB), else
        // through a batch of 64 rows; the coefficients of a progressive or a scan per component
        // (128 bytes a block).
        {jpeg(0xC0, 4000, 3000, "\x22\x11\x11", 3), PictureFormat::Jpeg, 12e6, false},
        {jpeg(0xC0, 16384, 16384, "\x22\x11\x11", 3), PictureFormat::Jpeg, maxDecodingBytes, false},
        {withExif(jpeg(0xC0, 4000, 3000, "\x11", 1), 6), PictureFormat::Jpeg, 12e6 + 64 * 4000,
         false},
        {jpeg(0xC2, 32000, 32000, "\x22\x11\x11", 3), PictureFormat::Jpeg, 4 * gigapixel, false},
        {jpeg(0xC0, 1000, 1000, "\x11\x11\x11", 1), PictureFormat::Jpeg, 7e6, false},
        {jpeg(0xC0, 1000, 0, "\x11", 1), unknown, 0, false},
        {tiff({{256, 32000, 0}, {257, 32000, 0}, {258, 8, 0}, {278, 1, 0}}), PictureFormat::Tiff,
         gigapixel + 8 * 32000, false},
        // Sample counts and sizes typed as bytes, a size listed twice (the first counts), taken
        // as the decoder takes them; which also cuts one uncompressed strip into rows of 8 KiB.
        {tiff({{256, 1000, 0}, {257, 1000, 0}, {258, 16, 1}, {277, 3, 1}, {262, 2, 0}}),
         PictureFormat::Tiff, 6e6 + 10 * 1000, false},
        {tiff({{256, 1000, 0}, {257, 1000, 0}, {257, 10, 0}, {258, 8, 0}}), PictureFormat::Tiff,
         1e6 + 8 * 8000, false},
        {tiff({{256, 100, 0}, {257, 100, 0}, {262, 1, 0}, {277, 2, 0}, {338, 2, 0}}),
         PictureFormat::Tiff, 6e4 + 8e4, true},  // grey and alpha
        // clang-format off
        {bigTiff({{256, 1000}, {257, 1000}, {258, 16}, {262, 2}, {277, 4}, {322, 256}, {323, 256},
                  {324, 0}, {325, 1}, {338, 2}}), PictureFormat::Tiff, 6e6 + 12 * 65536, true},
        // clang-format on
        {tiff({{256, 10, 0}, {257, 10, 0}, {258, 32, 0}, {339, 3, 0}}), unknown, 0, false},
        {webp("VP8L", "\x2F" + le(16382 | 16382 << 14 | 1 << 28, 4)), PictureFormat::WebP,
         10 * 16383.0 * 16383.0 + 35, true},  // lossless, and the file, read whole
        {webp("VP8X", "\x02" + std::string(3, '\0') + le(99, 3) + le(99, 3)), unknown, 0, false},
        {"BM" + std::string(12, '\0') + le(40, 4) + le(2000, 4) + le(uint32_t(-1000), 4),
         PictureFormat::Bmp, 2e6, false},
        {"P5\n# drawn by hand\n300 200\n255\n", PictureFormat::Pnm, 60000, false},
        {"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 2 +X 2\n", unknown, 0, false},
        {"GIF89a" + le(10, 2) + le(10, 2), unknown, 0, false},
        {"\x89PNG\r\n\x1A\n", unknown, 0, false},
        // Planes twice, colours, the grey twice, and the file; nothing to decode is refused.
        {avif(true), PictureFormat::Heif, 48 * 32 * 11 + 239.0, false},  // the file's bytes
        {avif(false), unknown, 0, false},
    };
    TempDir dir;
    for (const Case& c : cases) {
        const PictureHeader header = readPictureHeader(dir.write("p", c.content));
        EXPECT_EQ(header.format, c.format) << "case " << &c - cases.data();
        EXPECT_EQ(header.decodingBytes, c.decodingBytes) << "case " << &c - cases.data();
        EXPECT_EQ(header.transparent, c.transparent) << "case " << &c - cases.data();
    }
    // Decoding may take a second (6 ns a pixel of PNG), and one more for each 10 MB of file.
    const std::string vast = png(14000, 14000, 8, 0);
    EXPECT_FALSE(isAffordable(readPictureHeader(dir.write("p", vast))));
    EXPECT_TRUE(isAffordable(readPictureHeader(dir.write("p", png(12000, 12000, 8, 0)))));
    const std::string text = std::string(10 << 20, 'x');
    EXPECT_TRUE(isAffordable(
        readPictureHeader(dir.write("p", vast + "crc." + be(text.size(), 4) + "tEXt" + text))));
}

// cmyk (four channels) as a CMYK JPEG, as print work flows save photos.
std::string cmykJpeg(const cv::Mat& cmyk) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = static_cast<JDIMENSION>(cmyk.cols);
    info.image_height = static_cast<JDIMENSION>(cmyk.rows);
    info.input_components = 4;
    info.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&info);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<uchar*>(cmyk.ptr(static_cast<int>(info.next_scanline)));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    const std::string bytes(reinterpret_cast<const char*>(buffer), size);
    jpeg_destroy_compress(&info);
    free(buffer);
    return bytes;
}

// A JPEG is read whole, exactly as the image library reads it, and turned upright by its EXIF
// orientation as the library turns it, or not at all: cut short, or holding data that the
// decoder would have to make up or skip. Bytes after its end do not matter.
TEST(Pictures, JpegsAreReadWholeAndUprightOrNotAtAll) {
    cv::Mat photo(60, 90, CV_8UC3);
    cv::randu(photo, 0, 256);
    cv::GaussianBlur(photo, photo, {9, 9}, 3);
    const std::string colour = encoded(".jpg", photo);
    cv::Mat cmyk(60, 90, CV_8UC4);
    cv::randu(cmyk, 0, 256);
    cv::GaussianBlur(cmyk, cmyk, {9, 9}, 3);
    const std::string progressive = encoded(".jpg", photo, {cv::IMWRITE_JPEG_PROGRESSIVE, 1});
    const size_t lastScan = progressive.rfind("\xFF\xDA");
    std::string scans;
    for (int k = 0; k < 3000; ++k) {
        scans += progressive.substr(lastScan, progressive.size() - 2 - lastScan);
    }
    std::vector<std::pair<std::string, bool>> cases = {
        {colour, true},
        {progressive, true},
        {encoded(".jpg", cv::Mat(photo.rows, photo.cols, CV_8UC1, cv::Scalar(90))), true},
        {cmykJpeg(cmyk), true},
        {colour + "trailing bytes", true},
        {withPngChunk(encoded(".png", photo), "eXIf", exif(6)), true},
        {colour.substr(0, colour.size() / 2), false},
        {colour.substr(0, colour.size() - 2), false},  // no end marker
        {colour.substr(0, 700) + std::string(64, '\xFF') + colour.substr(764), false},
        // The last scan of a progressive JPEG again and again: minutes of decoding once.
        {progressive.substr(0, progressive.size() - 2) + scans + "\xFF\xD9", false},
    };
    for (int orientation = 1; orientation <= 8; ++orientation) {
        cases.push_back({withExif(colour, orientation), true});
    }
    TempDir dir;
    for (size_t c = 0; c < cases.size(); ++c) {
        const std::string path = dir.write("p", cases[c].first);
        const cv::Mat read = readGreyPicture(path);
        const cv::Mat expected =
            cases[c].second ? cv::imread(path, cv::IMREAD_GRAYSCALE) : cv::Mat();
        ASSERT_EQ(read.size(), expected.size()) << "case " << c;
        EXPECT_TRUE(read.empty() || cv::norm(read, expected, cv::NORM_INF) == 0) << "case " << c;
    }
}

namespace {

std::string deflated(const std::string& text) {
    uLongf size = compressBound(text.size());
    std::string packed(size, '\0');
    compress2(reinterpret_cast<Bytef*>(packed.data()), &size,
              reinterpret_cast<const Bytef*>(text.data()), text.size(), 9);
    return packed.substr(0, size);
}

// A dark square on white, whose grey every reader gives alike.
cv::Mat squareOnWhite(int width, int height) {
    cv::Mat picture(height, width, CV_8UC1, cv::Scalar(255));
    picture(cv::Rect(width / 4, height / 4, width / 2, height / 2)).setTo(40);
    return picture;
}

}  // namespace

// libpng inflates (and keeps) every zTXt, compressed iTXt and iCCP chunk: a PNG carrying them is
// read or refused, by what they inflate to, within the time a file of its size is allowed.
TEST(Pictures, CompressedChunksCountAgainstTheBudget) {
    const std::string leaf = encoded(".png", squareOnWhite(64, 64));
    const std::string large = deflated(std::string(7900000, 'a'));  // 8 MB from 8 KB
    const std::string small = deflated(std::string(20000, 'a'));
    struct Case {
        const char* what;
        const char* kind;
        std::string head;  // keyword and flags before the compressed data
        const std::string& data;
        int count;
        bool read;
    };
    const std::string zText("Comment\0\0", 9);
    const std::string iText("Comment\0\1\0\0\0", 12);
    const std::vector<Case> cases = {
        {"250 zTXt of 8 MB", "zTXt", zText, large, 250, false},
        {"40 compressed iTXt of 8 MB", "iTXt", iText, large, 40, false},
        {"40 iCCP of 8 MB", "iCCP", std::string("icc\0\0", 5), large, 40, false},
        {"100,000 zTXt of 20 KB", "zTXt", zText, small, 100000, false},
        {"3 zTXt of 8 MB", "zTXt", zText, large, 3, true},
        {"an iTXt not compressed", "iTXt", std::string("Comment\0\0\0\0\0", 12), large, 1, true},
    };
    TempDir dir;
    for (const Case& c : cases) {
        const std::string one = withPngChunk(leaf, c.kind, c.head + c.data);
        const std::string chunk = one.substr(33, one.size() - leaf.size());
        std::string file = leaf.substr(0, 33);
        for (int k = 0; k < c.count; ++k) {
            file += chunk;
        }
        const std::string path = dir.write("p.png", file + leaf.substr(33));
        const std::clock_t start = std::clock();
        const cv::Mat grey = readGreyPicture(path);
        const double seconds = double(std::clock() - start) / CLOCKS_PER_SEC;
        EXPECT_LT(seconds, maxDecodingSeconds + file.size() * decodingSecondsPerByte) << c.what;
        EXPECT_EQ(grey.empty(), !c.read) << c.what;
        EXPECT_TRUE(grey.empty() || cv::norm(grey, squareOnWhite(64, 64), cv::NORM_INF) == 0)
            << c.what;
    }
}

namespace {

// indices as a BMP of 8- or 4-bit runs whose last run of each row carries past pixels more (as
// ImageMagick writes odd widths); the first row stored (the bottom one) is written as indices
// as they are. The palette is grey: entry i is i * 17 for 4 bits, i for 8.
std::string bmpInRuns(const cv::Mat& indices, int bits, int past) {
    const int colours = 1 << bits;
    std::string palette;
    for (int i = 0; i < colours; ++i) {
        palette += std::string(3, char(bits == 4 ? i * 17 : i)) + '\0';
    }
    std::string runs;
    for (int y = indices.rows - 1; y >= 0; --y) {
        const uchar* row = indices.ptr(y);
        if (y == indices.rows - 1) {  // absolute: count, then the indices, padded to 16 bits
            std::string packed;
            for (int x = 0; x < indices.cols + past; x += bits == 8 ? 1 : 2) {
                const int a = row[std::min(x, indices.cols - 1)];
                const int b = row[std::min(x + 1, indices.cols - 1)];
                packed += char(bits == 8 ? a : a << 4 | b);
            }
            runs += std::string(1, '\0') + char(indices.cols + past) + packed +
                    std::string(packed.size() % 2, '\0');
        }
        for (int x = 0; y < indices.rows - 1 && x < indices.cols;) {
            int length = 1;
            while (x + length < indices.cols && row[x + length] == row[x] && length < 200) {
                ++length;
            }
            const bool last = x + length == indices.cols;
            runs +=
                char(length + (last ? past : 0)) + std::string(1, bits == 8 ? row[x] : row[x] * 17);
            x += length;
        }
        runs += std::string(2, '\0');  // end of the row
    }
    runs += std::string("\0\1", 2);
    const size_t offset = 54 + palette.size();
    return "BM" + le(offset + runs.size(), 4) + le(0, 4) + le(offset, 4) + le(40, 4) +
           le(indices.cols, 4) + le(indices.rows, 4) + le(1, 2) + le(bits, 2) +
           le(bits == 8 ? 1 : 2, 4) + le(runs.size(), 4) + le(0, 8) + le(colours, 4) + le(0, 4) +
           palette + runs;
}

}  // namespace

// Runs that pass the end of their row are clipped there, as other readers do: the picture is
// the one the writer meant, not one striped by the overflow.
TEST(Pictures, BmpRunsArePutInTheirRowsClipped) {
    const std::vector<std::tuple<int, int, int>> cases = {{8, 33, 3}, {8, 32, 0}, {8, 31, 200},
                                                          {4, 33, 3}, {4, 30, 2}, {4, 32, 0}};
    TempDir dir;
    for (const auto& [bits, width, past] : cases) {
        cv::Mat indices = squareOnWhite(width, 21) / (bits == 4 ? 17 : 1);
        indices.col(width - 1).setTo(3);
        const cv::Mat expected = indices * (bits == 4 ? 17 : 1);
        const cv::Mat grey = readGreyPicture(dir.write("p.bmp", bmpInRuns(indices, bits, past)));
        ASSERT_EQ(grey.size(), expected.size()) << bits << " bits, " << width << " wide";
        EXPECT_EQ(cv::norm(grey, expected, cv::NORM_INF), 0)
            << bits << " bits, " << width << " wide";
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
