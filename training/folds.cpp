#include "folds.hpp"

#include <algorithm>

std::vector<int> dealFolds(const std::vector<Example>& examples, int folds, int classCount,
                           std::uint64_t seed) {
    Random random(seed);
    std::vector<int> foldOf(examples.size(), 0);
    for (int c = 0; c < classCount; ++c) {
        std::vector<size_t> members;
        for (size_t e = 0; e < examples.size(); ++e) {
            if (examples[e].label == c) {
                members.push_back(e);
            }
        }
        random.shuffle(members);
        for (size_t m = 0; m < members.size(); ++m) {
            foldOf[members[m]] = static_cast<int>(m % static_cast<size_t>(folds));
        }
    }
    return foldOf;
}

ConfusionMatrix crossValidate(const std::vector<Example>& examples, const TrainOptions& options,
                              int folds, const ProgressCallback& progress) {
    const size_t classes = static_cast<size_t>(options.classCount);
    ConfusionMatrix matrix(classes, std::vector<int>(classes, 0));
    // The folds get a seed of their own, so that they do not follow the training's choices.
    const std::vector<int> foldOf =
        dealFolds(examples, folds, options.classCount, options.seed ^ 0x5EEDF01DULL);
    const int runs = std::max(1, options.restarts);
    for (int fold = 0; fold < folds; ++fold) {
        std::vector<Example> training;
        std::vector<const Example*> test;
        for (size_t e = 0; e < examples.size(); ++e) {
            if (foldOf[e] == fold) {
                test.push_back(&examples[e]);
            } else {
                training.push_back(examples[e]);
            }
        }
        if (training.empty() || test.empty()) {
            continue;
        }
        const TrainResult result = trainNetwork(training, options, [&](int done, int) {
            if (progress) {
                progress(fold * runs + done, folds * runs);
            }
        });
        for (const Example* example : test) {
            const int predicted = result.network.predict(example->variants[0]);
            ++matrix[static_cast<size_t>(example->label)][static_cast<size_t>(predicted)];
        }
    }
    return matrix;
}
