#include "dialogue.hpp"

#include <sys/stat.h>

#include <fstream>
#include <iostream>

#include "evaluation.hpp"
#include "handoff.hpp"
#include "loader.hpp"
#include "network_file.hpp"

namespace {

const char* const prompt = "Enter image path: ";

// Reads the next word; false at the end of input.
bool readWord(std::string& word) {
    std::cout << std::flush;
    return static_cast<bool>(std::cin >> word);
}

const char* sorryFor(LeafVerdict verdict) {
    switch (verdict) {
        case LeafVerdict::NoLeaf:
            return "Sorry, but no leaf was found in this image!";
        case LeafVerdict::Unmeasurable:
            return "Sorry, but this leaf couldn't be measured!";
        default:
            return "Sorry, but this file isn't a readable image!";
    }
}

void answer(NeuralNetwork& network, const TreeNameList& treeNames, const std::string& path) {
    if (!fileExists(path)) {
        std::cout << "Sorry, but this file doesn't exists!" << std::endl << std::endl;
        return;
    }
    const FeatureHandOff handOff = extractFeatures(path, descriptorsRead(inputCount(network)));
    if (handOff.verdict != LeafVerdict::Measured) {
        std::cout << sorryFor(handOff.verdict) << std::endl << std::endl;
        return;
    }
    const int index = classify(network, handOff.text);
    if (index == noAnswer) {
        std::cout << "Sorry, but the network couldn't name this leaf!" << std::endl << std::endl;
        return;
    }
    if (static_cast<size_t>(index) >= treeNames.size()) {
        std::cout << "Sorry, but this leaf is none of the five species!" << std::endl << std::endl;
        return;
    }
    std::cout << "tree = " << treeNames[static_cast<size_t>(index)] << std::endl << std::endl;
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
    const TreeNameList treeNames = makeTreeNameList();

    // The first prompt stands after one empty line; every answer ends with one.
    std::cout << std::endl;
    std::string word;
    while (true) {
        std::cout << prompt;
        if (!readWord(word) || word == "end") {
            return exitEnded;  // end of input ends the dialogue like "end"
        }
        answer(network, treeNames, word);
    }
}
