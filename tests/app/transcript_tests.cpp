// The full transcript of every shared leaf photo, pinned by a digest per photo: any change of any
// digit in any report or answer fails and names the photo. The network is a small fixed one kept
// with the tests, so retraining the shipped network does not touch these digests.
//
// After a deliberate change of the transcripts, rewrite the digests with
//   LEAFID_UPDATE_TRANSCRIPTS=1 build/tests/program_tests --gtest_filter='Transcripts.*'
#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>

#include "drawn_leaves.hpp"
#include "picture.hpp"
#include "run_program.hpp"
#include "test_support.hpp"

namespace fs = std::filesystem;

namespace {

const std::string dataDir = std::string(LEAFID_SOURCE_DIR) + "/tests/data";
const std::string digestFile = dataDir + "/transcript_digests.txt";

// The dialogue's answer to each path: everything it writes between that path's prompt and the
// next one.
std::vector<std::string> answers(const std::string& output) {
    const std::string prompt = "Enter image path: ";
    std::vector<std::string> pieces;
    for (size_t start = output.find(prompt), next;
         (next = output.find(prompt, start + prompt.size())) != std::string::npos; start = next) {
        pieces.push_back(output.substr(start + prompt.size(), next - start - prompt.size()));
    }
    return pieces;
}

// The last line of an answer, which ends with an empty line: the species, or why there is none.
std::string verdictLine(const std::string& answer) {
    return answer.substr(answer.rfind('\n', answer.size() - 3) + 1);
}

}  // namespace

// One run answers every photo of the shared folder, then a few of them again on grey and
// unevenly lit paper, which must be named as on white.
TEST(Transcripts, EverySharedPhotoIsAnsweredAsPinnedAndOnDarkerPaperAsOnWhite) {
    const fs::path leaves = LEAFID_LEAVES_DIR;
    if (!fs::is_directory(leaves)) {
        GTEST_SKIP() << "no leaf photos at " << leaves << "; transcript pinning skipped";
    }
    TempDir dir;
    fs::copy_file(dataDir + "/transcript_network.dat", dir.file("nn.dat"));
    fs::create_directory_symlink(leaves, dir.file("leaves"));
    std::vector<std::string> photos;  // relative to the folder ("oak/oak_kew_001.jpg"), sorted
    for (const auto& entry : fs::recursive_directory_iterator(leaves)) {
        if (entry.is_regular_file() && entry.path().extension() == ".jpg") {
            photos.push_back(fs::relative(entry.path(), leaves).generic_string());
        }
    }
    std::sort(photos.begin(), photos.end());
    std::string input;
    for (const std::string& photo : photos) {
        input += "leaves/" + photo + "\n";
    }
    const std::vector<std::string> darkened = {
        "ginkgo/ginkgo_flav_001.jpg", "lime/lime_swe_001.jpg", "maple/maple_kew_040.jpg",
        "oak/oak_lsapp_003.jpg", "willow/willow_swe_001.jpg"};
    const std::vector<std::pair<std::string, Light>> lights = {
        {"82%", [](double, double) { return 0.82; }},
        {"65%", [](double, double) { return 0.65; }},
        {"100% to 70% left to right", [](double x, double) { return 1.0 - 0.3 * x; }},
        {"90%, shadow top left",
         [](double x, double y) { return 0.9 - 0.3 * (1.0 - smoothStep(0.4, 0.7, x + y)); }},
    };
    for (const std::string& photo : darkened) {
        const cv::Mat grey = cv::imread((leaves / photo).string(), cv::IMREAD_GRAYSCALE);
        ASSERT_FALSE(grey.empty()) << photo;
        for (const auto& light : lights) {
            const std::string copy = dir.file(std::to_string(input.size()) + ".png");
            ASSERT_TRUE(cv::imwrite(copy, underLight(grey, light.second)));
            input += copy + "\n";
        }
    }
    // Hundreds of photos in one run: under the sanitizers on a busy machine that takes minutes.
    const ProgramRun run = runProgram(LEAFID_BINARY, {}, dir.path().string(), input + "end\n",
                                      {{"DISPLAY", ""}}, 600.0);
    ASSERT_EQ(run.exitCode, 0) << run.errors;
    const std::vector<std::string> answered = answers(run.output);
    ASSERT_EQ(answered.size(), photos.size() + darkened.size() * lights.size());
    // Every answer counts, so a program that says "Sorry" to every photo cannot pass.
    EXPECT_EQ(run.output.find("Sorry"), std::string::npos);

    std::map<std::string, std::string> answerTo;
    for (size_t p = 0; p < photos.size(); ++p) {
        answerTo[photos[p]] = answered[p];
    }
    auto copy = answered.begin() + photos.size();
    for (const std::string& photo : darkened) {
        for (const auto& light : lights) {
            EXPECT_EQ(verdictLine(*copy++), verdictLine(answerTo[photo]))
                << photo << " in light " << light.first;
        }
    }

    if (std::getenv("LEAFID_UPDATE_TRANSCRIPTS") != nullptr) {
        std::ofstream file(digestFile);
        for (const auto& [photo, answer] : answerTo) {
            file << photo << " " << digest(answer) << "\n";
        }
        GTEST_SKIP() << "wrote " << photos.size() << " digests to " << digestFile;
    }
    // A photo added to the folder after the digests were written is not checked.
    std::ifstream file(digestFile);
    std::string photo;
    std::string pinned;
    size_t checked = 0;
    for (; file >> photo >> pinned; ++checked) {
        ASSERT_EQ(answerTo.count(photo), 1u) << "pinned photo " << photo << " is missing";
        EXPECT_EQ(digest(answerTo[photo]), pinned)
            << "the transcript of " << photo << " changed; it is now:\n"
            << answerTo[photo];
    }
    EXPECT_GT(checked, 0u) << "no digests in " << digestFile;
}

