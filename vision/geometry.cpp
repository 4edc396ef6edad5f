#include "geometry.hpp"

#include <cmath>
#include <opencv2/imgproc.hpp>

namespace {

using Contour = std::vector<cv::Point>;

const cv::Scalar white(255, 255, 255, 0);
const cv::Scalar green(0, 255, 0, 0);
const cv::Scalar blue(255, 0, 0, 0);

struct Chord {
    int i = 0;
    int j = 0;
    double length = 0.0;  // 0 when no pair was found
};

double distance(const cv::Point& a, const cv::Point& b) {
    const int dx = b.x - a.x;
    const int dy = b.y - a.y;
    return std::sqrt(std::pow(dx, 2.0) + std::pow(dy, 2.0));
}

// The first contour with the largest enclosed area.
size_t largestContour(const std::vector<Contour>& contours) {
    size_t best = 0;
    for (size_t i = 1; i < contours.size(); ++i) {
        if (cv::contourArea(contours[best], false) < cv::contourArea(contours[i], false)) {
            best = i;
        }
    }
    return best;
}

// The longest chord between two contour points, first found in scan order.
Chord findDiameter(const Contour& p) {
    Chord best;
    for (size_t i = 0; i < p.size(); ++i) {
        for (size_t j = 0; j < p.size(); ++j) {
            const double d = distance(p[i], p[j]);
            if (d > best.length) {
                best = {static_cast<int>(i), static_cast<int>(j), d};
            }
        }
    }
    return best;
}

// The longest chord nearly perpendicular to the diameter, first found in scan order.
Chord findWidth(const Contour& p, const Chord& diameter) {
    Chord best;
    if (diameter.length == 0.0) {
        return best;
    }
    const double ux = (p[diameter.j].x - p[diameter.i].x) / diameter.length;
    const double uy = (p[diameter.j].y - p[diameter.i].y) / diameter.length;
    for (size_t i = 0; i < p.size(); ++i) {
        for (size_t j = 0; j < p.size(); ++j) {
            const double d = distance(p[i], p[j]);
            if (d == 0.0) {
                continue;
            }
            const double vx = (p[j].x - p[i].x) / d;
            const double vy = (p[j].y - p[i].y) / d;
            if (std::abs(vx * ux + vy * uy) < perpendicularityTolerance && d > best.length) {
                best = {static_cast<int>(i), static_cast<int>(j), d};
            }
        }
    }
    return best;
}

void drawChord(cv::Mat& canvas, const Contour& p, const Chord& chord, const cv::Scalar& colour) {
    if (chord.length > 0.0) {
        cv::line(canvas, p[chord.i], p[chord.j], colour, 1, cv::LINE_8, 0);
    }
}

}  // namespace

GeometricFeatures computeGeometricFeatures(cv::Mat& contourCanvas, bool withDiameterAndWidth,
                                           cv::Mat image) {
    cv::Mat scratch;  // findContours overwrites the image it scans
    image.copyTo(scratch);
    std::vector<Contour> contours;
    std::vector<cv::Vec4i> hierarchy;
    cv::findContours(scratch, contours, hierarchy, cv::RETR_TREE, cv::CHAIN_APPROX_SIMPLE,
                     cv::Point(0, 0));
    contourCanvas = cv::Mat::zeros(image.rows, image.cols, CV_8UC3);
    if (contours.empty()) {
        return {};
    }

    const Contour& leaf = contours[largestContour(contours)];
    for (size_t i = 0; i < contours.size(); ++i) {
        cv::drawContours(contourCanvas, contours, static_cast<int>(i), white, 1, cv::LINE_8,
                         std::vector<cv::Vec4i>(), 0, cv::Point(0, 0));
    }
    GeometricFeatures features{cv::arcLength(leaf, true), cv::contourArea(leaf, false)};
    if (!withDiameterAndWidth) {
        return features;
    }

    const Chord diameter = findDiameter(leaf);
    const Chord width = findWidth(leaf, diameter);
    drawChord(contourCanvas, leaf, width, green);
    drawChord(contourCanvas, leaf, diameter, blue);
    features.push_back(diameter.length);
    features.push_back(width.length);
    return features;
}
