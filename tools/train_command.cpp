#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <set>

#include "cli.hpp"
#include "commands.hpp"
#include "confusion_report.hpp"
#include "dataset.hpp"
#include "folds.hpp"
#include "train_settings.hpp"
#include "training.hpp"
#include "writer.hpp"

namespace {

const char* const usage =
    "Usage: leafid-train [options] DATA_DIR\n"
    "\n"
    "Trains the leaf network on DATA_DIR, which holds one sub-folder of photos per species:\n"
    "ginkgo, lime, maple, oak, willow (any letter case). With a sixth sub-folder 'other' of\n"
    "leaves of other trees, the network gets a sixth output, \"none of the five\". Images the\n"
    "program could not measure are skipped and counted. Photos that DATA_DIR/groups.csv puts\n"
    "in one group (the same leaf) never sit in two cross-validation folds.\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE   network file to write (default nn.dat): a new file, or a regular\n"
    "                      file that keeps its permissions; checked before training starts\n"
    "  --inputs N          values the network reads: the six features, then ten outline\n"
    "                      descriptors, then 96 outline histogram values, from 6 to 112\n"
    "                      (default 112)\n"
    "  --hidden SIZES      hidden layer sizes of each run, e.g. 16 or 12,6, or none (default 32)\n"
    "  --epochs N          training epochs of each run (default 3000)\n"
    "  --restarts N        runs from fresh random weights, summed into one network (default 4)\n"
    "  --seed N            seed of all random choices (default 1)\n"
    "  --decay X           weight decay, a number from 0 to 1 (default 0.0001)\n"
    "  --other-weight X    with an 'other' folder, its weight against one species', a number\n"
    "                      from 0.1 to 10 (default 1)\n"
    "  --folds K           first report grouped K-fold cross-validation (default 0: none)\n"
    "  --matrix FILE.png   with --folds, draw the cross-validated confusion matrix\n"
    "  --groups FILE       which photos show the same leaf: lines 'path,group', paths relative\n"
    "                      to DATA_DIR (default DATA_DIR/groups.csv when it exists; without\n"
    "                      one every photo is a group of its own)\n"
    "  --copies N          turned and shrunk copies of each photo added to training (default 0)\n"
    "  --phone-copies N    copies of each photo made to look like a phone photo of the leaf on a\n"
    "                      sheet of paper (tilt, blur, grain, JPEG, shadow, grey paper) added to\n"
    "                      training (default 1)\n"
    "  --turn DEGREES      largest turn of a copy, either way (default 15)\n"
    "  -h, --help          show this help\n"
    "  --version           show the version\n"
    "\n"
    "The same command with the same seed writes the same file, byte for byte.\n"
    "Exit codes: 0 success, 1 the file could not be written, 2 bad usage or unusable data.\n";

// The most weights the summed network may have; far above any useful size, and small enough
// that neither training nor the network file can run away with the memory.
constexpr double maxNetworkWeights = 1000000.0;

// The number of weights of the network that restarts runs of this shape sum into.
double summedWeightCount(const TrainSettings& settings) {
    const double runs = settings.training.restarts;
    std::vector<double> sizes{static_cast<double>(settings.inputs)};
    for (int size : settings.training.hidden) {
        sizes.push_back(runs * size);
    }
    sizes.push_back(settings.training.classCount);
    double weights = 0.0;
    for (size_t l = 0; l + 1 < sizes.size(); ++l) {
        weights += sizes[l] * sizes[l + 1];
    }
    return weights;
}

int badUsage(const std::string& message) {
    return reportBadUsage("leafid-train", message);
}

}  // namespace

