// End-to-end dialogue transcripts of the built leafid binary.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <iterator>
#include <numeric>

#include <cmath>
#include <functional>
#include <opencv2/imgcodecs.hpp>
#include <sstream>

#include "drawn_leaves.hpp"
#include "outline.hpp"
#include "run_program.hpp"
#include "test_support.hpp"

namespace {

const std::string loaded = "Loading network from file nn.dat...\nNetwork successfully loaded.\n";
const std::string prompt = "Enter image path: ";
const std::string first = loaded + "\n" + prompt;
const std::string missingFile = "Sorry, but this file doesn't exists!\n\n";
const std::string notImage = "Sorry, but this file isn't a readable image!\n\n";
const std::string notLoaded = "Network wasn't loaded\nPress Enter key to close program...";
const std::string oak = "tree = Oak (Dub)\n\n";
const std::string lime = "tree = Lime (Lipa)\n\n";

// Two inputs, no hidden layer, five outputs: a valid network for the dialogue.
const std::string smallNetwork = "\n5\n1\n2\n1 0 0 0 0\n0 1 0 0 0\n";
// No hidden layer; input 0 (the smooth factor) drives output 3 alone, so any leaf is an oak.
const std::string oakNetwork =
    "\n5\n1\n6\n0 0 0 1 0\n0 0 0 0 0\n0 0 0 0 0\n0 0 0 0 0\n0 0 0 0 0\n0 0 0 0 0\n";

std::string repeated(const std::string& piece, int times) {
    std::string all;
    while (times-- > 0) {
        all += piece;
    }
    return all;
}

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

// The report of a dark s x s square on white 128 x 96. The 9 x 9 median cuts each corner of
// the silhouette to the steps 4, 2, 1, 1 (6.5 square pixels, outline 2 + 3 sqrt 2 instead of
// 8); both box blurs dilate it into the same cut square, s + 1 and s + 4 pixels wide.
std::string squareReport(const std::string& path, int s) {
    const double perimeter = 4.0 * s - 28 + 12 * std::sqrt(2.0);
    const double area = (s - 1.0) * (s - 1.0) - 26;
    const double diameter = std::sqrt(std::pow(s - 3.0, 2) + std::pow(s - 5.0, 2));
    const double smooth = ((s + 3.0) * (s + 3.0) - 26) / (s * s - 26.0);
    return reportFor(
        path, 96, {perimeter, area, diameter, diameter},
        {smooth, 1.0, (area * 12.566370614359172) / (perimeter * perimeter),
         diameter * diameter / area, perimeter / diameter, perimeter / (2 * diameter)});
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

class ImageDialogue : public Dialogue {
  protected:
    void SetUp() override { network(oakNetwork); }

    std::string picture(const std::string& name, const cv::Mat& image) {
        cv::imwrite(dir.file(name), image);
        return name;
    }
    std::string square(const std::string& name, int s) {
        cv::Mat image(96, 128, CV_8UC3, cv::Scalar(255, 255, 255));
        image(cv::Rect(40, 30, s, s)).setTo(cv::Scalar(20, 90, 30));
        return picture(name, image);
    }
};

// 32-bit top-down BMP whose fourth byte is alpha, by its mask in a version 4 header.
std::string bmpWithAlpha(const cv::Mat& bgra) {
    const std::string pixels(bgra.datastart, bgra.dataend);
    return "BM" + le(122 + pixels.size(), 4) + le(0, 4) + le(122, 4) + le(108, 4) +
           le(bgra.cols, 4) + le(-bgra.rows, 4) + le(1, 2) + le(32, 2) + le(3, 4) +
           le(pixels.size(), 4) + std::string(16, '\0') + le(0xFF0000, 4) + le(0xFF00, 4) +
           le(0xFF, 4) + le(0xFF000000u, 4) + "BGRs" + std::string(48, '\0') + pixels;
}

// Uncompressed TIFF of grey and alpha samples, one strip.
std::string greyAlphaTiff(const cv::Mat& greyAlpha) {
    const std::string pixels(greyAlpha.datastart, greyAlpha.dataend);
    // clang-format off
    const std::vector<std::pair<int, uint64_t>> entries = {
        {256, greyAlpha.cols}, {257, greyAlpha.rows}, {258, 8 | 8 << 16}, {262, 1},
        {273, 8 + 2 + 11 * 12 + 4}, {277, 2}, {278, greyAlpha.rows}, {279, pixels.size()},
        {284, 1}, {338, 2}, {259, 1}};
    // clang-format on
    std::string text = std::string("II*\0", 4) + le(8, 4) + le(entries.size(), 2);
    for (const auto& [tag, value] : entries) {
        text += le(tag, 2) + le(tag == 258 ? 3 : 4, 2) + le(tag == 258 ? 2 : 1, 4) + le(value, 4);
    }
    return text + le(0, 4) + pixels;
}

// Reads the smooth factor (input 0) as a vote for oak and input `lime` as a strong vote for
// lime: the answer shows whether that input reached the network.
std::string limeIfRead(int inputs, int lime, double weight) {
    std::string text = "\n5\n1\n" + std::to_string(inputs) + "\n0 0 0 1 0\n";
    for (int i = 1; i < inputs; ++i) {
        text += i == lime ? "0 " + number(weight) + " 0 0 0\n" : "0 0 0 0 0\n";
    }
    return text;
}

}  // namespace

TEST_F(Dialogue, MissingNetworkWaitsForTwoEntersThenEndsWithCode3) {
    // Typed text is discarded up to its line feed, one more character follows; the end of input
    // ends the wait at once.
    for (const std::string input : {"\n\n", "whatever\nx", "", "\n"}) {
        const ProgramRun result = run(input);
        EXPECT_EQ(result.output, "Unable to open file nn.dat\n" + notLoaded) << input;
        EXPECT_EQ(result.exitCode, 3) << input;
    }
}

TEST_F(Dialogue, WordsEndAndEndOfInput) {
    network(smallNetwork);
    dir.write("end", "not an image");  // "end" ends the dialogue even where such a file exists
    const std::string missing = missingFile + prompt;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"end", first},
        {"   \n\n\t end", first},
        {"end and more words\n", first},
        {"", first},  // the end of input ends it like "end"
        {"nothing-here  \n", first + missing},
        {"END End end. ending\nend", first + repeated(missing, 4)},
        {"My leaf.jpg\nend\n", first + missing + missing},    // a path cannot hold a blank
        {std::string("end\0.jpg end", 12), first + missing},  // nor a NUL byte
        {repeated("x", 4096) + " end", first + missing},      // nor more than 4095 bytes
    };
    for (const auto& [input, expected] : cases) {
        const ProgramRun result = run(input);
        EXPECT_EQ(result.output, expected) << "input: " << input;
        EXPECT_EQ(result.exitCode, 0);
    }
}

