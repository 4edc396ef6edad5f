// Cross-validation: dealing examples to folds, and naming each fold with a network trained on
// the others.
#pragma once

#include <cstdint>
#include <vector>

#include "training.hpp"

using ConfusionMatrix = std::vector<std::vector<int>>;  // [true class][predicted class]

// The fold (0 to folds - 1) of each example: each class's examples, shuffled with seed, are
// dealt to the folds in turn, so every fold holds about the same share of every class.
std::vector<int> dealFolds(const std::vector<Example>& examples, int folds, int classCount,
                           std::uint64_t seed);

// Stratified folds-fold cross-validation; only the original image of each held-out example is
// classified. progress counts runs over all folds.
ConfusionMatrix crossValidate(const std::vector<Example>& examples, const TrainOptions& options,
                              int folds, const ProgressCallback& progress = {});
