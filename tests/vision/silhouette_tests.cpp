// The window counts against the library filters they replace, on drawn and real pictures.
#include <gtest/gtest.h>

#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "analysis.hpp"
#include "silhouette.hpp"

namespace {

// Two-valued pictures of every kind the filters meet: noise of several densities, blobs, lines,
// the patterns a median keeps (stripes and checkerboards of period 2), empty and full pictures,
// in sizes from one pixel to a photo's working size; and grey noise around the threshold.
std::vector<cv::Mat> drawnPictures() {
    std::vector<cv::Mat> pictures;
    cv::RNG random(7);
    const std::vector<cv::Size> sizes = {{1, 1},  {1, 9}, {9, 1},    {2, 3},   {5, 17},
                                         {17, 5}, {8, 8}, {128, 10}, {37, 61}, {128, 96}};
    for (const cv::Size& size : sizes) {
        for (double density : {0.0, 0.3, 0.5, 0.52, 0.7, 1.0}) {
            cv::Mat noise(size, CV_32F);
            random.fill(noise, cv::RNG::UNIFORM, 0.0, 1.0);
            pictures.push_back(noise < density);
        }
        cv::Mat shapes = cv::Mat::zeros(size, CV_8UC1);
        cv::ellipse(shapes, {size.width / 2, size.height / 2}, {size.width / 3, size.height / 4},
                    20, 0, 360, cv::Scalar(255), cv::FILLED);
        cv::line(shapes, {0, size.height - 1}, {size.width - 1, 0}, cv::Scalar(255));
        pictures.push_back(shapes);
        cv::Mat stripes(size, CV_8UC1), checks(size, CV_8UC1);
        for (int y = 0; y < size.height; ++y) {
            for (int x = 0; x < size.width; ++x) {
                stripes.at<uchar>(y, x) = x % 2 ? 255 : 0;
                checks.at<uchar>(y, x) = (x + y) % 2 ? 255 : 0;
            }
        }
        pictures.push_back(stripes);
        pictures.push_back(checks);
        cv::Mat grey(size, CV_8UC1);
        random.fill(grey, cv::RNG::UNIFORM, 200, 240);
        pictures.push_back(grey);
    }
    return pictures;
}

// The working picture of every shared photo, as the program makes it.
std::vector<cv::Mat> workingPhotos() {
    std::vector<cv::Mat> pictures;
    const std::filesystem::path leaves = LEAFID_LEAVES_DIR;
    if (!std::filesystem::is_directory(leaves)) {
        return pictures;
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(leaves)) {
        const cv::Mat grey = cv::imread(entry.path().string(), cv::IMREAD_GRAYSCALE);
        if (grey.empty()) {
            continue;
        }
        cv::Mat working;
        cv::resize(grey, working, {workingWidth, workingHeight(grey.cols, grey.rows)});
        pictures.push_back(working);
    }
    return pictures;
}

// Every picture gives exactly what the library's threshold and median filter give, and its
// silhouette exactly the non-zero pixels of the library's box blurs.
void expectLibraryResults(const std::vector<cv::Mat>& pictures, const std::vector<int>& blurs) {
    for (size_t p = 0; p < pictures.size(); ++p) {
        cv::Mat expected;
        cv::threshold(pictures[p], expected, 220.0, 255.0, cv::THRESH_BINARY_INV);
        cv::medianBlur(expected, expected, 9);
        const cv::Mat binary = binarizeByMajority(pictures[p], 220);
        ASSERT_EQ(cv::countNonZero(binary != expected), 0)
            << "picture " << p << " (" << pictures[p].size() << ")";
        for (int size : blurs) {
            cv::Mat blurred;
            cv::blur(binary, blurred, {size, size});
            ASSERT_EQ(cv::countNonZero(twoValuedBlurSupport(binary, size) != (blurred != 0)), 0)
                << "blur " << size << " of picture " << p << " (" << pictures[p].size() << ")";
        }
    }
}

}  // namespace

TEST(WindowCounts, EqualTheLibraryFiltersOnDrawnPictures) {
    expectLibraryResults(drawnPictures(), {1, 2, 3, 5});
}

TEST(WindowCounts, EqualTheLibraryFiltersOnEverySharedPhoto) {
    const std::vector<cv::Mat> photos = workingPhotos();
    if (photos.empty()) {
        GTEST_SKIP() << "no leaf photos at " << LEAFID_LEAVES_DIR;
    }
    expectLibraryResults(photos, {2, 5});  // the blurs the smooth factor uses
}
