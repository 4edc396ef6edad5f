#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "confidence.hpp"
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

bool load(NeuralNetwork& network, const std::string& content) {
    TempDir dir;
    CoutCapture quiet;
    return loadNetwork(network, dir.write("nn.dat", content));
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
    const std::string prefix =
        "Loading network from file " + path + "...\nNetwork file " + path + " ";
    const std::string text = capture.text();
    EXPECT_EQ(text.substr(0, prefix.size()), prefix);
    EXPECT_EQ(text.back(), '\n');
    return text.substr(prefix.size(), text.size() - prefix.size() - 1);
}

}  // namespace

TEST(TextNumbers, PiecesCountsAndDecimalsAsTheCLocaleReadsThem) {
    EXPECT_EQ(splitString("  12\t7  5 ", ' '), (std::vector<std::string>{"12\t7", "5"}));
    EXPECT_TRUE(splitString("   ", ' ').empty());
    // clang-format off
    const std::pair<const char*, std::optional<int>> counts[] = {
        {"12abc", 12}, {"  3 4", 3}, {"-3", -3}, {"+7", 7}, {"2147483647", 2147483647},
        {"-2147483648", std::numeric_limits<int>::min()}, {"2147483648", {}},
        {"-2147483649", {}}, {"", {}}, {"abc", {}}, {"+-1", {}}};
    // clang-format on
    for (const auto& [text, count] : counts) {
        EXPECT_EQ(readCount(text), count) << text;
    }
    const double inf = std::numeric_limits<double>::infinity();
    // clang-format off
    const std::pair<const char*, double> decimals[] = {
        {"0.5", 0.5}, {"-1.25", -1.25}, {"1e-2", 0.01}, {"2.5x", 2.5}, {"1e", 1}, {"1e+", 1},
        {"3E2", 300}, {".5", 0.5}, {"5.", 5}, {"+4", 4}, {" \t7", 7}, {"abc", 0}, {".", 0},
        {"-", 0}, {"0,5", 0}, {"1,5", 1}, {"1e999", inf}, {"-1e999", -inf}, {"1e-999", 0},
        // 17 significant digits come back as the very same double.
        {"0.10000000000000001", 0.1}, {"-3.1415926535897931", -3.1415926535897931}};
    // clang-format on
    // The same in the C locale and in a user's German one (where installed).
    const GermanLocale german;
    for (const auto& [text, value] : decimals) {
        EXPECT_EQ(readDecimal(text), value) << text << (german.active() ? " in de_DE" : "");
    }
}

// The lines loading prints are pinned by the dialogue's transcripts.
TEST(LoadNetwork, LayoutVariantsLoadAsWritten) {
    NeuralNetwork network;
    using Weights = std::vector<WeightMatrix>;
    const struct {
        std::string file;
        std::vector<size_t> hidden;  // neurons per hidden layer
        size_t outputs;
        Weights weights;
    } cases[] = {
        {exampleFile,
         {3},
         2,
         {{{0.5, -1.25, 0.75}, {1.5, 0.25, -0.5}}, {{0.1, 0.2}, {-0.3, 0.4}, {0.5, -0.6}}}},
        // Doubled and trailing blanks, CR LF line ends, words after the counts, surplus values
        // (never read), text after the end.
        {"2  1 \r\n3 outputs\r\n3\r\n1\r\n0.5  -1.25 \r\n2\r\n1e-2 nan\r\n4\r\n1\r\n7 0 "
         "9\r\ntrailing\r\n",
         {2, 1},
         3,
         {{{0.5, -1.25}}, {{0.01}, {4.0}}, {{7, 0, 9}}}},
        // An empty layer line: block 0 feeds the outputs.
        {"\n2\n1\n1\n1 2\n", {}, 2, {{{1, 2}}}},
        // Zero and negative layer sizes give layers without neurons; they still count.
        {"0 -3\n1\n3\n0\n0\n0\n", {0, 0}, 1, {{}, {}, {}}},
        // Rows beyond the neurons of the layer before are never read, so they may be short.
        {"1\n1\n2\n1\n1\n2\n1\n\n", {1}, 1, {{{1}}, {{1}}}}};
    for (const auto& c : cases) {  // each into the network loaded before
        ASSERT_TRUE(load(network, c.file)) << c.file;
        std::vector<size_t> hidden;
        for (const Layer& layer : network.hiddenLayers) {
            hidden.push_back(layer.size());
        }
        EXPECT_EQ(hidden, c.hidden) << c.file;
        EXPECT_EQ(network.outputLayer.size(), c.outputs) << c.file;
        EXPECT_EQ(network.weights, c.weights) << c.file;
    }
}

