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

// Empty when evaluation can run on network without reading outside its arrays; otherwise a
// short description of the first size that breaks that.
std::string findSizeFault(const NeuralNetwork& network);