// A word far longer than any path is read through without being kept, and one that cannot be
// written is the end: code 4 and one line on standard error, for a full device, a closed
// descriptor, and a reader gone while SIGPIPE is ignored.
TEST_F(Dialogue, HugeWordsAreReadThroughAndLostOutputEndsWithCode4) {
    network(smallNetwork);
    const ProgramRun huge = run(std::string(100 << 20, 'x') + " end");
    EXPECT_EQ(huge.output, first + missingFile + prompt);
    EXPECT_LT(huge.peakMemoryKilobytes, 150 * 1024 + sanitizerKilobytes);
    for (const std::string script : {"\"$0\" >/dev/full; echo $? >&2", "\"$0\" >&-; echo $? >&2",
                                     "{ sleep 0.5; \"$0\"; echo $? >&2; } | true"}) {
        const ProgramRun result =
            runProgram("/bin/sh", {"-c", "trap '' PIPE; " + script, LEAFID_BINARY},
                       dir.path().string(), "absent.png end\n", {{"DISPLAY", ""}});
        EXPECT_EQ(result.errors, "leafid: standard output could not be written\n4\n") << script;
    }
}

TEST_F(Dialogue, ExistenceMeansARegularFileWeMayRead) {
    network(smallNetwork);
    std::filesystem::create_directory(dir.file("folder"));
    chmod(dir.write("readonly.txt", "plain text, not a picture").c_str(), 0444);
    chmod(dir.write("secret.png", "x").c_str(), 0);
    // Root reads and writes any file, so as root the program runs as nobody.
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
        runProgram(binary, args, dir.path().string(),
                   "folder readonly.txt secret.png missing.jpg end", {{"DISPLAY", ""}});
    EXPECT_EQ(result.output, first + missingFile + prompt + notImage + prompt + missingFile +
                                 prompt + missingFile + prompt);
    EXPECT_EQ(result.exitCode, 0);
}

