#include <algorithm>
#include <cctype>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "cli.hpp"
#include "commands.hpp"
#include "confusion_report.hpp"
#include "dataset.hpp"
#include "dialogue.hpp"
#include "eval_json.hpp"
#include "evaluation.hpp"
#include "handoff.hpp"
#include "identification.hpp"
#include "loader.hpp"
#include "network_file.hpp"
#include "text_numbers.hpp"
#include "writer.hpp"

namespace {

const char* const usage =
    "Usage: leafid-eval [options] DATA_DIR\n"
    "\n"
    "Classifies every photo of DATA_DIR exactly as leafid does and reports how often the\n"
    "network is right. DATA_DIR holds one sub-folder per species: ginkgo, lime, maple, oak,\n"
    "willow (any letter case), and maybe 'other', leaves of other trees, which a network with\n"
    "a sixth output should decline.\n"
    "\n"
    "Options:\n"
    "  --network FILE      network file to evaluate (default: nn.dat, from the working\n"
    "                      directory if it has one, else the one installed with leafid)\n"
    "  --csv FILE          write one row per image: path, class, status, every value the\n"
    "                      network reads, the predicted class and every output\n"
    "  --json FILE         write one JSON object per image and line: path, class, and\n"
    "                      leafid-serve's answer to it (without the pictures)\n"
    "  --matrix FILE.png   draw the confusion matrix as a picture\n"
    "  --unlabelled        DATA_DIR is a folder of photos without species: with --json, write\n"
    "                      leafid's answer to each of them (class null), and no report\n"
    "  -h, --help          show this help\n"
    "  --version           show the version\n"
    "\n"
    "Exit codes: 0 success, 1 an output file could not be written, 2 bad usage, an unusable\n"
    "folder or a network file leafid would refuse, 4 standard output could not be written.\n";

// The CSV columns of the values handed to a network of inputs inputs: the six features, then
// the descriptors it reads, named as leafid-serve names them.
std::vector<std::string> valueColumns(size_t inputs) {
    return leafValueNames(leafFeatureCount + descriptorsRead(static_cast<int>(inputs)));
}

std::string describeInputs(size_t inputs) {
    const size_t descriptors = descriptorsRead(static_cast<int>(inputs));
    if (descriptors == 0) {
        return std::to_string(inputs) + " (the six features)";
    }
    if (descriptors <= outlineDescriptorCount) {
        return std::to_string(inputs) + " (the six features, then " + std::to_string(descriptors) +
               " outline descriptor" + (descriptors == 1 ? "" : "s") + ")";
    }
    return std::to_string(inputs) + " (the six features, the ten outline descriptors, then " +
           std::to_string(descriptors - outlineDescriptorCount) + " outline histogram values)";
}

// "options --csv and --json name the same file" when two outputs would be written to one file,
// the second over the first; empty otherwise.
std::string sameFileTwice(const std::vector<std::pair<std::string, std::string>>& outputs) {
    const auto canonical = [](const std::string& name) {
        std::error_code fault;
        const std::filesystem::path path =
            std::filesystem::weakly_canonical(std::filesystem::absolute(name), fault);
        return fault ? std::filesystem::path(name) : path;
    };
    for (size_t a = 0; a < outputs.size(); ++a) {
        for (size_t b = a + 1; b < outputs.size(); ++b) {
            const std::string& first = outputs[a].second;
            const std::string& second = outputs[b].second;
            if (!first.empty() && !second.empty() && canonical(first) == canonical(second)) {
                return "options " + outputs[a].first + " and " + outputs[b].first +
                       " name the same file '" + second + "'";
            }
        }
    }
    return "";
}

int badUsage(const std::string& message) {
    return reportBadUsage("leafid-eval", message);
}

struct Verdict {
    LabelledImage image;
    LeafVerdict verdict = LeafVerdict::UnreadableImage;
    std::vector<std::string> features;  // the tokens of the feature text
    int predicted = -1;
    std::vector<double> outputs;
};

Verdict judge(NeuralNetwork& network, const LabelledImage& image) {
    Verdict verdict{image, LeafVerdict::UnreadableImage, {}, -1, {}};
    LeafAnalysis analysis;
    {
        CoutSilencer silence;
        analysis = analyzeLeafImage(image.path, false, false, descriptorsRead(inputCount(network)));
    }
    verdict.verdict = analysis.verdict;
    if (analysis.verdict != LeafVerdict::Measured) {
        return verdict;
    }
    const FeatureText text = toFeatureText(analysis.features);
    verdict.features = splitString(text, ' ');
    verdict.predicted = classify(network, text);
    for (const Neuron& neuron : network.outputLayer) {
        verdict.outputs.push_back(neuron.output);
    }
    return verdict;
}

// Why the photo was not named, or "measured" when it was.
std::string reason(const Verdict& verdict) {
    if (verdict.verdict == LeafVerdict::Measured && verdict.predicted < 0) {
        return "network gave no answer";  // an output that is not a number
    }
    return verdictReason(verdict.verdict);
}

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\n\r") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (char c : text) {
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return quoted + "\"";
}

