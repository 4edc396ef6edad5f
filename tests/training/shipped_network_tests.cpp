// The committed nn.dat against the photos it was trained on: catches a change in the features,
// the hand-off or the loader that would quietly make the shipped network worse. The photo folder
// grows, so the photos are the ones listed in tests/data/shipped_network_photos.txt.
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <numeric>
#include <regex>
#include <set>
#include <sstream>

#include "dataset.hpp"
#include "dialogue.hpp"
#include "evaluation.hpp"
#include "handoff.hpp"
#include "loader.hpp"
#include "test_support.hpp"

namespace {

std::string sourceFile(const std::string& name) {
    return readFile(std::string(LEAFID_SOURCE_DIR) + "/" + name);
}

TEST(ShippedNetwork, NamesTheTrainingPhotosAsDocumented) {
    const std::string leaves = LEAFID_LEAVES_DIR;
    if (!std::filesystem::is_directory(leaves)) {
        GTEST_SKIP() << "leaf photos not found at " << leaves << "; nothing to check against";
    }
    // The training notes state how many photos the shipped network names right; that statement
    // is the floor, so the documentation and the network cannot drift apart.
    const std::string notes = sourceFile("docs/training.md");
    std::smatch documented;
    ASSERT_TRUE(std::regex_search(notes, documented,
                                  std::regex("names ([0-9]+) of the ([0-9]+) photos right")))
        << "docs/training.md must say 'names N of the M photos right'";
    std::istringstream list(sourceFile("tests/data/shipped_network_photos.txt"));
    const std::set<std::string> listed{std::istream_iterator<std::string>(list), {}};
    ASSERT_EQ(listed.size(), std::stoul(documented[2]));

    NeuralNetwork network;
    CoutCapture quiet;
    ASSERT_TRUE(loadNetwork(network, std::string(LEAFID_SOURCE_DIR) + "/nn.dat"));
    ASSERT_EQ(findFitFault(network, leafValueCount, answerCount), "");
    const DatasetScan scan = scanDataset(leaves);
    ASSERT_EQ(scan.fault, "");
    int found = 0;
    std::vector<int> right(scan.classes.size(), 0);
    std::vector<int> measured(scan.classes.size(), 0);
    for (const LabelledImage& image : scan.images) {
        if (listed.count(std::filesystem::relative(image.path, leaves).generic_string()) == 0) {
            continue;
        }
        ++found;
        const LeafAnalysis analysis =
            analyzeLeafImage(image.path, false, false, descriptorsRead(inputCount(network)));
        if (analysis.verdict == LeafVerdict::Measured) {
            const size_t label = static_cast<size_t>(image.label);
            ++measured[label];
            right[label] += classify(network, toFeatureText(analysis.features)) == image.label;
        }
    }
    EXPECT_EQ(found, static_cast<int>(listed.size())) << "listed photos missing from " << leaves;
    EXPECT_GE(std::accumulate(right.begin(), right.end(), 0), std::stoi(documented[1]));
    for (size_t c = 0; c < right.size(); ++c) {
        // Every species is still mostly named right, not traded away for another.
        EXPECT_GE(right[c] * 10, measured[c] * 8) << scan.classes[c];
    }
}

}  // namespace
