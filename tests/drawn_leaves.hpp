// Leaf-like pictures drawn on the fly, so the tools' tests need no photographs.
#pragma once

#include <filesystem>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

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