namespace {

// The program of that name on the PATH; empty when there is none.
std::string onPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "");
    for (std::string folder; std::getline(folders, folder, ':');) {
        if (!folder.empty() && access((folder + "/" + name).c_str(), X_OK) == 0) {
            return folder + "/" + name;
        }
    }
    return "";
}

// The picture size of an answer's processing line, "(128x96)".
std::string workingSize(const std::string& answer) {
    const size_t open = answer.find(") ...\n");
    return open == std::string::npos
               ? ""
               : answer.substr(answer.rfind('(', open), 1 + open - answer.rfind('(', open));
}

}  // namespace

// The formats phones save in, HEIC and AVIF, made by heif-enc from shared photos: each is named
// like the JPEG it came from, at the same working size. One photo comes with an EXIF turn (which
// heif-enc copies as it is), one cut out on a transparent black background (alpha over white).
TEST(Transcripts, HeicAndAvifPhotosAreNamedLikeTheJpeg) {
    const fs::path leaves = LEAFID_LEAVES_DIR;
    const std::string encoder = onPath("heif-enc");
    if (!fs::is_directory(leaves) || encoder.empty()) {
        GTEST_SKIP() << "needs the leaf photos at " << leaves << " and heif-enc (libheif-examples)";
    }
    TempDir dir;
    fs::copy_file(dataDir + "/transcript_network.dat", dir.file("nn.dat"));
    const std::vector<std::string> photos = {"ginkgo/ginkgo_flav_001.jpg", "lime/lime_swe_001.jpg",
                                             "maple/maple_kew_040.jpg", "oak/oak_lsapp_003.jpg",
                                             "willow/willow_swe_001.jpg"};
    std::vector<std::string> sources;  // what heif-enc reads
    for (const std::string& photo : photos) {
        sources.push_back((leaves / photo).string());
    }
    // Turned a quarter by EXIF: stored rows become columns.
    std::ifstream turnedFrom(sources[1], std::ios::binary);
    sources.push_back(dir.write(
        "turned.jpg", withExif(std::string(std::istreambuf_iterator<char>(turnedFrom), {}), 6)));
    // Cut out: the background transparent and black, which only compositing makes white again.
    const cv::Mat grey = cv::imread(sources[3], cv::IMREAD_GRAYSCALE);
    cv::Mat cut;
    cv::cvtColor(grey, cut, cv::COLOR_GRAY2BGRA);
    cut.setTo(cv::Scalar(0, 0, 0, 0), grey >= 200);
    sources.push_back(dir.file("cut.png"));
    ASSERT_TRUE(cv::imwrite(sources.back(), cut));

    std::string input;
    for (const std::string& source : sources) {
        input += source + "\n";
        for (const bool avif : {false, true}) {
            const std::string made =
                dir.file(std::to_string(input.size()) + (avif ? ".avif" : ".heic"));
            std::vector<std::string> arguments = {"-q", "90", source, "-o", made};
            if (avif) {
                arguments.insert(arguments.begin(), "-A");
            }
            const ProgramRun encoded =
                runProgram(encoder, arguments, dir.path().string(), "", {}, 300.0);
            ASSERT_EQ(encoded.exitCode, 0) << encoded.errors;
            input += made + "\n";
            // An image that declares 4 x 4 pixels ('ispe') but codes more is sized by its code,
            // and a grid by its canvas (in 'idat'), not by its declared size.
            std::ifstream madeFile(made, std::ios::binary);
            std::string shrunk(std::istreambuf_iterator<char>(madeFile), {});
            shrunk.replace(shrunk.find("ispe") + 8, 8, be(4, 4) + be(4, 4));
            std::string widened = shrunk;
            if (widened.find("idat") != std::string::npos) {
                widened.replace(widened.find("idat") + 8, 2, be(4000, 2));
            }
            const PictureHeader header = readPictureHeader(dir.write("shrunk", shrunk));
            EXPECT_EQ(header.decodingSeconds, readPictureHeader(made).decodingSeconds) << made;
            const std::string path = dir.write("widened", widened);
            EXPECT_GE(readPictureHeader(path).pixels, readGreyPicture(path).total()) << made;
        }
    }
    const ProgramRun run = runProgram(LEAFID_BINARY, {}, dir.path().string(), input + "end\n",
                                      {{"DISPLAY", ""}}, 300.0);
    ASSERT_EQ(run.exitCode, 0) << run.errors;
    const std::vector<std::string> answered = answers(run.output);
    ASSERT_EQ(answered.size(), 3 * sources.size());
    for (size_t s = 0; s < sources.size(); ++s) {
        const std::string& jpeg = answered[3 * s];
        EXPECT_NE(verdictLine(jpeg).find("tree = "), std::string::npos) << sources[s];
        for (size_t made = 1; made <= 2; ++made) {
            EXPECT_EQ(verdictLine(answered[3 * s + made]), verdictLine(jpeg)) << sources[s] << made;
            EXPECT_EQ(workingSize(answered[3 * s + made]), workingSize(jpeg)) << sources[s] << made;
        }
    }
    EXPECT_NE(workingSize(answered[15]), workingSize(answered[3])) << "the EXIF turn is made";
}