std::string readTrainSettings(const Arguments& arguments, TrainSettings& settings) {
    const std::map<std::string, std::string>& values = arguments.values;
    auto integer = [&](const std::string& name, long long low, long long high,
                       auto& target) -> std::string {
        const auto found = values.find(name);
        if (found == values.end()) {
            return "";
        }
        const std::optional<long long> value = parseInteger(found->second, low, high);
        if (!value) {
            return "option " + name + " needs a whole number from " + std::to_string(low) + " to " +
                   std::to_string(high) + ", not '" + found->second + "'";
        }
        target = static_cast<std::remove_reference_t<decltype(target)>>(*value);
        return "";
    };
    for (const std::string& fault :
         {integer("--epochs", 1, 100000, settings.training.epochs),
          integer("--restarts", 1, 100, settings.training.restarts),
          integer("--inputs", static_cast<long long>(leafFeatureCount),
                  static_cast<long long>(leafValueCount), settings.inputs),
          integer("--seed", 0, 9007199254740991LL, settings.training.seed),
          integer("--folds", 2, 100, settings.folds), integer("--copies", 0, 100, settings.copies),
          integer("--phone-copies", 0, 100, settings.phoneCopies)}) {
        if (!fault.empty()) {
            return fault;
        }
    }
    if (values.count("--hidden")) {
        const std::optional<std::vector<int>> sizes = parseLayerSizes(values.at("--hidden"));
        if (!sizes) {
            return "option --hidden needs sizes like 8 or 12,6 or none, not '" +
                   values.at("--hidden") + "'";
        }
        settings.training.hidden = *sizes;
    }
    if (summedWeightCount(settings) > maxNetworkWeights) {
        return "options --hidden and --restarts ask for a network of more than " +
               std::to_string(static_cast<long>(maxNetworkWeights)) + " weights";
    }
    if (values.count("--decay")) {
        const std::string& text = values.at("--decay");
        char* end = nullptr;
        const double decay = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !(decay >= 0.0 && decay <= 1.0)) {
            return "option --decay needs a number from 0 to 1, not '" + text + "'";
        }
        settings.training.decay = decay;
    }
    if (values.count("--other-weight")) {
        const std::string& text = values.at("--other-weight");
        char* end = nullptr;
        const double weight = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !(weight >= 0.1 && weight <= 10.0)) {
            return "option --other-weight needs a number from 0.1 to 10, not '" + text + "'";
        }
        settings.training.otherWeight = weight;
    }
    if (values.count("--turn")) {
        const std::optional<long long> turn = parseInteger(values.at("--turn"), 0, 180);
        if (!turn) {
            return "option --turn needs whole degrees from 0 to 180, not '" + values.at("--turn") +
                   "'";
        }
        settings.turn = static_cast<double>(*turn);
    }
    if (values.count("--output")) {
        settings.output = values.at("--output");
        if (settings.output.empty()) {
            return "option --output needs a file name";
        }
    }
    if (values.count("--groups")) {
        settings.groups = values.at("--groups");
        if (settings.groups.empty()) {
            return "option --groups needs a file name";
        }
    }
    if (values.count("--matrix")) {
        settings.matrix = values.at("--matrix");
        if (settings.matrix.empty() || !values.count("--folds")) {
            return "option --matrix needs a file name and --folds";
        }
    }
    if (arguments.positional.size() != 1) {
        return arguments.positional.empty()
                   ? "missing DATA_DIR"
                   : "expected one DATA_DIR, got " + std::to_string(arguments.positional.size());
    }
    settings.dataDir = arguments.positional[0];
    return "";
}

