// End-to-end dialogue transcripts of the built leafid binary.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <opencv2/imgcodecs.hpp>
#include <sstream>

#include "outline.hpp"
#include "run_program.hpp"
#include "test_support.hpp"

namespace {

const std::string loaded = "Loading network from file nn.dat...\nNetwork successfully loaded.\n";
const std::string prompt = "Enter image path: ";
const std::string missingFile = "Sorry, but this file doesn't exists!\n\n";
const std::string notLoaded = "Network wasn't loaded\nPress Enter key to close program...";

// Two inputs, no hidden layer, five outputs: a valid network for the dialogue.
const std::string smallNetwork = "\n5\n1\n2\n1 0 0 0 0\n0 1 0 0 0\n";

std::string repeatedLine(const std::string& line, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) {
        text += line;
    }
    return text;
}

class Dialogue : public ::testing::Test {
  protected:
    TempDir dir;

    ProgramRun run(const std::string& input, const std::map<std::string, std::string>& env = {}) {
        std::map<std::string, std::string> environment = env;
        environment.emplace("DISPLAY", "");  // unless env names one
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
    const std::string path = dir.file("nn.dat");
    const auto text = [this](const std::string& content) { return [=] { network(content); }; };
    const auto repeated = [](const std::string& piece, int times) {
        std::string all;
        for (int i = 0; i < times; ++i) {
            all += piece;
        }
        return all;
    };
    const std::string notFinite = "is invalid: line 5 holds a weight that is not a finite number";
    const std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {text("3 x\n5\n1\n"), "is invalid: line 1 holds no layer size (a whole number of 32 bits)"},
        {text("\n5\n4294967296\n"),
         "is invalid: line 3 holds no block count (a whole number of 32 bits)"},
        {text("\n5\n1\n2000000000\n1 2 3 4 5\n"),
         "is incomplete: block 0 has 1 of 2000000000 rows"},
        {text("\n5\n"), "is incomplete: the block count line is missing"},
        {text("4\n5\n1\n1\n1 2 3 4\n"),
         "does not fit together: it has 1 weight block for 2 layers"},
        {text("\n5\n1\n1\n1 2 3\n"),
         "does not fit together: row 0 of block 0 has 3 values for 5 neurons"},
        {text("\n5\n1\n7\n\n\n\n\n\n\n\n"),
         "does not fit together: row 0 of block 0 has 0 values for 5 neurons"},
        // Files that once took gigabytes, hung or named a species from nothing.
        {text(repeated("1048576 ", 1000) + "\n5\n"),
         "is too large: it has more than 1048576 neurons"},
        {text(repeated("0 ", 1001) + "\n5\n"), "is too large: it has more than 1000 hidden layers"},
        {text("\n1\n1\n2000000000\n" + std::string(10000000, '\n')),
         "is too large: it has more than 1048576 neurons"},  // each empty row is an input
        {text("\n5\n1\n1\n1 inf 0 0 0\n"), notFinite},
        {text("\n5\n1\n1\n0 0 0 -NaN 0\n"), notFinite},
        {text("\n5\n1\n1\n1e309 0 0 0 0\n"), notFinite},
        {text("\n5\n1\n1\n0 " + std::string(2000, '7') + " 0 0 0\n"),
         "is invalid: line 5 holds a number of more than 1024 characters"},
        {[&] { mkfifo(path.c_str(), 0644); }, "is not a regular file"},
        {[&] { std::filesystem::create_symlink("/dev/zero", path); }, "is not a regular file"},
        {[&] {
             std::ofstream{path};
             std::filesystem::resize_file(path, 134217729);
         },
         "is too large: 134217729 bytes, more than 134217728"},
    };
    for (const auto& [make, fault] : cases) {
        std::filesystem::remove(path);
        make();
        const ProgramRun result = run("\n\n");
        EXPECT_EQ(result.output, "Loading network from file nn.dat...\nNetwork file nn.dat " +
                                     fault + "\n" + notLoaded);
        EXPECT_EQ(result.exitCode, 3) << fault;
        EXPECT_LT(result.seconds, 20.0) << fault;
        EXPECT_LT(result.peakMemoryKilobytes, 400 * 1024) << fault;
    }
}

