// libFuzzer target: any network file is either refused or evaluates within its arrays.
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <iostream>
#include <string>

#include "evaluation.hpp"
#include "loader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/leafid-fuzz-" + std::to_string(getpid()) + ".dat";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data), size);
    std::cout.setstate(std::ios::badbit);  // keep the loader's lines out of the fuzzer log
    NeuralNetwork network;
    if (loadNetwork(network, path)) {
        classify(network, "1.1 2 0.5 1.7 3.2 1.9 ");
        classify(network, "");
    }
    return 0;
}
