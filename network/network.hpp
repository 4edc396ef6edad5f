// The in-memory feed-forward network: sigmoid units, no bias terms.
#pragma once

#include <vector>

struct Pattern {
    std::vector<double> inputs;
    std::vector<double> targets;
};

using PatternSet = std::vector<Pattern>;

struct Neuron {
    double output = 0.0;
    double error = 0.0;
};

using Layer = std::vector<Neuron>;

// weights[l][i][j]: from unit i of the layer before layer l to neuron j of layer l.
using WeightMatrix = std::vector<std::vector<double>>;

struct NeuralNetwork {
    std::vector<PatternSet> patternSets;
    std::vector<Layer> hiddenLayers;
    Layer outputLayer;
    std::vector<WeightMatrix> weights;
    // How sure an answer is: the temperature of the outputs' shares and the share below which
    // an answer is uncertain, fitted on held-out photos (see confidence.hpp); the block after
    // the output layer's holds them. Empty when the file has none.
    std::vector<double> calibration;

    NeuralNetwork() = default;
    NeuralNetwork(const NeuralNetwork&) = delete;
    NeuralNetwork& operator=(const NeuralNetwork&) = delete;
    NeuralNetwork(NeuralNetwork&&) = default;
    NeuralNetwork& operator=(NeuralNetwork&&) = default;
};

// Empties layers, output layer and weights; the patterns stay.
void clearNetwork(NeuralNetwork& network);

// Empties the pattern sets; layers and weights stay.
void clearPatterns(NeuralNetwork& network);

// The number of input values the network reads: the rows of its first matrix.
int inputCount(const NeuralNetwork& network);
