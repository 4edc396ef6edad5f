#include "evaluation.hpp"

#include <cmath>

#include "text_numbers.hpp"

double sigmoid(double netInput) {
    return 1.0 / (1.0 + std::exp(-netInput));
}

double weightedSum(const NeuralNetwork& network, size_t l, size_t j) {
    const WeightMatrix& matrix = network.weights[l];
    double sum = 0.0;
    if (l == 0) {
        // A feature text shorter than the network's input count counts its missing values as 0.
        const std::vector<double>& inputs = network.patternSets[0][0].inputs;
        for (size_t i = 0; i < matrix.size() && i < inputs.size(); ++i) {
            sum += matrix[i][j] * inputs[i];
        }
        return sum;
    }
    const Layer& before = network.hiddenLayers[l - 1];
    for (size_t i = 0; i < before.size(); ++i) {
        sum += matrix[i][j] * before[i].output;
    }
    return sum;
}

double feedForward(NeuralNetwork& network) {
    for (size_t l = 0; l < network.hiddenLayers.size(); ++l) {
        Layer& layer = network.hiddenLayers[l];
        for (size_t j = 0; j < layer.size(); ++j) {
            layer[j].output = sigmoid(weightedSum(network, l, j));
        }
    }
    const size_t outputIndex = network.hiddenLayers.size();
    const std::vector<double>& targets = network.patternSets[0][0].targets;
    double errorTotal = 0.0;
    for (size_t i = 0; i < network.outputLayer.size(); ++i) {
        Neuron& neuron = network.outputLayer[i];
        neuron.output = sigmoid(weightedSum(network, outputIndex, i));
        neuron.error = targets[i] - neuron.output;
        errorTotal += neuron.error * neuron.error;
    }
    return errorTotal;
}

int selectWinner(std::vector<Neuron> neurons) {
    size_t best = 0;
    for (size_t i = 1; i < neurons.size(); ++i) {
        if (neurons[best].output < neurons[i].output) {
            best = i;
        }
    }
    return static_cast<int>(best);
}

int classify(NeuralNetwork& network, std::string featureText) {
    Pattern pattern;
    for (const std::string& token : splitString(featureText, ' ')) {
        pattern.inputs.push_back(readDecimal(token));
    }
    pattern.targets.assign(network.outputLayer.size(), 0.0);
    network.patternSets.emplace_back().push_back(pattern);
    feedForward(network);
    clearPatterns(network);
    for (const Neuron& neuron : network.outputLayer) {
        if (std::isnan(neuron.output)) {
            return noAnswer;  // huge weights can meet as infinity minus infinity
        }
    }
    return selectWinner(network.outputLayer);
}
