// leafid-train's settings, as read from its command line.
#pragma once

#include <string>

#include "analysis.hpp"
#include "cli.hpp"
#include "training.hpp"

// The trainer's own defaults, with more hidden units and a firmer decay for 112 inputs.
inline TrainOptions commandTrainOptions() {
    TrainOptions options;
    options.hidden = {32};
    options.decay = 1e-4;
    return options;
}

struct TrainSettings {
    TrainOptions training = commandTrainOptions();
    std::string output = "nn.dat";
    std::string dataDir;
    std::string matrix;  // picture of the cross-validated confusion matrix
    std::string groups;  // groups file; empty: DATA_DIR/groups.csv if there is one
    int inputs = static_cast<int>(leafValueCount);
    int folds = 0;
    int copies = 0;
    int phoneCopies = 1;
    double turn = 15.0;
};

// Reads the command line into settings, over the defaults they hold; returns the reason when it
// cannot.
std::string readTrainSettings(const Arguments& arguments, TrainSettings& settings);
