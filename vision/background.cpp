#include "background.hpp"

#include <opencv2/imgproc.hpp>
#include <vector>

namespace {

// The paper is estimated on blocks of this many pixels square. A block's lightest pixel shows
// the paper wherever any of it shows, also where an edge of the leaf crosses the block.
constexpr int blockSize = 4;
// Blocks darker than this share of the estimate are leaf (or dirt) and leave the estimate;
// lighter ones, soft shadows included, stay in.
constexpr double paperShare = 0.85;
constexpr int fitRounds = 6;
// Shadows narrower than a quadratic surface can follow are taken in by a local average of the
// paper blocks around each block (a Gaussian this many blocks wide); under a large leaf, where
// no paper is near, the surface stays in charge.
constexpr double shadowReach = 1.5;
constexpr double surfaceWeight = 0.1;  // against 1 for a block of paper right there
constexpr int shadowRounds = 3;

// The lightest pixel of every whole block of working (of the top rows when the picture is less
// than a block high), as floating point.
cv::Mat lightestPerBlock(const cv::Mat& working) {
    const cv::Size count(working.cols / blockSize, std::max(1, working.rows / blockSize));
    cv::Mat lightest;
    cv::dilate(working, lightest, cv::Mat::ones(blockSize, blockSize, CV_8U), cv::Point(0, 0));
    const cv::Rect wholeBlocks(0, 0, count.width * blockSize,
                               std::min(working.rows, count.height * blockSize));
    cv::Mat blocks;
    cv::resize(lightest(wholeBlocks), blocks, count, 0.0, 0.0, cv::INTER_NEAREST);
    blocks.convertTo(blocks, CV_32F);
    return blocks;
}

// The centres of count blocks along a side of length pixels, from -1 to 1 across the side, so
// that the surface's coefficients mean the same for every picture size.
std::vector<double> blockCentres(int count, int length) {
    std::vector<double> centres(count);
    for (int i = 0; i < count; ++i) {
        centres[i] = (i + 0.5) * blockSize * 2.0 / length - 1.0;
    }
    return centres;
}

// The surface is c0 + c1 x + c2 y + c3 x^2 + c4 x y + c5 y^2; term i is x^a y^b with (a, b) =
// termPowers[i].
constexpr int surfaceTerms = 6;
constexpr int termPowers[surfaceTerms][2] = {{0, 0}, {1, 0}, {0, 1}, {2, 0}, {1, 1}, {0, 2}};

// Least-squares surface through the blocks marked in paper. Its normal equations need the sums
// of x^a y^b (a + b <= 4) and of value x^a y^b (a + b <= 2) over those blocks, gathered here
// row by row, since every block of a row has the same y.
cv::Mat fitSurface(const cv::Mat& blocks, const cv::Mat& paper, const std::vector<double>& xs,
                   const std::vector<double>& ys) {
    double sums[5][5] = {};
    double valueSums[3][3] = {};
    for (int y = 0; y < blocks.rows; ++y) {
        double rowSums[5] = {};
        double rowValueSums[3] = {};
        const float* value = blocks.ptr<float>(y);
        const uchar* isPaper = paper.ptr<uchar>(y);
        for (int x = 0; x < blocks.cols; ++x) {
            if (isPaper[x] != 0) {
                const double x2 = xs[x] * xs[x];
                rowSums[0] += 1.0;
                rowSums[1] += xs[x];
                rowSums[2] += x2;
                rowSums[3] += x2 * xs[x];
                rowSums[4] += x2 * x2;
                rowValueSums[0] += value[x];
                rowValueSums[1] += value[x] * xs[x];
                rowValueSums[2] += value[x] * x2;
            }
        }
        double yPower = 1.0;
        for (int b = 0; b < 5; ++b) {
            for (int a = 0; a + b < 5; ++a) {
                sums[a][b] += rowSums[a] * yPower;
            }
            for (int a = 0; a + b < 3; ++a) {
                valueSums[a][b] += rowValueSums[a] * yPower;
            }
            yPower *= ys[y];
        }
    }
    cv::Mat normal(surfaceTerms, surfaceTerms, CV_64F);
    cv::Mat right(surfaceTerms, 1, CV_64F);
    for (int i = 0; i < surfaceTerms; ++i) {
        for (int j = 0; j < surfaceTerms; ++j) {
            normal.at<double>(i, j) =
                sums[termPowers[i][0] + termPowers[j][0]][termPowers[i][1] + termPowers[j][1]];
        }
        right.at<double>(i) = valueSums[termPowers[i][0]][termPowers[i][1]];
    }
    cv::Mat coefficients;
    cv::solve(normal, right, coefficients, cv::DECOMP_SVD);  // a picture one block high is flat
    return coefficients;
}

cv::Mat surfaceAt(const cv::Mat& coefficients, const std::vector<double>& xs,
                  const std::vector<double>& ys) {
    const double* c = coefficients.ptr<double>();
    cv::Mat surface(static_cast<int>(ys.size()), static_cast<int>(xs.size()), CV_32F);
    for (int y = 0; y < surface.rows; ++y) {
        const double constant = c[0] + c[2] * ys[y] + c[5] * ys[y] * ys[y];
        const double linear = c[1] + c[4] * ys[y];
        float* row = surface.ptr<float>(y);
        for (int x = 0; x < surface.cols; ++x) {
            row[x] = static_cast<float>(constant + (linear + c[3] * xs[x]) * xs[x]);
        }
    }
    return surface;
}

// The quadratic surface of the paper at block size: fitted first to the picture's edge, where
// the paper shows, then again to every block that is not much darker than the last fit, until
// the blocks taken in no longer change.
cv::Mat fitPaperSurface(const cv::Mat& blocks, int workingCols, int workingRows) {
    const std::vector<double> xs = blockCentres(blocks.cols, workingCols);
    const std::vector<double> ys = blockCentres(blocks.rows, workingRows);
    cv::Mat paper = cv::Mat::zeros(blocks.size(), CV_8U);
    cv::rectangle(paper, cv::Rect(0, 0, blocks.cols, blocks.rows), cv::Scalar(255));
    cv::Mat surface;
    for (int round = 0; round < fitRounds; ++round) {
        surface = surfaceAt(fitSurface(blocks, paper, xs, ys), xs, ys);
        cv::Mat light;
        cv::compare(blocks, surface * paperShare, light, cv::CMP_GE);
        if (cv::countNonZero(light != paper) == 0) {
            break;
        }
        paper = light;
    }
    return surface;
}

// The surface corrected towards the paper blocks near each block, at block size.
cv::Mat followShadows(const cv::Mat& blocks, const cv::Mat& surface) {
    cv::Mat background = surface.clone();
    for (int round = 0; round < shadowRounds; ++round) {
        cv::Mat paper;
        cv::compare(blocks, background * paperShare, paper, cv::CMP_GE);
        paper.convertTo(paper, CV_32F, 1.0 / 255.0);
        cv::Mat paperSum;
        cv::Mat paperCount;
        cv::GaussianBlur(blocks.mul(paper), paperSum, cv::Size(), shadowReach);
        cv::GaussianBlur(paper, paperCount, cv::Size(), shadowReach);
        background = (paperSum + surfaceWeight * surface) / (paperCount + surfaceWeight);
    }
    return background;
}

// The leaf's own soft shadow beside it darkens the paper by up to about a third, less than the
// darkest leaves but more than the threshold allows (220 of 255). Once the paper is white, the
// picture's contrast is scaled down so that the threshold lies halfway between the paper and
// the leaf's typical grey (the median of what the threshold takes for leaf): the leaf's edge,
// a steep step, barely moves, while the shadow falls on the paper's side. A leaf too pale for
// that (halfway lighter than the threshold) keeps its contrast.
cv::Mat halfwayToLeaf(const cv::Mat& levelled) {
    constexpr int threshold = 220;
    int histogram[threshold + 1] = {};
    int leafPixels = 0;
    for (int y = 0; y < levelled.rows; ++y) {
        const uchar* row = levelled.ptr<uchar>(y);
        for (int x = 0; x < levelled.cols; ++x) {
            if (row[x] <= threshold) {
                ++histogram[row[x]];
                ++leafPixels;
            }
        }
    }
    int median = 0;
    for (int below = 0; median < threshold && (below += histogram[median]) * 2 < leafPixels;
         ++median) {
    }
    const double contrast = 2.0 * (255 - threshold) / (255 - median);
    if (leafPixels == 0 || contrast >= 1.0) {
        return levelled;
    }
    cv::Mat halfway;
    levelled.convertTo(halfway, CV_8U, contrast, 255.0 * (1.0 - contrast));
    return halfway;
}

}  // namespace

cv::Mat levelBackground(const cv::Mat& working, LeafShadow shadow) {
    const cv::Mat blocks = lightestPerBlock(working);
    const cv::Mat surface = fitPaperSurface(blocks, working.cols, working.rows);
    double darkest = 0.0;
    double lightest = 0.0;
    cv::minMaxLoc(surface, &darkest, &lightest);
    if (darkest > whitePaper) {
        return working;
    }
    if (lightest < blackPaper) {
        return cv::Mat(working.size(), CV_8U, cv::Scalar(255));
    }
    // The paper in whole grey levels is plenty for a threshold at 86% of it; kept at least 1.
    cv::Mat paper;
    followShadows(blocks, surface).convertTo(paper, CV_8U);
    cv::resize(cv::max(paper, 1), paper, working.size(), 0.0, 0.0, cv::INTER_LINEAR);
    cv::Mat levelled;
    cv::divide(working, paper, levelled, 255.0);
    return shadow == LeafShadow::Lift ? halfwayToLeaf(levelled) : levelled;
}
