#include "geometry.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <numeric>
#include <opencv2/imgproc.hpp>

namespace {

using Contour = std::vector<cv::Point>;

const cv::Scalar white(255, 255, 255, 0);
const cv::Scalar green(0, 255, 0, 0);
const cv::Scalar blue(255, 0, 0, 0);

// The leaf's outline and what was measured on it.
struct Outline {
    std::vector<Contour> contours;
    size_t leaf = 0;
    Chord diameter;
    Chord width;
    GeometricFeatures features;
};

double distance(const cv::Point& a, const cv::Point& b) {
    const int dx = b.x - a.x;
    const int dy = b.y - a.y;
    return std::sqrt(std::pow(dx, 2.0) + std::pow(dy, 2.0));
}

// Compares like distance() does: the square root of an integer below 2^51 is strictly
// increasing in doubles, so squares order chords exactly as their lengths do.
long long squaredDistance(const cv::Point& a, const cv::Point& b) {
    const long long dx = b.x - a.x;
    const long long dy = b.y - a.y;
    return dx * dx + dy * dy;
}

// The first contour with the largest enclosed area.
size_t largestContour(const std::vector<Contour>& contours) {
    size_t best = 0;
    double bestArea = contours.size() > 1 ? cv::contourArea(contours[0], false) : 0.0;
    for (size_t i = 1; i < contours.size(); ++i) {
        const double area = cv::contourArea(contours[i], false);
        if (bestArea < area) {
            best = i;
            bestArea = area;
        }
    }
    return best;
}

// > 0 when o, a, b turn counter-clockwise (y pointing down: clockwise on screen).
long long turn(const cv::Point& o, const cv::Point& a, const cv::Point& b) {
    return static_cast<long long>(a.x - o.x) * (b.y - o.y) -
           static_cast<long long>(a.y - o.y) * (b.x - o.x);
}

// The corners of the convex hull of distinct points sorted by x, then y (monotone chain).
// Points on a hull edge between two corners are not corners.
std::vector<cv::Point> hullCorners(const std::vector<cv::Point>& sorted) {
    if (sorted.size() < 3) {
        return sorted;
    }
    std::vector<cv::Point> hull(2 * sorted.size());
    size_t k = 0;
    for (const cv::Point& point : sorted) {
        while (k >= 2 && turn(hull[k - 2], hull[k - 1], point) <= 0) {
            --k;
        }
        hull[k++] = point;
    }
    const size_t lowerEnd = k + 1;
    for (size_t i = sorted.size() - 1; i-- > 0;) {
        while (k >= lowerEnd && turn(hull[k - 2], hull[k - 1], sorted[i]) <= 0) {
            --k;
        }
        hull[k++] = sorted[i];
    }
    hull.resize(k - 1);
    return hull;
}

// The indices of the points of p that lie on a corner of its convex hull, in contour order.
// A corner is the highest or the lowest point of its column, so at most two points a column
// compete, found in one pass and already in x order.
std::vector<int> hullCornerIndices(const Contour& p) {
    if (p.empty()) {
        return {};
    }
    int minX = INT_MAX;
    int maxX = INT_MIN;
    for (const cv::Point& point : p) {
        minX = std::min(minX, point.x);
        maxX = std::max(maxX, point.x);
    }
    const size_t columns = static_cast<size_t>(maxX - minX) + 1;
    std::vector<int> top(columns, INT_MAX);
    std::vector<int> bottom(columns, INT_MIN);
    for (const cv::Point& point : p) {
        const size_t c = static_cast<size_t>(point.x - minX);
        top[c] = std::min(top[c], point.y);
        bottom[c] = std::max(bottom[c], point.y);
    }
    std::vector<cv::Point> extremes;
    for (size_t c = 0; c < columns; ++c) {
        if (top[c] != INT_MAX) {
            extremes.emplace_back(minX + static_cast<int>(c), top[c]);
            if (bottom[c] != top[c]) {
                extremes.emplace_back(minX + static_cast<int>(c), bottom[c]);
            }
        }
    }
    std::vector<char> topIsCorner(columns, 0);
    std::vector<char> bottomIsCorner(columns, 0);
    for (const cv::Point& corner : hullCorners(extremes)) {
        const size_t c = static_cast<size_t>(corner.x - minX);
        topIsCorner[c] |= corner.y == top[c];
        bottomIsCorner[c] |= corner.y == bottom[c];
    }
    std::vector<int> indices;
    for (size_t i = 0; i < p.size(); ++i) {
        const size_t c = static_cast<size_t>(p[i].x - minX);
        if ((topIsCorner[c] && p[i].y == top[c]) || (bottomIsCorner[c] && p[i].y == bottom[c])) {
            indices.push_back(static_cast<int>(i));
        }
    }
    return indices;
}

// The chord from a to b is within the tolerance of perpendicular to the unit vector (ux, uy).
bool nearlyPerpendicular(const cv::Point& a, const cv::Point& b, double ux, double uy) {
    const double d = distance(a, b);
    const double vx = (b.x - a.x) / d;
    const double vy = (b.y - a.y) / d;
    return std::abs(vx * ux + vy * uy) < perpendicularityTolerance;
}

}  // namespace

