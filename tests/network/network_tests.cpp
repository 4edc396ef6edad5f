#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>

#include "evaluation.hpp"
#include "loader.hpp"
#include "test_support.hpp"
#include "text_numbers.hpp"

namespace {

double sig(double x) {
    return 1.0 / (1.0 + std::exp(-x));
}

// Two inputs, one hidden layer of three, two outputs.
const char* const exampleFile =
    "3\n2\n2\n2\n0.5 -1.25 0.75\n1.5 0.25 -0.5\n3\n0.1 0.2\n-0.3 0.4\n0.5 -0.6\n";

struct Loaded {
    bool ok = false;
    std::string output;
};

Loaded load(NeuralNetwork& network, const std::string& content) {
    TempDir dir;
    const std::string path = dir.write("nn.dat", content);
    CoutCapture capture;
    const bool ok = loadNetwork(network, path);
    return {ok, capture.text()};
}

// The refusal line names the file; tests compare what follows the name.
std::string refusal(const std::string& content) {
    NeuralNetwork network;
    TempDir dir;
    const std::string path = dir.write("nn.dat", content);
    CoutCapture capture;
    EXPECT_FALSE(loadNetwork(network, path));
    EXPECT_TRUE(network.hiddenLayers.empty() && network.outputLayer.empty() &&
                network.weights.empty());
    const std::string text = capture.text();
    const std::string progress = "Loading network from file " + path + "...\n";
    EXPECT_EQ(text.substr(0, progress.size()), progress);
    const std::string prefix = "Network file " + path + " ";
    const std::string rest = text.substr(progress.size());
    EXPECT_EQ(rest.substr(0, prefix.size()), prefix);
    EXPECT_EQ(rest.back(), '\n');
    return rest.substr(prefix.size(), rest.size() - prefix.size() - 1);
}

}  // namespace

TEST(SplitString, KeepsOnlyNonEmptyPiecesInOrder) {
    EXPECT_EQ(splitString("12 7  5", ' '), (std::vector<std::string>{"12", "7", "5"}));
    EXPECT_EQ(splitString("  3 ", ' '), (std::vector<std::string>{"3"}));
    EXPECT_TRUE(splitString("    ", ' ').empty());
    EXPECT_TRUE(splitString("", ' ').empty());
    EXPECT_EQ(splitString("a\tb c", ' '), (std::vector<std::string>{"a\tb", "c"}));
    EXPECT_EQ(splitString("x,,y,", ','), (std::vector<std::string>{"x", "y"}));
}

TEST(TextNumbers, CountsAreSigned32BitPrefixes) {
    EXPECT_EQ(readCount("12abc"), 12);
    EXPECT_EQ(readCount("  3 4"), 3);
    EXPECT_EQ(readCount("-3"), -3);
    EXPECT_EQ(readCount("+7"), 7);
    EXPECT_EQ(readCount("2147483647"), 2147483647);
    EXPECT_EQ(readCount("-2147483648"), std::numeric_limits<int>::min());
    EXPECT_FALSE(readCount("2147483648"));
    EXPECT_FALSE(readCount("-2147483649"));
    EXPECT_FALSE(readCount(""));
    EXPECT_FALSE(readCount("abc"));
    EXPECT_FALSE(readCount("+-1"));
}

