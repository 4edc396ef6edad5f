#include "dialogue.hpp"

#include <sys/stat.h>

#include <fstream>
#include <iostream>

#include "identification.hpp"
#include "loader.hpp"
#include "network_file.hpp"

namespace {

const char* const prompt = "Enter image path: ";
const char* const noSuchFile = "Sorry, but this file doesn't exists!";

// Standard output that failed (a full disk, a closed descriptor, a reader gone): every answer
// after it is lost, so the dialogue stops and says so where it still can.
int outputLost() {
    std::cerr << "leafid: standard output could not be written" << std::endl;
    return exitOutputFailed;
}

// The longest path the system opens (PATH_MAX, its final NUL included): a longer word, or one
// holding a NUL byte, names no file.
constexpr size_t maxPathBytes = 4096;

bool isWhiteSpace(int c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Reads the next word as a stream reads a string, leaving the white space after it unread;
// false at the end of input. A word that cannot be a path is read to its end, in any length,
// but kept only as far as its first NUL byte or its first maxPathBytes bytes, and never opened.
bool readWord(std::string& word, bool& impossible) {
    std::cout << std::flush;
    std::streambuf& in = *std::cin.rdbuf();
    int c = in.sgetc();
    while (c != EOF && isWhiteSpace(c)) {
        c = in.snextc();
    }
    word.clear();
    impossible = false;
    for (; c != EOF && !isWhiteSpace(c); c = in.snextc()) {
        impossible = impossible || c == '\0' || word.size() == maxPathBytes - 1;
        if (!impossible) {
            word += static_cast<char>(c);
        }
    }
    return !word.empty() || impossible;
}

void answer(NeuralNetwork& network, const std::string& path) {
    if (!fileExists(path)) {
        std::cout << noSuchFile << std::endl << std::endl;
        return;
    }
    std::cout << identifyLeaf(network, path, true).answer << std::endl << std::endl;
}

}  // namespace

TreeNameList makeTreeNameList() {
    return {"Ginkgo (Ginko Biloba)", "Lime (Lipa)", "Maple (Javor)", "Oak (Dub)", "Willow (Vrba)"};
}

bool fileExists(std::string path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return false;
    }
    std::ifstream file(path);
    return file.is_open();
}

void waitForEnter() {
    std::cout << "Press Enter key to close program..." << std::flush;
    int c = 0;
    while ((c = std::cin.get()) != '\n' && c != std::char_traits<char>::eof()) {
    }
    if (c == '\n') {
        std::cin.get();
    }
}

int runDialogue() {
    NeuralNetwork network;
    const std::string loadFault =
        loadFittingNetwork(network, defaultNetworkFile(), leafValueCount, answerCount);
    if (!loadFault.empty()) {
        std::cout << loadFault << std::endl;
        std::cout << "Network wasn't loaded" << std::endl;
        waitForEnter();
        return exitNetworkNotLoaded;
    }

    // The first prompt stands after one empty line; every answer ends with one.
    std::cout << std::endl;
    std::string word;
    while (true) {
        std::cout << prompt;
        bool impossible = false;
        const bool read = readWord(word, impossible);
        if (!std::cout) {
            return outputLost();
        }
        if (!read || (!impossible && word == "end")) {
            return exitEnded;  // end of input ends the dialogue like "end"
        }
        if (impossible) {
            std::cout << noSuchFile << std::endl << std::endl;
            continue;
        }
        answer(network, word);
    }
}
