#include "loader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <optional>

#include "text_numbers.hpp"

namespace {

// The file read character by character through the stream's buffer: lines, and the tokens of a
// line. Nothing holds a whole line, so memory goes with the network read, never with the text.
struct NetworkText {
    FILE* file;
    int lineNumber = 0;
    bool inLine = false;   // the current line's end is not read yet
    bool tooLong = false;  // a token had more than maxTokenLength characters

    // The next character of the current line; -1 at its end (a line feed, a carriage return
    // before one, or the end of the file).
    int next() {
        if (!inLine) {
            return -1;
        }
        const int c = getc(file);
        if (c == '\r') {
            const int after = getc(file);
            if (after == '\n' || after == EOF) {
                inLine = false;
                return -1;
            }
            ungetc(after, file);
        }
        if (c == '\n' || c == EOF) {
            inLine = false;
            return -1;
        }
        return c;
    }

    // Moves to the next line; false when the file has no more.
    bool nextLine() {
        while (next() >= 0) {
        }
        const int c = getc(file);
        if (c == EOF) {
            return false;
        }
        ungetc(c, file);
        ++lineNumber;
        inLine = true;
        return true;
    }

    // The next run of characters that are not separators; nothing at the line's end.
    std::optional<std::string> token(bool (*isSeparator)(int)) {
        int c = next();
        while (c >= 0 && isSeparator(c)) {
            c = next();
        }
        if (c < 0) {
            return std::nullopt;
        }
        std::string text;
        for (; c >= 0 && !isSeparator(c); c = next()) {
            if (text.size() < maxTokenLength) {
                text += static_cast<char>(c);
            } else {
                tooLong = true;
            }
        }
        return text;
    }
};

// Pieces of the layer line and of the rows are separated by blanks only; a count is the first
// word of its line.
bool isBlank(int c) {
    return c == ' ';
}
bool isWhiteSpace(int c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

std::string plural(long count, const std::string& word) {
    return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

// What the loader has read so far, and the sizes it has allowed for.
struct Loading {
    NeuralNetwork& network;
    NetworkText text;
    long neurons = 0;
    long weights = 0;
};

std::string tooLong(const Loading& loading) {
    return "is invalid: line " + std::to_string(loading.text.lineNumber) +
           " holds a number of more than " + std::to_string(maxTokenLength) + " characters";
}

std::string tooManyNeurons() {
    return "is too large: it has more than " + std::to_string(maxNeurons) + " neurons";
}

std::string missing(const std::string& what) {
    return "is incomplete: " + what + " is missing";
}

std::string invalidLine(const Loading& loading) {
    return "is invalid: line " + std::to_string(loading.text.lineNumber);
}

// A token as a message shows it: control characters named, at most 20 characters.
std::string shown(const std::string& token) {
    std::string text;
    for (char c : token.substr(0, 20)) {
        text += c == '\t' ? "\\t" : c == '\r' ? "\\r" : std::string(1, c >= ' ' ? c : '?');
    }
    return token.size() > 20 ? text + "..." : text;
}

// Numbers are separated by blanks and lines end with a line feed: a token holding other white
// space comes from a file that uses other separators (tabs, or carriage returns alone).
std::string separatorFault(const Loading& loading, const std::string& token) {
    const size_t found = token.find_first_of("\t\v\f\r");
    if (found == std::string::npos) {
        return "";
    }
    if (token[found] == '\r') {
        return invalidLine(loading) + " holds a carriage return inside '" + shown(token) +
               "': lines end with a line feed";
    }
    return invalidLine(loading) + " holds " + (token[found] == '\t' ? "a tab" : "white space") +
           " inside '" + shown(token) + "': numbers are separated by blanks";
}

// The count that token is, wholly; a missing token, one too long or one that is not a number of
// 32 bits refuses the file.
std::string readCountFrom(Loading& loading, const std::optional<std::string>& token,
                          const char* what, int& count) {
    const std::string text = token.value_or("");
    const std::string separator = separatorFault(loading, text);
    if (!separator.empty()) {
        return separator;
    }
    if (loading.text.tooLong) {
        return tooLong(loading);
    }
    const std::optional<int> value = readExactCount(text);
    if (!value) {
        return invalidLine(loading) +
               (text.empty() ? " holds no " + std::string(what)
                             : " holds '" + shown(text) + "' where the " + what + " belongs") +
               " (a whole number of 32 bits)";
    }
    count = *value;
    return "";
}

// A layer of size neurons (none for a size of zero or less), within the limits.
std::string addNeurons(Loading& loading, int size, Layer& layer) {
    if (size > maxLayerSize) {
        return "is invalid: line " + std::to_string(loading.text.lineNumber) + " asks for " +
               std::to_string(size) + " neurons, more than " + std::to_string(maxLayerSize);
    }
    loading.neurons += size > 0 ? size : 0;
    if (loading.neurons > maxNeurons) {
        return tooManyNeurons();
    }
    layer = Layer(size > 0 ? size : 0);
    return "";
}

std::string readHeader(Loading& loading) {
    NeuralNetwork& network = loading.network;
    if (!loading.text.nextLine()) {
        return missing("the hidden layer line");
    }
    while (const std::optional<std::string> piece = loading.text.token(isBlank)) {
        if (network.hiddenLayers.size() == maxHiddenLayers) {
            return "is too large: it has more than " + std::to_string(maxHiddenLayers) +
                   " hidden layers";
        }
        int size = 0;
        std::string fault = readCountFrom(loading, piece, "layer size", size);
        if (fault.empty()) {
            fault = addNeurons(loading, size, network.hiddenLayers.emplace_back());
        }
        if (!fault.empty()) {
            return fault;
        }
    }
    if (!loading.text.nextLine()) {
        return missing("the output count line");
    }
    int outputs = 0;
    const std::string fault =
        readCountFrom(loading, loading.text.token(isWhiteSpace), "output count", outputs);
    return fault.empty() ? addNeurons(loading, outputs, network.outputLayer) : fault;
}

// One row: the first width values are kept (the neurons of the layer the block feeds), the
// rest of the line is never read. Each must be wholly a finite number.
std::string readRow(Loading& loading, size_t width, std::vector<double>& row) {
    while (row.size() < width) {
        const std::optional<std::string> piece = loading.text.token(isBlank);
        if (!piece) {
            return "";
        }
        const std::string separator = separatorFault(loading, *piece);
        if (!separator.empty()) {
            return separator;
        }
        if (loading.text.tooLong) {
            return tooLong(loading);
        }
        const std::optional<double> weight = readExactDecimal(*piece);
        if (!weight) {
            return invalidLine(loading) + " holds '" + shown(*piece) +
                   "' where a weight belongs (a finite decimal number with '.' as its point)";
        }
        if (++loading.weights > maxWeights) {
            return "is too large: it has more than " + std::to_string(maxWeights) + " weights";
        }
        row.push_back(*weight);
    }
    return "";
}

// The first row of the block after the output layer's, when it holds a temperature above 0 and
// a share from 0 to 1, calibrates the answers' confidence. Anything else there is read past, as
// every block beyond the output layer always was.
void readCalibration(Loading& loading) {
    std::vector<double> row;
    if (readRow(loading, 2, row).empty() && row.size() == 2 && row[0] > 0.0 && row[1] >= 0.0 &&
        row[1] <= 1.0) {
        loading.network.calibration = {row[0], row[1]};
    }
}

// Block l feeds layer l. Its rows are the inputs for block 0 (each one a neuron of the input
// layer), otherwise one per neuron of the layer before; further rows and blocks are read past.
std::string readBlock(Loading& loading, size_t l, int rows) {
    NeuralNetwork& network = loading.network;
    const size_t layers = network.hiddenLayers.size() + 1;
    WeightMatrix* matrix = l < layers ? &network.weights.emplace_back() : nullptr;
    const Layer& fed =
        l < network.hiddenLayers.size() ? network.hiddenLayers[l] : network.outputLayer;
    for (int r = 0; r < rows; ++r) {
        if (!loading.text.nextLine()) {
            return "is incomplete: block " + std::to_string(l) + " has " + std::to_string(r) +
                   " of " + plural(rows, "row");
        }
        const bool kept = matrix != nullptr &&
                          (l == 0 || static_cast<size_t>(r) < network.hiddenLayers[l - 1].size());
        if (l == layers && r == 0) {
            readCalibration(loading);
        }
        if (!kept) {
            continue;
        }
        if (l == 0 && ++loading.neurons > maxNeurons) {
            return tooManyNeurons();
        }
        const std::string fault = readRow(loading, fed.size(), matrix->emplace_back());
        if (!fault.empty()) {
            return fault;
        }
    }
    return "";
}

std::string readBlocks(Loading& loading) {
    if (!loading.text.nextLine()) {
        return missing("the block count line");
    }
    int blocks = 0;
    std::string fault =
        readCountFrom(loading, loading.text.token(isWhiteSpace), "block count", blocks);
    for (int l = 0; l < blocks && fault.empty(); ++l) {
        if (!loading.text.nextLine()) {
            return missing("the row count of block " + std::to_string(l));
        }
        int rows = 0;
        fault = readCountFrom(loading, loading.text.token(isWhiteSpace), "row count", rows);
        if (fault.empty()) {
            fault = readBlock(loading, static_cast<size_t>(l), rows);
        }
    }
    return fault;
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
    // Opened without waiting, so a FIFO cannot block; only a regular file is read.
    const int descriptor = open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    FILE* file = descriptor >= 0 ? fdopen(descriptor, "r") : nullptr;
    if (file == nullptr) {
        if (descriptor >= 0) {
            close(descriptor);
        }
        return "Unable to open file " + fileName;
    }
    std::cout << "Loading network from file " << fileName << "..." << std::endl;
    struct stat status {};
    std::string fault;
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        fault = "is not a regular file";
    } else if (status.st_size > maxNetworkFileBytes) {
        fault = "is too large: " + std::to_string(status.st_size) + " bytes, more than " +
                std::to_string(maxNetworkFileBytes);
    } else {
        Loading loading{network, {file}};
        fault = readHeader(loading);
        if (fault.empty()) {
            fault = readBlocks(loading);
        }
        const std::string sizeFault = fault.empty() ? findSizeFault(network) : "";
        if (!sizeFault.empty()) {
            fault = "does not fit together: " + sizeFault;
        }
    }
    fclose(file);
    if (!fault.empty()) {
        clearNetwork(network);
        return "Network file " + fileName + " " + fault;
    }
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
               std::to_string(classCount) + " answers are known";
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
