// The two executables as a user runs them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "dataset.hpp"
#include "drawn_leaves.hpp"
#include "identification_json.hpp"
#include "loader.hpp"
#include "run_program.hpp"
#include "test_support.hpp"
#include "train_settings.hpp"
#include "writer.hpp"

namespace fs = std::filesystem;

namespace {

ProgramRun run(const std::string& binary, const std::vector<std::string>& arguments) {
    return runProgram(binary, arguments, fs::current_path().string(), "");
}

void expectParts(const std::string& text, const std::vector<std::string>& parts) {
    for (const std::string& part : parts) {
        EXPECT_NE(text.find(part), std::string::npos) << "'" << part << "' not in:\n" << text;
    }
}

NeuralNetwork loaded(const std::string& path) {
    NeuralNetwork network;
    CoutCapture quiet;
    EXPECT_TRUE(loadNetwork(network, path)) << path;
    return network;
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

TEST(TrainCommand, RefusedRunsExitWithTwoAndWriteNothing) {
    const ProgramRun help = run(LEAFID_TRAIN_BINARY, {"--help"});
    EXPECT_EQ(help.exitCode, 0);
    expectParts(help.output, {"Usage: leafid-train [options] DATA_DIR", "--folds K"});

    TempDir dir;
    const std::string data = (dir.path() / "data").string();
    makeFiveShapeFolder(data);
    const fs::path grouped = dir.path() / "grouped";  // a malformed groups.csv of its own
    makeFiveShapeFolder(grouped);
    dir.write("grouped/groups.csv", "path,group\nginkgo/leaf0.png,a\nginkgo/leaf1.png\n");
    const fs::path missingWillow = dir.path() / "missing";
    for (const char* name : {"ginkgo", "lime", "maple", "oak"}) {
        fs::create_directories(missingWillow / name);
    }
    const fs::path extra = dir.path() / "extra";
    makeFiveShapeFolder(extra);
    fs::create_directories(extra / "birch");
    const fs::path emptyClasses = dir.path() / "empty";
    makeDrawnFolder(emptyClasses, 2);  // nothing in lime, maple, oak
    std::string groups;                // as large as read, with no photo of the folder in it
    for (int n = 0; groups.size() < (64u << 20) - 32; ++n) {
        groups += "oak/" + std::to_string(n) + ".png,g\n";
    }
    dir.write("empty/groups.csv", groups);
    const fs::path loopedOak = dir.path() / "looped";
    makeDrawnFolder(loopedOak, 1);
    fs::remove(loopedOak / "oak");
    fs::create_symlink("oak", loopedOak / "oak");  // a symbolic link to itself
    fs::create_symlink("loop", dir.path() / "loop");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "missing DATA_DIR"},
        {{data, data}, "expected one DATA_DIR, got 2"},
        {{"--bogus", data}, "unknown option '--bogus'"},
        {{"--epochs", "many", data}, "option --epochs needs a whole number"},
        {{"--epochs", "5", "--epochs", "6", data}, "option --epochs is given twice"},
        {{"--restarts", "0", data}, "option --restarts needs a whole number from 1"},
        {{"--hidden", "8,x", data}, "option --hidden needs sizes"},
        {{"--hidden", "0", data}, "option --hidden needs sizes"},
        {{"--decay", "-1", data}, "option --decay needs a number from 0 to 1"},
        {{"--other-weight", "0", data}, "option --other-weight needs a number from 0.1 to 10"},
        {{"--folds", "1", data}, "option --folds needs a whole number from 2"},
        {{"--folds", "3", data}, "--folds 3 would leave 1 of the 3 folds without a photo"},
        {{data, "-o"}, "option --output needs a value"},
        {{"--matrix", "m.png", data}, "option --matrix needs a file name and --folds"},
        {{"--inputs", "5", data}, "option --inputs needs a whole number from 6 to 112, not '5'"},
        {{"--inputs", "113", data}, "option --inputs needs a whole number from 6 to 112"},
        {{"--hidden", "1000,1000", data},
         "options --hidden and --restarts ask for a network of more than 1000000 weights"},
        {{"--groups", dir.file("absent.csv"), data},
         "groups file '" + dir.file("absent.csv") + "' is missing or not a regular file"},
        {{grouped.string()},
         "groups file '" + (grouped / "groups.csv").string() +
             "' line 3: expected 'path,group', not 'ginkgo/leaf1.png'"},
        {{dir.file("nowhere")}, "'" + dir.file("nowhere") + "' is not a folder"},
        {{dir.file("loop")}, "'" + dir.file("loop") + "' is not a folder"},
        {{missingWillow.string()}, "'" + missingWillow.string() + "' has no sub-folder for willow"},
        {{extra.string()},
         "'" + extra.string() + "' has a sub-folder 'birch' that is not a species"},
        {{emptyClasses.string()}, "no measurable image of lime"},
        {{loopedOak.string()},
         "cannot read folder '" + (loopedOak / "oak").string() +
             "': Too many levels of symbolic links"},
    };
    const std::string output = dir.file("nn.dat");
    for (const auto& [arguments, message] : cases) {
        std::vector<std::string> withOutput{"-o", output};
        withOutput.insert(withOutput.end(), arguments.begin(), arguments.end());
        const ProgramRun result = run(LEAFID_TRAIN_BINARY, withOutput);
        EXPECT_EQ(result.exitCode, 2) << message;
        expectParts(result.errors, {"leafid-train: " + message});
        EXPECT_FALSE(fs::exists(output)) << message;
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            EXPECT_NE(entry.path().filename().string().rfind(".nn.dat.", 0), 0u) << message;
        }
        EXPECT_LT(result.peakMemoryKilobytes, 200 * 1024 + sanitizerKilobytes) << message;
    }
}

