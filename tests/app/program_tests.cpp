// End-to-end dialogue transcripts of the built leafid binary.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
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

TEST_F(Dialogue, WordsEndAndEndOfInput) {
    network(smallNetwork);
    dir.write("end", "not an image");  // "end" ends the dialogue even where such a file exists
    const std::string first = loaded + "\n" + prompt;
    const std::string missing = missingFile + prompt;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"end", first},
        {"   \n\n\t end", first},
        {"end and more words\n", first},
        {"", first},  // the end of input ends it like "end"
        {"nothing-here  \n", first + missing},
        {"END End end. ending\nend", first + missing + missing + missing + missing},
        {"My leaf.jpg\nend\n", first + missing + missing},  // a path cannot hold a blank
    };
    for (const auto& [input, expected] : cases) {
        const ProgramRun result = run(input);
        EXPECT_EQ(result.output, expected) << "input: " << input;
        EXPECT_EQ(result.exitCode, 0);
    }
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
    network(smallNetwork);
    const std::string secret = dir.write("secret.png", "x");
    chmod(secret.c_str(), 0);
    // Root reads any file, so as root the program runs as nobody.
    std::string binary = LEAFID_BINARY;
    std::vector<std::string> args;
    if (geteuid() == 0) {
        if (access("/usr/bin/setpriv", X_OK) != 0) {
            GTEST_SKIP() << "running as root without setpriv to drop privileges";
        }
        chmod(dir.path().c_str(), 0755);
        chmod(dir.file("nn.dat").c_str(), 0644);
        args = {"--reuid=65534", "--regid=65534", "--clear-groups", binary};
        binary = "/usr/bin/setpriv";
    }
    const ProgramRun result =
        runProgram(binary, args, dir.path().string(), "secret.png end", {{"DISPLAY", ""}});
    EXPECT_EQ(result.output, loaded + "\n" + prompt + missingFile + prompt);
    EXPECT_EQ(result.exitCode, 0);
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

