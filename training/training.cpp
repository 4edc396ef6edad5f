#include "training.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

Random::Random(std::uint64_t seed) : state_(seed) {}

std::uint64_t Random::next() {
    // splitmix64: tiny, fast and the same on every platform.
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

double Random::uniform() {
    return static_cast<double>(next() >> 11) * 0x1.0p-53;
}

double Random::uniform(double low, double high) {
    return low + (high - low) * uniform();
}

size_t Random::below(size_t count) {
    return static_cast<size_t>(uniform() * static_cast<double>(count));
}

Mlp::Mlp(std::vector<int> sizes) : sizes_(std::move(sizes)) {
    if (sizes_.size() < 2) {
        throw std::invalid_argument("a network needs an input and an output layer");
    }
    size_t total = 0;
    for (size_t l = 0; l + 1 < sizes_.size(); ++l) {
        offsets_.push_back(total);
        total += static_cast<size_t>(sizes_[l]) * static_cast<size_t>(sizes_[l + 1]);
    }
    weights.assign(total, 0.0);
}

size_t Mlp::index(size_t l, size_t i, size_t j) const {
    return offsets_[l] + i * static_cast<size_t>(sizes_[l + 1]) + j;
}

namespace {

double logistic(double x) {
    return 1.0 / (1.0 + std::exp(-x));
}

// log(1 + e^x) without overflow.
double softplus(double x) {
    return x > 0.0 ? x + std::log1p(std::exp(-x)) : std::log1p(std::exp(x));
}

// Activations of every layer; for the output layer also the net inputs (for a stable loss).
void forwardPass(const Mlp& network, const std::vector<double>& inputs,
                 std::vector<std::vector<double>>& activations, std::vector<double>& netInputs) {
    const std::vector<int>& sizes = network.sizes();
    activations.resize(sizes.size());
    activations[0].assign(static_cast<size_t>(sizes[0]), 0.0);
    std::copy_n(inputs.begin(), std::min(inputs.size(), activations[0].size()),
                activations[0].begin());
    for (size_t l = 0; l < network.layerCount(); ++l) {
        const size_t from = static_cast<size_t>(sizes[l]);
        const size_t to = static_cast<size_t>(sizes[l + 1]);
        std::vector<double>& next = activations[l + 1];
        next.assign(to, 0.0);
        netInputs.assign(to, 0.0);
        // Summed in the order the program's evaluation uses, unit by unit of the layer before.
        for (size_t j = 0; j < to; ++j) {
            double sum = 0.0;
            for (size_t i = 0; i < from; ++i) {
                sum += network.weights[network.index(l, i, j)] * activations[l][i];
            }
            netInputs[j] = sum;
            next[j] = logistic(sum);
        }
    }
}

}  // namespace

std::vector<double> Mlp::outputs(const std::vector<double>& inputs) const {
    std::vector<std::vector<double>> activations;
    std::vector<double> netInputs;
    forwardPass(*this, inputs, activations, netInputs);
    return activations.back();
}

int Mlp::predict(const std::vector<double>& inputs) const {
    const std::vector<double> out = outputs(inputs);
    size_t best = 0;
    for (size_t k = 1; k < out.size(); ++k) {
        if (out[best] < out[k]) {
            best = k;
        }
    }
    return static_cast<int>(best);
}

std::vector<WeightMatrix> Mlp::matrices() const {
    std::vector<WeightMatrix> result(layerCount());
    for (size_t l = 0; l < layerCount(); ++l) {
        const size_t from = static_cast<size_t>(sizes_[l]);
        const size_t to = static_cast<size_t>(sizes_[l + 1]);
        result[l].assign(from, std::vector<double>(to, 0.0));
        for (size_t i = 0; i < from; ++i) {
            for (size_t j = 0; j < to; ++j) {
                result[l][i][j] = weights[index(l, i, j)];
            }
        }
    }
    return result;
}

Mlp Mlp::fromMatrices(const std::vector<WeightMatrix>& matrices) {
    if (matrices.empty() || matrices[0].empty()) {
        throw std::invalid_argument("no weights");
    }
    std::vector<int> sizes{static_cast<int>(matrices[0].size())};
    for (const WeightMatrix& matrix : matrices) {
        if (matrix.empty() || static_cast<int>(matrix.size()) != sizes.back()) {
            throw std::invalid_argument("weight blocks do not chain");
        }
        sizes.push_back(static_cast<int>(matrix[0].size()));
    }
    Mlp network(sizes);
    for (size_t l = 0; l < matrices.size(); ++l) {
        for (size_t i = 0; i < matrices[l].size(); ++i) {
            if (static_cast<int>(matrices[l][i].size()) != sizes[l + 1]) {
                throw std::invalid_argument("ragged weight block");
            }
            for (size_t j = 0; j < matrices[l][i].size(); ++j) {
                network.weights[network.index(l, i, j)] = matrices[l][i][j];
            }
        }
    }
    return network;
}

double lossAndGradient(const Mlp& network, const std::vector<Sample>& samples, double decay,
                       std::vector<double>* gradient) {
    if (gradient) {
        gradient->assign(network.weights.size(), 0.0);
    }
    const std::vector<int>& sizes = network.sizes();
    const size_t layers = network.layerCount();
    double totalWeight = 0.0;
    for (const Sample& sample : samples) {
        totalWeight += sample.weight;
    }
    std::vector<std::vector<double>> activations;
    std::vector<double> netInputs;
    std::vector<std::vector<double>> deltas(sizes.size());
    double loss = 0.0;
    for (const Sample& sample : samples) {
        forwardPass(network, sample.inputs, activations, netInputs);
        const double share = totalWeight > 0.0 ? sample.weight / totalWeight : 0.0;
        const size_t outputs = static_cast<size_t>(sizes.back());
        std::vector<double>& outputDelta = deltas[layers];
        outputDelta.assign(outputs, 0.0);
        for (size_t k = 0; k < outputs; ++k) {
            const bool target = static_cast<int>(k) == sample.label;
            // -log(y) = softplus(-z) and -log(1 - y) = softplus(z) for y = logistic(z).
            loss += share * (target ? softplus(-netInputs[k]) : softplus(netInputs[k]));
            outputDelta[k] = share * (activations[layers][k] - (target ? 1.0 : 0.0));
        }
        if (!gradient) {
            continue;
        }
        for (size_t l = layers; l-- > 0;) {
            const size_t from = static_cast<size_t>(sizes[l]);
            const size_t to = static_cast<size_t>(sizes[l + 1]);
            std::vector<double>& before = deltas[l];
            before.assign(from, 0.0);
            for (size_t i = 0; i < from; ++i) {
                const double activation = activations[l][i];
                double back = 0.0;
                for (size_t j = 0; j < to; ++j) {
                    const size_t w = network.index(l, i, j);
                    (*gradient)[w] += deltas[l + 1][j] * activation;
                    back += network.weights[w] * deltas[l + 1][j];
                }
                before[i] = back * activation * (1.0 - activation);
            }
        }
    }
    for (size_t w = 0; w < network.weights.size(); ++w) {
        loss += 0.5 * decay * network.weights[w] * network.weights[w];
        if (gradient) {
            (*gradient)[w] += decay * network.weights[w];
        }
    }
    return loss;
}

namespace {

std::vector<double> weighedClasses(const std::vector<Example>& examples,
                                   const TrainOptions& options) {
    std::vector<double> weights = classWeights(examples, options.classCount);
    if (options.otherClass >= 0 && options.otherClass < options.classCount) {
        weights[static_cast<size_t>(options.otherClass)] *= options.otherWeight;
    }
    return weights;
}

}  // namespace

std::vector<double> classWeights(const std::vector<Example>& examples, int classCount) {
    std::vector<double> counts(static_cast<size_t>(classCount), 0.0);
    for (const Example& example : examples) {
        counts[static_cast<size_t>(example.label)] += 1.0;
    }
    size_t present = 0;
    for (double count : counts) {
        present += count > 0.0 ? 1 : 0;
    }
    std::vector<double> weights(counts.size(), 0.0);
    for (size_t c = 0; c < counts.size(); ++c) {
        if (counts[c] > 0.0) {
            weights[c] =
                static_cast<double>(examples.size()) / (static_cast<double>(present) * counts[c]);
        }
    }
    return weights;
}

namespace {

// Root mean square of each feature: scales without centring, which would take away the
// near-constant smooth factor that stands in for the missing bias terms.
std::vector<double> featureScales(const std::vector<Example>& examples, size_t featureCount) {
    std::vector<double> sums(featureCount, 0.0);
    double count = 0.0;
    for (const Example& example : examples) {
        for (const std::vector<double>& variant : example.variants) {
            for (size_t f = 0; f < featureCount && f < variant.size(); ++f) {
                sums[f] += variant[f] * variant[f];
            }
            count += 1.0;
        }
    }
    std::vector<double> scales(featureCount, 1.0);
    for (size_t f = 0; f < featureCount; ++f) {
        const double rms = count > 0.0 ? std::sqrt(sums[f] / count) : 0.0;
        scales[f] = rms > 1e-12 ? rms : 1.0;
    }
    return scales;
}

std::vector<double> scaled(const std::vector<double>& values, const std::vector<double>& scales) {
    std::vector<double> result(scales.size(), 0.0);
    for (size_t f = 0; f < scales.size() && f < values.size(); ++f) {
        result[f] = values[f] / scales[f];
    }
    return result;
}

}  // namespace

std::vector<Sample> makeSamples(const std::vector<Example>& examples,
                                const std::vector<double>& weights,
                                const std::vector<double>& scales) {
    std::vector<Sample> samples;
    for (const Example& example : examples) {
        const double variantCount = static_cast<double>(example.variants.size());
        for (const std::vector<double>& variant : example.variants) {
            samples.push_back({scaled(variant, scales), example.label,
                               weights[static_cast<size_t>(example.label)] / variantCount});
        }
    }
    return samples;
}

namespace {

// Adam's moment decay rates and the term that keeps its step finite.
constexpr double firstMomentDecay = 0.9;
constexpr double secondMomentDecay = 0.999;
constexpr double stepFloor = 1e-8;

// How many epochs pass between two progress reports.
constexpr int progressEpochs = 50;

void initialiseWeights(Mlp& network, Random& random) {
    const std::vector<int>& sizes = network.sizes();
    for (size_t l = 0; l < network.layerCount(); ++l) {
        const double limit = std::sqrt(6.0 / static_cast<double>(sizes[l] + sizes[l + 1]));
        for (int i = 0; i < sizes[l]; ++i) {
            for (int j = 0; j < sizes[l + 1]; ++j) {
                network.weights[network.index(l, static_cast<size_t>(i), static_cast<size_t>(j))] =
                    random.uniform(-limit, limit);
            }
        }
    }
}

// One run of full-batch Adam from fresh random weights; returns the loss of the last epoch.
double trainOnce(Mlp& network, const std::vector<Sample>& samples, const TrainOptions& options,
                 Random& random, const std::function<void(int)>& epochDone) {
    initialiseWeights(network, random);
    const size_t count = network.weights.size();
    std::vector<double> mean(count, 0.0);
    std::vector<double> variance(count, 0.0);
    std::vector<double> gradient;
    double firstCorrection = 1.0;
    double secondCorrection = 1.0;
    double loss = 0.0;
    for (int epoch = 1; epoch <= options.epochs; ++epoch) {
        loss = lossAndGradient(network, samples, options.decay, &gradient);
        firstCorrection *= firstMomentDecay;
        secondCorrection *= secondMomentDecay;
        for (size_t w = 0; w < count; ++w) {
            mean[w] = firstMomentDecay * mean[w] + (1.0 - firstMomentDecay) * gradient[w];
            variance[w] = secondMomentDecay * variance[w] +
                          (1.0 - secondMomentDecay) * gradient[w] * gradient[w];
            const double meanEstimate = mean[w] / (1.0 - firstCorrection);
            const double varianceEstimate = variance[w] / (1.0 - secondCorrection);
            network.weights[w] -=
                options.learningRate * meanEstimate / (std::sqrt(varianceEstimate) + stepFloor);
        }
        epochDone(epoch);
    }
    return loss;
}

}  // namespace

Mlp sumNetworks(const std::vector<Mlp>& runs) {
    if (runs.empty()) {
        throw std::invalid_argument("no networks to sum");
    }
    const std::vector<int>& one = runs[0].sizes();
    const size_t count = runs.size();
    std::vector<int> sizes = one;
    for (size_t l = 1; l + 1 < sizes.size(); ++l) {
        sizes[l] *= static_cast<int>(count);
    }
    Mlp sum(sizes);
    const size_t last = runs[0].layerCount() - 1;
    for (size_t r = 0; r < count; ++r) {
        for (size_t l = 0; l <= last; ++l) {
            // Units of run r sit in block r of each hidden layer; inputs and outputs are shared.
            const size_t fromOffset = l == 0 ? 0 : r * static_cast<size_t>(one[l]);
            const size_t toOffset = l == last ? 0 : r * static_cast<size_t>(one[l + 1]);
            const double share = l == last ? 1.0 / static_cast<double>(count) : 1.0;
            for (size_t i = 0; i < static_cast<size_t>(one[l]); ++i) {
                for (size_t j = 0; j < static_cast<size_t>(one[l + 1]); ++j) {
                    sum.weights[sum.index(l, fromOffset + i, toOffset + j)] +=
                        share * runs[r].weights[runs[r].index(l, i, j)];
                }
            }
        }
    }
    return sum;
}

TrainResult trainNetwork(const std::vector<Example>& examples, const TrainOptions& options,
                         const ProgressCallback& progress) {
    if (examples.empty() || examples[0].variants.empty()) {
        throw std::invalid_argument("nothing to train on");
    }
    const size_t featureCount = examples[0].variants[0].size();
    const std::vector<double> scales = featureScales(examples, featureCount);
    const std::vector<Sample> samples =
        makeSamples(examples, weighedClasses(examples, options), scales);

    std::vector<int> sizes{static_cast<int>(featureCount)};
    sizes.insert(sizes.end(), options.hidden.begin(), options.hidden.end());
    sizes.push_back(options.classCount);

    Random random(options.seed);
    const int runs = std::max(1, options.restarts);
    const int total = runs * options.epochs;
    std::vector<Mlp> trained;
    double lossSum = 0.0;
    for (int r = 0; r < runs; ++r) {
        Mlp network(sizes);
        lossSum += trainOnce(network, samples, options, random, [&](int epoch) {
            if (progress && (epoch % progressEpochs == 0 || epoch == options.epochs)) {
                progress(r * options.epochs + epoch, total);
            }
        });
        trained.push_back(std::move(network));
    }
    TrainResult result{sumNetworks(trained), lossSum / runs};
    // The runs learnt on scaled inputs; dividing the first-layer weights by the scales makes
    // the network read the raw values.
    const size_t firstLayer = static_cast<size_t>(result.network.sizes()[1]);
    for (size_t f = 0; f < featureCount; ++f) {
        for (size_t j = 0; j < firstLayer; ++j) {
            result.network.weights[result.network.index(0, f, j)] /= scales[f];
        }
    }
    return result;
}