TEST(TrainCommand, GroupedFoldsEveryInputByDefaultAndTheSameFileTwice) {
    TempDir dir;
    const fs::path data = dir.path() / "data";
    makeFiveShapeFolder(data);
    // What cannot be read or has no leaf is skipped and counted; a loop beside the class
    // folders is no class folder, and a FIFO is never opened to wait for a writer.
    dir.write("data/oak/broken.jpg", "not a picture");
    cv::imwrite(dir.file("data/oak/blank.png"), cv::Mat(100, 100, CV_8UC1, cv::Scalar(255)));
    fs::create_symlink("loop.png", data / "oak" / "loop.png");
    mkfifo((data / "oak" / "fifo.png").c_str(), 0644);
    fs::create_symlink("notes", data / "notes");
    const std::string groups =
        dir.write("leaves.csv", "ginkgo/leaf0.png,g\nginkgo/leaf1.png,g\nLime/leaf0.png,l\n");
    const std::vector<std::string> common = {"--epochs", "60", "--restarts", "2",
                                             "--hidden", "3",  "--copies",   "1"};
    const auto train = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), common.begin(), common.end());
        arguments.push_back(data.string());
        const ProgramRun result = run(LEAFID_TRAIN_BINARY, arguments);
        EXPECT_EQ(result.exitCode, 0) << result.errors;
        return result.output;
    };
    expectParts(train({"--folds", "2", "--groups", groups, "-o", dir.file("112.dat")}),
                {"Images: 14 found, 10 measured, 4 skipped", "broken.jpg (not a readable image)",
                 "loop.png (not a readable image)", "blank.png (no leaf found)",
                 "Groups: " + groups + ", 3 of 14 photos listed, in 2 groups",
                 "2-fold cross-validation, grouped", "network 112-6-5, 2 runs summed"});
    // The folds' answers calibrate the confidence, written after the output layer's block.
    const NeuralNetwork calibrated = loaded(dir.file("112.dat"));
    EXPECT_EQ(inputCount(calibrated), 112);
    ASSERT_EQ(calibrated.calibration.size(), 2u);
    EXPECT_GT(calibrated.calibration[0], 0.0);

    train({"--inputs", "6", "-o", dir.file("first.dat")});
    train({"--inputs", "6", "--output=" + dir.file("second.dat")});
    const std::string bytes = readFile(dir.file("first.dat"));
    EXPECT_FALSE(bytes.empty());
    EXPECT_EQ(bytes, readFile(dir.file("second.dat")));
    const NeuralNetwork network = loaded(dir.file("first.dat"));
    EXPECT_EQ(inputCount(network), 6);
    ASSERT_EQ(network.hiddenLayers.size(), 1u);
    EXPECT_EQ(network.hiddenLayers[0].size(), 6u);  // two runs of three
    EXPECT_EQ(network.outputLayer.size(), 5u);

    // Leaves of other trees beside the five: a sixth output, and the cross-validation says how
    // many of them it declined.
    fs::create_directories(data / "Other");
    for (int k = 0; k < 2; ++k) {
        cv::imwrite((data / "Other" / ("mid" + std::to_string(k) + ".png")).string(),
                    drawLeaf(80, 40 - 5 * k, 30.0 * k));
    }
    expectParts(train({"--inputs", "6", "--folds", "2", "-o", dir.file("six.dat")}),
                {"Images: 16 found, 12 measured", "  other: 2\n",
                 "Other leaves: ", " of 2 declined", "network 6-6-6, 2 runs summed"});
    EXPECT_EQ(loaded(dir.file("six.dat")).outputLayer.size(), 6u);
}

