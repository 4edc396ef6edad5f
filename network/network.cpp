#include "network.hpp"

void clearNetwork(NeuralNetwork& network) {
    network.hiddenLayers.clear();
    network.outputLayer.clear();
    network.weights.clear();
    network.calibration.clear();
}

void clearPatterns(NeuralNetwork& network) {
    network.patternSets.clear();
}

int inputCount(const NeuralNetwork& network) {
    return network.weights.empty() ? 0 : static_cast<int>(network.weights[0].size());
}