// Both ends of a longest chord are hull corners, and the corners in contour order keep
// the scan's order; the first longest pair always has i < j, as (j, i) comes later.
Chord findDiameter(const Contour& p) {
    const std::vector<int> corners = hullCornerIndices(p);
    Chord best;
    long long bestSquare = 0;
    for (size_t a = 0; a < corners.size(); ++a) {
        for (size_t b = a + 1; b < corners.size(); ++b) {
            const long long square = squaredDistance(p[corners[a]], p[corners[b]]);
            if (square > bestSquare) {
                bestSquare = square;
                best = {corners[a], corners[b], 0.0};
            }
        }
    }
    if (bestSquare > 0) {
        best.length = distance(p[best.i], p[best.j]);
    }
    return best;
}

// The first longest pair in the scan is the longest with the smallest i, then j; the
// perpendicularity test is symmetric in i and j, so that pair has i < j.
//
// Both conditions must hold, so a pair that cannot beat the best so far needs no test. And a
// nearly perpendicular chord barely moves along the diameter: with |cos| < c it rises along it
// less than c / sqrt(1 - c^2) (0.1005) times what it spans across it, which is at most the
// leaf's breadth across the diameter. With the points sorted along the diameter, each point
// meets only the partners inside that band. The band holds few points for any outline of a
// leaf; an outline that crowds more than maxPairs pairs into its bands is refused.
Chord findWidth(const Contour& p, const Chord& diameter, long long maxPairs) {
    Chord best;
    if (diameter.length == 0.0) {
        return best;
    }
    const double ux = (p[diameter.j].x - p[diameter.i].x) / diameter.length;
    const double uy = (p[diameter.j].y - p[diameter.i].y) / diameter.length;
    const int m = static_cast<int>(p.size());
    std::vector<double> along(m);
    std::vector<double> across(m);
    for (int i = 0; i < m; ++i) {
        along[i] = p[i].x * ux + p[i].y * uy;
        across[i] = p[i].y * ux - p[i].x * uy;
    }
    // Plain variables, not a structured binding: the lambdas below capture them.
    const auto acrossExtremes = std::minmax_element(across.begin(), across.end());
    const auto acrossMin = acrossExtremes.first;
    const auto acrossMax = acrossExtremes.second;
    const double c = perpendicularityTolerance;
    // Generous margins: rounding in along, across and the test is far below them.
    const double band = 1.001 * c / std::sqrt(1.0 - c * c) * (*acrossMax - *acrossMin) + 1e-6;

    std::vector<int> order(m);
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](int a, int b) { return along[a] < along[b]; });
    std::vector<int> bandEnd(m);  // order[a + 1 .. bandEnd[a] - 1] are a's partners
    long long pairs = 0;
    for (int a = 0, end = 0; a < m; ++a) {
        while (end < m && along[order[end]] - along[order[a]] <= band) {
            ++end;
        }
        bandEnd[a] = end;
        pairs += end - a - 1;
    }
    if (pairs > maxPairs) {
        best.length = std::numeric_limits<double>::quiet_NaN();
        return best;
    }

    long long bestSquare = 0;
    const auto tryPairs = [&](int a, int from, int to) {
        for (int b = from; b < to; ++b) {
            const int i = std::min(order[a], order[b]);
            const int j = std::max(order[a], order[b]);
            const long long square = squaredDistance(p[i], p[j]);
            const bool beatsBest =
                square > bestSquare ||
                (square == bestSquare && square > 0 && (i < best.i || (i == best.i && j < best.j)));
            if (beatsBest && nearlyPerpendicular(p[i], p[j], ux, uy)) {
                bestSquare = square;
                best = {i, j, 0.0};
            }
        }
    };
    // A chord from point a is no longer than its band and its reach across to the farther edge
    // of the leaf allow. The points at the two edges first, with their whole bands, find a long
    // chord early; after that most points cannot reach far enough to beat it.
    const auto reachSquare = [&](int a) {
        const double reach = std::max(*acrossMax - across[order[a]], across[order[a]] - *acrossMin);
        return band * band + (reach + 1e-6) * (reach + 1e-6);
    };
    for (const auto edge : {acrossMin, acrossMax}) {
        const int a = static_cast<int>(
            std::find(order.begin(), order.end(), edge - across.begin()) - order.begin());
        int start = a;
        while (start > 0 && along[order[a]] - along[order[start - 1]] <= band) {
            --start;
        }
        tryPairs(a, start, bandEnd[a]);
    }
    for (int a = 0; a < m; ++a) {
        if (reachSquare(a) >= static_cast<double>(bestSquare)) {
            tryPairs(a, a + 1, bandEnd[a]);
        }
    }
    if (bestSquare > 0) {
        best.length = distance(p[best.i], p[best.j]);
    }
    return best;
}

