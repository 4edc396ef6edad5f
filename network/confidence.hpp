// How sure the network is of an answer: its outputs turned into shares that add up to 1, with a
// temperature fitted on photos held out of training, and a level below which an answer is
// marked uncertain.
#pragma once

#include <vector>

struct Confidence {
    std::vector<double> shares;  // one per output, adding up to 1
    int best = -1;               // the first strongest output, as classify picks it
    int runnerUp = -1;           // the next strongest; -1 with a single output
    bool uncertain = false;      // the best share lies below the calibrated level
};

// The shares softmax(logit(o) / temperature) of sigmoid outputs o: the outputs' order is kept,
// and a higher temperature spreads the shares more evenly.
std::vector<double> outputShares(const std::vector<double>& outputs, double temperature);

// The confidence of outputs under calibration {temperature, uncertain below}; without one, the
// temperature is 1 and no answer is marked uncertain.
Confidence judgeConfidence(const std::vector<double>& outputs,
                           const std::vector<double>& calibration);

// The temperature, from 0.05 to 20, under which the shares give the true labels of held-out
// outputs the highest mean log-likelihood.
double fitTemperature(const std::vector<std::vector<double>>& outputs,
                      const std::vector<int>& labels);

// The lowest best share at or above which the held-out answers are right at least precision of
// the time (answers are taken strongest first); 1 when even the surest are not.
double fitUncertainLevel(const std::vector<std::vector<double>>& outputs,
                         const std::vector<int>& labels, double temperature, double precision);
