#include "confusion_report.hpp"

#include "confidence.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "writer.hpp"

int totalCount(const ConfusionMatrix& matrix) {
    int total = 0;
    for (const std::vector<int>& row : matrix) {
        for (int count : row) {
            total += count;
        }
    }
    return total;
}

double accuracy(const ConfusionMatrix& matrix) {
    const int total = totalCount(matrix);
    int right = 0;
    for (size_t c = 0; c < matrix.size(); ++c) {
        right += matrix[c][c];
    }
    return total > 0 ? static_cast<double>(right) / total : 0.0;
}

double recall(const ConfusionMatrix& matrix, size_t c) {
    int row = 0;
    for (int count : matrix[c]) {
        row += count;
    }
    return row > 0 ? static_cast<double>(matrix[c][c]) / row : 0.0;
}

double precision(const ConfusionMatrix& matrix, size_t c) {
    int column = 0;
    for (const std::vector<int>& row : matrix) {
        column += row[c];
    }
    return column > 0 ? static_cast<double>(matrix[c][c]) / column : 0.0;
}

std::string percent(double share) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", 100.0 * share);
    return text;
}

void printDeclineReport(std::ostream& out, const ConfusionMatrix& matrix) {
    const size_t other = matrix.size() - 1;
    int five = 0;
    int right = 0;
    int wronglyDeclined = 0;
    for (size_t c = 0; c < other; ++c) {
        for (int count : matrix[c]) {
            five += count;
        }
        right += matrix[c][c];
        wronglyDeclined += matrix[c][other];
    }
    int others = 0;
    for (int count : matrix[other]) {
        others += count;
    }
    const auto share = [](int part, int whole) {
        return percent(whole > 0 ? static_cast<double>(part) / whole : 0.0);
    };
    out << "Leaves of the five: " << right << " of " << five << " named right ("
        << share(right, five) << "), " << wronglyDeclined << " declined ("
        << share(wronglyDeclined, five) << ")\n"
        << "Other leaves: " << matrix[other][other] << " of " << others << " declined ("
        << share(matrix[other][other], others) << ")\n";
}

void printConfusionReport(std::ostream& out, const ConfusionMatrix& matrix,
                          const std::vector<std::string>& names) {
    int right = 0;
    for (size_t c = 0; c < matrix.size(); ++c) {
        right += matrix[c][c];
    }
    out << "Accuracy: " << percent(accuracy(matrix)) << " (" << right << " of "
        << totalCount(matrix) << ")\n\n";
    size_t width = 8;
    for (const std::string& name : names) {
        width = std::max(width, name.size() + 2);
    }
    out << std::left << std::setw(static_cast<int>(width)) << "class" << std::right << std::setw(8)
        << "images" << std::setw(10) << "recall" << std::setw(11) << "precision\n";
    for (size_t c = 0; c < matrix.size(); ++c) {
        int row = 0;
        for (int count : matrix[c]) {
            row += count;
        }
        out << std::left << std::setw(static_cast<int>(width)) << names[c] << std::right
            << std::setw(8) << row << std::setw(10) << percent(recall(matrix, c)) << std::setw(10)
            << percent(precision(matrix, c)) << "\n";
    }
    out << "\nConfusion matrix (rows: true class, columns: predicted class)\n";
    out << std::left << std::setw(static_cast<int>(width)) << "" << std::right;
    for (const std::string& name : names) {
        out << std::setw(static_cast<int>(width)) << name;
    }
    out << "\n";
    for (size_t c = 0; c < matrix.size(); ++c) {
        out << std::left << std::setw(static_cast<int>(width)) << names[c] << std::right;
        for (int count : matrix[c]) {
            out << std::setw(static_cast<int>(width)) << count;
        }
        out << "\n";
    }
}