// Refused network files, among them files that once took gigabytes, hung or named a species from
// nothing. The parser's plain refusals are left to the network tests.
TEST_F(Dialogue, RefusedNetworkFilesEndLikeAMissingOne) {
    const std::string path = dir.file("nn.dat");
    const auto text = [this](const std::string& content) { return [=] { network(content); }; };
    const auto notFinite = [](const std::string& token) {
        return "is invalid: line 5 holds '" + token +
               "' where a weight belongs (a finite decimal number with '.' as its point)";
    };
    struct Case {
        std::function<void()> make;
        std::string fault;
        bool loads = false;  // read, but of no use to the dialogue
    };
    const std::vector<Case> cases = {
        {text(repeated("1048576 ", 1000) + "\n5\n"),
         "is too large: it has more than 1048576 neurons"},
        {text(repeated("0 ", 1001) + "\n5\n"), "is too large: it has more than 1000 hidden layers"},
        {text("\n1\n1\n2000000000\n" + std::string(10000000, '\n')),
         "is too large: it has more than 1048576 neurons"},  // each empty row is an input
        {text("\n5\n1\n1\n1 inf 0 0 0\n"), notFinite("inf")},
        {text("\n5\n1\n1\n0 0 0 -NaN 0\n"), notFinite("-NaN")},
        {text("\n5\n1\n1\n1e309 0 0 0 0\n"), notFinite("1e309")},
        {text("\n5\n1\n1\n0 " + std::string(2000, '7') + " 0 0 0\n"),
         "is invalid: line 5 holds a number of more than 1024 characters"},
        {[&] { mkfifo(path.c_str(), 0644); }, "is not a regular file"},
        {[&] { std::filesystem::create_symlink("/dev/zero", path); }, "is not a regular file"},
        {[&] {
             std::ofstream{path};
             std::filesystem::resize_file(path, 134217729);
         },
         "is too large: 134217729 bytes, more than 134217728"},
        {text("\n5\n1\n113\n" + repeated("1 1 1 1 1\n", 113)),
         "needs 113 inputs, but a leaf has only 112 features", true},
        {text("\n0\n1\n6\n\n\n\n\n\n\n"), "has no output neurons", true},
        {text("\n-2\n1\n1\n\n"), "has no output neurons", true},
        {text("\n7\n1\n1\n1 1 1 1 1 1 1\n"), "has 7 outputs, but only 6 answers are known", true},
    };
    for (const Case& refused : cases) {
        std::filesystem::remove(path);
        refused.make();
        const ProgramRun result = run("\n\n");
        EXPECT_EQ(result.output,
                  (refused.loads ? loaded : "Loading network from file nn.dat...\n") +
                      "Network file nn.dat " + refused.fault + "\n" + notLoaded);
        EXPECT_EQ(result.exitCode, 3) << refused.fault;
        EXPECT_LT(result.seconds, 20.0) << refused.fault;
        EXPECT_LT(result.peakMemoryKilobytes, 400 * 1024) << refused.fault;
    }
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

// Transparent is background, in every format and sample size. Numbers keep their point in a
// German locale (where installed). With nobody on display 4711, or a silent listener, the windows
// are skipped instead of the toolkit aborting or the probe waiting.
TEST_F(ImageDialogue, SquareLeavesGiveTheWholeReportAndASpeciesInAnyEnvironment) {
    cv::Mat cutOut(96, 128, CV_8UC4, cv::Scalar(0, 0, 0, 0));
    cutOut(cv::Rect(40, 30, 20, 20)).setTo(cv::Scalar(90, 90, 90, 255));
    cv::Mat deep;
    cutOut.convertTo(deep, CV_16U, 257.0);
    cv::imwrite(dir.file("cut.webp"), cutOut, {cv::IMWRITE_WEBP_QUALITY, 101});  // lossless
    dir.write("cut.bmp", bmpWithAlpha(cutOut));
    std::vector<cv::Mat> channels;
    cv::split(cutOut, channels);
    cv::Mat greyAlpha;
    cv::merge(std::vector<cv::Mat>{channels[0], channels[3]}, greyAlpha);
    dir.write("cut.tif", greyAlphaTiff(greyAlpha));
    cv::Mat keyed(96, 128, CV_8UC1, cv::Scalar(7));  // grey 7 is transparent
    keyed(cv::Rect(40, 30, 20, 20)).setTo(90);
    dir.write("keyed.png", withPngChunk(encoded(".png", keyed), "tRNS", std::string("\0\x07", 2)));
    const std::vector<std::pair<std::string, int>> leaves = {{square("square20.png", 20), 20},
                                                             {square("square31.png", 31), 31},
                                                             {picture("cut.png", cutOut), 20},
                                                             {picture("cut16.png", deep), 20},
                                                             {"cut.webp", 20},
                                                             {"cut.bmp", 20},
                                                             {"cut.tif", 20},
                                                             {"keyed.png", 20}};
    std::string input;
    std::string expected = first;
    for (const auto& [name, side] : leaves) {
        input += name + "\n";
        expected += squareReport(name, side) + oak + prompt;
    }
    const SilentDisplay silent;
    ASSERT_FALSE(silent.display.empty()) << "no free display port";
    for (const std::map<std::string, std::string>& environment :
         {std::map<std::string, std::string>{},
          {{"LC_ALL", "de_DE.UTF-8"}, {"LANG", "de_DE.UTF-8"}},
          {{"DISPLAY", ":4711"}},
          {{"DISPLAY", silent.display}}}) {
        const ProgramRun result = run(input + "end\n", environment);
        const std::string where = environment.empty() ? "" : environment.rbegin()->second;
        EXPECT_EQ(result.output, expected) << where;
        EXPECT_EQ(result.exitCode, 0) << where;
        EXPECT_LT(result.seconds, 20.0) << where;
    }
}

// Pictures that cannot be named (some once aborted, took gigabytes or measured nonsense) each get
// one line, in little time and memory, and the leaf after them is named.
TEST_F(ImageDialogue, PicturesThatCannotBeNamedGetOneAnswerAndTheDialogueGoesOn) {
    // A progressive JPEG of 64 x 64 pixels whose frame header claims 32000 x 32000: the decoder
    // makes up the missing data and would take gigabytes and many seconds.
    std::string bomb = encoded(".jpg", cv::Mat(64, 64, CV_8UC1, cv::Scalar(90)),
                               {cv::IMWRITE_JPEG_PROGRESSIVE, 1});
    bomb.replace(bomb.find("\xFF\xC2") + 5, 4, std::string("\x7D\x00\x7D\x00", 4));
    // A one-pixel line along the top edge survives the median filter (the border repeats it),
    // but encloses nothing and has no width. Survivors: columns 24..95 of row 0. Blurred: 73 x 2
    // and 76 x 3 pixels.
    cv::Mat line(40, 128, CV_8UC1, cv::Scalar(255));
    line(cv::Rect(20, 0, 80, 1)).setTo(0);
    volatile double zero = 0.0;
    std::string deep = encoded(".jpg", cv::Mat(64, 64, CV_8UC1, cv::Scalar(90)));
    deep[deep.find("\xFF\xC0") + 4] = 12;  // 12 bits a sample
    const std::vector<std::pair<std::string, std::string>> files = {
        {"text.jpg", "This is a letter, not a photograph.\n"},
        {"empty.png", ""},
        {"flat.png", encoded(".png", cv::Mat(1, 1000, CV_8UC1, cv::Scalar(0)))},
        {"tall.png", encoded(".png", cv::Mat(128, 1, CV_8UC1, cv::Scalar(0)))},
        {"huge.pgm", "P5\n60000 60000\n255\n"},  // beyond the image library's own limit
        {"bomb.jpg", bomb},
        {"photo.hdr",
         "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 2 +X 2\n" + std::string(16, '\x80')},
        {"photo.pfm", "PF\n2 2\n-1.0\n" + std::string(48, '\0')},  // floating point
        {"anim.gif", "GIF89a" + le(10, 2) + le(10, 2) + std::string(20, '\0')},
        {"deep.jpg", deep},
        {"photo.jxl", "\xFF\x0A" + std::string(30, '\0')},
        {"white.png", encoded(".png", cv::Mat(80, 128, CV_8UC1, cv::Scalar(255)))},
        {"line.png", encoded(".png", line)},
    };
    // Pictures in formats known but not read say which; files that are no picture do not.
    const auto unread = [](const std::string& format) {
        return "Sorry, but " + format + " pictures aren't read!\n\n";
    };
    const std::map<std::string, std::string> answers = {
        {"photo.hdr", unread("Radiance HDR")},
        {"photo.pfm", unread("PFM")},
        {"anim.gif", unread("GIF")},
        {"deep.jpg", unread("12-bit JPEG")},
        {"photo.jxl", unread("JPEG XL")},
        {"white.png",
         "Processing image \"white.png\" (128x80) ...\nSorry, but no leaf was found in this "
         "image!\n\n"},
        {"line.png", reportFor("line.png", 40, {142, 0, 71, 0},
                               {150.0 / 72, 71 / zero, 0, (71 * zero) / zero, 2, 2}) +
                         "Sorry, but this leaf couldn't be measured!\n\n"}};
    const std::string leaf = square("leaf.png", 20);
    std::string input;
    std::string expected = first;
    for (const auto& [name, content] : files) {
        dir.write(name, content);
        input += name + " ";
        expected += (answers.count(name) ? answers.at(name) : notImage) + prompt;
    }
    const ProgramRun result = run(input + leaf + " end");
    EXPECT_EQ(result.output, expected + squareReport(leaf, 20) + oak + prompt);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_LT(result.seconds, 20.0);
    EXPECT_LT(result.peakMemoryKilobytes, 400 * 1024);

    // The image library's own limit, set by the user below ours: it throws from imread.
    dir.write("wide.png", encoded(".png", cv::Mat(40, 300, CV_8UC1, cv::Scalar(0))));
    EXPECT_EQ(run("wide.png " + leaf + " end", {{"OPENCV_IO_MAX_IMAGE_WIDTH", "200"}}).output,
              first + notImage + prompt + squareReport(leaf, 20) + oak + prompt);
}

// Weights of 1e308 meet as infinity minus infinity: no species is named from such an output.
// A sixth output that wins says the leaf is none of the five.
TEST_F(ImageDialogue, OutputsThatNameNoSpeciesGetTheirSorryLine) {
    const std::string row = "1e308 1e308 1e308 1e308 1e308\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"\n5\n1\n6\n" + row + row + "0 0 0 0 0\n0 0 0 0 0\n-" + row + "0 0 0 0 0\n",
         "Sorry, but the network couldn't name this leaf!\n\n"},
        {"\n6\n1\n6\n0 0 0 0 0 1\n" + repeated("0 0 0 0 0 0\n", 5),
         "Sorry, but this leaf is none of the five species!\n\n"},
        {"\n6\n1\n6\n0 0 0 1 0 0\n" + repeated("0 0 0 0 0 0\n", 5), oak},
    };
    const std::string a = square("leaf.png", 20);
    for (const auto& [weights, answer] : cases) {
        network(weights);
        EXPECT_EQ(run(a + " end").output, first + squareReport(a, 20) + answer + prompt);
    }
}

