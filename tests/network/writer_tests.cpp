#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <iterator>

#include "loader.hpp"
#include "test_support.hpp"
#include "writer.hpp"

namespace {

// Written in a user's German locale (where installed), read back in any.
TEST(NetworkFile, ReplacesAnOldFileWithWeightsThatLoadBackBitForBit) {
    const GermanLocale german;
    const std::vector<WeightMatrix> hidden = {
        {{1.0 / 3.0, -2.0 / 7.0}, {1e-300, -123456.789012345678}, {std::nextafter(1.0, 2.0), 0.0}},
        {{std::sqrt(2.0), -std::exp(1.0), 5e-324}, {-0.0, 1e17 / 3.0, -1.0 / 9.0}}};
    // A name as long as a file name may be: the temporary name beside it is cut short.
    const std::string longest = std::string(251, 'n') + ".dat";
    for (const auto& [weights, name] :
         std::vector<std::pair<std::vector<WeightMatrix>, std::string>>{
             {hidden, "nn.dat"}, {{{{0.1, -2.0}}}, longest}}) {
        TempDir dir;
        const std::string path = dir.write(name, "old content");
        ASSERT_EQ(writeNetworkFile(weights, path), "");
        EXPECT_EQ(entriesIn(dir.path()), 1);  // no temporary file left behind
        NeuralNetwork network;
        CoutCapture quiet;
        ASSERT_TRUE(loadNetwork(network, path));
        EXPECT_EQ(network.hiddenLayers.size(), weights.size() - 1);
        EXPECT_EQ(network.weights, weights);  // exactly, not approximately
    }
}

// The rename at the end fails (a folder has taken the file's place): the writer says so and
// leaves the folder and no temporary file. A full disk is tried on every writer of the tools.
TEST(NetworkFile, AFailedRenameKeepsWhatIsThereAndLeavesNoTemporary) {
    TempDir dir;
    const std::string path = dir.write("nn.dat", "old content");
    PendingNetworkFile pending = startNetworkFile(path);
    ASSERT_EQ(pending.fault, "");
    std::filesystem::remove(path);
    std::filesystem::create_directories(path + "/inside");
    EXPECT_EQ(finishNetworkFile(pending, {{{0.5}}}),
              "cannot write '" + path + "': " + std::strerror(EISDIR));
    EXPECT_TRUE(std::filesystem::is_directory(path + "/inside"));
    EXPECT_EQ(entriesIn(dir.path()), 1);
}

}  // namespace
