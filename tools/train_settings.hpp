// leafid-train's settings, as read from its command line.
#pragma once

#include <string>

#include "analysis.hpp"
#include "cli.hpp"
#include "training.hpp"

struct TrainSettings {
    TrainOptions training;
    std::string output = "nn.dat";
    std::string dataDir;
    std::string matrix;  // picture of the cross-validated confusion matrix
    std::string groups;  // groups file; empty: DATA_DIR/groups.csv if there is one
    int inputs = static_cast<int>(leafValueCount);
    int folds = 0;
    int copies = 0;
    double turn = 15.0;
};

// Reads the command line into settings, over the defaults they hold; returns the reason when it
// cannot.
std::string readTrainSettings(const Arguments& arguments, TrainSettings& settings);
