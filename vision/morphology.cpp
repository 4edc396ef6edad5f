#include "morphology.hpp"

#include <cmath>
#include <limits>

#include "silhouette.hpp"

double computeSmoothFactor(cv::Mat image) {
    // Contours count every non-zero pixel as leaf, and on a picture of 0 and 255 a box blur is
    // non-zero exactly where its window holds a leaf pixel: the blurs need no arithmetic.
    const GeometricFeatures slight =
        measureGeometricFeatures(false, twoValuedBlurSupport(image, 2));
    const GeometricFeatures strong =
        measureGeometricFeatures(false, twoValuedBlurSupport(image, 5));
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