// The CSV is made whole in memory, then replaces the file at once: a failed write (a full
// disk) leaves the old file as it was.
std::string writeCsv(const std::string& fileName, const std::vector<Verdict>& verdicts,
                     const std::vector<std::string>& names, size_t inputs) {
    std::ostringstream file;
    file.imbue(std::locale::classic());
    file << "path,class,status";
    const std::vector<std::string> columns = valueColumns(inputs);
    for (const std::string& column : columns) {
        file << "," << column;
    }
    file << ",predicted";
    for (const std::string& name : names) {
        file << ",output_" << name;
    }
    file << "\n";
    for (const Verdict& verdict : verdicts) {
        file << csvField(verdict.image.path) << ","
             << names[static_cast<size_t>(verdict.image.label)] << "," << csvField(reason(verdict));
        for (size_t f = 0; f < columns.size(); ++f) {
            file << "," << (f < verdict.features.size() ? verdict.features[f] : "");
        }
        file << ","
             << (verdict.predicted >= 0 ? names[static_cast<size_t>(verdict.predicted)] : "");
        for (size_t k = 0; k < names.size(); ++k) {
            file << ",";
            if (k < verdict.outputs.size()) {
                file << verdict.outputs[k];
            }
        }
        file << "\n";
    }
    return replaceFile(fileName, file.str());
}

// Loads the network as leafid does, without the loader's progress lines (they are for the
// dialogue); empty when loaded, otherwise why not.
std::string loadQuietly(NeuralNetwork& network, const std::string& networkFile) {
    CoutSilencer quiet;
    return loadFittingNetwork(network, networkFile, leafValueCount, answerCount);
}

// status, unless the report on standard output was lost (a full disk, a closed descriptor, a
// reader gone).
int unlessOutputLost(int status) {
    if (!std::cout) {
        std::cerr << "leafid-eval: standard output could not be written" << std::endl;
        return exitOutputFailed;
    }
    return status;
}

// --unlabelled: the answer to every photo of a plain folder, as JSON lines.
int answerUnlabelled(const std::string& folder, const std::string& networkFile,
                     const std::string& jsonFile) {
    const DatasetScan scan = scanPhotos(folder);
    if (!scan.fault.empty()) {
        std::cerr << "leafid-eval: " << scan.fault << std::endl;
        return exitBadUsage;
    }
    NeuralNetwork network;
    const std::string loadFault = loadQuietly(network, networkFile);
    if (!loadFault.empty()) {
        std::cerr << "leafid-eval: " << loadFault << std::endl;
        return exitBadUsage;
    }
    const std::string fault = writeJsonLines(jsonFile, network, scan.images, {});
    if (!fault.empty()) {
        std::cerr << "leafid-eval: " << fault << std::endl;
        return exitFailure;
    }
    std::cout << "Network " << networkFile << " on " << folder << ": " << scan.images.size()
              << " photos answered in " << jsonFile << std::endl;
    return unlessOutputLost(exitSuccess);
}

}  // namespace

