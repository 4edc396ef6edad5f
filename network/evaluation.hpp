// Forward evaluation of a loaded network and the choice of the winning class.
#pragma once

#include <string>
#include <vector>

#include "network.hpp"

constexpr int noAnswer = -1;

// Runs the network on the numbers of featureText; returns the index of the strongest output, or
// noAnswer when an output is not a number (no species can be named from that).
int classify(NeuralNetwork& network, std::string featureText);

// Evaluates the first pattern; returns the sum of the squared output errors.
double feedForward(NeuralNetwork& network);

// Net input of neuron j of layer l (layer hiddenLayers.size() is the output layer).
double weightedSum(const NeuralNetwork& network, size_t l, size_t j);

// Index of the first neuron with the greatest output; 0 for an empty list.
int selectWinner(std::vector<Neuron> neurons);

double sigmoid(double netInput);
