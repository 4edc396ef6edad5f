#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "loader.hpp"
#include "test_support.hpp"
#include "writer.hpp"

namespace {

const std::vector<WeightMatrix> exampleWeights = {{{0.5, -1.25, 0.75}, {1.5, 0.25, -0.5}},
                                                  {{0.1, 0.2}, {-0.3, 0.4}, {0.5, -0.6}}};

std::string contentOf(const std::string& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

long entriesIn(const std::filesystem::path& folder) {
    return std::distance(std::filesystem::directory_iterator(folder), {});
}

TEST(NetworkFile, WritesTheLoaderFormat) {
    // 0.1 has no exact binary form: 17 digits show the double actually stored.
    EXPECT_EQ(formatNetwork(exampleWeights),
              "3\n2\n2\n2\n0.5 -1.25 0.75\n1.5 0.25 -0.5\n3\n"
              "0.10000000000000001 0.20000000000000001\n"
              "-0.29999999999999999 0.40000000000000002\n"
              "0.5 -0.59999999999999998\n");
    // Without hidden layers the hidden layer line is empty.
    EXPECT_EQ(formatNetwork({{{1.0, -2.0}}}), "\n2\n1\n1\n1 -2\n");
}

TEST(NetworkFile, ReplacesAnOldFileWithWeightsThatLoadBackBitForBit) {
    const std::vector<WeightMatrix> weights = {
        {{1.0 / 3.0, -2.0 / 7.0}, {1e-300, -123456.789012345678}, {std::nextafter(1.0, 2.0), 0.0}},
        {{std::sqrt(2.0), -std::exp(1.0), 5e-324}, {-0.0, 1e17 / 3.0, -1.0 / 9.0}}};
    TempDir dir;
    const std::string path = dir.write("nn.dat", "old content");
    ASSERT_EQ(writeNetworkFile(weights, path), "");
    EXPECT_EQ(contentOf(path), formatNetwork(weights));
    EXPECT_EQ(entriesIn(dir.path()), 1);  // no temporary file left behind
    NeuralNetwork network;
    CoutCapture quiet;
    ASSERT_TRUE(loadNetwork(network, path));
    ASSERT_EQ(network.hiddenLayers.size(), 1u);
    EXPECT_EQ(network.hiddenLayers[0].size(), 2u);
    EXPECT_EQ(network.outputLayer.size(), 3u);
    EXPECT_EQ(network.weights, weights);  // exactly, not approximately
}

TEST(NetworkFile, AFailedWriteKeepsTheOldFileAndLeavesNoTemporary) {
    TempDir dir;
    const std::string path = dir.write("nn.dat", "old content");
    // A big network, written by a child process that may write only 4 KB per file: the write
    // fails half way, as on a full disk.
    const std::vector<WeightMatrix> big{WeightMatrix(200, std::vector<double>(50, 0.123456789))};
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(writeNetworkFile(big, path).empty() ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1) << "the write should have failed";
    EXPECT_EQ(contentOf(path), "old content");
    EXPECT_EQ(entriesIn(dir.path()), 1);
}

TEST(NetworkFile, ReportsAFolderThatDoesNotExist) {
    TempDir dir;
    const std::string path = dir.file("missing/nn.dat");
    const std::string fault = writeNetworkFile(exampleWeights, path);
    EXPECT_NE(fault.find("missing"), std::string::npos) << fault;
    EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
