// The console dialogue: load the network, then name the species of leaf after leaf.
#pragma once

#include <string>
#include <vector>

#include "network.hpp"

using TreeNameList = std::vector<std::string>;

constexpr int exitEnded = 0;
constexpr int exitNetworkNotLoaded = 3;
constexpr int exitOutputFailed = 4;  // standard output could not be written

TreeNameList makeTreeNameList();

// A network may have one output beyond the five species: "none of the five". When it wins,
// the leaf gets no species.
constexpr size_t answerCount = 6;

// Runs the whole program; returns its exit code.
int runDialogue();

// True when path names a regular file that can be opened for reading.
bool fileExists(std::string path);

void waitForEnter();