namespace {

// No hidden layer; input 0 (the smooth factor) drives output 3 alone, so any leaf is an oak.
const std::string oakNetwork =
    "\n5\n1\n6\n0 0 0 1 0\n0 0 0 0 0\n0 0 0 0 0\n0 0 0 0 0\n0 0 0 0 0\n0 0 0 0 0\n";

std::string number(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

std::string reportFor(const std::string& path, int height, const std::vector<double>& g,
                      const std::vector<double>& f) {
    return "Processing image \"" + path + "\" (128x" + std::to_string(height) + ") ...\n" +
           "-------------------\n- Geometric features\nPerimeter: " + number(g[0]) +
           "\nArea: " + number(g[1]) + "\nDiameter: " + number(g[2]) + "\nWidth: " + number(g[3]) +
           "\n-------------------\n- Morphological features\nSmooth factor: " + number(f[0]) +
           "\nAspect ratio: " + number(f[1]) + "\nForm factor: " + number(f[2]) +
           "\nRectangularity: " + number(f[3]) + "\nRatio perimeter diameter: " + number(f[4]) +
           "\nPerimeter ratio factor: " + number(f[5]) + "\n-------------------\n\n";
}

// The report of a dark s x s square on white. The 9 x 9 median cuts each corner of the
// silhouette to the steps 4, 2, 1, 1 (6.5 square pixels, outline 2 + 3 sqrt 2 instead of 8);
// both box blurs dilate it into the same cut square, s + 1 and s + 4 pixels wide.
std::string squareReport(const std::string& path, int s, int height) {
    const double perimeter = 4.0 * s - 28 + 12 * std::sqrt(2.0);
    const double area = (s - 1.0) * (s - 1.0) - 26;
    const double diameter = std::sqrt(std::pow(s - 3.0, 2) + std::pow(s - 5.0, 2));
    const double smooth = ((s + 3.0) * (s + 3.0) - 26) / (s * s - 26.0);
    return reportFor(
        path, height, {perimeter, area, diameter, diameter},
        {smooth, 1.0, (area * 12.566370614359172) / (perimeter * perimeter),
         diameter * diameter / area, perimeter / diameter, perimeter / (2 * diameter)});
}

class ImageDialogue : public Dialogue {
  protected:
    void SetUp() override { network(oakNetwork); }

    std::string picture(const std::string& name, const cv::Mat& image) {
        const std::string path = dir.file(name);
        cv::imwrite(path, image);
        return name;
    }
    std::string square(const std::string& name, int s) {
        cv::Mat image(96, 128, CV_8UC3, cv::Scalar(255, 255, 255));
        image(cv::Rect(40, 30, s, s)).setTo(cv::Scalar(20, 90, 30));
        return picture(name, image);
    }
};

const std::string oak = "tree = Oak (Dub)\n\n";

}  // namespace

TEST_F(ImageDialogue, SquareLeafGivesTheWholeReportAndASpecies) {
    const std::string a = square("square20.png", 20);
    const std::string b = square("square31.png", 31);
    const ProgramRun result = run(a + " " + b + "\nend\n");
    EXPECT_EQ(result.output, loaded + "\n" + prompt + squareReport(a, 20, 96) + oak + prompt +
                                 squareReport(b, 31, 96) + oak + prompt);
    EXPECT_EQ(result.exitCode, 0);
}

TEST_F(ImageDialogue, NumbersKeepTheirPointInAGermanLocale) {
    if (std::system("locale -a 2>/dev/null | grep -qi '^de_DE.utf-\\?8$'") != 0) {
        GTEST_SKIP() << "locale de_DE.UTF-8 is not installed here";
    }
    const std::string a = square("square24.png", 24);
    const ProgramRun result = run(a + " end", {{"LC_ALL", "de_DE.UTF-8"}, {"LANG", "de_DE.UTF-8"}});
    EXPECT_EQ(result.output, loaded + "\n" + prompt + squareReport(a, 24, 96) + oak + prompt);
}

TEST_F(ImageDialogue, PicturesThatCannotBeMeasuredAreAnsweredAndTheDialogueGoesOn) {
    dir.write("text.jpg", "This is a letter, not a photograph.\n");
    dir.write("empty.png", "");
    picture("wide.png", cv::Mat(1, 1000, CV_8UC1, cv::Scalar(0)));
    picture("white.png", cv::Mat(80, 128, CV_8UC1, cv::Scalar(255)));
    // A one-pixel line along the top edge survives the median filter (the border repeats it),
    // but encloses nothing and has no width.
    cv::Mat line(40, 128, CV_8UC1, cv::Scalar(255));
    line(cv::Rect(20, 0, 80, 1)).setTo(0);
    picture("line.png", line);
    const std::string square = this->square("leaf.png", 20);

    const ProgramRun result = run("text.jpg empty.png wide.png white.png line.png leaf.png end");
    const std::string unreadable = "Sorry, but this file isn't a readable image!\n\n";
    // Survivors: columns 24..95 of row 0. Blurred: 73 x 2 and 76 x 3 pixels.
    volatile double zero = 0.0;
    const std::string lineReport = reportFor("line.png", 40, {142, 0, 71, 0},
                                             {150.0 / 72, 71 / zero, 0, (71 * zero) / zero, 2, 2});
    EXPECT_EQ(result.output, loaded + "\n" + prompt + unreadable + prompt + unreadable + prompt +
                                 unreadable + prompt +
                                 "Processing image \"white.png\" (128x80) ...\n" +
                                 "Sorry, but no leaf was found in this image!\n\n" + prompt +
                                 lineReport + "Sorry, but this leaf couldn't be measured!\n\n" +
                                 prompt + squareReport(square, 20, 96) + oak + prompt);
    EXPECT_EQ(result.exitCode, 0);
}

TEST_F(ImageDialogue, ADisplayThatDoesNotAnswerCountsAsNone) {
    const std::string a = square("leaf.png", 20);
    // Nothing listens on display 4711: the windows are skipped instead of the toolkit aborting.
    const ProgramRun result = run(a + " end", {{"DISPLAY", ":4711"}});
    EXPECT_EQ(result.output, loaded + "\n" + prompt + squareReport(a, 20, 96) + oak + prompt);
    EXPECT_EQ(result.exitCode, 0);
}
