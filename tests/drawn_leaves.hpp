// Leaf-like pictures drawn on the fly, so the tools' tests need no photographs.
#pragma once

#include <algorithm>
#include <filesystem>
#include <functional>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

// The light falling on the paper, as a share of full light at (x, y), both from 0 to 1.
using Light = std::function<double(double x, double y)>;

inline double smoothStep(double from, double to, double t) {
    t = std::clamp((t - from) / (to - from), 0.0, 1.0);
    return t * t * (3.0 - 2.0 * t);
}

// A grey picture as photographed in light, with a sensor's grain of two levels.
inline cv::Mat underLight(const cv::Mat& picture, const Light& light) {
    cv::Mat lit(picture.size(), CV_32F);
    for (int y = 0; y < picture.rows; ++y) {
        for (int x = 0; x < picture.cols; ++x) {
            lit.at<float>(y, x) =
                static_cast<float>(picture.at<uchar>(y, x) *
                                   light((x + 0.5) / picture.cols, (y + 0.5) / picture.rows));
        }
    }
    cv::Mat grain(picture.size(), CV_32F);
    cv::RNG(7).fill(grain, cv::RNG::NORMAL, 0.0, 2.0);
    cv::Mat photo;
    cv::Mat(lit + grain).convertTo(photo, CV_8U);
    return photo;
}

// picture in the format of extension, as the image library writes it.
inline std::string encoded(const std::string& extension, const cv::Mat& picture,
                           const std::vector<int>& flags = {}) {
    std::vector<uchar> bytes;
    cv::imencode(extension, picture, bytes, flags);
    return std::string(bytes.begin(), bytes.end());
}

// A dark ellipse on white; halfLength by halfWidth pixels, turned by angle degrees.
inline cv::Mat drawLeaf(int halfLength, int halfWidth, double angle) {
    cv::Mat picture(240, 240, CV_8UC1, cv::Scalar(255));
    cv::ellipse(picture, cv::Point(120, 120), cv::Size(halfWidth, halfLength), angle, 0, 360,
                cv::Scalar(30), cv::FILLED, cv::LINE_AA);
    return picture;
}

// A labelled folder with the five species folders; round leaves in ginkgo, long thin ones in
// willow, the others empty.
inline void makeDrawnFolder(const std::filesystem::path& root, int perClass) {
    for (const char* name : {"ginkgo", "lime", "maple", "oak", "willow"}) {
        std::filesystem::create_directories(root / name);
    }
    for (int k = 0; k < perClass; ++k) {
        cv::imwrite((root / "ginkgo" / ("round" + std::to_string(k) + ".png")).string(),
                    drawLeaf(60 + 8 * k, 56 + 8 * k, 10.0 * k));
        cv::imwrite((root / "willow" / ("long" + std::to_string(k) + ".png")).string(),
                    drawLeaf(100, 14 + 2 * k, 5.0 * k));
    }
}
