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
#include <sstream>

#include "drawn_leaves.hpp"
#include "run_program.hpp"
#include "test_support.hpp"

namespace fs = std::filesystem;

namespace {

const std::string dataDir = std::string(LEAFID_SOURCE_DIR) + "/tests/data";
const std::string digestFile = dataDir + "/transcript_digests.txt";
const std::string prompt = "Enter image path: ";

// FNV-1a, 64 bits: small, stable and plenty to notice a changed digit.
std::string digest(const std::string& text) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char c : text) {
        hash = (hash ^ c) * 0x100000001b3ULL;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return hex;
}

std::map<std::string, std::string> readDigests() {
    std::map<std::string, std::string> digests;
    std::ifstream file(digestFile);
    std::string photo;
    std::string value;
    while (file >> photo >> value) {
        digests[photo] = value;
    }
    return digests;
}

// Every photo of the shared folder, as a path relative to it ("oak/oak_kew_001.jpg"), sorted.
std::vector<std::string> sharedPhotos(const fs::path& leaves) {
    std::vector<std::string> photos;
    for (const auto& entry : fs::recursive_directory_iterator(leaves)) {
        if (entry.is_regular_file() && entry.path().extension() == ".jpg") {
            photos.push_back(fs::relative(entry.path(), leaves).generic_string());
        }
    }
    std::sort(photos.begin(), photos.end());
    return photos;
}

// The dialogue's answer to each path: everything it writes after that path's prompt up to the
// next prompt.
std::vector<std::string> answers(const std::string& output) {
    std::vector<std::string> pieces;
    size_t start = output.find(prompt);
    while (start != std::string::npos) {
        start += prompt.size();
        const size_t next = output.find(prompt, start);
        if (next == std::string::npos) {
            break;
        }
        pieces.push_back(output.substr(start, next - start));
        start = next;
    }
    return pieces;
}

// The last line of an answer, which ends with an empty line: the species, or why there is none.
std::string verdictLine(const std::string& answer) {
    return answer.substr(answer.rfind('\n', answer.size() - 3) + 1);
}

}  // namespace

TEST(Transcripts, SharedPhotosOnGreyAndUnevenPaperAreNamedAsOnWhite) {
    const fs::path leaves = LEAFID_LEAVES_DIR;
    if (!fs::is_directory(leaves)) {
        GTEST_SKIP() << "no leaf photos at " << leaves << "; darkened photos skipped";
    }
    const std::vector<std::string> photos = {"ginkgo/ginkgo_flav_001.jpg", "lime/lime_swe_001.jpg",
                                             "maple/maple_kew_040.jpg", "oak/oak_lsapp_003.jpg",
                                             "willow/willow_swe_001.jpg"};
    const std::vector<std::pair<std::string, Light>> lights = {
        {"82%", [](double, double) { return 0.82; }},
        {"65%", [](double, double) { return 0.65; }},
        {"100% to 70% from left to right", [](double x, double) { return 1.0 - 0.3 * x; }},
        {"90% with a soft shadow across the top left corner",
         [](double x, double y) { return 0.9 - 0.3 * (1.0 - smoothStep(0.4, 0.7, x + y)); }},
    };
    TempDir dir;
    fs::copy_file(dataDir + "/transcript_network.dat", dir.file("nn.dat"));
    std::string input;
    for (const std::string& photo : photos) {
        input += (leaves / photo).string() + "\n";
        const cv::Mat grey = cv::imread((leaves / photo).string(), cv::IMREAD_GRAYSCALE);
        ASSERT_FALSE(grey.empty()) << photo;
        for (size_t k = 0; k < lights.size(); ++k) {
            const std::string copy = dir.file(std::to_string(input.size()) + ".png");
            ASSERT_TRUE(cv::imwrite(copy, underLight(grey, lights[k].second)));
            input += copy + "\n";
        }
    }
    const ProgramRun run =
        runProgram(LEAFID_BINARY, {}, dir.path().string(), input + "end\n", {{"DISPLAY", ""}});
    const std::vector<std::string> answered = answers(run.output);
    ASSERT_EQ(answered.size(), photos.size() * (lights.size() + 1)) << run.output;
    const size_t group = lights.size() + 1;  // a photo, then its copies
    for (size_t a = 0; a < answered.size(); ++a) {
        const std::string& onWhite = answered[a - a % group];
        ASSERT_EQ(verdictLine(onWhite).rfind("tree = ", 0), 0u) << onWhite;
        if (a % group != 0) {
            EXPECT_EQ(verdictLine(answered[a]), verdictLine(onWhite))
                << photos[a / group] << " in light " << lights[a % group - 1].first;
        }
    }
}

TEST(Transcripts, EverySharedPhotoIsAnsweredExactlyAsPinned) {
    const fs::path leaves = LEAFID_LEAVES_DIR;
    if (!fs::is_directory(leaves)) {
        GTEST_SKIP() << "no leaf photos at " << leaves << "; transcript pinning skipped";
    }
    TempDir dir;
    fs::copy_file(dataDir + "/transcript_network.dat", dir.file("nn.dat"));
    fs::create_directory_symlink(leaves, dir.file("leaves"));
    const std::vector<std::string> photos = sharedPhotos(leaves);
    std::string input;
    for (const std::string& photo : photos) {
        input += "leaves/" + photo + "\n";
    }
    // Hundreds of photos in one run: under the sanitizers on a busy machine that takes minutes.
    const ProgramRun run = runProgram(LEAFID_BINARY, {}, dir.path().string(), input + "end\n",
                                      {{"DISPLAY", ""}}, 600.0);
    ASSERT_EQ(run.exitCode, 0) << run.errors;
    const std::vector<std::string> answered = answers(run.output);
    ASSERT_EQ(answered.size(), photos.size());

    if (std::getenv("LEAFID_UPDATE_TRANSCRIPTS") != nullptr) {
        std::ofstream file(digestFile);
        for (size_t p = 0; p < photos.size(); ++p) {
            file << photos[p] << " " << digest(answered[p]) << "\n";
        }
        GTEST_SKIP() << "wrote " << photos.size() << " digests to " << digestFile;
    }
    const std::map<std::string, std::string> pinned = readDigests();
    ASSERT_FALSE(pinned.empty()) << "no digests in " << digestFile;
    size_t checked = 0;
    for (size_t p = 0; p < photos.size(); ++p) {
        const auto found = pinned.find(photos[p]);
        if (found == pinned.end()) {
            continue;  // a photo added to the folder after the digests were written
        }
        ++checked;
        EXPECT_EQ(digest(answered[p]), found->second)
            << "the transcript of " << photos[p] << " changed; it is now:\n"
            << answered[p];
    }
    EXPECT_EQ(checked, pinned.size()) << "pinned photos are missing from " << leaves;
    // Every answer counts, so a program that says "Sorry" to every photo cannot pass.
    EXPECT_EQ(run.output.find("Sorry"), std::string::npos);
}
