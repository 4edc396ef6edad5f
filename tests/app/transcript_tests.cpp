// The full transcript of every shared leaf photo, pinned by a digest per photo: any change of any
// digit in any report or answer fails and names the photo. The network is a small fixed one kept
// with the tests, so retraining the shipped network does not touch these digests.
//
// After a deliberate change of the transcripts, rewrite the digests with
//   LEAFID_UPDATE_TRANSCRIPTS=1 build/tests/program_tests --gtest_filter='Transcripts.*'
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <opencv2/imgcodecs.hpp>

#include "drawn_leaves.hpp"
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
