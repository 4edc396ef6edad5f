// End-to-end dialogue transcripts of the built leafid binary.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>

#include "run_program.hpp"
#include "test_support.hpp"

namespace {

const std::string loaded = "Loading network from file nn.dat...\nNetwork successfully loaded.\n";
const std::string prompt = "Enter image path: ";
const std::string missingFile = "Sorry, but this file doesn't exists!\n\n";
const std::string notLoaded = "Network wasn't loaded\nPress Enter key to close program...";

// Two inputs, no hidden layer, five outputs: a valid network for the dialogue.
const std::string smallNetwork = "\n5\n1\n2\n1 0 0 0 0\n0 1 0 0 0\n";

class Dialogue : public ::testing::Test {
  protected:
    TempDir dir;

    ProgramRun run(const std::string& input, const std::map<std::string, std::string>& env = {}) {
        std::map<std::string, std::string> environment{{"DISPLAY", ""}};
        environment.insert(env.begin(), env.end());
        ProgramRun result = runProgram(LEAFID_BINARY, {}, dir.path().string(), input, environment);
        EXPECT_FALSE(result.timedOut) << "leafid did not end";
        return result;
    }
    void network(const std::string& content) { dir.write("nn.dat", content); }
};

}  // namespace

TEST_F(Dialogue, MissingNetworkWaitsForTwoEntersThenEndsWithCode3) {
    const std::string expected = "Unable to open file nn.dat\n" + notLoaded;
    ProgramRun result = run("\n\n");
    EXPECT_EQ(result.output, expected);
    EXPECT_EQ(result.exitCode, 3);

    // Typing something first: the line feed ends the discarded text, one more character follows.
    result = run("whatever\nx");
    EXPECT_EQ(result.output, expected);
    EXPECT_EQ(result.exitCode, 3);

    // End of input ends the wait at once.
    result = run("");
    EXPECT_EQ(result.output, expected);
    EXPECT_EQ(result.exitCode, 3);
    result = run("\n");
    EXPECT_EQ(result.exitCode, 3);
}

TEST_F(Dialogue, EndStopsAtOnceAfterAnyWhiteSpace) {
    network(smallNetwork);
    for (const std::string input : {"end", "end\n", "   \n\n\t end", "end and more words\n"}) {
        const ProgramRun result = run(input);
        EXPECT_EQ(result.output, loaded + "\n" + prompt) << "input: " << input;
        EXPECT_EQ(result.exitCode, 0);
    }
}

TEST_F(Dialogue, EndOfInputEndsLikeEnd) {
    network(smallNetwork);
    ProgramRun result = run("");
    EXPECT_EQ(result.output, loaded + "\n" + prompt);
    EXPECT_EQ(result.exitCode, 0);

    result = run("nothing-here  \n");
    EXPECT_EQ(result.output, loaded + "\n" + prompt + missingFile + prompt);
    EXPECT_EQ(result.exitCode, 0);
}

TEST_F(Dialogue, WordsThatOnlyLookLikeEndArePaths) {
    network(smallNetwork);
    const ProgramRun result = run("END End end. ending\nend");
    std::string expected = loaded + "\n" + prompt;
    for (int i = 0; i < 4; ++i) {
        expected += missingFile + prompt;
    }
    EXPECT_EQ(result.output, expected);
    EXPECT_EQ(result.exitCode, 0);
}

TEST_F(Dialogue, EndWinsEvenWhenSuchAFileExists) {
    network(smallNetwork);
    dir.write("end", "not an image");
    const ProgramRun result = run("end");
    EXPECT_EQ(result.output, loaded + "\n" + prompt);
}

TEST_F(Dialogue, PathsWithBlanksAreTwoWords) {
    network(smallNetwork);
    const ProgramRun result = run("My leaf.jpg\nend\n");
    EXPECT_EQ(result.output, loaded + "\n" + prompt + missingFile + prompt + missingFile + prompt);
}

TEST_F(Dialogue, ExistenceMeansARegularReadableFile) {
    network(smallNetwork);
    std::filesystem::create_directory(dir.file("folder"));
    const std::string readOnly = dir.write("readonly.txt", "plain text, not a picture");
    chmod(readOnly.c_str(), 0444);
    const std::string unreadable = "Sorry, but this file isn't a readable image!\n\n";

    const ProgramRun result = run("folder readonly.txt missing.jpg end");
    EXPECT_EQ(result.output, loaded + "\n" + prompt + missingFile + prompt + unreadable + prompt +
                                 missingFile + prompt);
    // The read-only file is read, never changed.
    struct stat status {};
    stat(readOnly.c_str(), &status);
    EXPECT_EQ(status.st_mode & 0777, 0444u);
}

TEST_F(Dialogue, UnreadableFileDoesNotExistForUs) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "running as root, which may read any file";
    }
    network(smallNetwork);
    const std::string secret = dir.write("secret.png", "x");
    chmod(secret.c_str(), 0);
    EXPECT_EQ(run("secret.png end").output, loaded + "\n" + prompt + missingFile + prompt);
}

TEST_F(Dialogue, RefusedNetworkFilesEndLikeAMissingOne) {
    const std::string opened = "Loading network from file nn.dat...\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"3 x\n5\n1\n", "is invalid: line 1 holds no layer size (a whole number of 32 bits)"},
        {"\n5\n4294967296\n",
         "is invalid: line 3 holds no block count (a whole number of 32 bits)"},
        {"\n5\n1\n2000000000\n1 2 3 4 5\n", "is incomplete: block 0 has 1 of 2000000000 rows"},
        {"\n5\n", "is incomplete: the block count line is missing"},
        {"4\n5\n1\n1\n1 2 3 4\n", "does not fit together: it has 1 weight block for 2 layers"},
        {"\n5\n1\n1\n1 2 3\n",
         "does not fit together: row 0 of block 0 has 3 values for 5 neurons"},
        {"\n5\n1\n7\n\n\n\n\n\n\n\n",
         "does not fit together: row 0 of block 0 has 0 values for 5 neurons"},
    };
    for (const auto& [content, fault] : cases) {
        network(content);
        const ProgramRun result = run("\n\n");
        EXPECT_EQ(result.output, opened + "Network file nn.dat " + fault + "\n" + notLoaded);
        EXPECT_EQ(result.exitCode, 3);
    }
}

TEST_F(Dialogue, NetworksThatDoNotFitTheFeaturesOrSpeciesAreRefused) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"\n5\n1\n7\n1 1 1 1 1\n1 1 1 1 1\n1 1 1 1 1\n1 1 1 1 1\n1 1 1 1 1\n1 1 1 1 1\n"
         "1 1 1 1 1\n",
         "needs 7 inputs, but a leaf has only 6 features"},
        {"\n0\n1\n6\n\n\n\n\n\n\n", "has no output neurons"},
        {"\n-2\n1\n1\n\n", "has no output neurons"},
        {"\n6\n1\n1\n1 1 1 1 1 1\n", "has 6 outputs, but only 5 species are known"},
    };
    for (const auto& [content, fault] : cases) {
        network(content);
        const ProgramRun result = run("\n\n");
        EXPECT_EQ(result.output, loaded + "Network file nn.dat " + fault + "\n" + notLoaded);
        EXPECT_EQ(result.exitCode, 3);
    }
}
