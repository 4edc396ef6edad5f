// leafid-eval --json: leafid's answer to every photo as one JSON object a line.
#pragma once

#include <string>
#include <vector>

#include "dataset.hpp"
#include "network.hpp"

// Writes {"path", "class", then the object leafid-serve answers without its pictures} for each
// image, named by names[label] (null for a label below 0). Empty when written; otherwise why not.
std::string writeJsonLines(const std::string& fileName, NeuralNetwork& network,
                           const std::vector<LabelledImage>& images,
                           const std::vector<std::string>& names);