namespace {

std::string describeShape(const std::vector<int>& sizes) {
    std::string shape;
    for (int size : sizes) {
        shape += (shape.empty() ? "" : "-") + std::to_string(size);
    }
    return shape;
}

// Reads the groups file the settings name, or DATA_DIR/groups.csv when there is one, into
// images; returns what to report, or the fault in fault.
std::string readGroupsInto(std::vector<LabelledImage>& images, const TrainSettings& settings,
                           std::string& fault) {
    std::string fileName = settings.groups;
    if (fileName.empty()) {
        const std::filesystem::path standard =
            std::filesystem::path(settings.dataDir) / "groups.csv";
        std::error_code error;
        if (!std::filesystem::exists(standard, error)) {
            return "none (every photo is a group of its own)";
        }
        fileName = standard.string();
    }
    const GroupList groups = readGroups(fileName, relativePaths(images, settings.dataDir));
    if (!groups.fault.empty()) {
        fault = groups.fault;
        return "";
    }
    const size_t listed = assignGroups(images, settings.dataDir, groups);
    std::set<std::string> named;
    for (const LabelledImage& image : images) {
        named.insert(image.group);
    }
    named.erase("");
    return fileName + ", " + std::to_string(listed) + " of " + std::to_string(images.size()) +
           " photos listed, in " + std::to_string(named.size()) + " groups";
}

// The temporary network file of a run in progress, removed when a signal stops the run, so
// an interrupted run leaves nothing behind. Set before the handlers are installed.
char temporaryToRemove[4096];

void removeTemporaryAndStop(int signal) {
    if (temporaryToRemove[0] != '\0') {
        unlink(temporaryToRemove);
    }
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigaction(signal, &action, nullptr);
    raise(signal);
}

// Removes path when SIGINT, SIGTERM or SIGHUP end the program; an empty path removes nothing.
void removeOnSignal(const std::string& path) {
    temporaryToRemove[0] = '\0';
    if (path.size() < sizeof temporaryToRemove) {
        std::memcpy(temporaryToRemove, path.c_str(), path.size() + 1);
    }
    struct sigaction action {};
    action.sa_handler = removeTemporaryAndStop;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
}

// The output's temporary file, created before the long work and removed by those signals; they
// wait while it is created, so none can come between its creation and its handler.
PendingNetworkFile startOutput(const std::string& fileName) {
    sigset_t stopping;
    sigset_t before;
    sigemptyset(&stopping);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&stopping, signal);
    }
    sigprocmask(SIG_BLOCK, &stopping, &before);
    PendingNetworkFile output = startNetworkFile(fileName);
    removeOnSignal(output.temporary);
    sigprocmask(SIG_SETMASK, &before, nullptr);
    return output;
}

