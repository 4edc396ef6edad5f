// Reading a network from its text file.
#pragma once

#include <string>

#include "network.hpp"

// Limits on a network file, so that no file, however damaged or hostile, makes the loader take
// more than about a hundred megabytes or a few seconds. Each is far beyond any leaf network.
constexpr int maxLayerSize = 1 << 20;  // neurons of one layer
constexpr long maxNeurons = 1 << 20;   // neurons of all layers, inputs included
constexpr long maxWeights = 1 << 22;   // weights kept (8 bytes each)
constexpr size_t maxHiddenLayers = 1000;
constexpr long maxNetworkFileBytes = 1L << 27;  // 128 MiB: a network of maxWeights as text
constexpr size_t maxTokenLength = 1024;         // characters of one number

// Fills network from fileName and reports progress on standard output. Returns false, with the
// network left empty, when the file cannot be opened, is no regular file, breaks a limit above,
// holds a count or a weight that is not wholly a finite number, or does not describe a network
// that can be evaluated safely; one line then says why. Only what evaluation reads is kept: values
// beyond a layer's neurons, rows beyond the layer before and blocks beyond the output layer are
// skipped.
bool loadNetwork(NeuralNetwork& network, std::string fileName);

// Loads fileName as loadNetwork does, printing the same progress lines, then checks that the
// network reads at most inputsAvailable values and has 1 to classCount outputs. Empty when the
// network is ready; otherwise the one line that says why not (not printed), and the network is
// left empty. The dialogue and leafid-eval each report that line their own way.
std::string loadFittingNetwork(NeuralNetwork& network, const std::string& fileName,
                               size_t inputsAvailable, size_t classCount);

// Empty when the network's inputs and outputs fit; otherwise what does not fit.
std::string findFitFault(const NeuralNetwork& network, size_t inputsAvailable, size_t classCount);

// Empty when evaluation can run on network without reading outside its arrays; otherwise a
// short description of the first size that breaks that.
std::string findSizeFault(const NeuralNetwork& network);