// Every default the help names is the default, and the progress lines on standard error, which
// is no terminal here, each come once.
TEST(TrainCommand, DefaultsAreTheDocumentedOnesAndProgressIsNotRepeated) {
    TempDir dir;
    const fs::path data = dir.path() / "data";
    makeFiveShapeFolder(data);
    const auto train = [&](const std::string& output, std::vector<std::string> arguments) {
        arguments.insert(arguments.end(), {"--epochs", "5", "-o", dir.file(output), data.string()});
        const ProgramRun result = run(LEAFID_TRAIN_BINARY, arguments);
        EXPECT_EQ(result.exitCode, 0) << result.errors;
        return result;
    };
    const ProgramRun plain = train("plain.dat", {"--copies", "2"});
    train("explicit.dat",
          {"--copies", "2", "--turn", "15", "--seed", "1", "--decay", "0.0001", "--restarts", "4",
           "--hidden", "32", "--inputs", "112", "--other-weight", "1", "--phone-copies", "1"});
    EXPECT_EQ(readFile(dir.file("plain.dat")), readFile(dir.file("explicit.dat")));
    expectParts(plain.output, {"10 measured, 0 skipped; 30 copies, turned and shrunk or phone-like",
                               "network 112-128-5, 4 runs summed (5 epochs each"});
    expectParts(train("none.dat", {"--decay", "1", "--phone-copies", "0"}).output,
                {"; 0 turned and shrunk copies"});
    std::istringstream lines(plain.errors);
    std::map<std::string, int> seen;
    for (std::string line; std::getline(lines, line);) {
        EXPECT_EQ(++seen[line], 1) << line;
    }
    EXPECT_EQ(seen.count("Training: 20/20"), 1u) << plain.errors;
}

// Each option sets its setting to its value, direction and size; the trainer's tests show what
// the settings do (the other leaves' weight multiplies theirs, each copy is one more variant).
TEST(TrainCommand, EveryOptionSetsItsSettingToItsValue) {
    Arguments arguments;
    arguments.values = {{"--other-weight", "5"}, {"--copies", "3"},       {"--turn", "20"},
                        {"--decay", "0.25"},     {"--epochs", "7"},       {"--restarts", "2"},
                        {"--hidden", "8,4"},     {"--seed", "9"},         {"--inputs", "8"},
                        {"--folds", "3"},        {"--output", "out.dat"}, {"--groups", "g.csv"},
                        {"--matrix", "m.png"}};
    arguments.positional = {"data"};
    TrainSettings set;
    ASSERT_EQ(readTrainSettings(arguments, set), "");
    const TrainOptions& t = set.training;
    EXPECT_EQ(std::make_tuple(t.otherWeight, set.copies, set.turn, t.decay, t.epochs, t.restarts,
                              t.hidden, t.seed, set.inputs, set.folds),
              std::make_tuple(5.0, 3, 20.0, 0.25, 7, 2, std::vector<int>{8, 4}, 9u, 8, 3));
    EXPECT_EQ(set.output + " " + set.groups + " " + set.matrix + " " + set.dataDir,
              "out.dat g.csv m.png data");
}

// The output is checked before a photo is measured (every refused kind of target is tried on
// every writer below). An existing file keeps its permissions, and a link to it stays a link.
TEST(TrainCommand, OutputIsANewOrRegularFileCheckedFirst) {
    TempDir dir;
    const fs::path data = dir.path() / "data";
    makeFiveShapeFolder(data);
    const ProgramRun refused = run(LEAFID_TRAIN_BINARY, {"-o", dir.path().string(), data.string()});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.errors,
              "leafid-train: '" + dir.path().string() + "' is not a regular file\n");

    // A read-only file: only root may replace it, and it stays read-only.
    const std::string kept = dir.write("read-only.dat", "old");
    chmod(kept.c_str(), 0444);
    fs::create_symlink(kept, dir.file("link.dat"));
    const ProgramRun written = run(LEAFID_TRAIN_BINARY, {"--epochs", "20", "--restarts", "1", "-o",
                                                         dir.file("link.dat"), data.string()});
    if (geteuid() != 0) {
        EXPECT_EQ(written.errors,
                  "leafid-train: cannot write '" + dir.file("link.dat") + "': Permission denied\n");
        EXPECT_EQ(readFile(kept), "old");
        return;
    }
    ASSERT_EQ(written.exitCode, 0) << written.errors;
    EXPECT_TRUE(fs::is_symlink(dir.file("link.dat")));
    EXPECT_EQ(inputCount(loaded(kept)), 112);
    EXPECT_EQ(fs::status(kept).permissions(),
              fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    EXPECT_EQ(entriesIn(dir.path()), 3) << "a temporary file is left";
}

