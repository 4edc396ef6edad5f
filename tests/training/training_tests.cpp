#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "dataset.hpp"
#include "evaluation.hpp"
#include "folds.hpp"
#include "loader.hpp"
#include "test_support.hpp"
#include "training.hpp"
#include "writer.hpp"

namespace {

// Three classes told apart by two features; the first feature is near 1.2 like the smooth
// factor, which is what the network has in place of bias terms.
std::vector<Example> separableExamples() {
    Random random(99);
    std::vector<Example> examples;
    const double centres[3][2] = {{0.6, 2.0}, {2.0, 0.6}, {2.0, 2.0}};
    for (int c = 0; c < 3; ++c) {
        for (int k = 0; k < 12 + 6 * c; ++k) {  // unequal classes, as in real data
            std::vector<double> x{1.2 + random.uniform(-0.05, 0.05),
                                  centres[c][0] + random.uniform(-0.3, 0.3),
                                  centres[c][1] + random.uniform(-0.3, 0.3)};
            examples.push_back({c, {x}, ""});
        }
    }
    return examples;
}

TrainOptions smallOptions() {
    TrainOptions options;
    options.hidden = {6};
    options.classCount = 3;
    options.epochs = 1500;
    options.restarts = 2;
    options.seed = 5;
    return options;
}

TEST(Training, GradientMatchesFiniteDifferences) {
    Mlp network({3, 4, 3, 2});
    Random random(3);
    for (double& weight : network.weights) {
        weight = random.uniform(-1.5, 1.5);
    }
    std::vector<Sample> samples;
    for (int s = 0; s < 7; ++s) {
        samples.push_back({{random.uniform(0, 2), random.uniform(-1, 1), random.uniform(0, 3)},
                           s % 2,
                           0.5 + random.uniform()});
    }
    const double decay = 0.01;
    std::vector<double> gradient;
    lossAndGradient(network, samples, decay, &gradient);
    ASSERT_EQ(gradient.size(), network.weights.size());
    const double h = 1e-6;
    for (size_t w = 0; w < network.weights.size(); ++w) {
        Mlp shifted = network;
        shifted.weights[w] = network.weights[w] + h;
        const double up = lossAndGradient(shifted, samples, decay, nullptr);
        shifted.weights[w] = network.weights[w] - h;
        const double down = lossAndGradient(shifted, samples, decay, nullptr);
        const double numeric = (up - down) / (2.0 * h);
        EXPECT_NEAR(gradient[w], numeric, 1e-7 + 1e-5 * std::fabs(numeric)) << "weight " << w;
    }
}

// Everything the trainer decides, pinned at once: the weights it starts from and how Adam moves
// them, how groups are dealt to folds, and what cross-validation classifies (the photo, never a
// copy). Classes overlap, so a change anywhere moves some answer. After a deliberate change of
// the trainer, rewrite the pin with LEAFID_UPDATE_PINS=1.
TEST(Training, WhatTheTrainerMakesIsPinned) {
    Random random(17);
    std::vector<Example> examples;
    for (int c = 0; c < 3; ++c) {
        for (int k = 0; k < 14; ++k) {
            const std::vector<double> photo{1.2, c + random.uniform(-1.0, 1.0),
                                            random.uniform(0.0, 2.0)};
            std::vector<double> copy = photo;
            copy[1] += random.uniform(-1.5, 1.5);  // far from its photo, as no real copy is
            examples.push_back({c, {photo, copy}, k % 4 == 0 ? "g" + std::to_string(c) : ""});
        }
    }
    TrainOptions options = smallOptions();
    options.epochs = 150;
    const std::string network = formatNetwork(trainNetwork(examples, options).network.matrices());
    std::ostringstream pinned;
    pinned << network << "folds";
    for (int fold : dealFolds(examples, 4, 3, 7)) {
        pinned << " " << fold;
    }
    pinned << "\nmatrix";
    for (const std::vector<int>& row : crossValidate(examples, options, 4)) {
        for (int count : row) {
            pinned << " " << count;
        }
    }
    const std::string pinFile = std::string(LEAFID_SOURCE_DIR) + "/tests/data/trainer_pin.txt";
    if (std::getenv("LEAFID_UPDATE_PINS") != nullptr) {
        std::ofstream(pinFile) << digest(pinned.str()) << "\n";
        GTEST_SKIP() << "wrote " << pinFile;
    }
    std::string expected;
    std::ifstream(pinFile) >> expected;
    EXPECT_EQ(digest(pinned.str()), expected)
        << "the trainer's results changed; if that is meant, run with LEAFID_UPDATE_PINS=1:\n"
        << pinned.str();
    options.seed = 6;
    EXPECT_NE(formatNetwork(trainNetwork(examples, options).network.matrices()), network);
}

TEST(Training, ResultReadsRawFeaturesLikeTheProgramAndNamesEveryExampleRight) {
    // The trainer scales features internally; the written network must not need that.
    std::vector<Example> examples = separableExamples();
    for (Example& example : examples) {
        example.variants[0][2] *= 1000.0;  // one feature on a very different scale
    }
    const TrainResult result = trainNetwork(examples, smallOptions());
    TempDir dir;
    const std::string path = dir.file("nn.dat");
    ASSERT_EQ(writeNetworkFile(result.network.matrices(), path), "");
    NeuralNetwork network;
    {
        CoutCapture quiet;
        ASSERT_TRUE(loadNetwork(network, path));
    }
    int right = 0;
    for (const Example& example : examples) {
        std::ostringstream text;
        text.precision(17);
        for (double value : example.variants[0]) {
            text << value << " ";
        }
        const int programAnswer = classify(network, text.str());
        EXPECT_EQ(programAnswer, result.network.predict(example.variants[0]));
        right += programAnswer == example.label ? 1 : 0;
    }
    EXPECT_EQ(right, static_cast<int>(examples.size()));
}

TEST(Training, CopiesShareTheWeightOfTheirPhoto) {
    std::vector<Example> examples = separableExamples();
    examples[0].variants.push_back(examples[0].variants[0]);
    examples[0].variants.push_back(examples[0].variants[0]);  // the photo and two copies
    const std::vector<double> weights = classWeights(examples, 3);
    const std::vector<double> scales{1.0, 2.0, 4.0};
    const std::vector<Sample> all = makeSamples(examples, weights, scales);
    ASSERT_EQ(all.size(), examples.size() + 2);
    EXPECT_DOUBLE_EQ(all[0].weight + all[1].weight + all[2].weight, weights[0]);
    EXPECT_DOUBLE_EQ(all[0].weight, weights[0] / 3.0);
    EXPECT_DOUBLE_EQ(all[3].weight, weights[0]);  // a photo without copies
    EXPECT_DOUBLE_EQ(all[0].inputs[2], examples[0].variants[0][2] / 4.0);
}

TEST(Training, ClassWeightsGiveEveryClassTheSameTotal) {
    const std::vector<Example> examples = separableExamples();
    const std::vector<double> weights = classWeights(examples, 4);
    ASSERT_EQ(weights.size(), 4u);
    EXPECT_DOUBLE_EQ(weights[0] * 12, weights[1] * 18);
    EXPECT_DOUBLE_EQ(weights[1] * 18, weights[2] * 24);
    EXPECT_EQ(weights[3], 0.0);  // a class without examples
    EXPECT_DOUBLE_EQ(weights[0] * 12 + weights[1] * 18 + weights[2] * 24, 54.0);

    // The loss before the first step (a learning rate of 0 keeps the first weights): the mean
    // cross-entropy, each class weighing the same, the leaves of other trees (class 2 here) that
    // many times more.
    TrainOptions options = smallOptions();
    options.hidden = {2};
    options.epochs = 1;
    options.restarts = 1;
    options.learningRate = 0.0;
    options.decay = 0.0;
    options.otherClass = 2;
    const int counts[] = {12, 18, 24};
    for (double otherWeight : {0.1, 1.0, 10.0}) {
        options.otherWeight = otherWeight;
        const TrainResult result = trainNetwork(examples, options);
        double loss = 0.0;
        double total = 0.0;
        for (const Example& example : examples) {
            const std::vector<double> outputs = result.network.outputs(example.variants[0]);
            const double weight = (example.label == 2 ? otherWeight : 1.0) / counts[example.label];
            for (size_t k = 0; k < outputs.size(); ++k) {
                const bool target = static_cast<int>(k) == example.label;
                loss -= weight * std::log(target ? outputs[k] : 1.0 - outputs[k]);
            }
            total += weight;
        }
        EXPECT_NEAR(result.trainingLoss, loss / total, 1e-9 * loss / total) << otherWeight;
    }
}

TEST(Folds, AGroupNeverSpansTwoFolds) {
    std::vector<Example> examples = separableExamples();
    // Groups of 1 to 5 photos in every class; the rest are groups of their own.
    for (size_t e = 0; e < examples.size(); ++e) {
        if (e % 4 != 3) {
            examples[e].group = "leaf" + std::to_string(examples[e].label) + "-" +
                                std::to_string((e * 7) % (3 + e % 5));
        }
    }
    for (std::uint64_t seed : {1u, 2u, 3u}) {
        const std::vector<int> folds = dealFolds(examples, 4, 3, seed);
        std::map<std::string, int> foldOfGroup;
        std::vector<std::vector<int>> perFold(3, std::vector<int>(4, 0));
        for (size_t e = 0; e < examples.size(); ++e) {
            ++perFold[static_cast<size_t>(examples[e].label)][static_cast<size_t>(folds[e])];
            if (examples[e].group.empty()) {
                continue;
            }
            const auto [found, added] = foldOfGroup.emplace(examples[e].group, folds[e]);
            EXPECT_EQ(found->second, folds[e]) << "group " << examples[e].group << " seed " << seed;
        }
        for (const std::vector<int>& counts : perFold) {
            const auto [low, high] = std::minmax_element(counts.begin(), counts.end());
            EXPECT_GE(*low, 1) << "seed " << seed;  // every fold still sees every class
            EXPECT_LE(*high - *low, 5) << "seed " << seed;
        }
    }
}

TEST(Training, SummedNetworkAveragesTheRunsNetInputs) {
    Random random(11);
    std::vector<Mlp> runs(3, Mlp({2, 3, 2}));
    for (Mlp& run : runs) {
        for (double& weight : run.weights) {
            weight = random.uniform(-2.0, 2.0);
        }
    }
    const Mlp sum = sumNetworks(runs);
    ASSERT_EQ(sum.sizes(), (std::vector<int>{2, 9, 2}));
    auto netInput = [](double output) { return std::log(output / (1.0 - output)); };
    const std::vector<double> inputs{0.7, 1.3};
    const std::vector<double> summed = sum.outputs(inputs);
    for (size_t k = 0; k < 2; ++k) {
        double mean = 0.0;
        for (const Mlp& run : runs) {
            mean += netInput(run.outputs(inputs)[k]) / 3.0;
        }
        EXPECT_NEAR(netInput(summed[k]), mean, 1e-9) << "output " << k;
    }
    // Two hidden layers: no weight connects the units of two runs.
    const Mlp deep = sumNetworks({Mlp({2, 2, 2, 1}), Mlp({2, 2, 2, 1})});
    ASSERT_EQ(deep.sizes(), (std::vector<int>{2, 4, 4, 1}));
    for (size_t i = 0; i < 2; ++i) {
        for (size_t j = 2; j < 4; ++j) {
            EXPECT_EQ(deep.weights[deep.index(1, i, j)], 0.0);
            EXPECT_EQ(deep.weights[deep.index(1, j, i)], 0.0);
        }
    }
}

}  // namespace

TEST(Folds, EveryGenusOfOtherTreesIsOneGroup) {
    std::vector<LabelledImage> images = {
        {"d/other/other_acer_kew_001.jpg", 5, "a"}, {"d/other/other_Acer_swe_002.jpg", 5, ""},
        {"d/other/other_betula_x_1.jpg", 5, ""},    {"d/other/holly.jpg", 5, "h"},
        {"d/oak/oak_kew_001.jpg", 3, "oak1"},       {"d/other/other__x_1.jpg", 5, ""}};
    EXPECT_EQ(groupByGenus(images, 5), 2u);
    const std::vector<std::string> groups = {"genus acer", "genus acer", "genus betula",
                                             "h",          "oak1",       ""};
    for (size_t i = 0; i < images.size(); ++i) {
        EXPECT_EQ(images[i].group, groups[i]) << images[i].path;
    }
}