int runEvalCommand(int argc, const char* const* argv) {
    const Arguments arguments = parseArguments(argc, argv,
                                               {{"--network", "", true},
                                                {"--csv", "", true},
                                                {"--matrix", "", true},
                                                {"--json", "", true},
                                                {"--unlabelled", "", false}});
    if (const std::optional<int> done = answerWithoutWork(arguments, "leafid-eval", usage)) {
        return *done;
    }
    if (arguments.positional.size() != 1) {
        return badUsage(arguments.positional.empty()
                            ? "missing DATA_DIR"
                            : "expected one DATA_DIR, got " +
                                  std::to_string(arguments.positional.size()));
    }
    auto value = [&](const std::string& name, const std::string& otherwise) {
        const auto found = arguments.values.find(name);
        return found == arguments.values.end() ? otherwise : found->second;
    };
    const std::string networkFile = value("--network", defaultNetworkFile());
    const std::string csvFile = value("--csv", "");
    const std::string matrixFile = value("--matrix", "");
    if (arguments.values.count("--csv") && csvFile.empty()) {
        return badUsage("option --csv needs a file name");
    }
    if (arguments.values.count("--matrix") && matrixFile.empty()) {
        return badUsage("option --matrix needs a file name");
    }
    const std::string jsonFile = value("--json", "");
    if (arguments.values.count("--json") && jsonFile.empty()) {
        return badUsage("option --json needs a file name");
    }
    if (const std::string twice =
            sameFileTwice({{"--csv", csvFile}, {"--json", jsonFile}, {"--matrix", matrixFile}});
        !twice.empty()) {
        return badUsage(twice);
    }
    const std::string dataDir = arguments.positional[0];
    if (arguments.values.count("--unlabelled")) {
        if (jsonFile.empty() || !csvFile.empty() || !matrixFile.empty()) {
            return badUsage("option --unlabelled needs --json, and takes no --csv or --matrix");
        }
        return answerUnlabelled(dataDir, networkFile, jsonFile);
    }
    const DatasetScan scan = scanDataset(dataDir);
    if (!scan.fault.empty()) {
        std::cerr << "leafid-eval: " << scan.fault << std::endl;
        return exitBadUsage;
    }
    NeuralNetwork network;
    const std::string loadFault = loadQuietly(network, networkFile);
    if (!loadFault.empty()) {
        std::cerr << "leafid-eval: " << loadFault << std::endl;
        return exitBadUsage;
    }

    // A sixth row for leaves of other trees, a sixth column for a network that can decline.
    std::vector<std::string> names = scan.classes;
    if (network.outputLayer.size() > names.size()) {
        names.push_back(otherFolderName);
    }
    const bool declines = names.size() > classFolderNames().size();
    std::vector<Verdict> verdicts;
    Progress progress("Classifying images", static_cast<int>(scan.images.size()), std::cerr,
                      standardErrorIsTerminal());
    for (const LabelledImage& image : scan.images) {
        verdicts.push_back(judge(network, image));
        progress.update(static_cast<int>(verdicts.size()));
    }
    progress.finish();

    ConfusionMatrix matrix(names.size(), std::vector<int>(names.size(), 0));
    size_t skipped = 0;
    size_t misclassified = 0;
    for (const Verdict& verdict : verdicts) {
        if (verdict.predicted >= 0) {
            ++matrix[static_cast<size_t>(verdict.image.label)]
                    [static_cast<size_t>(verdict.predicted)];
            misclassified += verdict.predicted != verdict.image.label ? 1 : 0;
        } else {
            ++skipped;
        }
    }
    std::cout << "Network " << networkFile << " on " << dataDir << ": " << verdicts.size()
              << " images, " << verdicts.size() - skipped << " measured, " << skipped
              << " skipped\n"
              << "Inputs: " << describeInputs(static_cast<size_t>(inputCount(network))) << "\n\n";
    if (declines) {
        printDeclineReport(std::cout, matrix);
        std::cout << "\n";
    }
    printConfusionReport(std::cout, matrix, names);
    std::cout << "\nMisclassified (" << misclassified << "):\n";
    for (const Verdict& verdict : verdicts) {
        if (verdict.predicted >= 0 && verdict.predicted != verdict.image.label) {
            std::cout << "  " << verdict.image.path << ": "
                      << names[static_cast<size_t>(verdict.image.label)] << " taken for "
                      << names[static_cast<size_t>(verdict.predicted)] << "\n";
        }
    }
    if (skipped > 0) {
        std::cout << "\nSkipped (" << skipped << "):\n";
        for (const Verdict& verdict : verdicts) {
            if (verdict.predicted < 0) {
                std::cout << "  " << verdict.image.path << ": " << reason(verdict) << "\n";
            }
        }
    }
    std::cout << std::flush;

    int status = exitSuccess;
    if (!csvFile.empty()) {
        const std::string fault =
            writeCsv(csvFile, verdicts, names, static_cast<size_t>(inputCount(network)));
        if (!fault.empty()) {
            std::cerr << "leafid-eval: " << fault << std::endl;
            status = exitFailure;
        }
    }
    if (!jsonFile.empty()) {
        const std::string fault = writeJsonLines(jsonFile, network, scan.images, names);
        if (!fault.empty()) {
            std::cerr << "leafid-eval: " << fault << std::endl;
            status = exitFailure;
        }
    }
    if (!matrixFile.empty()) {
        const std::string fault = drawConfusionMatrix(
            matrix, names, "Confusion matrix: " + std::to_string(totalCount(matrix)) + " leaves",
            matrixFile);
        if (!fault.empty()) {
            std::cerr << "leafid-eval: " << fault << std::endl;
            status = exitFailure;
        }
    }
    return unlessOutputLost(status);
}
