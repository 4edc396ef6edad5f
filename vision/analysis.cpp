#include "analysis.hpp"

#include <cmath>
#include <opencv2/imgproc.hpp>

#include "display.hpp"
#include "geometry.hpp"
#include "picture.hpp"
#include "report.hpp"
#include "silhouette.hpp"

namespace {

bool allFinite(const FeatureVector& features) {
    for (double value : features) {
        if (!std::isfinite(value)) {
            return false;
        }
    }
    return true;
}

}  // namespace

int workingHeight(int cols, int rows) {
    return static_cast<int>((static_cast<double>(workingWidth) / cols) * rows);
}

void binarizeImage(cv::Mat source, cv::Mat& destination) {
    cv::Mat thresholded;
    cv::threshold(source, thresholded, backgroundThreshold, 255.0, cv::THRESH_BINARY_INV);
    destination = twoValuedMedian(thresholded, medianKernelSize);
}

LeafAnalysis analyzeLeafImage(std::string path, bool printReport, bool showWindows) {
    return analyzeLeafPicture(readGreyPicture(path), path, printReport, showWindows);
}

namespace {

LeafAnalysis measureLeaf(cv::Mat picture, int height, const std::string& path, bool printReport,
                         bool showWindows) {
    cv::Mat working;
    cv::resize(picture, working, cv::Size(workingWidth, height), 0.0, 0.0, cv::INTER_LINEAR);

    cv::Mat binary;
    binarizeImage(working, binary);
    if (showWindows) {
        showWindow("Original", working, 128, 128);
        processWindowEvents();
    }
    printProcessingLine(path, workingWidth, height);

    cv::Mat contourCanvas;
    const GeometricFeatures geometric = computeGeometricFeatures(contourCanvas, true, binary);
    if (showWindows) {
        showWindow("Binarized", binary, 275, 128);
        showWindow("Contours", contourCanvas, 422, 128);
        processWindowEvents();
    }
    if (geometric.empty()) {
        return {LeafVerdict::NoLeaf, {}};
    }
    if (printReport) {
        printGeometricBlock(geometric);
    }

    FeatureVector features = computeMorphologicalFeatures(binary, geometric);
    if (printReport) {
        printMorphologicalBlock(features);
    }
    const LeafVerdict verdict =
        allFinite(features) ? LeafVerdict::Measured : LeafVerdict::Unmeasurable;
    return {verdict, features};
}

}  // namespace

LeafAnalysis analyzeLeafPicture(cv::Mat picture, const std::string& path, bool printReport,
                                bool showWindows) {
    if (picture.empty() || picture.type() != CV_8UC1) {
        return {LeafVerdict::UnreadableImage, {}};
    }
    const int height = workingHeight(picture.cols, picture.rows);
    if (height < 1 || height > maxWorkingHeight) {
        return {LeafVerdict::UnreadableImage, {}};
    }
    try {
        return measureLeaf(picture, height, path, printReport, showWindows);
    } catch (const std::exception&) {
        // The image library, or memory, failed part way through: no features, no species.
        return {LeafVerdict::Unmeasurable, {}};
    }
}