// A run stopped by SIGINT or SIGTERM takes its temporary file with it, even while it measures.
TEST(TrainCommand, AnInterruptedRunLeavesNothingBehind) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
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
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (entriesIn(dir.path()) < 2 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(entriesIn(dir.path()), 2) << "no temporary file appeared";
        kill(child, signal);
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_EQ(entriesIn(dir.path()), 1) << "the temporary file is left";
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
        {{"--unlabelled", data}, "option --unlabelled needs --json"},
        {{"--network", dir.file("absent.dat"), data}, "Unable to open file"},
        {{"--network", garbage, data}, "is invalid: line 1"},
        {{"--network", garbage, dir.file("nowhere")}, "is not a folder"},
        {{"--network", "/dev/zero", data}, "Network file /dev/zero is not a regular file"},
        // The one file named last would be all that is written.
        {{"--csv", dir.file("a.csv"), "--csv", dir.file("b.csv"), data},
         "option --csv is given twice"},
        {{"--csv", dir.file("out"), "--matrix", dir.file("data/../out"), data},
         "options --csv and --matrix name the same file '" + dir.file("data/../out") + "'\n"},
        {{"--unlabelled", "--json", dir.file("out"), "--matrix", "out", data}, "same file"},
    };
    for (const auto& [arguments, message] : cases) {
        const ProgramRun result =
            runProgram(LEAFID_EVAL_BINARY, arguments, dir.path().string(), "");
        EXPECT_EQ(result.exitCode, 2) << message;
        expectParts(result.errors, {"leafid-eval: ", message});
        EXPECT_EQ(entriesIn(dir.path()), 2) << message;  // nothing written
    }
    expectParts(run(LEAFID_EVAL_BINARY, {"-h"}).output, {"Usage: leafid-eval"});
}

// Each row of a CSV file as its fields by the header's names, quotes undone (a quoted field may
// hold commas, quotes and line breaks).
std::vector<std::map<std::string, std::string>> csvRows(const std::string& text) {
    std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
    for (size_t at = 0, quoted = 0; at < text.size(); ++at) {
        if (text[at] == '"' && quoted && at + 1 < text.size() && text[at + 1] == '"') {
            rows.back().back() += text[at++];
        } else if (text[at] == '"') {
            quoted = !quoted;
        } else if (!quoted && text[at] == ',') {
            rows.back().emplace_back();
        } else if (!quoted && text[at] == '\n') {
            rows.emplace_back(1);
        } else {
            rows.back().back() += text[at];
        }
    }
    std::vector<std::map<std::string, std::string>> named;
    for (size_t r = 1; r + 1 < rows.size(); ++r) {  // the last is empty, after the line break
        EXPECT_EQ(rows[r].size(), rows[0].size()) << rows[r][0];
        named.emplace_back();
        for (size_t c = 0; c < rows[0].size() && c < rows[r].size(); ++c) {
            named.back()[rows[0][c]] = rows[r][c];
        }
    }
    return named;
}

// A line of leafid-eval --json by the names of its fields, inner ones after their object's
// ("working_size.width"). The library refuses unpaired surrogates, so "\udcXX" (the byte XX of a
// name that is not UTF-8) is read as U+00XX and made that byte again.
std::map<std::string, std::string> jsonFields(std::string line, const std::string& prefix = "") {
    for (size_t at; (at = line.find("\\udc")) != std::string::npos;) {
        line.replace(at, 4, "\\u00");
    }
    std::map<std::string, std::string> fields;
    const Json json = Json::parse(line);
    for (const auto& [key, value] : json.items()) {
        if (value.is_object()) {
            fields.merge(jsonFields(value.dump(), prefix + key + "."));
        } else {
            fields[prefix + key] = value.is_string() ? value.get<std::string>() : value.dump();
        }
    }
    std::string bytes;
    for (size_t at = 0; prefix.empty() && at < fields["path"].size(); ++at) {
        const unsigned char c = fields["path"][at];
        bytes += c >= 0xC2 ? static_cast<char>((c & 3) << 6 | (fields["path"][++at] & 0x3F)) : c;
    }
    if (prefix.empty()) {
        fields["path"] = bytes;
    }
    return fields;
}

// What a photo of the read-back test is, worked out from how it was drawn.
struct KnownPhoto {
    std::string path;     // in the data folder
    std::string species;  // its folder
    std::string verdict;  // in JSON
    std::string named;    // the species the crafted network names, or ""
    double halfLength;    // of the drawn ellipse; 0 when nothing is measured
    double halfWidth;
    cv::Size workingSize;
};