TEST_F(Dialogue, NetworksThatDoNotFitTheFeaturesOrSpeciesAreRefused) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"\n5\n1\n17\n" + repeatedLine("1 1 1 1 1\n", 17),
         "needs 17 inputs, but a leaf has only 16 features"},
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

// A listener on display port 6000 + n of this machine that takes connections and never answers;
// display stays empty when no port is free.
struct SilentDisplay {
    int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    std::string display;
    SilentDisplay() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int n = 150; n < 400 && display.empty(); ++n) {
            address.sin_port = htons(static_cast<uint16_t>(6000 + n));
            if (bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                listen(socket, 4) == 0) {
                display = "127.0.0.1:" + std::to_string(n);
            }
        }
    }
    ~SilentDisplay() { close(socket); }
};

TEST_F(ImageDialogue, ADisplayThatDoesNotAnswerCountsAsNone) {
    const std::string a = square("leaf.png", 20);
    const SilentDisplay silent;
    ASSERT_FALSE(silent.display.empty()) << "no free display port";
    // Nobody listens on display 4711; the silent one takes the connection and never answers.
    // The windows are skipped either way, instead of the toolkit aborting or the probe waiting.
    for (const std::string& display : {std::string(":4711"), silent.display}) {
        const ProgramRun result = run(a + " end", {{"DISPLAY", display}});
        EXPECT_EQ(result.output, loaded + "\n" + prompt + squareReport(a, 20, 96) + oak + prompt)
            << display;
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_LT(result.seconds, 20.0) << display;
    }
}

