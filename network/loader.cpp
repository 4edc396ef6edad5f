#include "loader.hpp"

#include <fstream>
#include <iostream>
#include <optional>

#include "text_numbers.hpp"

namespace {

// Reads lines one by one, without carriage returns, and remembers where it is.
struct LineReader {
    std::ifstream& file;
    int lineNumber = 0;

    std::optional<std::string> next() {
        std::string line;
        if (!std::getline(file, line)) {
            return std::nullopt;
        }
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        return line;
    }
};

std::string plural(long count, const std::string& word) {
    return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

// A count read from text, or the reason why the file is refused.
struct CountReading {
    int count = 0;
    std::string fault;
};

CountReading parseCount(const std::string& text, int lineNumber, const std::string& what,
                        bool isLayerSize) {
    const std::optional<int> count = readCount(text);
    const std::string where = "is invalid: line " + std::to_string(lineNumber);
    if (!count) {
        return {0, where + " holds no " + what + " (a whole number of 32 bits)"};
    }
    if (isLayerSize && *count > maxLayerSize) {
        return {0, where + " asks for " + std::to_string(*count) + " neurons, more than " +
                       std::to_string(maxLayerSize)};
    }
    return {*count, ""};
}

std::string missing(const std::string& what) {
    return "is incomplete: " + what + " is missing";
}

Layer makeLayer(int size) {
    return Layer(size > 0 ? size : 0);
}

std::string readHeader(NeuralNetwork& network, LineReader& reader) {
    const std::optional<std::string> layerLine = reader.next();
    if (!layerLine) {
        return missing("the hidden layer line");
    }
    for (const std::string& piece : splitString(*layerLine, ' ')) {
        const CountReading size = parseCount(piece, 1, "layer size", true);
        if (!size.fault.empty()) {
            return size.fault;
        }
        network.hiddenLayers.push_back(makeLayer(size.count));
    }
    const std::optional<std::string> outputLine = reader.next();
    if (!outputLine) {
        return missing("the output count line");
    }
    const CountReading outputs = parseCount(*outputLine, 2, "output count", true);
    network.outputLayer = makeLayer(outputs.count);
    return outputs.fault;
}

std::string readRows(WeightMatrix& matrix, int rows, LineReader& reader, const std::string& block) {
    for (int r = 0; r < rows; ++r) {
        const std::optional<std::string> line = reader.next();
        if (!line) {
            return "is incomplete: " + block + " has " + std::to_string(r) + " of " +
                   plural(rows, "row");
        }
        std::vector<double>& row = matrix.emplace_back();
        for (const std::string& piece : splitString(*line, ' ')) {
            row.push_back(readDecimal(piece));
        }
    }
    return "";
}

std::string readBlocks(NeuralNetwork& network, LineReader& reader) {
    const std::optional<std::string> countLine = reader.next();
    if (!countLine) {
        return missing("the block count line");
    }
    const CountReading blocks = parseCount(*countLine, 3, "block count", false);
    if (!blocks.fault.empty()) {
        return blocks.fault;
    }
    for (int l = 0; l < blocks.count; ++l) {
        const std::string block = "block " + std::to_string(l);
        const std::optional<std::string> rowLine = reader.next();
        if (!rowLine) {
            return missing("the row count of " + block);
        }
        const CountReading rows = parseCount(*rowLine, reader.lineNumber, "row count", false);
        if (!rows.fault.empty()) {
            return rows.fault;
        }
        std::string fault = readRows(network.weights.emplace_back(), rows.count, reader, block);
        if (!fault.empty()) {
            return fault;
        }
    }
    return "";
}

}  // namespace

std::string findSizeFault(const NeuralNetwork& network) {
    const size_t layers = network.hiddenLayers.size() + 1;
    if (network.weights.size() < layers) {
        return "it has " + plural(static_cast<long>(network.weights.size()), "weight block") +
               " for " + plural(static_cast<long>(layers), "layer");
    }
    for (size_t l = 0; l < layers; ++l) {
        const Layer& layer =
            l < network.hiddenLayers.size() ? network.hiddenLayers[l] : network.outputLayer;
        size_t rowsRead = network.weights[l].size();
        if (l > 0) {
            const size_t unitsBefore = network.hiddenLayers[l - 1].size();
            if (rowsRead < unitsBefore) {
                return "block " + std::to_string(l) + " has " +
                       plural(static_cast<long>(rowsRead), "row") + " for the " +
                       std::to_string(unitsBefore) + " neurons of hidden layer " +
                       std::to_string(l - 1);
            }
            rowsRead = unitsBefore;
        }
        for (size_t i = 0; i < rowsRead; ++i) {
            if (network.weights[l][i].size() < layer.size()) {
                return "row " + std::to_string(i) + " of block " + std::to_string(l) + " has " +
                       plural(static_cast<long>(network.weights[l][i].size()), "value") + " for " +
                       plural(static_cast<long>(layer.size()), "neuron");
            }
        }
    }
    return "";
}

namespace {

// Fills network from fileName with the progress lines on standard output. Empty when loaded;
// otherwise the line that says why not, which the caller prints.
std::string readNetworkFile(NeuralNetwork& network, const std::string& fileName) {
    clearNetwork(network);
    std::ifstream file(fileName);
    if (!file.is_open()) {
        return "Unable to open file " + fileName;
    }
    std::cout << "Loading network from file " << fileName << "..." << std::endl;
    LineReader reader{file};
    std::string fault = readHeader(network, reader);
    if (fault.empty()) {
        fault = readBlocks(network, reader);
    }
    if (fault.empty() && !findSizeFault(network).empty()) {
        fault = "does not fit together: " + findSizeFault(network);
    }
    if (!fault.empty()) {
        clearNetwork(network);
        return "Network file " + fileName + " " + fault;
    }
    file.close();
    std::cout << "Network successfully loaded." << std::endl;
    return "";
}

}  // namespace

bool loadNetwork(NeuralNetwork& network, std::string fileName) {
    const std::string fault = readNetworkFile(network, fileName);
    if (!fault.empty()) {
        std::cout << fault << std::endl;
    }
    return fault.empty();
}

std::string findFitFault(const NeuralNetwork& network, size_t inputsAvailable, size_t classCount) {
    const size_t inputs = static_cast<size_t>(inputCount(network));
    const size_t outputs = network.outputLayer.size();
    if (inputs > inputsAvailable) {
        return "needs " + std::to_string(inputs) + " inputs, but a leaf has only " +
               std::to_string(inputsAvailable) + " features";
    }
    if (outputs == 0) {
        return "has no output neurons";
    }
    if (outputs > classCount) {
        return "has " + std::to_string(outputs) + " outputs, but only " +
               std::to_string(classCount) + " species are known";
    }
    return "";
}

std::string loadFittingNetwork(NeuralNetwork& network, const std::string& fileName,
                               size_t inputsAvailable, size_t classCount) {
    const std::string loadFault = readNetworkFile(network, fileName);
    if (!loadFault.empty()) {
        return loadFault;
    }
    const std::string fitFault = findFitFault(network, inputsAvailable, classCount);
    if (!fitFault.empty()) {
        clearNetwork(network);
        return "Network file " + fileName + " " + fitFault;
    }
    return "";
}