// Measures the photos, trains and writes the network to output; returns the exit code.
int trainAndWrite(TrainSettings settings, PendingNetworkFile& output) {
    DatasetScan scan = scanDataset(settings.dataDir);
    if (!scan.fault.empty()) {
        std::cerr << "leafid-train: " << scan.fault << std::endl;
        return exitBadUsage;
    }
    const std::vector<std::string>& names = scan.classes;
    settings.training.classCount = static_cast<int>(names.size());
    if (names.size() > classFolderNames().size()) {
        settings.training.otherClass = static_cast<int>(classFolderNames().size());
    }
    std::string groupsFault;
    std::string groupsNote = readGroupsInto(scan.images, settings, groupsFault);
    if (!groupsFault.empty()) {
        std::cerr << "leafid-train: " << groupsFault << std::endl;
        return exitBadUsage;
    }
    if (settings.training.otherClass >= 0) {
        const size_t genera = groupByGenus(scan.images, settings.training.otherClass);
        if (genera > 0) {
            groupsNote += "; other trees by genus, " + std::to_string(genera) + " genera";
        }
    }

    Progress measuring("Measuring images", static_cast<int>(scan.images.size()), std::cerr,
                       standardErrorIsTerminal());
    const CollectedExamples collected = collectExamples(
        scan.images, descriptorsRead(settings.inputs), settings.copies, settings.turn,
        [&](int done, int) { measuring.update(done); }, settings.phoneCopies);
    measuring.finish();
    std::vector<int> perClass(names.size(), 0);
    size_t variants = 0;
    for (const Example& example : collected.examples) {
        ++perClass[static_cast<size_t>(example.label)];
        variants += example.variants.size();
    }
    std::cout << "Images: " << scan.images.size() << " found, " << collected.examples.size()
              << " measured, " << collected.skipped.size() << " skipped; "
              << variants - collected.examples.size()
              << (settings.phoneCopies > 0 ? " copies, turned and shrunk or phone-like\n"
                                           : " turned and shrunk copies\n");
    for (size_t c = 0; c < names.size(); ++c) {
        std::cout << "  " << names[c] << ": " << perClass[c] << "\n";
    }
    for (const auto& [path, verdict] : collected.skipped) {
        std::cout << "  skipped " << path << " (" << verdictReason(verdict) << ")\n";
    }
    std::cout << "Groups: " << groupsNote << "\n";
    std::cout << std::flush;
    for (size_t c = 0; c < names.size(); ++c) {
        if (perClass[c] == 0) {
            std::cerr << "leafid-train: no measurable image of " << names[c] << " in '"
                      << settings.dataDir << "'" << std::endl;
            return exitBadUsage;
        }
    }

    const int emptied =
        settings.folds > 0 ? emptyFolds(collected.examples, settings.training, settings.folds) : 0;
    if (emptied > 0) {
        const std::string folds = std::to_string(settings.folds);
        return reportBadUsage("leafid-train", "--folds " + folds + " would leave " +
                                                  std::to_string(emptied) + " of the " + folds +
                                                  " folds without a photo: the photos form too "
                                                  "few groups");
    }
    const bool live = standardErrorIsTerminal();
    std::vector<double> calibration;  // fitted on the folds' held-out answers
    if (settings.folds > 0) {
        Progress progress(std::to_string(settings.folds) + "-fold cross-validation",
                          settings.folds * settings.training.restarts * settings.training.epochs,
                          std::cerr, live);
        std::vector<HeldOutAnswer> answers;
        const ConfusionMatrix matrix = crossValidate(
            collected.examples, settings.training, settings.folds,
            [&](int done, int) { progress.update(done); }, &answers);
        progress.finish();
        calibration = fitCalibration(answers);
        std::cout << "\n" << settings.folds << "-fold cross-validation, grouped\n";
        if (names.size() > classFolderNames().size()) {
            printDeclineReport(std::cout, matrix);
            std::cout << "\n";
        }
        printCalibrationReport(std::cout, answers, calibration);
        std::cout << "\n";
        printConfusionReport(std::cout, matrix, names);
        std::cout << std::endl;
        if (!settings.matrix.empty()) {
            const std::string pictureFault = drawConfusionMatrix(
                matrix, names,
                std::to_string(settings.folds) +
                    "-fold cross-validation: " + std::to_string(totalCount(matrix)) + " leaves",
                settings.matrix);
            if (!pictureFault.empty()) {
                std::cerr << "leafid-train: " << pictureFault << std::endl;
                return exitFailure;
            }
        }
    }

    Progress progress("Training", settings.training.restarts * settings.training.epochs, std::cerr,
                      live);
    const TrainResult result = trainNetwork(collected.examples, settings.training,
                                            [&](int done, int) { progress.update(done); });
    progress.finish();
    const std::string writeFault =
        finishNetworkFile(output, result.network.matrices(), calibration);
    if (!writeFault.empty()) {
        std::cerr << "leafid-train: " << writeFault << std::endl;
        return exitFailure;
    }
    ConfusionMatrix seen(names.size(), std::vector<int>(names.size(), 0));
    for (const Example& example : collected.examples) {
        ++seen[static_cast<size_t>(example.label)]
              [static_cast<size_t>(result.network.predict(example.variants[0]))];
    }
    std::cout << "Wrote " << settings.output << ": network "
              << describeShape(result.network.sizes()) << ", " << settings.training.restarts
              << " runs summed (" << settings.training.epochs << " epochs each, training loss "
              << result.trainingLoss << "); accuracy on its own training images "
              << percent(accuracy(seen)) << std::endl;
    return exitSuccess;
}

}  // namespace

int runTrainCommand(int argc, const char* const* argv) {
    const Arguments arguments = parseArguments(argc, argv,
                                               {{"--output", "-o", true},
                                                {"--hidden", "", true},
                                                {"--epochs", "", true},
                                                {"--restarts", "", true},
                                                {"--seed", "", true},
                                                {"--decay", "", true},
                                                {"--other-weight", "", true},
                                                {"--folds", "", true},
                                                {"--copies", "", true},
                                                {"--phone-copies", "", true},
                                                {"--turn", "", true},
                                                {"--inputs", "", true},
                                                {"--groups", "", true},
                                                {"--matrix", "", true}});
    if (const std::optional<int> done = answerWithoutWork(arguments, "leafid-train", usage)) {
        return *done;
    }
    TrainSettings settings;
    // The largest network: with an "other" folder it has one output more than the species.
    settings.training.classCount = static_cast<int>(classFolderNames().size()) + 1;
    const std::string fault = readTrainSettings(arguments, settings);
    if (!fault.empty()) {
        return badUsage(fault);
    }
    PendingNetworkFile output = startOutput(settings.output);
    if (!output.fault.empty()) {
        std::cerr << "leafid-train: " << output.fault << std::endl;
        return exitFailure;
    }
    const int status = trainAndWrite(settings, output);
    removeOnSignal("");
    abandonNetworkFile(output);  // left only when the run failed
    return status;
}