namespace {

// A progressive JPEG of 64 x 64 pixels whose frame header claims 32000 x 32000: the decoder
// makes up the missing data and would take gigabytes and many seconds.
std::string jpegBomb() {
    std::vector<uchar> bytes;
    cv::imencode(".jpg", cv::Mat(64, 64, CV_8UC1, cv::Scalar(90)), bytes,
                 {cv::IMWRITE_JPEG_PROGRESSIVE, 1});
    std::string text(bytes.begin(), bytes.end());
    text.replace(text.find("\xFF\xC2") + 5, 4, std::string("\x7D\x00\x7D\x00", 4));
    return text;
}

std::string encoded(const std::string& extension, const cv::Mat& picture) {
    std::vector<uchar> bytes;
    cv::imencode(extension, picture, bytes);
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace

// Each file is a few bytes that once aborted the dialogue, took gigabytes or made it measure
// nonsense. Now each gets one line, in little time and memory, and the leaf after it is named.
TEST_F(ImageDialogue, HostilePicturesGetOneLineAndTheNextLeafIsNamed) {
    struct Case {
        std::string name;
        std::string content;
        std::map<std::string, std::string> env;
    };
    const std::vector<Case> cases = {
        {"huge.pgm", "P5\n60000 60000\n255\n", {}},  // beyond the image library's own limit
        {"bomb.jpg", jpegBomb(), {}},
        {"photo.hdr",
         "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 2 +X 2\n" + std::string(16, '\x80'),
         {}},
        {"photo.pfm", "PF\n2 2\n-1.0\n" + std::string(48, '\0'), {}},  // floating point
        {"tall.png", encoded(".png", cv::Mat(128, 1, CV_8UC1, cv::Scalar(0))), {}},
        // The image library's own limit, set by the user below ours: it throws from imread.
        {"wide.png",
         encoded(".png", cv::Mat(40, 300, CV_8UC1, cv::Scalar(0))),
         {{"OPENCV_IO_MAX_IMAGE_WIDTH", "200"}}},
    };
    const std::string leaf = square("leaf.png", 20);
    const std::string unreadable = "Sorry, but this file isn't a readable image!\n\n";
    for (const Case& hostile : cases) {
        dir.write(hostile.name, hostile.content);
        const ProgramRun result = run(hostile.name + " " + leaf + " end", hostile.env);
        EXPECT_EQ(result.output, loaded + "\n" + prompt + unreadable + prompt +
                                     squareReport(leaf, 20, 96) + oak + prompt)
            << hostile.name;
        EXPECT_EQ(result.exitCode, 0) << hostile.name;
        EXPECT_LT(result.seconds, 20.0) << hostile.name;
        EXPECT_LT(result.peakMemoryKilobytes, 400 * 1024) << hostile.name;
    }
}

// Weights of 1e308 meet as infinity minus infinity: no species is named from such an output.
TEST_F(ImageDialogue, OutputsThatAreNotNumbersNameNoSpecies) {
    const std::string row = "1e308 1e308 1e308 1e308 1e308\n";
    network("\n5\n1\n6\n" + row + row + "0 0 0 0 0\n0 0 0 0 0\n-" + row + "0 0 0 0 0\n");
    const std::string a = square("leaf.png", 20);
    const ProgramRun result = run(a + " end");
    EXPECT_EQ(result.output, loaded + "\n" + prompt + squareReport(a, 20, 96) +
                                 "Sorry, but the network couldn't name this leaf!\n\n" + prompt);
}

// Transparent is background: the leaf cut out onto transparent black reads like the same leaf
// on white, whatever the format and sample size.
TEST_F(ImageDialogue, TransparentPartsAreBackground) {
    cv::Mat cutOut(96, 128, CV_8UC4, cv::Scalar(0, 0, 0, 0));
    cutOut(cv::Rect(40, 30, 20, 20)).setTo(cv::Scalar(90, 90, 90, 255));
    cv::Mat deep;
    cutOut.convertTo(deep, CV_16U, 257.0);
    cv::imwrite(dir.file("cut.webp"), cutOut, {cv::IMWRITE_WEBP_QUALITY, 101});  // lossless
    const std::string names[] = {picture("cut.png", cutOut), picture("cut16.png", deep),
                                 "cut.webp"};
    const ProgramRun result = run(names[0] + " " + names[1] + " " + names[2] + " end");
    std::string expected = loaded + "\n" + prompt;
    for (const std::string& name : names) {
        expected += squareReport(name, 20, 96) + oak + prompt;
    }
    EXPECT_EQ(result.output, expected);
}

TEST_F(ImageDialogue, AnOutlineOfAQuarterMillionPointsIsAnsweredInSeconds) {
    // Checkered teeth under a solid back, 128 x 16256: the 9 x 9 median keeps the checks, so
    // the outline zigzags down both sides of every tooth, about 240,000 points, and there are
    // 400,000 holes. Comparing every pair of points took minutes, so did nesting the holes.
    cv::Mat comb(16256, 128, CV_8UC1);
    for (int y = 0; y < comb.rows; ++y) {
        for (int x = 0; x < comb.cols; ++x) {
            comb.at<uchar>(y, x) = y < 12 || (x % 18 < 17 && (x + y) % 2 == 0) ? 0 : 255;
        }
    }
    const std::string a = picture("comb.png", comb);
    const std::string b = square("leaf.png", 20);
    // A hang guard, generous for a busy machine: the plain build needs a third of a second, the
    // sanitized debug build some twenty times more.
#ifdef LEAFID_SANITIZED
    const double bound = 180.0;
#else
    const double bound = 15.0;
#endif
    const auto start = std::chrono::steady_clock::now();
    const ProgramRun result = runProgram(LEAFID_BINARY, {}, dir.path().string(),
                                         a + " " + b + " end", {{"DISPLAY", ""}}, bound + 60.0);
    const std::chrono::duration<double> taken = std::chrono::steady_clock::now() - start;
    EXPECT_LT(taken.count(), bound);
    EXPECT_EQ(result.output.rfind(loaded + "\n" + prompt + "Processing image \"" + a +
                                      "\" (128x16256) ...\n-------------------\n",
                                  0),
              0u);
    EXPECT_NE(result.output.find(oak + prompt + squareReport(b, 20, 96) + oak + prompt),
              std::string::npos)
        << result.output;
    EXPECT_EQ(result.exitCode, 0);
}

namespace {

// Reads the smooth factor (input 0) as a vote for oak and input `lime` as a strong vote for
// lime: the answer shows whether that input reached the network.
std::string limeIfRead(int inputs, int lime, double weight) {
    std::string text = "\n5\n1\n" + std::to_string(inputs) + "\n0 0 0 1 0\n";
    for (int i = 1; i < inputs; ++i) {
        text += i == lime ? "0 " + number(weight) + " 0 0 0\n" : "0 0 0 0 0\n";
    }
    return text;
}

const std::string lime = "tree = Lime (Lipa)\n\n";

// The cut corners of the s x s square (see squareReport), by hand: the hull skips the inner
// step of each, (3, 1) and (1, 3) from the corner, so it keeps 1 of the 6.5 square pixels cut
// away, and runs sqrt 5 + sqrt 2 + sqrt 5 where the outline runs 2 + 3 sqrt 2.
double squareSolidity(int s) {
    return ((s - 1.0) * (s - 1.0) - 26) / ((s - 1.0) * (s - 1.0) - 22);
}

double squareConvexity(int s) {
    return (4.0 * s - 36 + 8 * std::sqrt(5.0) + 4 * std::sqrt(2.0)) /
           (4.0 * s - 28 + 12 * std::sqrt(2.0));
}

// The outline of the square drawn at (40, 30), s pixels wide, as the contour extraction returns
// it: from the first leaf pixel of the top row round the cut corners.
LeafOutline squareOutline(int s) {
    const int l = 40;
    const int t = 30;
    const int r = 40 + s - 1;
    const int b = 30 + s - 1;
    return {{l + 4, t}, {r - 4, t}, {r - 3, t + 1}, {r - 2, t + 1}, {r - 1, t + 2}, {r - 1, t + 3},
            {r, t + 4}, {r, b - 4}, {r - 1, b - 3}, {r - 1, b - 2}, {r - 2, b - 1}, {r - 3, b - 1},
            {r - 4, b}, {l + 4, b}, {l + 3, b - 1}, {l + 2, b - 1}, {l + 1, b - 2}, {l + 1, b - 3},
            {l, b - 4}, {l, t + 4}, {l + 1, t + 3}, {l + 1, t + 2}, {l + 2, t + 1}, {l + 3, t + 1}};
}

}  // namespace

TEST_F(ImageDialogue, EightInputsReadSolidityAndConvexityAndReportThem) {
    network(limeIfRead(8, 7, 2.0));  // convexity, about 0.98, outweighs the smooth factor
    const std::string a = square("square20.png", 20);
    const ProgramRun result = run(a + " end");
    const std::string block = "- Outline descriptors\nSolidity: " + number(squareSolidity(20)) +
                              "\nConvexity: " + number(squareConvexity(20)) +
                              "\n-------------------\n\n";
    EXPECT_EQ(result.output,
              loaded + "\n" + prompt + squareReport(a, 20, 96) + block + lime + prompt);
}

TEST_F(ImageDialogue, SixteenInputsReadEveryDescriptorInOrder) {
    network(limeIfRead(16, 15, 1000.0));  // the last one: harmonics 8-15, about a hundredth
    const std::string a = square("square20.png", 20);
    const ProgramRun result = run(a + " end");
    const std::string head = loaded + "\n" + prompt + squareReport(a, 20, 96);
    ASSERT_EQ(result.output.substr(0, head.size()), head);
    std::istringstream block(result.output.substr(head.size()));
    std::string line;
    std::getline(block, line);
    EXPECT_EQ(line, "- Outline descriptors");
    const std::vector<double> expected = computeOutlineDescriptors(squareOutline(20));
    EXPECT_NEAR(expected[0], squareSolidity(20), 1e-12);
    for (size_t d = 0; d < outlineDescriptorCount; ++d) {
        std::getline(block, line);
        const std::string label = outlineDescriptorNames()[d] + ": ";
        ASSERT_EQ(line.substr(0, label.size()), label);
        EXPECT_NEAR(std::stod(line.substr(label.size())), expected[d], 1e-5 * expected[d] + 1e-12)
            << line;
    }
    std::string rest((std::istreambuf_iterator<char>(block)), {});
    EXPECT_EQ(rest, "-------------------\n\n" + lime + prompt);
}
