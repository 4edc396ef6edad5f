// The two executables as a user runs them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "dataset.hpp"
#include "drawn_leaves.hpp"
#include "loader.hpp"
#include "run_program.hpp"
#include "test_support.hpp"
#include "writer.hpp"

namespace fs = std::filesystem;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), {});
}

struct CommandRun {
    int status = -1;
    std::string out;
    std::string err;
};

CommandRun run(const std::string& binary, const std::vector<std::string>& arguments) {
    const ProgramRun result = runProgram(binary, arguments, fs::current_path().string(), "");
    return {result.exitCode, result.output, result.errors};
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Five drawn species: ellipses from round to long, two of each.
void makeFiveShapeFolder(const fs::path& root) {
    const int halfWidths[] = {58, 40, 28, 18, 10};
    const char* names[] = {"ginkgo", "Lime", "maple", "oak", "willow"};
    for (int c = 0; c < 5; ++c) {
        fs::create_directories(root / names[c]);
        for (int k = 0; k < 2; ++k) {
            cv::imwrite((root / names[c] / ("leaf" + std::to_string(k) + ".png")).string(),
                        drawLeaf(60 + 10 * k, halfWidths[c] + 3 * k, 15.0 * k));
        }
    }
}

TEST(TrainCommand, HelpExplainsTheOptions) {
    const CommandRun help = run(LEAFID_TRAIN_BINARY, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(contains(help.out, "Usage: leafid-train [options] DATA_DIR"));
    EXPECT_TRUE(contains(help.out, "--folds K"));
}

TEST(TrainCommand, BadUsageExitsWithTwo) {
    TempDir dir;
    makeFiveShapeFolder(dir.path());
    const std::string data = dir.path().string();
    const std::string output = dir.file("nn.dat");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "missing DATA_DIR"},
        {{data, data}, "expected one DATA_DIR, got 2"},
        {{"--bogus", data}, "unknown option '--bogus'"},
        {{"--epochs", "many", data}, "option --epochs needs a whole number"},
        {{"--restarts", "0", data}, "option --restarts needs a whole number from 1"},
        {{"--hidden", "8,x", data}, "option --hidden needs sizes"},
        {{"--decay", "-1", data}, "option --decay needs a number from 0 to 1"},
        {{"--folds", "1", data}, "option --folds needs a whole number from 2"},
        {{data, "-o"}, "option --output needs a value"},
        {{"--matrix", "m.png", data}, "option --matrix needs a file name and --folds"},
        {{"--inputs", "5", data}, "option --inputs needs a whole number from 6 to 16, not '5'"},
        {{"--inputs", "17", data}, "option --inputs needs a whole number from 6 to 16"},
        {{"--hidden", "1000,1000", data},
         "options --hidden and --restarts ask for a network of more than 1000000 weights"},
        {{"--groups", dir.file("absent.csv"), data},
         "groups file '" + dir.file("absent.csv") + "' is missing or not a regular file"},
    };
    for (const auto& [arguments, message] : cases) {
        std::vector<std::string> withOutput{"-o", output};
        withOutput.insert(withOutput.end(), arguments.begin(), arguments.end());
        const CommandRun result =
            run(LEAFID_TRAIN_BINARY, arguments.empty() ? arguments : withOutput);
        EXPECT_EQ(result.status, 2) << message;
        EXPECT_TRUE(contains(result.err, "leafid-train: " + message)) << result.err;
        EXPECT_FALSE(fs::exists(output)) << message;
    }
}

TEST(TrainCommand, BadFoldersExitWithTwoAndWriteNothing) {
    TempDir dir;
    const std::string output = dir.file("nn.dat");
    const fs::path missingWillow = dir.path() / "missing";
    for (const char* name : {"ginkgo", "lime", "maple", "oak"}) {
        fs::create_directories(missingWillow / name);
    }
    const fs::path extra = dir.path() / "extra";
    makeFiveShapeFolder(extra);
    fs::create_directories(extra / "birch");
    const fs::path emptyClasses = dir.path() / "empty";
    makeDrawnFolder(emptyClasses, 2);  // nothing in lime, maple, oak
    const fs::path loopedOak = dir.path() / "looped";
    makeDrawnFolder(loopedOak, 1);
    fs::remove(loopedOak / "oak");
    fs::create_symlink("oak", loopedOak / "oak");  // a symbolic link to itself
    fs::create_symlink("loop", dir.path() / "loop");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {dir.file("nowhere"), "is not a folder"},
        {dir.file("loop"), "is not a folder"},
        {missingWillow.string(), "has no sub-folder for willow"},
        {extra.string(), "has a sub-folder 'birch' that is not a species"},
        {emptyClasses.string(), "no measurable image of lime"},
        {loopedOak.string(), "cannot read folder '" + (loopedOak / "oak").string() +
                                 "': Too many levels of symbolic links"},
    };
    for (const auto& [folder, message] : cases) {
        const CommandRun result = run(LEAFID_TRAIN_BINARY, {"-o", output, folder});
        EXPECT_EQ(result.status, 2) << folder;
        EXPECT_TRUE(contains(result.err, message)) << result.err;
        EXPECT_FALSE(fs::exists(output)) << folder;
    }
}