std::string drawConfusionMatrix(const ConfusionMatrix& matrix,
                                const std::vector<std::string>& names, const std::string& title,
                                const std::string& path) {
    const int n = static_cast<int>(matrix.size());
    const int cell = 96;
    const int left = 150;
    const int top = 120;
    const int right = 150;
    const int bottom = 60;
    cv::Mat canvas(top + n * cell + bottom, left + n * cell + right, CV_8UC3,
                   cv::Scalar(255, 255, 255));
    const int font = cv::FONT_HERSHEY_SIMPLEX;
    const cv::Scalar ink(30, 30, 30);
    auto centred = [&](const std::string& text, cv::Point centre, double size, int thickness,
                       cv::Scalar colour) {
        int baseline = 0;
        const cv::Size extent = cv::getTextSize(text, font, size, thickness, &baseline);
        cv::putText(canvas, text, centre + cv::Point(-extent.width / 2, extent.height / 2), font,
                    size, colour, thickness, cv::LINE_AA);
    };
    centred(title, {canvas.cols / 2, 24}, 0.7, 2, ink);
    centred("predicted class", {left + n * cell / 2, 62}, 0.6, 1, ink);
    for (int c = 0; c < n; ++c) {
        int row = 0;
        for (int count : matrix[static_cast<size_t>(c)]) {
            row += count;
        }
        centred(names[static_cast<size_t>(c)], {left + c * cell + cell / 2, top - 20}, 0.6, 1, ink);
        int baseline = 0;
        const cv::Size extent =
            cv::getTextSize(names[static_cast<size_t>(c)], font, 0.6, 1, &baseline);
        cv::putText(canvas, names[static_cast<size_t>(c)],
                    {left - 12 - extent.width, top + c * cell + cell / 2 + extent.height / 2}, font,
                    0.6, ink, 1, cv::LINE_AA);
        // Recall at the end of each row: how many of the class were named right.
        cv::putText(canvas, percent(recall(matrix, static_cast<size_t>(c))),
                    {left + n * cell + 14, top + c * cell + cell / 2 + 6}, font, 0.55, ink, 1,
                    cv::LINE_AA);
        for (int p = 0; p < n; ++p) {
            const int count = matrix[static_cast<size_t>(c)][static_cast<size_t>(p)];
            const double share = row > 0 ? static_cast<double>(count) / row : 0.0;
            // Errors are darkened threefold: a 10% confusion should catch the eye.
            const double shade = c == p ? share : std::min(1.0, 3.0 * share);
            // Right answers shade to green, wrong ones to red; an empty cell stays white.
            const cv::Scalar full = c == p ? cv::Scalar(60, 170, 40) : cv::Scalar(50, 50, 210);
            const cv::Scalar colour = cv::Scalar(255, 255, 255) * (1.0 - shade) + full * shade;
            const cv::Rect box(left + p * cell, top + c * cell, cell, cell);
            cv::rectangle(canvas, box, colour, cv::FILLED);
            cv::rectangle(canvas, box, cv::Scalar(160, 160, 160), 1);
            centred(std::to_string(count), {box.x + cell / 2, box.y + cell / 2}, 0.9, 2,
                    shade > 0.5 ? cv::Scalar(255, 255, 255) : ink);
        }
    }
    cv::putText(canvas, "recall", {left + n * cell + 14, top - 14}, font, 0.55, ink, 1,
                cv::LINE_AA);
    centred("true class (rows)   overall accuracy " + percent(accuracy(matrix)),
            {left + n * cell / 2, top + n * cell + 32}, 0.6, 1, ink);
    // Encoded whole, then renamed over the file: a failed write leaves the old picture.
    std::vector<uchar> encoded;
    try {
        if (!cv::imencode(std::filesystem::path(path).extension().string(), canvas, encoded)) {
            return "cannot write picture '" + path + "'";
        }
    } catch (const cv::Exception& error) {
        return "cannot write picture '" + path + "': " + error.what();
    }
    return replaceFile(path, std::string(encoded.begin(), encoded.end()));
}

void printCalibrationReport(std::ostream& out, const std::vector<HeldOutAnswer>& answers,
                            const std::vector<double>& calibration) {
    if (calibration.size() != 2) {
        return;
    }
    int sure = 0;
    int sureRight = 0;
    int unsure = 0;
    int unsureRight = 0;
    for (const HeldOutAnswer& answer : answers) {
        const Confidence confidence = judgeConfidence(answer.outputs, calibration);
        const bool right = confidence.best == answer.label;
        (confidence.uncertain ? unsure : sure) += 1;
        (confidence.uncertain ? unsureRight : sureRight) += right;
    }
    const auto share = [](int part, int whole) { return whole > 0 ? double(part) / whole : 0.0; };
    out << "Confidence: temperature " << calibration[0] << ", uncertain below a share of "
        << calibration[1] << "\n";
    out << "  sure answers: " << sure << ", " << percent(share(sureRight, sure)) << " right\n";
    out << "  uncertain answers: " << unsure << ", " << percent(share(unsureRight, unsure))
        << " right\n";
}