// The six values of a drawn ellipse by their geometry (a perimeter after Ramanujan), each with
// the share it may be off by: the pixels of the working picture lengthen an outline by about 5%;
// the smooth factor is a little above 1 for any smooth outline. In the order a network reads them.
std::vector<std::tuple<std::string, double, double>> expectedValues(const KnownPhoto& photo) {
    const double a = photo.halfLength;
    const double b = photo.halfWidth;
    const double perimeter = M_PI * (3 * (a + b) - std::sqrt((3 * a + b) * (a + 3 * b)));
    return {{"smooth_factor", 1.12, 0.08},
            {"aspect_ratio", a / b, 0.05},
            {"form_factor", 4 * M_PI * M_PI * a * b / (perimeter * perimeter), 0.15},
            {"rectangularity", 4.0 / M_PI, 0.06},
            {"ratio_perimeter_diameter", perimeter / (2 * a), 0.08},
            {"perimeter_ratio_factor", perimeter / (2 * a + 2 * b), 0.08}};
}

// The crafted network's weights by value: round leaves (aspect ratio near 1) are ginkgo, long
// ones willow; the smooth factor, a little above 1, stands in for the threshold.
const std::vector<WeightMatrix> roundOrLong = {{{6, -10, -10, -10, -6},
                                                {-3, 0, 0, 0, 3},
                                                {0, 0, 0, 0, 0},
                                                {0, 0, 0, 0, 0},
                                                {0, 0, 0, 0, 0},
                                                {0, 0, 0, 0, 0}}};

// Every field of one photo's JSON line or CSV row: exact ones as given, values (after valuePrefix)
// by the photo's geometry, outputs (after outputPrefix) as the crafted network makes them from
// those values; any other field fails as unchecked.
void readBack(const std::map<std::string, std::string>& fields,
              const std::map<std::string, std::string>& exact, const KnownPhoto& photo,
              const std::string& valuePrefix, const std::string& outputPrefix, double tolerance) {
    for (const auto& [key, text] : exact) {
        EXPECT_EQ(fields.count(key) ? fields.at(key) : "(none)", text) << photo.path << ": " << key;
    }
    std::vector<std::string> values;
    for (const auto& [name, centre, share] : expectedValues(photo)) {
        values.push_back(name);
        const auto found = fields.find(valuePrefix + name);
        if (found != fields.end() && !found->second.empty()) {
            EXPECT_GT(photo.halfLength, 0.0) << photo.path << ": " << name;
            EXPECT_NEAR(std::stod(found->second), centre, share * centre) << photo.path << name;
        } else {
            EXPECT_EQ(photo.halfLength, 0.0) << photo.path << ": no " << name;
        }
    }
    const std::vector<std::string> keys = {"ginkgo", "lime", "maple", "oak", "willow"};
    for (size_t k = 0; k < keys.size() && photo.halfLength > 0; ++k) {
        double sum = 0.0;
        for (size_t v = 0; v < values.size(); ++v) {
            sum += roundOrLong[0][v][k] * std::stod(fields.at(valuePrefix + values[v]));
        }
        EXPECT_NEAR(std::stod(fields.at(outputPrefix + keys[k])), 1.0 / (1.0 + std::exp(-sum)),
                    tolerance)
            << photo.path << ": " << keys[k];
    }
    for (const auto& [key, text] : fields) {
        const std::string name =
            key.substr(key.rfind(valuePrefix, 0) == 0 ? valuePrefix.size() : 0);
        EXPECT_TRUE(exact.count(key) || key.rfind(outputPrefix, 0) == 0 ||
                    std::find(values.begin(), values.end(), name) != values.end())
            << "no read-back check for " << key;
    }
}

