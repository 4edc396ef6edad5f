// libFuzzer target: any network file is either refused or evaluates within its arrays, and what
// is kept stays within the loader's limits.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>

#include "evaluation.hpp"
#include "loader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A file in memory, opened by its name as the programs open theirs.
    static const int file = memfd_create("nn.dat", 0);
    static const std::string path = "/proc/self/fd/" + std::to_string(file);
    if (ftruncate(file, 0) != 0 || pwrite(file, data, size, 0) != static_cast<ssize_t>(size)) {
        std::abort();
    }
    std::cout.setstate(std::ios::badbit);  // keep the loader's lines out of the fuzzer log
    NeuralNetwork network;
    if (loadNetwork(network, path)) {
        size_t weights = 0;
        for (const WeightMatrix& matrix : network.weights) {
            for (const std::vector<double>& row : matrix) {
                weights += row.size();
            }
        }
        if (network.hiddenLayers.size() > maxHiddenLayers || weights > maxWeights) {
            std::abort();
        }
        classify(network, "1.1 2 0.5 1.7 3.2 1.9 ");
        classify(network, "");
    }
    return 0;
}
