// Reading a network from its text file.
#pragma once

#include <string>

#include "network.hpp"

// The most neurons one layer may ask for: keeps a damaged count from claiming all memory.
constexpr int maxLayerSize = 1 << 20;

// Fills network from fileName and reports progress on standard output. Returns false, with the
// network left empty, when the file cannot be opened or does not describe a network that can be
// evaluated safely; one line then says why.
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