// Every JSON field and CSV column of leafid-eval, read back against drawn ellipses, a file that is
// no picture, an empty sheet, a round leaf in the maple folder, and names with quotes, commas,
// carriage returns and bytes that are not UTF-8.
TEST(EvalCommand, EveryJsonFieldAndCsvColumnReadsBackWhatThePhotosAre) {
    TempDir dir;
    const fs::path data = dir.path() / "data";
    makeDrawnFolder(data, 0);
    cv::Mat wide;  // 320 x 240: 128 x 96 as measured
    cv::copyMakeBorder(drawLeaf(60, 56, 0.0), wide, 0, 0, 40, 40, cv::BORDER_CONSTANT, 255);
    const std::vector<KnownPhoto> photos = {
        {"ginkgo/round.png", "ginkgo", "measured", "ginkgo", 60, 56, {128, 96}},
        {"maple/say \"ah\",\r round.png", "maple", "measured", "ginkgo", 70, 66, {128, 128}},
        {"oak/\"blank\xff.png", "oak", "no leaf", "", 0, 0, {128, 128}},
        {"oak/broken\xfe.jpg", "oak", "not a picture", "", 0, 0, {0, 0}},
        {"willow/long.png", "willow", "measured", "willow", 100, 34, {128, 128}},
    };
    cv::imwrite((data / photos[0].path).string(), wide);
    cv::imwrite((data / photos[1].path).string(), drawLeaf(70, 66, 0.0));
    cv::imwrite((data / photos[2].path).string(), cv::Mat(100, 100, CV_8UC1, cv::Scalar(255)));
    dir.write("data/" + photos[3].path, "not a picture");
    cv::imwrite((data / photos[4].path).string(), drawLeaf(100, 34, 0.0));
    const std::string network = dir.file("crafted.dat");
    ASSERT_EQ(writeNetworkFile(roundOrLong, network), "");
    const ProgramRun result =
        run(LEAFID_EVAL_BINARY, {"--network", network, "--csv", dir.file("rows.csv"), "--json",
                                 dir.file("lines.json"), data.string()});
    ASSERT_EQ(result.exitCode, 0) << result.errors;

    const std::map<std::string, std::string> answers = {
        {"ginkgo", "tree = Ginkgo (Ginko Biloba)"},
        {"willow", "tree = Willow (Vrba)"},
        {"no leaf", "Sorry, but no leaf was found in this image!"},
        {"not a picture", "Sorry, but this file isn't a readable image!"}};
    const std::map<std::string, std::string> statuses = {{"measured", "measured"},
                                                         {"no leaf", "no leaf found"},
                                                         {"not a picture", "not a readable image"}};
    const std::string lines = readFile(dir.file("lines.json"));
    expectParts(lines, {"blank\\udcff.png", "broken\\udcfe.jpg"});
    std::istringstream json(lines);
    const std::vector<std::map<std::string, std::string>> rows =
        csvRows(readFile(dir.file("rows.csv")));
    ASSERT_EQ(rows.size(), photos.size());
    for (const KnownPhoto& photo : photos) {
        std::string line;
        ASSERT_TRUE(std::getline(json, line));
        const std::string path = (data / photo.path).string();
        std::map<std::string, std::string> fields = jsonFields(line);
        std::map<std::string, std::string> exact = {
            {"path", path},
            {"class", photo.species},
            {"answer", answers.at(photo.named.empty() ? photo.verdict : photo.named)},
            {"species", photo.named.empty() ? "null" : photo.named},
            {"verdict", photo.verdict},
            {"working_size.width", std::to_string(photo.workingSize.width)},
            {"working_size.height", std::to_string(photo.workingSize.height)}};
        if (!photo.named.empty()) {
            // Without a calibration the shares are the outputs' odds o / (1 - o) over their
            // sum, and no answer is uncertain. Round leaves are ginkgo before willow; long ones
            // willow before ginkgo (the other three lie far below both).
            double odds = 0.0;
            for (const char* key : {"ginkgo", "lime", "maple", "oak", "willow"}) {
                const double output = std::stod(fields.at(std::string("outputs.") + key));
                odds += output / (1.0 - output);
            }
            for (const char* key : {"ginkgo", "lime", "maple", "oak", "willow"}) {
                const double output = std::stod(fields.at(std::string("outputs.") + key));
                EXPECT_NEAR(std::stod(fields.at(std::string("confidence.shares.") + key)),
                            output / (1.0 - output) / odds, 1e-9)
                    << photo.path << ": share of " << key;
                fields.erase(std::string("confidence.shares.") + key);
            }
            const std::string other = photo.named == "ginkgo" ? "willow" : "ginkgo";
            const std::string summary = photo.named == "ginkgo" ? "Ginkgo" : "Willow";
            exact.insert({{"confidence.best", photo.named},
                          {"confidence.runner_up", other},
                          {"confidence.uncertain", "false"},
                          {"confidence.summary", summary}});
        }
        readBack(fields, exact, photo, "values.", "outputs.", 1e-12);
        readBack(rows[static_cast<size_t>(&photo - &photos[0])],
                 {{"path", path},
                  {"class", photo.species},
                  {"status", statuses.at(photo.verdict)},
                  {"predicted", photo.named}},
                 photo, "", "output_", 1e-5);  // six significant digits
    }

    // Photos of a plain folder named by bytes that are not UTF-8 keep their names apart: each
    // byte outside well-formed UTF-8 (overlong, a surrogate, past U+10FFFF, cut short) escaped,
    // well-formed UTF-8 kept.
    const fs::path plain = dir.path() / "plain";
    fs::create_directories(plain);
    const std::vector<std::array<std::string, 3>> names = {
        {"leaf\xfe.png", "leaf\\udcfe.png", "ginkgo"},
        {"\xc3\xa9t\xe9\xe0\x80\x80\xed\xa0\x80\xf4\x90\x80\x80\xf0\x9f\x8d\x81\xe2\x82.png",
         "\xc3\xa9t\\udce9\\udce0\\udc80\\udc80\\udced\\udca0\\udc80\\udcf4\\udc90\\udc80\\udc80"
         "\xf0\x9f\x8d\x81\\udce2\\udc82.png",
         "willow"}};
    fs::copy_file(data / photos[0].path, plain / names[0][0]);
    fs::copy_file(data / photos[4].path, plain / names[1][0]);
    ASSERT_EQ(run(LEAFID_EVAL_BINARY, {"--unlabelled", "--network", network, "--json",
                                       dir.file("plain.json"), plain.string()})
                  .exitCode,
              0);
    std::istringstream plainLines(readFile(dir.file("plain.json")));
    for (const auto& [name, literal, species] : names) {
        std::string line;
        ASSERT_TRUE(std::getline(plainLines, line));
        expectParts(line, {"{\"path\":\"" + (plain / literal).string() +
                           "\",\"class\":null,\"answer\":\"" + answers.at(species)});
    }
}