TEST(LoadNetwork, RefusesBrokenFilesWithOneLine) {
    const std::string notANumber = " (a whole number of 32 bits)";
    const std::string notAWeight =
        " where a weight belongs (a finite decimal number with '.' as its point)";
    std::string tabbed;  // a row longer than a number may be, cut by tabs
    while (tabbed.size() < 1200) {
        tabbed += "0.5\t";
    }
    const std::pair<std::string, std::string> cases[] = {
        // Files that end early.
        {"", "is incomplete: the hidden layer line is missing"},
        {"3\n", "is incomplete: the output count line is missing"},
        {"3\n2\n", "is incomplete: the block count line is missing"},
        {"3\n2\n2\n2\n1 2 3\n4 5 6\n", "is incomplete: the row count of block 1 is missing"},
        {"3\n2\n2\n2\n1 2 3\n4 5 6\n3\n1 2\n2 3\n", "is incomplete: block 1 has 2 of 3 rows"},
        // Counts and weights that are not wholly numbers, or are separated otherwise.
        {"3 x\n2\n1\n", "is invalid: line 1 holds 'x' where the layer size belongs" + notANumber},
        {"3\n\n1\n", "is invalid: line 2 holds no output count" + notANumber},
        {"3\n1e3\n1\n",
         "is invalid: line 2 holds '1e3' where the output count belongs" + notANumber},
        {"3\n2\n99999999999\n",
         "is invalid: line 3 holds '99999999999' where the block count belongs" + notANumber},
        {"\n2\n1\n4rows\n",
         "is invalid: line 4 holds '4rows' where the row count belongs" + notANumber},
        {"\n1\n1\n1\n1,5\n", "is invalid: line 5 holds '1,5'" + notAWeight},
        {"\n1\n1\n1\n2.5e\n", "is invalid: line 5 holds '2.5e'" + notAWeight},
        {"8\t8\n",
         "is invalid: line 1 holds a tab inside '8\\t8': numbers are separated by blanks"},
        {"\n2\n1\n1\n" + tabbed + "\n",
         "is invalid: line 5 holds a tab inside '0.5\\t0.5\\t0.5\\t0.5\\t0.5\\t...': numbers are "
         "separated by blanks"},
        {"8\r5\r1\r",
         "is invalid: line 1 holds a carriage return inside '8\\r5\\r1': lines end with a line "
         "feed"},
        {"\n2000000000\n1\n0\n",
         "is invalid: line 2 asks for 2000000000 neurons, more than 1048576"},
        // The largest accepted layer passes the count check and fails only on the missing lines.
        {"1048576\n", "is incomplete: the output count line is missing"},
        {"1048577\n", "is invalid: line 1 asks for 1048577 neurons, more than 1048576"},
        // Huge claims followed by nothing must not be trusted in advance.
        {"\n1\n1\n2000000000\n1\n", "is incomplete: block 0 has 1 of 2000000000 rows"},
        {"\n1\n2000000000\n0\n", "is incomplete: the row count of block 1 is missing"},
        // Sizes that evaluation cannot use.
        {"3\n2\n1\n2\n1 2 3\n4 5 6\n", "does not fit together: it has 1 weight block for 2 layers"},
        {"3\n2\n2\n1\n1 2 3\n2\n1 2\n1 2\n",
         "does not fit together: block 1 has 2 rows for the 3 neurons of hidden layer 0"},
        {"3\n2\n2\n2\n1 2 3\n4 5\n3\n1 2\n1 2\n1 2\n",
         "does not fit together: row 1 of block 0 has 2 values for 3 neurons"},
        {"3\n2\n2\n1\n1 2 3\n3\n1 2\n1\n1 2\n",
         "does not fit together: row 1 of block 1 has 1 value for 2 neurons"}};
    for (const auto& [content, message] : cases) {
        EXPECT_EQ(refusal(content), message) << content;
    }
    // Weights are counted as they are kept: the fifth row of a million takes too many.
    std::string row;
    for (int i = 0; i < 1048000; ++i) {
        row += "0 ";
    }
    EXPECT_EQ(refusal("1048000\n1\n2\n5\n" + row + "\n" + row + "\n" + row + "\n" + row + "\n" +
                      row + "\n"),
              "is too large: it has more than 4194304 weights");
}

