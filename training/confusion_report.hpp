// Accuracy figures and confusion matrices, as text and as a picture.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "folds.hpp"

int totalCount(const ConfusionMatrix& matrix);
double accuracy(const ConfusionMatrix& matrix);             // 0 when the matrix is empty
double recall(const ConfusionMatrix& matrix, size_t c);     // 0 when class c has no images
double precision(const ConfusionMatrix& matrix, size_t c);  // 0 when nothing was called c

// Overall accuracy, per-class recall and precision, and the matrix with rows = true class.
void printConfusionReport(std::ostream& out, const ConfusionMatrix& matrix,
                          const std::vector<std::string>& names);

// For a matrix whose last class is "none of the five" (other): how many of the five were named
// right and how many declined, and how many other leaves were declined.
void printDeclineReport(std::ostream& out, const ConfusionMatrix& matrix);

// The fitted calibration and what it does to the held-out answers: how many are marked
// uncertain, and how often the sure and the uncertain ones are right.
void printCalibrationReport(std::ostream& out, const std::vector<HeldOutAnswer>& answers,
                            const std::vector<double>& calibration);

// Draws the matrix as a PNG at path: one cell per pair, shaded by the share of the true class,
// with counts and the overall accuracy. Returns an empty string on success, else the reason.
std::string drawConfusionMatrix(const ConfusionMatrix& matrix,
                                const std::vector<std::string>& names, const std::string& title,
                                const std::string& path);

// "87.5%" with one decimal.
std::string percent(double share);