TEST(TrainCommand, MalformedGroupsFileExitsWithTwo) {
    TempDir dir;
    const fs::path data = dir.path() / "data";
    makeFiveShapeFolder(data);
    dir.write("data/groups.csv", "path,group\nginkgo/leaf0.png,a\nginkgo/leaf1.png\n");
    const CommandRun result = run(LEAFID_TRAIN_BINARY, {"-o", dir.file("nn.dat"), data.string()});
    EXPECT_EQ(result.status, 2);
    EXPECT_TRUE(contains(result.err, "leafid-train: groups file '" +
                                         (data / "groups.csv").string() +
                                         "' line 3: expected 'path,group', not 'ginkgo/leaf1.png'"))
        << result.err;
    EXPECT_FALSE(fs::exists(dir.file("nn.dat")));
}

TEST(TrainCommand, GroupedFoldsAndSixteenInputsByDefault) {
    TempDir dir;
    const fs::path data = dir.path() / "data";
    makeFiveShapeFolder(data);
    const std::string groups =
        dir.write("leaves.csv", "ginkgo/leaf0.png,g\nginkgo/leaf1.png,g\nLime/leaf0.png,l\n");
    const CommandRun result = run(
        LEAFID_TRAIN_BINARY, {"--epochs", "60", "--restarts", "2", "--hidden", "3", "--folds", "2",
                              "--groups", groups, "-o", dir.file("nn.dat"), data.string()});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(contains(result.out, "Groups: " + groups + ", 3 of 10 photos listed, in 2 groups"))
        << result.out;
    EXPECT_TRUE(contains(result.out, "2-fold cross-validation, grouped")) << result.out;
    EXPECT_TRUE(contains(result.out, "network 16-6-5, 2 runs summed")) << result.out;
    NeuralNetwork network;
    CoutCapture quiet;
    ASSERT_TRUE(loadNetwork(network, dir.file("nn.dat")));
    EXPECT_EQ(inputCount(network), 16);
}

TEST(TrainCommand, SameCommandWritesSameLoadableFile) {
    TempDir dir;
    const fs::path data = dir.path() / "data";
    makeFiveShapeFolder(data);
    // What cannot be read as a picture is skipped and counted; a loop beside the class folders
    // is no class folder, and a FIFO is never opened to wait for a writer.
    dir.write("data/oak/broken.jpg", "not a picture");
    fs::create_symlink("loop.png", data / "oak" / "loop.png");
    mkfifo((data / "oak" / "fifo.png").c_str(), 0644);
    fs::create_symlink("notes", data / "notes");
    const std::vector<std::string> common = {"--epochs", "150", "--restarts", "2", "--copies", "1",
                                             "--hidden", "4",   "--inputs",   "6"};
    std::vector<std::string> first = common;
    first.insert(first.end(), {"-o", dir.file("first.dat"), data.string()});
    std::vector<std::string> second = common;
    second.insert(second.end(), {"--output=" + dir.file("second.dat"), data.string()});
    const CommandRun one = run(LEAFID_TRAIN_BINARY, first);
    const CommandRun two = run(LEAFID_TRAIN_BINARY, second);
    ASSERT_EQ(one.status, 0) << one.err;
    ASSERT_EQ(two.status, 0) << two.err;
    EXPECT_TRUE(contains(one.out, "Images: 13 found, 10 measured, 3 skipped")) << one.out;
    EXPECT_TRUE(contains(one.out, "broken.jpg (not a readable image)")) << one.out;
    EXPECT_TRUE(contains(one.out, "loop.png (not a readable image)")) << one.out;
    const std::string bytes = readFile(dir.file("first.dat"));
    EXPECT_FALSE(bytes.empty());
    EXPECT_EQ(bytes, readFile(dir.file("second.dat")));
    NeuralNetwork network;
    CoutCapture quiet;
    ASSERT_TRUE(loadNetwork(network, dir.file("first.dat")));
    EXPECT_EQ(inputCount(network), 6);
    ASSERT_EQ(network.hiddenLayers.size(), 1u);
    EXPECT_EQ(network.hiddenLayers[0].size(), 8u);  // two runs of four
    EXPECT_EQ(network.outputLayer.size(), 5u);
}

