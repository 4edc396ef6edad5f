#include "dialogue.hpp"

#include <sys/stat.h>

#include <fstream>
#include <iostream>

#include "identification.hpp"
#include "loader.hpp"
#include "network_file.hpp"

namespace {

const char* const prompt = "Enter image path: ";

// Reads the next word; false at the end of input.
bool readWord(std::string& word) {
    std::cout << std::flush;
    return static_cast<bool>(std::cin >> word);
}

void answer(NeuralNetwork& network, const std::string& path) {
    if (!fileExists(path)) {
        std::cout << "Sorry, but this file doesn't exists!" << std::endl << std::endl;
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
        if (!readWord(word) || word == "end") {
            return exitEnded;  // end of input ends the dialogue like "end"
        }
        answer(network, word);
    }
}
