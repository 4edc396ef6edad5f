// leafid-eval --json: leafid's answer to every photo as one JSON object a line.
#pragma once

#include <string>
#include <vector>

#include "dataset.hpp"
#include "network.hpp"

// A file name as a JSON string that keeps it apart from every other: UTF-8 as it is, and each
// byte that is not part of well-formed UTF-8 as the unpaired surrogate U+DC00 + byte
// ("\udcff" for 0xFF), as Python's os.fsdecode reads such names; os.fsencode gives the bytes
// back. No UTF-8 text holds a surrogate, so no two names meet.
std::string jsonFileName(const std::string& name);

// Writes {"path", "class", then the object leafid-serve answers without its pictures} for each
// image, named by names[label] (null for a label below 0), and replaces the file with them at
// once. Empty when written; otherwise why not.
std::string writeJsonLines(const std::string& fileName, NeuralNetwork& network,
                           const std::vector<LabelledImage>& images,
                           const std::vector<std::string>& names);
