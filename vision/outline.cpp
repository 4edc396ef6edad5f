#include "outline.hpp"

#include <cmath>
#include <complex>
#include <opencv2/imgproc.hpp>

namespace {

using Complex = std::complex<double>;

constexpr double twoPi = 6.283185307179586;
constexpr int bendingScales[] = {2, 4, 8, 16};  // in samples of 256: 1/128 .. 1/16 of the outline

double shoelaceSum(const std::vector<cv::Point2d>& points) {
    double sum = 0.0;
    for (size_t i = 0; i < points.size(); ++i) {
        const cv::Point2d& a = points[i];
        const cv::Point2d& b = points[(i + 1) % points.size()];
        sum += a.x * b.y - b.x * a.y;
    }
    return sum;
}

// Sum over the turning angles at every sample between the chords to the sample scale steps
// before and the one scale steps after, as a multiple of 2 pi scale: the angles of a convex
// outline are all positive and add up to exactly that, so it is 1 for convex outlines and
// grows with every indentation, which counts twice (in and out again).
double bending(const std::vector<cv::Point2d>& p, int scale) {
    const int n = static_cast<int>(p.size());
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        const cv::Point2d in =
            p[static_cast<size_t>(i)] - p[static_cast<size_t>((i - scale + n) % n)];
        const cv::Point2d out = p[static_cast<size_t>((i + scale) % n)] - p[static_cast<size_t>(i)];
        sum += std::fabs(std::atan2(in.x * out.y - in.y * out.x, in.x * out.x + in.y * out.y));
    }
    return sum / (twoPi * scale);
}

// The outline's Fourier coefficients Z_k = sum_n z_n exp(-2 pi i k n / N), z_n = x_n + i y_n,
// for k from -highest to highest; index k + highest.
std::vector<Complex> fourierCoefficients(const std::vector<cv::Point2d>& p, int highest) {
    const int n = static_cast<int>(p.size());
    static const std::vector<Complex> turns = [] {
        std::vector<Complex> table;
        for (int m = 0; m < outlineSamples; ++m) {
            table.push_back(std::polar(1.0, -twoPi * m / outlineSamples));
        }
        return table;
    }();
    std::vector<Complex> coefficients;
    for (int k = -highest; k <= highest; ++k) {
        // Written out rather than with complex products, which check for infinities each time.
        const int step = (k % n + n) % n;
        double real = 0.0;
        double imaginary = 0.0;
        for (int j = 0, m = 0; j < n; ++j, m = (m + step) % n) {
            const cv::Point2d& z = p[static_cast<size_t>(j)];
            const Complex& turn = turns[static_cast<size_t>(m)];
            real += z.x * turn.real() - z.y * turn.imag();
            imaginary += z.x * turn.imag() + z.y * turn.real();
        }
        coefficients.emplace_back(real, imaginary);
    }
    return coefficients;
}

}  // namespace

const std::vector<std::string>& outlineDescriptorNames() {
    static const std::vector<std::string> names = {
        "Solidity",     "Convexity",  "Bending 1/128", "Bending 1/64",  "Bending 1/32",
        "Bending 1/16", "Elongation", "Harmonics 2-3", "Harmonics 4-7", "Harmonics 8-15"};
    return names;
}

std::vector<cv::Point2d> resampleOutline(const LeafOutline& outline) {
    const size_t m = outline.size();
    std::vector<double> along(m + 1, 0.0);  // length of the outline up to point i
    for (size_t i = 0; i < m; ++i) {
        const cv::Point step = outline[(i + 1) % m] - outline[i];
        along[i + 1] =
            along[i] + std::hypot(static_cast<double>(step.x), static_cast<double>(step.y));
    }
    std::vector<cv::Point2d> samples;
    size_t segment = 0;
    for (int j = 0; j < outlineSamples; ++j) {
        const double at = along[m] * j / outlineSamples;
        while (segment + 1 < m && along[segment + 1] <= at) {
            ++segment;
        }
        const cv::Point2d a = outline[segment];
        const cv::Point2d b = outline[(segment + 1) % m];
        const double length = along[segment + 1] - along[segment];
        const double t = length > 0.0 ? (at - along[segment]) / length : 0.0;
        samples.push_back(a + t * (b - a));
    }
    if (shoelaceSum(samples) < 0.0) {
        std::reverse(samples.begin() + 1, samples.end());
    }
    return samples;
}

std::vector<double> computeOutlineDescriptors(const LeafOutline& outline) {
    LeafOutline hull;
    cv::convexHull(outline, hull);
    const double area = cv::contourArea(outline);
    std::vector<double> descriptors{area / cv::contourArea(hull),
                                    cv::arcLength(hull, true) / cv::arcLength(outline, true)};

    const std::vector<cv::Point2d> samples = resampleOutline(outline);
    for (int scale : bendingScales) {
        descriptors.push_back(bending(samples, scale));
    }

    // Z_0 is the outline's position; dividing by |Z_1|, the circle that fits it best, removes
    // the size, and taking magnitudes removes the turn and the starting point.
    const int highest = 15;
    const std::vector<Complex> z = fourierCoefficients(samples, highest);
    auto magnitude = [&](int k) { return std::abs(z[static_cast<size_t>(k + highest)]); };
    const double first = magnitude(1);
    descriptors.push_back(magnitude(-1) / first);
    for (const auto& [low, high] : {std::pair{2, 3}, std::pair{4, 7}, std::pair{8, 15}}) {
        double energy = 0.0;
        for (int k = low; k <= high; ++k) {
            energy += std::norm(z[static_cast<size_t>(k + highest)]) +
                      std::norm(z[static_cast<size_t>(-k + highest)]);
        }
        descriptors.push_back(std::sqrt(energy) / first);
    }
    return descriptors;
}
