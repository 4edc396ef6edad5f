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

std::string contentOf(const std::string& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

long entriesIn(const std::filesystem::path& folder) {
    return std::distance(std::filesystem::directory_iterator(folder), {});
}

// Written in a user's German locale (where installed), read back in any.
TEST(NetworkFile, ReplacesAnOldFileWithWeightsThatLoadBackBitForBit) {
    const GermanLocale german;
    const std::vector<WeightMatrix> hidden = {
        {{1.0 / 3.0, -2.0 / 7.0}, {1e-300, -123456.789012345678}, {std::nextafter(1.0, 2.0), 0.0}},
        {{std::sqrt(2.0), -std::exp(1.0), 5e-324}, {-0.0, 1e17 / 3.0, -1.0 / 9.0}}};
    for (const std::vector<WeightMatrix>& weights : {hidden, {{{0.1, -2.0}}}}) {
        TempDir dir;
        const std::string path = dir.write("nn.dat", "old content");
        ASSERT_EQ(writeNetworkFile(weights, path), "");
        EXPECT_EQ(entriesIn(dir.path()), 1);  // no temporary file left behind
        NeuralNetwork network;
        CoutCapture quiet;
        ASSERT_TRUE(loadNetwork(network, path));
        EXPECT_EQ(network.hiddenLayers.size(), weights.size() - 1);
        EXPECT_EQ(network.weights, weights);  // exactly, not approximately
    }
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

}  // namespace