TEST(Evaluation, ClassifyPicksTheFirstLargestOutput) {
    const struct {
        const char* file;
        const char* input;
        int winner;
        std::vector<double> outputs;
    } cases[] = {
        {exampleFile, "1 2 ", 0, {0.5547135660044302, 0.5149385463775917}},
        // The second input dominates: hidden net inputs 1.5, 0.25, -0.5 times 4.
        {exampleFile,
         "0 4 ",
         1,
         {sig(0.1 * sig(6) - 0.3 * sig(1) + 0.5 * sig(-2)),
          sig(0.2 * sig(6) + 0.4 * sig(1) - 0.6 * sig(-2))}},
        // Zero weights: every hidden output is one half, the outputs tie.
        {"4\n3\n2\n2\n0 0 0 0\n0 0 0 0\n4\n1 1 1\n1 1 1\n1 1 1\n1 1 1\n",
         "3 -5 ",
         0,
         {sig(2), sig(2), sig(2)}},
        {"\n3\n1\n2\n1 0 -1\n0 2 0\n", "1 1 ", 1, {sig(1), sig(2), sig(-1)}},  // no hidden layer
        // A hidden layer without neurons feeds nothing.
        {"0\n3\n2\n2\n\n\n0\n", "4 5 ", 0, {0.5, 0.5, 0.5}},
        // Saturated outputs, without error.
        {"\n2\n1\n1\n800 -800\n", "1 ", 0, {1, 0}},
        {"\n2\n1\n1\n800 -800\n", "-1 ", 1, {0, 1}}};
    for (const auto& [file, input, winner, outputs] : cases) {
        NeuralNetwork network;
        ASSERT_TRUE(load(network, file));
        EXPECT_EQ(classify(network, input), winner) << file << input;
        EXPECT_TRUE(network.patternSets.empty());  // classify leaves no pattern behind
        ASSERT_EQ(network.outputLayer.size(), outputs.size());
        for (size_t k = 0; k < outputs.size(); ++k) {
            EXPECT_NEAR(network.outputLayer[k].output, outputs[k], 1e-15) << file << input << k;
        }
    }
    // feedForward returns the squared distance of the outputs from the targets.
    NeuralNetwork network;
    ASSERT_TRUE(load(network, exampleFile));
    network.patternSets.push_back({Pattern{{1.0, 2.0}, {1.0, 0.0}}});
    EXPECT_NEAR(feedForward(network),
                std::pow(1.0 - 0.5547135660044302, 2) + std::pow(0.5149385463775917, 2), 1e-15);
}

TEST(Evaluation, TokensAreReadLikeAtofMissingOnesAreZeroAndSurplusIgnored) {
    NeuralNetwork network;
    ASSERT_TRUE(load(network, exampleFile));
    const auto outputsFor = [&](const std::string& text) {
        classify(network, text);
        return std::vector<double>{network.outputLayer[0].output, network.outputLayer[1].output};
    };
    const std::pair<const char*, const char*> same[] = {{"1 2 99 -7 ", "1 2 "},
                                                        {"1x 2.0abc", "1 2 "},
                                                        {"abc 2 ", "0 2 "},
                                                        {"1 ", "1 0 "},
                                                        {"", "0 0 "}};
    for (const auto& [text, meant] : same) {
        EXPECT_EQ(outputsFor(text), outputsFor(meant)) << text;
    }
}