namespace {

// Measures the first contour with the largest area. That contour is always the outer boundary
// of a component that lies in no other (a hole's boundary or a component inside a hole never
// encloses more than the boundary around it, and the boundary around it comes first), and the
// contour search lists those outer boundaries in the same order in every retrieval mode. So
// the outer ones suffice; retrieving the nesting of all contours costs time growing with the
// square of their number, minutes for a picture of a few hundred thousand specks.
Outline measureOutline(const cv::Mat& image, bool withDiameterAndWidth) {
    Outline outline;
    // The contour search leaves its input unchanged (OpenCV 3.2 and later): no copy needed.
    cv::findContours(image, outline.contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
    if (outline.contours.empty()) {
        return outline;
    }
    outline.leaf = largestContour(outline.contours);
    const Contour& leaf = outline.contours[outline.leaf];
    outline.features = {cv::arcLength(leaf, true), cv::contourArea(leaf, false)};
    if (withDiameterAndWidth) {
        outline.diameter = findDiameter(leaf);
        outline.width = findWidth(leaf, outline.diameter);
        outline.features.push_back(outline.diameter.length);
        outline.features.push_back(outline.width.length);
    }
    return outline;
}

void drawChord(cv::Mat& canvas, const Contour& p, const Chord& chord, const cv::Scalar& colour) {
    if (chord.length > 0.0) {
        cv::line(canvas, p[chord.i], p[chord.j], colour, 1, cv::LINE_8, 0);
    }
}

// Every contour in white, holes included, then the width in green and the diameter in blue.
void drawOutline(cv::Mat& canvas, const cv::Mat& image, const Outline& outline) {
    std::vector<Contour> all;
    cv::findContours(image, all, cv::RETR_LIST, cv::CHAIN_APPROX_SIMPLE);
    cv::drawContours(canvas, all, -1, white, 1, cv::LINE_8);
    if (outline.features.size() == 4) {
        const Contour& leaf = outline.contours[outline.leaf];
        drawChord(canvas, leaf, outline.width, green);
        drawChord(canvas, leaf, outline.diameter, blue);
    }
}

void handOverLeaf(const Outline& outline, LeafOutline* leafOutline) {
    if (leafOutline != nullptr && !outline.contours.empty()) {
        *leafOutline = outline.contours[outline.leaf];
    }
}

}  // namespace

GeometricFeatures computeGeometricFeatures(cv::Mat& contourCanvas, bool withDiameterAndWidth,
                                           cv::Mat image, LeafOutline* leafOutline) {
    const Outline outline = measureOutline(image, withDiameterAndWidth);
    contourCanvas = cv::Mat::zeros(image.rows, image.cols, CV_8UC3);
    drawOutline(contourCanvas, image, outline);
    handOverLeaf(outline, leafOutline);
    return outline.features;
}

GeometricFeatures measureGeometricFeatures(bool withDiameterAndWidth, cv::Mat image,
                                           LeafOutline* leafOutline) {
    const Outline outline = measureOutline(image, withDiameterAndWidth);
    handOverLeaf(outline, leafOutline);
    return outline.features;
}