// Every file the two tools write is written under the longest file name; a folder, FIFO, device
// or dangling link in its place is refused and kept; on a full disk (a filled tmpfs in a private
// mount namespace) the old file stays and no temporary file is left. Failures exit with 1.
TEST(Commands, EveryOutputIsWrittenWholeOrLeftAsItWas) {
    TempDir dir;
    const fs::path data = dir.path() / "data";
    makeFiveShapeFolder(data);
    const std::string network = dir.file("crafted.dat");
    ASSERT_EQ(writeNetworkFile(roundOrLong, network), "");
    const std::string ginkgo = (data / "ginkgo").string();
    const std::vector<std::vector<std::string>> writers = {
        {LEAFID_EVAL_BINARY, "--network", network, data.string(), "--csv"},
        {LEAFID_EVAL_BINARY, "--network", network, data.string(), "--json"},
        {LEAFID_EVAL_BINARY, "--network", network, data.string(), "--matrix"},
        {LEAFID_EVAL_BINARY, "--network", network, ginkgo, "--unlabelled", "--json"},
        {LEAFID_TRAIN_BINARY, "--epochs", "5", "--restarts", "1", data.string(), "-o"},
    };
    // A device node of its own, never /dev/null: a regression would replace it. Only root may
    // make one; elsewhere it is a FIFO. Each named .png, as --matrix needs.
    if (mknod(dir.file("device.png").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
        mkfifo(dir.file("device.png").c_str(), 0644);
    }
    mkfifo(dir.file("fifo.png").c_str(), 0644);
    fs::create_directories(dir.file("folder.png/inside"));
    fs::create_symlink(dir.file("absent"), dir.file("dangling.png"));
    const std::vector<std::pair<std::string, std::string>> targets = {
        {dir.file(std::string(251, 'n') + ".png"), ""},  // as long as a file name may be
        {dir.file("folder.png"), "'" + dir.file("folder.png") + "' is not a regular file"},
        {dir.file("fifo.png"), "'" + dir.file("fifo.png") + "' is not a regular file"},
        {dir.file("device.png"), "'" + dir.file("device.png") + "' is not a regular file"},
        {dir.file("dangling.png"),
         "'" + dir.file("dangling.png") + "' is a symbolic link to nothing"},
        {dir.file("missing/out.png"),
         "cannot create a file in '" + dir.file("missing") + "': No such file or directory"},
    };
    const bool mayMount = run("/usr/bin/unshare", {"-m", "true"}).exitCode == 0;
    for (const std::vector<std::string>& writer : writers) {
        std::vector<std::string> arguments(writer.begin() + 1, writer.end());
        const std::string what = writer.back();
        arguments.emplace_back();
        for (const auto& [target, fault] : targets) {
            arguments.back() = target;
            const ProgramRun result = run(writer[0], arguments);
            EXPECT_EQ(result.exitCode, fault.empty() ? 0 : 1) << what << " " << target;
            expectParts(result.errors, {fault});
            if (fault.empty()) {
                EXPECT_GT(readFile(target).size(), 100u) << what;
                fs::remove(target);
            }
        }
        EXPECT_TRUE(fs::is_fifo(dir.file("fifo.png")) &&
                    fs::is_directory(dir.file("folder.png/inside")) &&
                    !fs::is_regular_file(dir.file("device.png")) &&
                    fs::is_symlink(dir.file("dangling.png")))
            << what;
        if (!mayMount) {
            std::cerr << "no private mount namespace here: the full disk is not tried\n";
            continue;
        }
        fs::create_directories(dir.file("full"));
        arguments.back() = dir.file("full/out.png");
        arguments.insert(arguments.begin(), writer[0]);
        arguments.insert(
            arguments.begin(),
            {"-m", "/bin/sh", "-c",
             "mount -t tmpfs -o size=256k tmpfs \"$0\" || exit 9\n"
             "printf old >\"$0/out.png\"; cat /dev/zero >\"$0/filler\" 2>/dev/null\n"
             "\"$@\" >/dev/null; echo \"exit $?\"; cat \"$0/out.png\"; ls -A \"$0\" | wc -l",
             dir.file("full")});
        const ProgramRun result = run("/usr/bin/unshare", arguments);
        EXPECT_EQ(result.output, "exit 1\nold2\n") << what << ": " << result.errors;
        expectParts(result.errors, {"No space left on device"});
    }
}

// The report on standard output; the CSV's columns follow the network's inputs and outputs (the
// read-back test checks their values). A report that cannot be written ends with code 4.
TEST(EvalCommand, ReportsTheExpectedMatrixForDrawnLeaves) {
    TempDir dir;
    const fs::path data = dir.path() / "data";
    makeDrawnFolder(data, 3);
    cv::imwrite((data / "maple" / "round.png").string(), drawLeaf(70, 66, 0.0));
    dir.write("data/oak/broken.jpg", "not a picture");
    fs::create_symlink("loop.png", data / "oak" / "loop.png");
    std::vector<WeightMatrix> weights = roundOrLong;
    const std::string network = dir.file("crafted.dat");
    const std::string csv = dir.file("rows.csv");
    const std::string picture = dir.file("matrix.png");
    const auto evaluate = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.end(), {"--network", network, "--csv", csv, data.string()});
        const ProgramRun result = run(LEAFID_EVAL_BINARY, arguments);
        EXPECT_EQ(result.exitCode, 0) << result.errors;
        return result.output;
    };
    ASSERT_EQ(writeNetworkFile(weights, network), "");
    expectParts(
        evaluate({"--matrix", picture}),
        {"9 images, 7 measured, 2 skipped\nInputs: 6 (the six features)\n", "Misclassified (1):\n",
         "Accuracy: 85.7% (6 of 7)", "ginkgo         3       0       0       0       0",
         "maple          1       0       0       0       0",
         "willow         0       0       0       0       3", "round.png: maple taken for ginkgo",
         "broken.jpg: not a readable image", "loop.png: not a readable image"});
    const cv::Mat drawn = cv::imread(picture);
    ASSERT_FALSE(drawn.empty());
    EXPECT_GT(drawn.cols, 400);
    const ProgramRun lost = runProgram("/bin/sh",
                                       {"-c", "\"$0\" \"$@\" >/dev/full; echo $? >&2",
                                        LEAFID_EVAL_BINARY, "--network", network, data.string()},
                                       dir.path().string(), "");
    expectParts(lost.errors, {"\nleafid-eval: standard output could not be written\n4\n"});

    // More inputs, of no weight: the CSV carries the descriptors the network reads.
    weights[0].resize(7, std::vector<double>(5, 0.0));
    ASSERT_EQ(writeNetworkFile(weights, network), "");
    expectParts(evaluate({}), {"Inputs: 7 (the six features, then 1 outline descriptor)\n"});
    weights[0].resize(8, std::vector<double>(5, 0.0));
    ASSERT_EQ(writeNetworkFile(weights, network), "");
    expectParts(evaluate({}), {"Inputs: 8 (the six features, then 2 outline descriptors)\n",
                               "Accuracy: 85.7% (6 of 7)"});
    expectParts(readFile(csv), {",perimeter_ratio_factor,solidity,convexity,predicted,"});

    // Weights of 1e308 meet as infinity minus infinity on the long leaves: no species for them.
    const std::vector<double> huge(5, 1e308);
    const std::vector<double> none(5, 0.0);
    const std::vector<double> minusHuge(5, -1e308);
    ASSERT_EQ(writeNetworkFile({{none, huge, none, none, minusHuge, none}}, network), "");
    expectParts(evaluate({}), {"long2.png: network gave no answer"});
    expectParts(readFile(csv), {"long2.png,willow,network gave no answer,"});

    // A sixth output that wins between round and long (aspect ratio about 2), on a folder with
    // leaves of other trees: those are declined, the five are not.
    fs::create_directories(data / "other");
    cv::imwrite((data / "other" / "mid.png").string(), drawLeaf(80, 40, 0.0));
    cv::imwrite((data / "other" / "long.png").string(), drawLeaf(100, 14, 0.0));
    weights[0].resize(6);
    weights[0][0].push_back(-2.0);
    weights[0][1].push_back(2.0);
    for (size_t row = 2; row < 6; ++row) {
        weights[0][row].push_back(0.0);
    }
    ASSERT_EQ(writeNetworkFile(weights, network), "");
    expectParts(evaluate({}), {"11 images, 9 measured",
                               "Leaves of the five: 6 of 7 named right (85.7%), 0 "
                               "declined (0.0%)\nOther leaves: 1 of 2 declined (50.0%)\n",
                               "other          0       0       0       0       1       1",
                               "long.png: other taken for willow"});
    expectParts(readFile(csv), {",output_willow,output_other\n", "mid.png,other,measured,"});
}

}  // namespace