TEST(SelectWinner, StrictComparisonKeepsTheFirstMaximum) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::pair<std::vector<double>, int> cases[] = {
        {{0.1, 0.2, 0.9, 0.3, 0.9}, 2}, {{0.7, 0.7}, 0}, {{0.1, nan, 0.05}, 0},
        {{nan, 0.9, 1.0}, 0},           {{0.3}, 0},      {{}, 0}};
    for (const auto& [outputs, winner] : cases) {
        std::vector<Neuron> layer;
        for (double o : outputs) {
            layer.push_back({o, 0.0});
        }
        EXPECT_EQ(selectWinner(layer), winner) << layer.size();
    }
}

TEST(Confidence, SharesByHandAndTheCalibrationBlockAfterTheOutputs) {
    // Outputs 0.8 and 0.5 have logits ln 4 and 0: at temperature 1 the shares are 4/5 and 1/5,
    // at temperature 2 they are 2/3 and 1/3 (ln 4 / 2 = ln 2).
    const std::vector<double> outputs = {0.8, 0.5};
    EXPECT_NEAR(outputShares(outputs, 1.0)[0], 0.8, 1e-12);
    EXPECT_NEAR(outputShares(outputs, 2.0)[1], 1.0 / 3.0, 1e-12);
    const Confidence sure = judgeConfidence({0.1, 0.8, 0.5}, {2.0, 0.6});
    EXPECT_EQ(sure.best, 1);
    EXPECT_EQ(sure.runnerUp, 2);
    EXPECT_FALSE(sure.uncertain);  // 2 / (2 + 1 + 1/3) = 0.6: right at the level
    EXPECT_TRUE(judgeConfidence({0.1, 0.8, 0.5}, {2.0, 0.61}).uncertain);
    EXPECT_FALSE(judgeConfidence({0.1, 0.8, 0.5}, {}).uncertain);
    // Outputs from a network that is too sure: each right answer 0.99 against 0.5, one in four
    // wrong. The fitted temperature spreads the shares until they say three in four.
    std::vector<std::vector<double>> held;
    std::vector<int> labels;
    for (int e = 0; e < 40; ++e) {
        held.push_back({0.99, 0.5});
        labels.push_back(e % 4 == 0 ? 1 : 0);
    }
    const double temperature = fitTemperature(held, labels);
    EXPECT_NEAR(outputShares(held[0], temperature)[0], 0.75, 0.01);
    EXPECT_NEAR(temperature, std::log(99.0) / std::log(3.0), 0.05);
    EXPECT_DOUBLE_EQ(fitUncertainLevel(held, labels, temperature, 0.7),
                     outputShares(held[0], temperature)[0]);
    EXPECT_DOUBLE_EQ(fitUncertainLevel(held, labels, temperature, 0.8), 1.0);

    // The first row of the block after the output layer's holds the calibration; anything else
    // there is read past as before.
    NeuralNetwork network;
    const std::string twoLayers = "1\n2\n";
    const std::string weights = "1\n0.5\n1\n1 -1\n";
    for (const auto& [after, expected] :
         {std::pair<std::string, std::vector<double>>{"3\n" + weights + "1\n1.5 0.7\n", {1.5, 0.7}},
          {"3\n" + weights + "2\n1.5 0.7 9\nx\n", {1.5, 0.7}},
          {"2\n" + weights, {}},
          {"3\n" + weights + "1\n0 0.7\n", {}},
          {"3\n" + weights + "1\n1.5 1.2\n", {}},
          {"3\n" + weights + "1\nwords\n", {}}}) {
        ASSERT_TRUE(load(network, twoLayers + after)) << after;
        EXPECT_EQ(network.calibration, expected) << after;
        EXPECT_EQ(network.weights.size(), 2u) << after;
    }
}
