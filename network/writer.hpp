// Writing a network in the text format the program's loader reads.
#pragma once

#include <string>
#include <vector>

#include "network.hpp"

// The file text: hidden layer sizes, output count, block count, then each block's row count
// and rows. Weights carry 17 significant digits, so reading them back gives the same doubles.
std::string formatNetwork(const std::vector<WeightMatrix>& weights);

// Writes the text to a temporary file beside fileName and renames it into place, so fileName
// is never left half written. Returns an empty string on success, otherwise the reason.
std::string writeNetworkFile(const std::vector<WeightMatrix>& weights, const std::string& fileName);
