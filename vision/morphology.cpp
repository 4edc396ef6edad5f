#include "morphology.hpp"

#include <cmath>
#include <limits>
#include <opencv2/imgproc.hpp>

double computeSmoothFactor(cv::Mat image) {
    cv::Mat slightlyBlurred;
    cv::Mat stronglyBlurred;
    cv::blur(image, slightlyBlurred, cv::Size(2, 2), cv::Point(-1, -1), cv::BORDER_DEFAULT);
    cv::blur(image, stronglyBlurred, cv::Size(5, 5), cv::Point(-1, -1), cv::BORDER_DEFAULT);
    cv::Mat canvas;
    const GeometricFeatures slight = computeGeometricFeatures(canvas, false, slightlyBlurred);
    const GeometricFeatures strong = computeGeometricFeatures(canvas, false, stronglyBlurred);
    if (slight.empty() || strong.empty()) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return strong[1] / slight[1];
}

FeatureVector computeMorphologicalFeatures(cv::Mat image, GeometricFeatures geometric) {
    const double perimeter = geometric[0];
    const double area = geometric[1];
    const double diameter = geometric[2];
    const double width = geometric[3];
    return {
        computeSmoothFactor(image),
        diameter / width,
        (area * fourPi) / std::pow(perimeter, 2.0),
        (diameter * width) / area,
        perimeter / diameter,
        perimeter / (diameter + width),
    };
}