// The output is checked before a photo is measured: a FIFO, a device, a folder or a link to
// nothing is refused and left as it was. An existing file keeps its permissions, and a link to
// it stays a link.
TEST(TrainCommand, OutputIsANewOrRegularFileCheckedFirst) {
    TempDir dir;
    const fs::path data = dir.path() / "data";
    makeFiveShapeFolder(data);
    const std::string fifo = dir.file("fifo");
    mkfifo(fifo.c_str(), 0644);
    // A device node of its own, never /dev/null: a regression would replace it. Only root may
    // make one; elsewhere the case is a second FIFO.
    if (mknod(dir.file("device").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
        mkfifo(dir.file("device").c_str(), 0644);
    }
    fs::create_directory(dir.file("folder"));
    fs::create_symlink(dir.file("absent"), dir.file("dangling"));
    const std::vector<std::pair<std::string, std::string>> refused = {
        {fifo, "'" + fifo + "' is not a regular file"},
        {dir.file("device"), "'" + dir.file("device") + "' is not a regular file"},
        {dir.file("folder"), "'" + dir.file("folder") + "' is not a regular file"},
        {dir.file("dangling"), "'" + dir.file("dangling") + "' is a symbolic link to nothing"},
        {dir.file("missing/nn.dat"),
         "cannot create a file in '" + dir.file("missing") + "': No such file or directory"},
    };
    for (const auto& [target, message] : refused) {
        const CommandRun result = run(LEAFID_TRAIN_BINARY, {"-o", target, data.string()});
        EXPECT_EQ(result.status, 1) << target;
        EXPECT_EQ(result.err, "leafid-train: " + message + "\n");  // nothing measured
    }
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_FALSE(fs::is_regular_file(dir.file("device")));

    // A read-only file: only root may replace it, and it stays read-only.
    const std::string kept = dir.write("read-only.dat", "old");
    chmod(kept.c_str(), 0444);
    fs::create_symlink(kept, dir.file("link.dat"));
    const CommandRun written = run(LEAFID_TRAIN_BINARY, {"--epochs", "20", "--restarts", "1", "-o",
                                                         dir.file("link.dat"), data.string()});
    if (geteuid() != 0) {
        EXPECT_EQ(written.err,
                  "leafid-train: cannot write '" + dir.file("link.dat") + "': Permission denied\n");
        EXPECT_EQ(readFile(kept), "old");
        return;
    }
    ASSERT_EQ(written.status, 0) << written.err;
    EXPECT_TRUE(fs::is_symlink(dir.file("link.dat")));
    NeuralNetwork network;
    CoutCapture quiet;
    EXPECT_TRUE(loadNetwork(network, kept));
    EXPECT_EQ(fs::status(kept).permissions(),
              fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 7)
        << "a temporary file is left";
}

// A run stopped by SIGINT or SIGTERM takes its temporary file with it, even while it measures.
TEST(TrainCommand, AnInterruptedRunLeavesNothingBehind) {
    for (int signal : {SIGINT, SIGTERM}) {
        TempDir dir;
        const fs::path data = dir.path() / "data";
        makeFiveShapeFolder(data);
        const std::string output = dir.file("nn.dat");
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            freopen("/dev/null", "w", stdout);
            freopen("/dev/null", "w", stderr);
            execl(LEAFID_TRAIN_BINARY, LEAFID_TRAIN_BINARY, "--epochs", "100000", "-o",
                  output.c_str(), data.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        const auto started = std::chrono::steady_clock::now();
        const auto entries = [&] {
            return std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator());
        };
        while (entries() < 2 &&
               std::chrono::steady_clock::now() - started < std::chrono::seconds(60)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(entries(), 2) << "no temporary file appeared";
        kill(child, signal);
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_EQ(entries(), 1) << "the temporary file is left";
    }
}

TEST(EvalCommand, BadUsageExitsWithTwo) {
    TempDir dir;
    makeDrawnFolder(dir.path() / "data", 1);
    const std::string data = (dir.path() / "data").string();
    const std::string garbage = dir.write("garbage.dat", "no network here\n");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "missing DATA_DIR"},
        {{"--colour", data}, "unknown option '--colour'"},
        {{"--network", dir.file("absent.dat"), data}, "Unable to open file"},
        {{"--network", garbage, data}, "is invalid: line 1"},
        {{"--network", garbage, dir.file("nowhere")}, "is not a folder"},
        {{"--network", "/dev/zero", data}, "Network file /dev/zero is not a regular file"},
    };
    for (const auto& [arguments, message] : cases) {
        const CommandRun result = run(LEAFID_EVAL_BINARY, arguments);
        EXPECT_EQ(result.status, 2) << message;
        EXPECT_TRUE(contains(result.err, message)) << result.err;
    }
    EXPECT_TRUE(contains(run(LEAFID_EVAL_BINARY, {"-h"}).out, "Usage: leafid-eval"));
}

