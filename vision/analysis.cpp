#include "analysis.hpp"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "background.hpp"
#include "display.hpp"
#include "geometry.hpp"
#include "leaf_crop.hpp"
#include "outline.hpp"
#include "outline_histograms.hpp"
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

// False when the silhouette reaches too many sides of the frame.
bool liesOnPaper(const cv::Mat& binary) {
    const int sidesReached = (cv::countNonZero(binary.row(0)) > 0) +
                             (cv::countNonZero(binary.row(binary.rows - 1)) > 0) +
                             (cv::countNonZero(binary.col(0)) > 0) +
                             (cv::countNonZero(binary.col(binary.cols - 1)) > 0);
    return sidesReached <= maxSidesReached;
}

}  // namespace

size_t descriptorsRead(int inputCount) {
    const int beyondFeatures = inputCount - static_cast<int>(leafFeatureCount);
    return std::min(static_cast<size_t>(std::max(beyondFeatures, 0)),
                    leafValueCount - leafFeatureCount);
}

int workingHeight(int cols, int rows) {
    return static_cast<int>((static_cast<double>(workingWidth) / cols) * rows);
}

void binarizeImage(cv::Mat source, cv::Mat& destination) {
    // Thresholded, the picture holds only 0 and 255, where the 9 x 9 median is a majority vote
    // of the leaf pixels: counted in one pass, it needs no thresholded copy either. Greys up to
    // 220 are leaf (the integer threshold of 220.0 for 8-bit pixels).
    static_assert(medianKernelSize == 9 && backgroundThreshold == 220.0);
    destination = binarizeByMajority(source, 220);
}

LeafAnalysis analyzeLeafImage(std::string path, bool printReport, bool showWindows,
                              size_t descriptorCount) {
    return analyzeLeafPicture(readGreyPicture(path), path, printReport, showWindows,
                              descriptorCount);
}

namespace {

// Where the analysis shows what it does: console lines, windows, kept pictures.
struct Showing {
    bool processingLine = true;
    bool report = false;
    bool windows = false;
    LeafPictures* pictures = nullptr;
};

LeafAnalysis measureLeaf(cv::Mat picture, int height, bool cropped, const std::string& path,
                         const Showing& showing, size_t descriptorCount) {
    cv::Mat working;
    cv::resize(picture, working, cv::Size(workingWidth, height), 0.0, 0.0, cv::INTER_LINEAR);

    cv::Mat binary;
    binarizeImage(levelBackground(working, cropped ? LeafShadow::Lift : LeafShadow::Keep), binary);
    const bool windows = showing.windows && displayReachable();
    if (windows) {
        showWindow("Original", working, 128, 128);
        processWindowEvents();
    }
    if (showing.processingLine) {
        printProcessingLine(path, workingWidth, height);
    }

    // The contour picture is drawn only for a window or a caller that shows it.
    cv::Mat contourCanvas;
    LeafOutline leaf;  // kept only for the descriptors
    LeafOutline* const keptLeaf = descriptorCount > 0 ? &leaf : nullptr;
    const bool drawn = windows || showing.pictures != nullptr;
    const GeometricFeatures geometric =
        drawn ? computeGeometricFeatures(contourCanvas, true, binary, keptLeaf)
              : measureGeometricFeatures(true, binary, keptLeaf);
    if (windows) {
        showWindow("Binarized", binary, 275, 128);
        showWindow("Contours", contourCanvas, 422, 128);
        processWindowEvents();
    }
    if (showing.pictures != nullptr) {
        *showing.pictures = {working, binary, contourCanvas, geometric};
    }
    if (geometric.empty() || !liesOnPaper(binary)) {
        return {LeafVerdict::NoLeaf, {}, {}};
    }
    if (showing.report) {
        printGeometricBlock(geometric);
    }

    FeatureVector features = computeMorphologicalFeatures(binary, geometric);
    if (showing.report) {
        printMorphologicalBlock(features);
    }
    if (descriptorCount > 0) {
        std::vector<double> descriptors = computeOutlineDescriptors(leaf);
        descriptors.resize(std::min(descriptorCount, descriptors.size()));
        if (showing.report) {
            printOutlineBlock(descriptors);
        }
        features.insert(features.end(), descriptors.begin(), descriptors.end());
    }
    if (descriptorCount > outlineDescriptorCount) {
        std::vector<double> histograms = computeOutlineHistograms(binary, leaf);
        histograms.resize(std::min(descriptorCount - outlineDescriptorCount, histograms.size()));
        if (showing.report) {
            printHistogramBlock(histograms);
        }
        features.insert(features.end(), histograms.begin(), histograms.end());
    }
    const LeafVerdict verdict =
        allFinite(features) ? LeafVerdict::Measured : LeafVerdict::Unmeasurable;
    return {verdict, features, {}};
}

LeafAnalysis analyze(cv::Mat picture, const std::string& path, const Showing& showing,
                     size_t descriptorCount) {
    if (picture.empty() || picture.type() != CV_8UC1) {
        return {LeafVerdict::UnreadableImage, {}, {}};
    }
    const cv::Rect crop = findLeafCrop(picture);  // a leaf on a sheet: the leaf and its margin
    const bool cropped = crop.size() != picture.size();
    picture = picture(crop);
    const int height = workingHeight(picture.cols, picture.rows);
    if (height < 1 || height > maxWorkingHeight) {
        return {LeafVerdict::UnreadableImage, {}, {}};
    }
    const cv::Size workingSize(workingWidth, height);
    LeafAnalysis analysis{LeafVerdict::Unmeasurable, {}, workingSize};
    try {
        analysis = measureLeaf(picture, height, cropped, path, showing, descriptorCount);
        analysis.workingSize = workingSize;
    } catch (const std::exception&) {
        // The image library, or memory, failed part way through: no features, no species.
    }
    return analysis;
}

}  // namespace

LeafAnalysis analyzeLeafPicture(cv::Mat picture, const std::string& path, bool printReport,
                                bool showWindows, size_t descriptorCount) {
    return analyze(picture, path, {true, printReport, showWindows, nullptr}, descriptorCount);
}

LeafAnalysis analyzeLeafPictureSilently(cv::Mat picture, size_t descriptorCount,
                                        LeafPictures* pictures) {
    return analyze(picture, "", {false, false, false, pictures}, descriptorCount);
}