TEST(TextNumbers, DecimalsAreLongestNumericPrefixes) {
    EXPECT_EQ(readDecimal("0.5"), 0.5);
    EXPECT_EQ(readDecimal("-1.25"), -1.25);
    EXPECT_EQ(readDecimal("1e-2"), 0.01);
    EXPECT_EQ(readDecimal("2.5x"), 2.5);
    EXPECT_EQ(readDecimal("1e"), 1.0);
    EXPECT_EQ(readDecimal("1e+"), 1.0);
    EXPECT_EQ(readDecimal("3E2"), 300.0);
    EXPECT_EQ(readDecimal(".5"), 0.5);
    EXPECT_EQ(readDecimal("5."), 5.0);
    EXPECT_EQ(readDecimal("+4"), 4.0);
    EXPECT_EQ(readDecimal(" \t7"), 7.0);
    EXPECT_EQ(readDecimal("abc"), 0.0);
    EXPECT_EQ(readDecimal("."), 0.0);
    EXPECT_EQ(readDecimal("-"), 0.0);
    EXPECT_EQ(readDecimal("0,5"), 0.0);
    EXPECT_EQ(readDecimal("1e999"), std::numeric_limits<double>::infinity());
    EXPECT_EQ(readDecimal("-1e999"), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(readDecimal("1e-999"), 0.0);
    // 17 significant digits come back as the very same double.
    EXPECT_EQ(readDecimal("0.10000000000000001"), 0.1);
    EXPECT_EQ(readDecimal("-3.1415926535897931"), -3.1415926535897931);
}

TEST(TextNumbers, IgnoreTheUserLocale) {
    const GermanLocale german;
    if (!german.active()) {
        GTEST_SKIP() << "locale de_DE.UTF-8 is not installed here";
    }
    EXPECT_EQ(readDecimal("0.75"), 0.75);
    EXPECT_EQ(readDecimal("1,5"), 1.0);
    EXPECT_EQ(splitString("0.5 1,5", ' ').size(), 2u);
}

TEST(LoadNetwork, ReadsTheExampleFile) {
    NeuralNetwork network;
    const Loaded loaded = load(network, exampleFile);
    ASSERT_TRUE(loaded.ok);
    ASSERT_EQ(network.hiddenLayers.size(), 1u);
    EXPECT_EQ(network.hiddenLayers[0].size(), 3u);
    EXPECT_EQ(network.outputLayer.size(), 2u);
    ASSERT_EQ(network.weights.size(), 2u);
    EXPECT_EQ(network.weights[0], (WeightMatrix{{0.5, -1.25, 0.75}, {1.5, 0.25, -0.5}}));
    EXPECT_EQ(network.weights[1], (WeightMatrix{{0.1, 0.2}, {-0.3, 0.4}, {0.5, -0.6}}));
    EXPECT_EQ(inputCount(network), 2);
    for (const Neuron& n : network.hiddenLayers[0]) {
        EXPECT_EQ(n.output, 0.0);
        EXPECT_EQ(n.error, 0.0);
    }
    EXPECT_EQ(loaded.output.find("Loading network from file "), 0u);
    EXPECT_NE(loaded.output.find("nn.dat...\nNetwork successfully loaded.\n"), std::string::npos);
}

TEST(LoadNetwork, MissingFileSaysSoAndLeavesTheNetworkEmpty) {
    NeuralNetwork network;
    network.outputLayer = Layer(3);
    CoutCapture capture;
    EXPECT_FALSE(loadNetwork(network, "no-such-dir/nn.dat"));
    EXPECT_EQ(capture.text(), "Unable to open file no-such-dir/nn.dat\n");
    EXPECT_TRUE(network.outputLayer.empty());
}

TEST(LoadNetwork, LayoutVariantsLoadAsWritten) {
    NeuralNetwork network;
    // Layer line with doubled and trailing blanks, CR LF line ends, words after the counts,
    // blank-separated weights with surplus values (never read), a non-number weight (0), text
    // after the end.
    const std::string crlf =
        "2  1 \r\n3 outputs\r\n3\r\n1\r\n0.5  -1.25 \r\n2\r\n1e-2 nan\r\n4\r\n1\r\n7 x 9\r\n"
        "trailing text\r\n";
    ASSERT_TRUE(load(network, crlf).ok);
    ASSERT_EQ(network.hiddenLayers.size(), 2u);
    EXPECT_EQ(network.hiddenLayers[0].size(), 2u);
    EXPECT_EQ(network.hiddenLayers[1].size(), 1u);
    EXPECT_EQ(network.outputLayer.size(), 3u);
    EXPECT_EQ(network.weights[0], (WeightMatrix{{0.5, -1.25}}));
    EXPECT_EQ(network.weights[1], (WeightMatrix{{0.01}, {4.0}}));
    EXPECT_EQ(network.weights[2], (WeightMatrix{{7, 0, 9}}));

    // Empty layer line: no hidden layers; block 0 feeds the outputs.
    ASSERT_TRUE(load(network, "\n2\n1\n1\n1 2\n").ok);
    EXPECT_TRUE(network.hiddenLayers.empty());
    EXPECT_EQ(network.weights.size(), 1u);

    // Zero and negative layer sizes give layers without neurons; they still count.
    ASSERT_TRUE(load(network, "0 -3\n1\n3\n0\n0\n0\n").ok);
    ASSERT_EQ(network.hiddenLayers.size(), 2u);
    EXPECT_TRUE(network.hiddenLayers[0].empty() && network.hiddenLayers[1].empty());

    // Loading twice gives the same network as loading once.
    ASSERT_TRUE(load(network, exampleFile).ok);
    ASSERT_TRUE(load(network, exampleFile).ok);
    EXPECT_EQ(network.weights.size(), 2u);
    EXPECT_EQ(network.hiddenLayers.size(), 1u);
}

TEST(LoadNetwork, RefusesFilesThatEndEarly) {
    EXPECT_EQ(refusal(""), "is incomplete: the hidden layer line is missing");
    EXPECT_EQ(refusal("3\n"), "is incomplete: the output count line is missing");
    EXPECT_EQ(refusal("3\n2\n"), "is incomplete: the block count line is missing");
    EXPECT_EQ(refusal("3\n2\n2\n2\n1 2 3\n4 5 6\n"),
              "is incomplete: the row count of block 1 is missing");
    EXPECT_EQ(refusal("3\n2\n2\n2\n1 2 3\n4 5 6\n3\n1 2\n2 3\n"),
              "is incomplete: block 1 has 2 of 3 rows");
}

TEST(LoadNetwork, RefusesUnreadableCounts) {
    EXPECT_EQ(refusal("3 x\n2\n1\n"),
              "is invalid: line 1 holds no layer size (a whole number of 32 bits)");
    EXPECT_EQ(refusal("3\n\n1\n"),
              "is invalid: line 2 holds no output count (a whole number of 32 bits)");
    EXPECT_EQ(refusal("3\n2\n99999999999\n"),
              "is invalid: line 3 holds no block count (a whole number of 32 bits)");
    EXPECT_EQ(refusal("\n2\n1\nrows\n"),
              "is invalid: line 4 holds no row count (a whole number of 32 bits)");
    EXPECT_EQ(refusal("\n2000000000\n1\n0\n"),
              "is invalid: line 2 asks for 2000000000 neurons, more than 1048576");
    // The largest accepted layer passes the count check and fails only on the missing lines.
    EXPECT_EQ(refusal("1048576\n"), "is incomplete: the output count line is missing");
    EXPECT_EQ(refusal("1048577\n"),
              "is invalid: line 1 asks for 1048577 neurons, more than 1048576");
}

TEST(LoadNetwork, RefusesHugeClaimsQuicklyWithoutReservingMemory) {
    // A file that promises two billion rows and then ends must not be trusted in advance.
    EXPECT_EQ(refusal("\n1\n1\n2000000000\n1\n"),
              "is incomplete: block 0 has 1 of 2000000000 rows");
    EXPECT_EQ(refusal("\n1\n2000000000\n0\n"),
              "is incomplete: the row count of block 1 is missing");
    // Weights are counted as they are kept: the fifth row of a million takes too many.
    std::string row;
    for (int i = 0; i < 1048000; ++i) {
        row += "0 ";
    }
    std::string rows;
    for (int r = 0; r < 5; ++r) {
        rows += row + "\n";
    }
    EXPECT_EQ(refusal("1048000\n1\n2\n5\n" + rows),
              "is too large: it has more than 4194304 weights");
}

TEST(LoadNetwork, RefusesSizesThatEvaluationCannotUse) {
    EXPECT_EQ(refusal("3\n2\n1\n2\n1 2 3\n4 5 6\n"),
              "does not fit together: it has 1 weight block for 2 layers");
    EXPECT_EQ(refusal("3\n2\n2\n1\n1 2 3\n2\n1 2\n1 2\n"),
              "does not fit together: block 1 has 2 rows for the 3 neurons of hidden layer 0");
    EXPECT_EQ(refusal("3\n2\n2\n2\n1 2 3\n4 5\n3\n1 2\n1 2\n1 2\n"),
              "does not fit together: row 1 of block 0 has 2 values for 3 neurons");
    EXPECT_EQ(refusal("3\n2\n2\n1\n1 2 3\n3\n1 2\n1\n1 2\n"),
              "does not fit together: row 1 of block 1 has 1 value for 2 neurons");
    // Rows beyond the neurons of the layer before are never read, so they may be short.
    NeuralNetwork network;
    EXPECT_TRUE(load(network, "1\n1\n2\n1\n1\n2\n1\n\n").ok);
}

class Evaluation : public ::testing::Test {
  protected:
    NeuralNetwork network;
    void loadText(const std::string& content) { ASSERT_TRUE(load(network, content).ok); }
};

TEST_F(Evaluation, ExampleNetworkByHand) {
    loadText(exampleFile);
    network.patternSets.push_back({Pattern{{1.0, 2.0}, {0.0, 0.0}}});
    // Net inputs of the hidden layer: 0.5 + 3, -1.25 + 0.5, 0.75 - 1.
    EXPECT_DOUBLE_EQ(weightedSum(network, 0, 0), 3.5);
    EXPECT_DOUBLE_EQ(weightedSum(network, 0, 1), -0.75);
    EXPECT_DOUBLE_EQ(weightedSum(network, 0, 2), -0.25);
    const double total = feedForward(network);
    EXPECT_NEAR(network.hiddenLayers[0][0].output, 0.9706877692486436, 1e-15);
    EXPECT_NEAR(network.hiddenLayers[0][1].output, 0.320821300824607, 1e-15);
    EXPECT_NEAR(network.hiddenLayers[0][2].output, 0.43782349911420193, 1e-15);
    EXPECT_NEAR(weightedSum(network, 1, 0), 0.21973413623458324, 1e-15);
    EXPECT_NEAR(network.outputLayer[0].output, 0.5547135660044302, 1e-15);
    EXPECT_NEAR(network.outputLayer[1].output, 0.5149385463775917, 1e-15);
    EXPECT_NEAR(network.outputLayer[0].error, -0.5547135660044302, 1e-15);
    EXPECT_NEAR(total, 0.5728688468548185, 1e-15);
    EXPECT_EQ(network.hiddenLayers[0][0].error, 0.0);
}

TEST_F(Evaluation, ClassifyLeavesNoPatternAndRepeats) {
    loadText(exampleFile);
    EXPECT_EQ(classify(network, "1 2 "), 0);
    EXPECT_TRUE(network.patternSets.empty());
    EXPECT_NEAR(network.outputLayer[1].output, 0.5149385463775917, 1e-15);
    EXPECT_EQ(classify(network, "1 2 "), 0);
    // Output 1 wins when the second input dominates: hidden net inputs 1.5, 0.25, -0.5 times 4.
    EXPECT_EQ(classify(network, "0 4 "), 1);
}

TEST_F(Evaluation, TokensAreReadLikeAtofAndSurplusIgnored) {
    loadText(exampleFile);
    const auto outputsFor = [&](const std::string& text) {
        classify(network, text);
        return std::vector<double>{network.outputLayer[0].output, network.outputLayer[1].output};
    };
    const std::vector<double> reference = outputsFor("1 2 ");
    EXPECT_EQ(outputsFor("1 2 99 -7 "), reference);
    EXPECT_EQ(outputsFor("1x 2.0abc"), reference);
    EXPECT_EQ(outputsFor("abc 2 "), outputsFor("0 2 "));
    // Missing values count as zero.
    EXPECT_EQ(outputsFor("1 "), outputsFor("1 0 "));
    EXPECT_EQ(outputsFor(""), outputsFor("0 0 "));
}

TEST_F(Evaluation, ZeroWeightsGiveHalvesAndTheFirstIndex) {
    loadText("4\n3\n2\n2\n0 0 0 0\n0 0 0 0\n4\n1 1 1\n1 1 1\n1 1 1\n1 1 1\n");
    EXPECT_EQ(classify(network, "3 -5 "), 0);
    for (const Neuron& n : network.hiddenLayers[0]) {
        EXPECT_EQ(n.output, 0.5);
    }
    EXPECT_DOUBLE_EQ(network.outputLayer[0].output, sig(2.0));
    EXPECT_EQ(network.outputLayer[0].output, network.outputLayer[2].output);
}

TEST_F(Evaluation, NoHiddenLayerAndEmptyHiddenLayer) {
    loadText("\n3\n1\n2\n1 0 -1\n0 2 0\n");
    EXPECT_EQ(classify(network, "1 1 "), 1);  // net inputs 1, 2, -1
    EXPECT_DOUBLE_EQ(network.outputLayer[1].output, sig(2.0));
    EXPECT_DOUBLE_EQ(network.outputLayer[2].output, sig(-1.0));

    // A hidden layer without neurons feeds nothing: every output is sigmoid(0).
    loadText("0\n3\n2\n2\n\n\n0\n");
    EXPECT_EQ(classify(network, "4 5 "), 0);
    for (const Neuron& n : network.outputLayer) {
        EXPECT_EQ(n.output, 0.5);
    }
}

TEST_F(Evaluation, SaturatesWithoutError) {
    loadText("\n2\n1\n1\n800 -800\n");
    EXPECT_EQ(classify(network, "1 "), 0);
    EXPECT_EQ(network.outputLayer[0].output, 1.0);
    EXPECT_EQ(network.outputLayer[1].output, 0.0);
    EXPECT_EQ(classify(network, "-1 "), 1);
    EXPECT_EQ(network.outputLayer[0].output, 0.0);
    EXPECT_EQ(network.outputLayer[1].output, 1.0);
}

TEST(SelectWinner, StrictComparisonKeepsTheFirstMaximum) {
    const auto layer = [](std::vector<double> outputs) {
        std::vector<Neuron> neurons;
        for (double o : outputs) {
            neurons.push_back({o, 0.0});
        }
        return neurons;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(selectWinner(layer({0.1, 0.2, 0.9, 0.3, 0.9})), 2);
    EXPECT_EQ(selectWinner(layer({0.7, 0.7})), 0);
    EXPECT_EQ(selectWinner(layer({0.1, nan, 0.05})), 0);
    EXPECT_EQ(selectWinner(layer({nan, 0.9, 1.0})), 0);
    EXPECT_EQ(selectWinner(layer({0.3})), 0);
    EXPECT_EQ(selectWinner({}), 0);
}