TEST_F(ImageDialogue, AnOutlineOfAQuarterMillionPointsIsAnsweredInSeconds) {
    // Checkered teeth under a solid back, 128 x 16256: the 9 x 9 median keeps the checks, so
    // the outline zigzags down both sides of every tooth, about 240,000 points, and there are
    // 400,000 holes. Comparing every pair of points took minutes, so did nesting the holes.
    cv::Mat comb(16256, 128, CV_8UC1);
    for (int y = 0; y < comb.rows; ++y) {
        for (int x = 0; x < comb.cols; ++x) {
            const bool inside = x > 0 && x < 127;  // the comb lies apart from the sides
            comb.at<uchar>(y, x) =
                inside && (y < 12 || (x % 18 < 17 && (x + y) % 2 == 0)) ? 0 : 255;
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
    const ProgramRun result = runProgram(LEAFID_BINARY, {}, dir.path().string(),
                                         a + " " + b + " end", {{"DISPLAY", ""}}, bound + 60.0);
    EXPECT_LT(result.seconds, bound);
    // The comb is named, then the leaf after it.
    EXPECT_NE(result.output.find(oak + prompt + squareReport(b, 20) + oak + prompt),
              std::string::npos)
        << result.output;
    EXPECT_EQ(result.exitCode, 0);
}

// A network of 8 inputs reads solidity and convexity, one of 16 every outline descriptor; each
// reports what it reads, in order, after the features.
TEST_F(ImageDialogue, OutlineDescriptorsAreReadAndReportedAsFarAsTheNetworkReads) {
    const std::string a = square("square20.png", 20);
    // The cut corners of the square (see squareReport), by hand: the hull skips the inner step of
    // each, (3, 1) and (1, 3) from the corner, so it keeps 1 of the 6.5 square pixels cut away,
    // and runs sqrt 5 + sqrt 2 + sqrt 5 where the outline runs 2 + 3 sqrt 2.
    const double solidity = (19.0 * 19 - 26) / (19.0 * 19 - 22);
    const double convexity =
        (44 + 8 * std::sqrt(5.0) + 4 * std::sqrt(2.0)) / (52 + 12 * std::sqrt(2.0));
    const std::string head = first + squareReport(a, 20) +
                             "- Outline descriptors\nSolidity: " + number(solidity) +
                             "\nConvexity: " + number(convexity) + "\n";
    const std::string tail = "-------------------\n\n" + lime + prompt;
    network(limeIfRead(8, 7, 2.0));  // convexity, about 0.98, outweighs the smooth factor
    EXPECT_EQ(run(a + " end").output, head + tail);

    network(limeIfRead(16, 15, 1000.0));  // the last one: harmonics 8-15, about a hundredth
    const std::string output = run(a + " end").output;
    ASSERT_EQ(output.substr(0, head.size()), head);
    std::istringstream block(output.substr(head.size()));
    // The square's outline as the contour extraction returns it: from the first leaf pixel of the
    // top row round the cut corners.
    const int l = 40, t = 30, r = 59, b = 49;
    const std::vector<double> expected = computeOutlineDescriptors(
        {{l + 4, t}, {r - 4, t}, {r - 3, t + 1}, {r - 2, t + 1}, {r - 1, t + 2}, {r - 1, t + 3},
         {r, t + 4}, {r, b - 4}, {r - 1, b - 3}, {r - 1, b - 2}, {r - 2, b - 1}, {r - 3, b - 1},
         {r - 4, b}, {l + 4, b}, {l + 3, b - 1}, {l + 2, b - 1}, {l + 1, b - 2}, {l + 1, b - 3},
         {l, b - 4}, {l, t + 4}, {l + 1, t + 3}, {l + 1, t + 2}, {l + 2, t + 1}, {l + 3, t + 1}});
    EXPECT_NEAR(expected[0], solidity, 1e-12);
    std::string line;
    for (size_t d = 2; d < outlineDescriptorCount; ++d) {
        std::getline(block, line);
        const std::string label = outlineDescriptorNames()[d] + ": ";
        ASSERT_EQ(line.substr(0, label.size()), label);
        EXPECT_NEAR(std::stod(line.substr(label.size())), expected[d], 1e-5 * expected[d] + 1e-12)
            << line;
    }
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(block), {}), tail);

    // Past the sixteenth input come the histograms: one line per radius, its bins after it, as
    // many as the network reads. On the square's straight sides every small disk is half inside,
    // so the smallest radius puts most of its points in the bins around one half (6 and 7).
    for (const int inputs : {20, 112}) {
        network(limeIfRead(inputs, 16 + 6, 1000.0));  // bin 7 of the smallest radius
        std::istringstream lines(run(a + " end").output);
        std::string text;
        while (std::getline(lines, text) && text != "- Outline histograms") {
        }
        const std::vector<std::string> radii = {"0.03", "0.045", "0.065", "0.1",
                                                "0.15", "0.22",  "0.33",  "0.5"};
        int shown = 0;
        for (size_t r = 0; std::getline(lines, text) && text[0] == 'R'; ++r) {
            const std::string label = "Radius " + radii.at(r) + ":";
            ASSERT_EQ(text.substr(0, label.size()), label) << text;
            std::istringstream values(text.substr(label.size()));
            std::vector<double> bins{std::istream_iterator<double>(values), {}};
            shown += static_cast<int>(bins.size());
            if (bins.size() == 12) {
                EXPECT_NEAR(std::accumulate(bins.begin(), bins.end(), 0.0), 1.0, 1e-5) << text;
            }
            if (r == 0 && inputs == 112) {
                EXPECT_GT(bins[5] + bins[6], 0.75) << text;
            }
        }
        EXPECT_EQ(shown, inputs - 16) << inputs;
        EXPECT_EQ(text, "-------------------") << inputs;
    }
}
