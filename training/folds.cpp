#include "folds.hpp"

#include <algorithm>
#include <map>
#include <string>

#include "confidence.hpp"

std::vector<int> dealFolds(const std::vector<Example>& examples, int folds, int classCount,
                           std::uint64_t seed) {
    // Each group as the list of its examples, in the order of its first example.
    std::vector<std::vector<size_t>> groups;
    std::map<std::string, size_t> named;
    for (size_t e = 0; e < examples.size(); ++e) {
        const std::string& name = examples[e].group;
        if (name.empty()) {
            groups.push_back({e});
            continue;
        }
        const auto [found, added] = named.emplace(name, groups.size());
        if (added) {
            groups.emplace_back();
        }
        groups[found->second].push_back(e);
    }
    Random random(seed);
    std::vector<int> foldOf(examples.size(), 0);
    for (int c = 0; c < classCount; ++c) {
        std::vector<const std::vector<size_t>*> members;
        for (const std::vector<size_t>& group : groups) {
            if (examples[group[0]].label == c) {
                members.push_back(&group);
            }
        }
        random.shuffle(members);
        std::stable_sort(members.begin(), members.end(),
                         [](const auto* a, const auto* b) { return a->size() > b->size(); });
        std::vector<size_t> filled(static_cast<size_t>(folds), 0);
        for (const std::vector<size_t>* group : members) {
            const size_t fold = static_cast<size_t>(std::min_element(filled.begin(), filled.end()) -
                                                    filled.begin());
            filled[fold] += group->size();
            for (size_t e : *group) {
                foldOf[e] = static_cast<int>(fold);
            }
        }
    }
    return foldOf;
}

namespace {

// The folds get a seed of their own, so that they do not follow the training's choices.
std::vector<int> foldsFor(const std::vector<Example>& examples, const TrainOptions& options,
                          int folds) {
    return dealFolds(examples, folds, options.classCount, options.seed ^ 0x5EEDF01DULL);
}

}  // namespace

int emptyFolds(const std::vector<Example>& examples, const TrainOptions& options, int folds) {
    std::vector<bool> used(static_cast<size_t>(folds), false);
    for (int fold : foldsFor(examples, options, folds)) {
        used[static_cast<size_t>(fold)] = true;
    }
    return static_cast<int>(std::count(used.begin(), used.end(), false));
}

ConfusionMatrix crossValidate(const std::vector<Example>& examples, const TrainOptions& options,
                              int folds, const ProgressCallback& progress,
                              std::vector<HeldOutAnswer>* answers) {
    const size_t classes = static_cast<size_t>(options.classCount);
    ConfusionMatrix matrix(classes, std::vector<int>(classes, 0));
    const std::vector<int> foldOf = foldsFor(examples, options, folds);
    const int perFold = std::max(1, options.restarts) * options.epochs;
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
                progress(fold * perFold + done, folds * perFold);
            }
        });
        for (const Example* example : test) {
            const int predicted = result.network.predict(example->variants[0]);
            ++matrix[static_cast<size_t>(example->label)][static_cast<size_t>(predicted)];
            if (answers != nullptr) {
                answers->push_back({example->label, result.network.outputs(example->variants[0])});
            }
        }
    }
    return matrix;
}

std::vector<double> fitCalibration(const std::vector<HeldOutAnswer>& answers) {
    if (answers.empty()) {
        return {};
    }
    std::vector<std::vector<double>> outputs;
    std::vector<int> labels;
    for (const HeldOutAnswer& answer : answers) {
        outputs.push_back(answer.outputs);
        labels.push_back(answer.label);
    }
    const double temperature = fitTemperature(outputs, labels);
    return {temperature, fitUncertainLevel(outputs, labels, temperature, sureAnswerPrecision)};
}
