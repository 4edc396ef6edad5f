// Training the program's network form: sigmoid units, no bias terms, raw features in.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "network.hpp"

// A reproducible source of random numbers: the same seed gives the same numbers everywhere,
// unlike the standard distributions, whose algorithms differ between libraries.
class Random {
  public:
    explicit Random(std::uint64_t seed);
    double uniform();  // in [0, 1)
    double uniform(double low, double high);
    size_t below(size_t count);  // in [0, count)
    template <typename T>
    void shuffle(std::vector<T>& items) {
        for (size_t i = items.size(); i > 1; --i) {
            std::swap(items[i - 1], items[below(i)]);
        }
    }

  private:
    std::uint64_t next();
    std::uint64_t state_;
};

// A dense sigmoid network without bias terms; all weights sit in one vector for the optimiser.
class Mlp {
  public:
    explicit Mlp(std::vector<int> sizes);  // inputs, hidden layers..., outputs

    const std::vector<int>& sizes() const { return sizes_; }
    size_t layerCount() const { return sizes_.size() - 1; }
    // Weight from unit i of layer l's predecessor to neuron j of layer l (WeightMatrix layout).
    size_t index(size_t l, size_t i, size_t j) const;

    std::vector<double> outputs(const std::vector<double>& inputs) const;
    int predict(const std::vector<double>& inputs) const;  // first strongest output
    std::vector<WeightMatrix> matrices() const;
    static Mlp fromMatrices(const std::vector<WeightMatrix>& matrices);

    std::vector<double> weights;

  private:
    std::vector<int> sizes_;
    std::vector<size_t> offsets_;
};

struct Sample {
    std::vector<double> inputs;
    int label = 0;
    double weight = 1.0;
};

// Weighted mean cross-entropy of the outputs against one-hot targets, plus decay / 2 times the
// sum of squared weights. Fills gradient (same layout as weights) when it is given.
double lossAndGradient(const Mlp& network, const std::vector<Sample>& samples, double decay,
                       std::vector<double>* gradient);

// One image: its features first, then those of its turned and shrunk copies.
struct Example {
    int label = 0;
    std::vector<std::vector<double>> variants;
    std::string group;  // photos of one leaf share a group; empty: a group of its own
};

struct TrainOptions {
    std::vector<int> hidden{16};
    int classCount = 5;
    int epochs = 3000;
    int restarts = 4;  // networks trained from fresh random weights and summed into one
    std::uint64_t seed = 1;
    double decay = 1e-5;
    double learningRate = 0.03;
    // The class of leaves that are none of the species (-1: none), and its total weight against
    // one species'.
    int otherClass = -1;
    double otherWeight = 1.0;
};

struct TrainResult {
    Mlp network{{1, 1}};
    double trainingLoss = 0.0;  // mean over the runs, at their last epoch
};

// Called now and then with the work done so far and the work in total.
using ProgressCallback = std::function<void(int done, int total)>;

// Trains restarts networks with full-batch Adam for epochs epochs each on all examples, and sums
// them into one network with restarts times as many units in every hidden layer whose output net
// inputs are the runs' mean. Per-feature scales are folded into the first-layer weights, so the
// result reads raw feature values. progress counts epochs over all runs.
TrainResult trainNetwork(const std::vector<Example>& examples, const TrainOptions& options,
                         const ProgressCallback& progress = {});

// The networks of runs side by side: hidden units concatenated, no weights between runs, the
// output weights divided by the number of runs.
Mlp sumNetworks(const std::vector<Mlp>& runs);

// One sample per variant of each example, its inputs divided by scales. The variants of an example
// share the example's class weight, so copies never outweigh the photos they were made from.
std::vector<Sample> makeSamples(const std::vector<Example>& examples,
                                const std::vector<double>& weights,
                                const std::vector<double>& scales);

// Each class weighs the same in total, whatever its number of images.
std::vector<double> classWeights(const std::vector<Example>& examples, int classCount);
