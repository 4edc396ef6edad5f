// Cross-validation: dealing examples to folds, and naming each fold with a network trained on
// the others.
#pragma once

#include <cstdint>
#include <vector>

#include "training.hpp"

using ConfusionMatrix = std::vector<std::vector<int>>;  // [true class][predicted class]

// The fold (0 to folds - 1) of each example. The photos of one group always share a fold. Each
// class's groups, shuffled with seed, go largest first to the fold that holds the fewest photos
// of that class so far, so every fold holds about the same share of every class. A group is
// counted with the class of its first example.
std::vector<int> dealFolds(const std::vector<Example>& examples, int folds, int classCount,
                           std::uint64_t seed);

// How many of the folds crossValidate deals would hold no example: with fewer groups of a class
// than folds, each class's groups go to the first folds.
int emptyFolds(const std::vector<Example>& examples, const TrainOptions& options, int folds);

// The outputs of a network for a photo it never saw, and the photo's true class.
struct HeldOutAnswer {
    int label = 0;
    std::vector<double> outputs;
};

// Grouped, stratified folds-fold cross-validation; only the original image of each held-out example
// is classified, and its outputs go to answers when it is given. progress counts epochs over all
// runs of all folds.
ConfusionMatrix crossValidate(const std::vector<Example>& examples, const TrainOptions& options,
                              int folds, const ProgressCallback& progress = {},
                              std::vector<HeldOutAnswer>* answers = nullptr);

// Answers whose best share reaches the uncertain level are right this often on held-out photos.
constexpr double sureAnswerPrecision = 0.98;

// {temperature, uncertain below} fitted on held-out answers (see confidence.hpp); empty when there
// are none.
std::vector<double> fitCalibration(const std::vector<HeldOutAnswer>& answers);