TEST(EvalCommand, ReportsTheExpectedMatrixForDrawnLeaves) {
    TempDir dir;
    const fs::path data = dir.path() / "data";
    makeDrawnFolder(data, 3);
    cv::imwrite((data / "maple" / "round.png").string(), drawLeaf(70, 66, 0.0));
    dir.write("data/oak/broken.jpg", "not a picture");
    fs::create_symlink("loop.png", data / "oak" / "loop.png");
    // No hidden layer: round leaves (aspect ratio near 1) call ginkgo, long ones willow; the
    // smooth factor, always a little above 1, stands in for the threshold.
    const std::vector<WeightMatrix> weights = {{{6, -10, -10, -10, -6},
                                                {-3, 0, 0, 0, 3},
                                                {0, 0, 0, 0, 0},
                                                {0, 0, 0, 0, 0},
                                                {0, 0, 0, 0, 0},
                                                {0, 0, 0, 0, 0}}};
    const std::string network = dir.file("crafted.dat");
    ASSERT_EQ(writeNetworkFile(weights, network), "");
    const std::string csv = dir.file("rows.csv");
    const std::string picture = dir.file("matrix.png");
    const CommandRun result = run(LEAFID_EVAL_BINARY, {"--network", network, "--csv", csv,
                                                       "--matrix", picture, data.string()});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(contains(result.out,
                         "9 images, 7 measured, 2 skipped\n"
                         "Inputs: 6 (the six features)\n"))
        << result.out;
    EXPECT_TRUE(contains(result.out, "Accuracy: 85.7% (6 of 7)")) << result.out;
    EXPECT_TRUE(contains(result.out, "ginkgo         3       0       0       0       0"))
        << result.out;
    EXPECT_TRUE(contains(result.out, "maple          1       0       0       0       0"))
        << result.out;
    EXPECT_TRUE(contains(result.out, "willow         0       0       0       0       3"))
        << result.out;
    EXPECT_TRUE(contains(result.out, "round.png: maple taken for ginkgo")) << result.out;
    EXPECT_TRUE(contains(result.out, "broken.jpg: not a readable image")) << result.out;
    EXPECT_TRUE(contains(result.out, "loop.png: not a readable image")) << result.out;

    std::istringstream rows(readFile(csv));
    std::string line;
    std::vector<std::string> lines;
    while (std::getline(rows, line)) {
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[0].rfind("path,class,status,smooth_factor,aspect_ratio,", 0), 0u);
    for (const std::string& row : lines) {
        EXPECT_EQ(std::count(row.begin(), row.end(), ','), 14) << row;
    }
    EXPECT_TRUE(contains(readFile(csv), "long2.png,willow,measured,")) << readFile(csv);

    // Two more inputs, of no weight: the CSV carries the two descriptors the network reads.
    std::vector<WeightMatrix> wider = weights;
    wider[0].resize(8, std::vector<double>(5, 0.0));
    ASSERT_EQ(writeNetworkFile(wider, network), "");
    const CommandRun eight =
        run(LEAFID_EVAL_BINARY, {"--network", network, "--csv", csv, data.string()});
    ASSERT_EQ(eight.status, 0) << eight.err;
    EXPECT_TRUE(contains(eight.out, "Inputs: 8 (the six features, then 2 outline descriptors)\n"))
        << eight.out;
    EXPECT_TRUE(contains(eight.out, "Accuracy: 85.7% (6 of 7)")) << eight.out;
    const std::string rows8 = readFile(csv);
    EXPECT_TRUE(contains(rows8, ",perimeter_ratio_factor,solidity,convexity,predicted,")) << rows8;
    std::istringstream lines8(rows8);
    while (std::getline(lines8, line)) {
        EXPECT_EQ(std::count(line.begin(), line.end(), ','), 16) << line;
    }

    // Weights of 1e308 meet as infinity minus infinity on the long leaves: no species for them.
    const std::vector<double> huge(5, 1e308);
    const std::vector<double> none(5, 0.0);
    const std::vector<double> minusHuge(5, -1e308);
    ASSERT_EQ(writeNetworkFile({{none, huge, none, none, minusHuge, none}}, network), "");
    const CommandRun nan =
        run(LEAFID_EVAL_BINARY, {"--network", network, "--csv", csv, data.string()});
    EXPECT_TRUE(contains(nan.out, "long2.png: network gave no answer")) << nan.out;
    EXPECT_TRUE(contains(readFile(csv), "long2.png,willow,network gave no answer,"))
        << readFile(csv);
    const cv::Mat drawn = cv::imread(picture);
    ASSERT_FALSE(drawn.empty());
    EXPECT_GT(drawn.cols, 400);
}

}  // namespace
