// The committed nn.dat against the photos it was trained on: catches a change in the features,
// the hand-off or the loader that would quietly make the shipped network worse. The photo folder
// grows, so the photos are the ones listed in tests/data/shipped_network_photos.txt.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

#include "dataset.hpp"
#include "dialogue.hpp"
#include "evaluation.hpp"
#include "handoff.hpp"
#include "loader.hpp"
#include "test_support.hpp"

namespace {

struct Documented {
    int right = -1;
    int total = -1;
};

// The training notes state how many photos the shipped network names right; that statement is
// the floor, so the documentation and the network cannot drift apart.
Documented documentedResult() {
    std::ifstream file(std::string(LEAFID_SOURCE_DIR) + "/docs/training.md");
    const std::string text((std::istreambuf_iterator<char>(file)), {});
    const std::regex sentence("names ([0-9]+) of the ([0-9]+) photos right");
    std::smatch match;
    if (!std::regex_search(text, match, sentence)) {
        return {};
    }
    return {std::stoi(match[1]), std::stoi(match[2])};
}

// The photos the shipped network was trained on, as paths relative to the photo folder.
std::set<std::string> trainingPhotos() {
    std::ifstream file(std::string(LEAFID_SOURCE_DIR) + "/tests/data/shipped_network_photos.txt");
    std::set<std::string> names;
    for (std::string line; std::getline(file, line);) {
        if (!line.empty()) {
            names.insert(line);
        }
    }
    return names;
}

TEST(ShippedNetwork, NamesTheTrainingPhotosAsDocumented) {
    const std::string leaves = LEAFID_LEAVES_DIR;
    if (!std::filesystem::is_directory(leaves)) {
        GTEST_SKIP() << "leaf photos not found at " << leaves << "; nothing to check against";
    }
    const Documented documented = documentedResult();
    ASSERT_GE(documented.right, 0) << "docs/training.md must say 'names N of the M photos right'";

    NeuralNetwork network;
    {
        CoutCapture quiet;
        ASSERT_TRUE(loadNetwork(network, std::string(LEAFID_SOURCE_DIR) + "/nn.dat"));
    }
    ASSERT_EQ(findFitFault(network, leafValueCount, answerCount), "");
    const size_t descriptors = descriptorsRead(inputCount(network));
    const DatasetScan scan = scanDataset(leaves);
    ASSERT_EQ(scan.fault, "");
    const std::set<std::string> listed = trainingPhotos();
    ASSERT_EQ(static_cast<int>(listed.size()), documented.total);
    int found = 0;
    int right = 0;
    int measured = 0;
    std::vector<int> rightPerClass(scan.classes.size(), 0);
    std::vector<int> perClass(scan.classes.size(), 0);
    for (const LabelledImage& image : scan.images) {
        const std::string name = std::filesystem::relative(image.path, leaves).generic_string();
        if (listed.count(name) == 0) {
            continue;
        }
        ++found;
        LeafAnalysis analysis;
        {
            CoutCapture quiet;
            analysis = analyzeLeafImage(image.path, false, false, descriptors);
        }
        if (analysis.verdict != LeafVerdict::Measured) {
            continue;
        }
        ++measured;
        ++perClass[static_cast<size_t>(image.label)];
        if (classify(network, toFeatureText(analysis.features)) == image.label) {
            ++right;
            ++rightPerClass[static_cast<size_t>(image.label)];
        }
    }
    EXPECT_EQ(found, documented.total) << "listed training photos missing from " << leaves;
    EXPECT_GE(right, documented.right) << "of " << measured << " measured photos";
    for (size_t c = 0; c < perClass.size(); ++c) {
        // Every species is still mostly named right, not traded away for another.
        EXPECT_GE(rightPerClass[c] * 10, perClass[c] * 8) << scan.classes[c];
    }
}

}  // namespace
