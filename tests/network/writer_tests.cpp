#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <iterator>

#include <cmath>
#include <filesystem>
#include <limits>

#include "loader.hpp"
#include "test_support.hpp"
#include "writer.hpp"

namespace {

std::vector<WeightMatrix> exampleWeights() {
    return {{{0.5, -1.25, 0.75}, {1.5, 0.25, -0.5}}, {{0.1, 0.2}, {-0.3, 0.4}, {0.5, -0.6}}};
}

bool loadQuietly(NeuralNetwork& network, const std::string& path) {
    CoutCapture quiet;
    return loadNetwork(network, path);
}

TEST(NetworkFile, WritesTheLoaderFormat) {
    // 0.1 has no exact binary form: 17 digits show the double actually stored.
    EXPECT_EQ(formatNetwork(exampleWeights()),
              "3\n2\n2\n2\n0.5 -1.25 0.75\n1.5 0.25 -0.5\n3\n"
              "0.10000000000000001 0.20000000000000001\n"
              "-0.29999999999999999 0.40000000000000002\n"
              "0.5 -0.59999999999999998\n");
}

TEST(NetworkFile, WritesAnEmptyHiddenLineWithoutHiddenLayers) {
    EXPECT_EQ(formatNetwork({{{1.0, -2.0}}}), "\n2\n1\n1\n1 -2\n");
}

TEST(NetworkFile, LoadsBackToTheSameWeights) {
    const std::vector<WeightMatrix> weights = {
        {{1.0 / 3.0, -2.0 / 7.0}, {1e-300, -123456.789012345678}, {std::nextafter(1.0, 2.0), 0.0}},
        {{std::sqrt(2.0), -std::exp(1.0), 5e-324}, {-0.0, 1e17 / 3.0, -1.0 / 9.0}}};
    TempDir dir;
    const std::string path = dir.file("nn.dat");
    ASSERT_EQ(writeNetworkFile(weights, path), "");
    NeuralNetwork network;
    ASSERT_TRUE(loadQuietly(network, path));
    ASSERT_EQ(network.hiddenLayers.size(), 1u);
    EXPECT_EQ(network.hiddenLayers[0].size(), 2u);
    EXPECT_EQ(network.outputLayer.size(), 3u);
    ASSERT_EQ(network.weights.size(), weights.size());
    for (size_t l = 0; l < weights.size(); ++l) {
        ASSERT_EQ(network.weights[l].size(), weights[l].size());
        for (size_t i = 0; i < weights[l].size(); ++i) {
            ASSERT_EQ(network.weights[l][i].size(), weights[l][i].size());
            for (size_t j = 0; j < weights[l][i].size(); ++j) {
                // Bit for bit, not approximately.
                EXPECT_EQ(network.weights[l][i][j], weights[l][i][j]) << l << " " << i << " " << j;
            }
        }
    }
}

TEST(NetworkFile, ReplacesAnOldFileAndLeavesNoTemporaryBehind) {
    TempDir dir;
    const std::string path = dir.write("nn.dat", "old content");
    ASSERT_EQ(writeNetworkFile(exampleWeights(), path), "");
    std::ifstream file(path);
    const std::string content((std::istreambuf_iterator<char>(file)), {});
    EXPECT_EQ(content, formatNetwork(exampleWeights()));
    size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 1u);
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
    std::ifstream file(path);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(file)), {}), "old content");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              1);
}

TEST(NetworkFile, ReportsAFolderThatDoesNotExist) {
    TempDir dir;
    const std::string path = dir.file("missing/nn.dat");
    const std::string fault = writeNetworkFile(exampleWeights(), path);
    EXPECT_NE(fault.find("missing"), std::string::npos) << fault;
    EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
