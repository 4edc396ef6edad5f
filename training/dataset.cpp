#include "dataset.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <set>
#include <streambuf>

#include "dialogue.hpp"
#include "handoff.hpp"
#include "picture.hpp"
#include "text_numbers.hpp"

namespace fs = std::filesystem;

namespace {

std::string lowerCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

bool hasImageExtension(const fs::path& path) {
    static const std::set<std::string> extensions = {".jpg",  ".jpeg", ".png", ".bmp", ".tif",
                                                     ".tiff", ".webp", ".pgm", ".ppm", ".pbm",
                                                     ".heic", ".heif", ".avif"};
    return extensions.count(lowerCase(path.extension().string())) > 0;
}

std::string joinedNames(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : ", ") + name;
    }
    return text;
}

class NullBuffer : public std::streambuf {
  protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

NullBuffer nullBuffer;

}  // namespace

CoutSilencer::CoutSilencer() : old_(std::cout.rdbuf(&nullBuffer)) {}

CoutSilencer::~CoutSilencer() {
    std::cout.rdbuf(old_);
}

std::vector<std::string> classFolderNames() {
    // The folder name is the first word of the species name the program prints.
    std::vector<std::string> names;
    for (const std::string& treeName : makeTreeNameList()) {
        names.push_back(lowerCase(treeName.substr(0, treeName.find(' '))));
    }
    return names;
}

namespace {

struct FolderListing {
    std::vector<fs::directory_entry> entries;
    std::string fault;  // empty when the whole folder could be read
};

// Every entry of folder. Errors (a folder that cannot be read, or a symbolic link loop in it)
// come back as the fault, never as an exception.
FolderListing listFolder(const fs::path& folder) {
    FolderListing listing;
    std::error_code error;
    for (fs::directory_iterator entry(folder, error); !error && entry != fs::directory_iterator();
         entry.increment(error)) {
        listing.entries.push_back(*entry);
    }
    if (error) {
        listing.fault = "cannot read folder '" + folder.string() + "': " + error.message();
    }
    return listing;
}

// False also for an entry whose kind cannot be found out, such as a symbolic link loop.
bool isFolder(const fs::directory_entry& entry) {
    std::error_code error;
    return entry.is_directory(error);
}

// Every image name of listing that is no folder, sorted: directory order differs between file
// systems, and sorting keeps training reproducible. What cannot be read as a picture (an
// unreadable file, a link loop, a FIFO) is skipped and counted when it is measured.
std::vector<std::string> imagePaths(const FolderListing& listing) {
    std::vector<std::string> paths;
    for (const fs::directory_entry& entry : listing.entries) {
        if (hasImageExtension(entry.path()) && !isFolder(entry)) {
            paths.push_back(entry.path().string());
        }
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

}  // namespace

DatasetScan scanDataset(const std::string& dataDir) {
    std::vector<std::string> names = classFolderNames();
    const std::string expected =
        "expected exactly " + joinedNames(names) + ", and maybe " + otherFolderName;
    names.push_back(otherFolderName);
    std::error_code error;
    if (!fs::is_directory(dataDir, error)) {
        return {{}, {}, "'" + dataDir + "' is not a folder"};
    }
    const FolderListing top = listFolder(dataDir);
    if (!top.fault.empty()) {
        return {{}, {}, top.fault};
    }
    std::vector<fs::path> classDirs(names.size());
    for (const fs::directory_entry& entry : top.entries) {
        const std::string folder = entry.path().filename().string();
        const auto found = std::find(names.begin(), names.end(), lowerCase(folder));
        if (!isFolder(entry)) {
            entry.status(error);
            if (error && found != names.end()) {
                return {{},
                        {},
                        "cannot read folder '" + entry.path().string() + "': " + error.message()};
            }
            continue;  // notes such as a list of sources may sit beside the class folders
        }
        if (found == names.end()) {
            return {{},
                    {},
                    "'" + dataDir + "' has a sub-folder '" + folder + "' that is not a species; " +
                        expected};
        }
        fs::path& slot = classDirs[static_cast<size_t>(found - names.begin())];
        if (!slot.empty()) {
            return {{},
                    {},
                    "'" + dataDir + "' has two folders for " + *found + ": '" +
                        slot.filename().string() + "' and '" + folder + "'"};
        }
        slot = entry.path();
    }
    if (classDirs.back().empty()) {
        classDirs.pop_back();  // without leaves of other trees, the network names five
        names.pop_back();
    }
    DatasetScan scan;
    scan.classes = names;
    for (size_t c = 0; c < names.size(); ++c) {
        if (classDirs[c].empty()) {
            return {
                {}, {}, "'" + dataDir + "' has no sub-folder for " + names[c] + "; " + expected};
        }
        const FolderListing listing = listFolder(classDirs[c]);
        if (!listing.fault.empty()) {
            return {{}, {}, listing.fault};
        }
        for (const std::string& path : imagePaths(listing)) {
            scan.images.push_back({path, static_cast<int>(c), ""});
        }
    }
    return scan;
}

DatasetScan scanPhotos(const std::string& folder) {
    std::error_code error;
    if (!fs::is_directory(folder, error)) {
        return {{}, {}, "'" + folder + "' is not a folder"};
    }
    const FolderListing listing = listFolder(folder);
    if (!listing.fault.empty()) {
        return {{}, {}, listing.fault};
    }
    DatasetScan scan;
    for (const std::string& path : imagePaths(listing)) {
        scan.images.push_back({path, -1, ""});
    }
    return scan;
}

namespace {

std::string withoutLineEnd(std::string line) {
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

// The path of image in dataDir, as a groups file names it.
std::string relativePath(const LabelledImage& image, const std::string& dataDir) {
    return fs::path(image.path).lexically_relative(dataDir).lexically_normal().generic_string();
}

// A line as it can be shown in a message: at most 60 characters.
std::string shown(const std::string& line) {
    return line.size() <= 60 ? line : line.substr(0, 57) + "...";
}

}  // namespace

namespace {

// The next line of in, without its line feed; false at the end. A line longer than
// maxGroupsLineLength is read to its end but kept only that far, and marked.
bool nextLine(std::streambuf& in, std::string& line, bool& tooLong) {
    line.clear();
    tooLong = false;
    int c = in.sbumpc();
    if (c == EOF) {
        return false;
    }
    for (; c != EOF && c != '\n'; c = in.sbumpc()) {
        if (line.size() < maxGroupsLineLength) {
            line += static_cast<char>(c);
        } else {
            tooLong = true;
        }
    }
    return true;
}

}  // namespace

GroupList readGroups(const std::string& fileName, const std::set<std::string>& wanted) {
    const std::string name = "groups file '" + fileName + "'";
    std::error_code error;
    if (!fs::is_regular_file(fileName, error)) {
        return {{}, name + " is missing or not a regular file"};
    }
    const std::uintmax_t size = fs::file_size(fileName, error);
    if (error || size > maxGroupsFileSize) {
        return {{}, name + " is larger than " + std::to_string(maxGroupsFileSize >> 20) + " MiB"};
    }
    std::ifstream file(fileName, std::ios::binary);
    if (!file) {
        return {{}, "cannot read " + name};
    }
    GroupList groups;
    std::string line;
    bool tooLong = false;
    for (int number = 1; nextLine(*file.rdbuf(), line, tooLong); ++number) {
        line = withoutLineEnd(line);
        const std::string where = name + " line " + std::to_string(number);
        if (tooLong) {
            return {
                {},
                where + " is longer than " + std::to_string(maxGroupsLineLength) + " characters"};
        }
        if (line.empty() || (number == 1 && line == "path,group")) {
            continue;
        }
        const size_t comma = line.find(',');
        if (comma == 0 || comma == std::string::npos || comma + 1 == line.size()) {
            return {{}, where + ": expected 'path,group', not '" + shown(line) + "'"};
        }
        const std::string path =
            fs::path(line.substr(0, comma)).lexically_normal().generic_string();
        if (wanted.count(path) > 0 &&
            !groups.groupOf.emplace(path, line.substr(comma + 1)).second) {
            return {{}, where + ": '" + shown(path) + "' is listed twice"};
        }
    }
    if (file.bad()) {
        return {{}, "cannot read " + name};
    }
    return groups;
}

std::set<std::string> relativePaths(const std::vector<LabelledImage>& images,
                                    const std::string& dataDir) {
    std::set<std::string> paths;
    for (const LabelledImage& image : images) {
        paths.insert(relativePath(image, dataDir));
    }
    return paths;
}

size_t assignGroups(std::vector<LabelledImage>& images, const std::string& dataDir,
                    const GroupList& groups) {
    size_t found = 0;
    for (LabelledImage& image : images) {
        const auto listed = groups.groupOf.find(relativePath(image, dataDir));
        if (listed != groups.groupOf.end()) {
            image.group = listed->second;
            ++found;
        }
    }
    return found;
}

size_t groupByGenus(std::vector<LabelledImage>& images, int label) {
    std::set<std::string> genera;
    for (LabelledImage& image : images) {
        const std::string name = std::filesystem::path(image.path).filename().string();
        const size_t first = name.find('_');
        const size_t second = first == std::string::npos ? first : name.find('_', first + 1);
        if (image.label != label || second == std::string::npos || second == first + 1) {
            continue;
        }
        std::string genus = name.substr(first + 1, second - first - 1);
        std::transform(genus.begin(), genus.end(), genus.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        image.group = "genus " + genus;
        genera.insert(genus);
    }
    return genera.size();
}

std::vector<double> handedOverValues(const std::vector<double>& features) {
    std::vector<double> values;
    for (const std::string& token : splitString(toFeatureText(features), ' ')) {
        values.push_back(readDecimal(token));
    }
    return values;
}

namespace {

Measurement handOver(const LeafAnalysis& analysis) {
    if (analysis.verdict != LeafVerdict::Measured) {
        return {analysis.verdict, {}};
    }
    return {analysis.verdict, handedOverValues(analysis.features)};
}

}  // namespace

Measurement measurePicture(const cv::Mat& grey, size_t descriptorCount) {
    CoutSilencer silence;
    return handOver(analyzeLeafPicture(grey, "", false, false, descriptorCount));
}

cv::Mat turnAndShrink(const cv::Mat& grey, double angleDegrees, double scale) {
    const cv::Point2f centre(static_cast<float>(grey.cols) / 2.0f,
                             static_cast<float>(grey.rows) / 2.0f);
    const cv::Rect2f box =
        cv::RotatedRect(centre,
                        cv::Size2f(static_cast<float>(grey.cols), static_cast<float>(grey.rows)),
                        static_cast<float>(angleDegrees))
            .boundingRect2f();
    cv::Mat transform = cv::getRotationMatrix2D(centre, angleDegrees, scale);
    transform.at<double>(0, 2) += box.width / 2.0 - centre.x;
    transform.at<double>(1, 2) += box.height / 2.0 - centre.y;
    cv::Mat turned;
    cv::warpAffine(
        grey, turned, transform,
        cv::Size(static_cast<int>(std::ceil(box.width)), static_cast<int>(std::ceil(box.height))),
        cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(255));
    return turned;
}

std::string verdictReason(LeafVerdict verdict) {
    switch (verdict) {
        case LeafVerdict::Measured:
            return "measured";
        case LeafVerdict::UnreadableImage:
            return "not a readable image";
        case LeafVerdict::NoLeaf:
            return "no leaf found";
        case LeafVerdict::Unmeasurable:
            return "leaf could not be measured";
    }
    return "unknown";
}

void copyTransform(int k, int copies, double turn, double& angle, double& scale) {
    const int steps = (copies + 1) / 2;
    const int step = (k + 1) / 2;
    angle = (k % 2 == 1 ? -turn : turn) * static_cast<double>(step) / static_cast<double>(steps);
    scale = 1.0 - 0.3 * static_cast<double>(k % 3) / 2.0;
}

namespace {

// Copies are measured 128 pixels wide, so a larger picture is reduced to this size on its
// longer side before it is turned: turning a photo of 16384 x 16384 pixels four times would take
// gigabytes and many seconds for nothing. The shared photos are smaller and stay as they are.
constexpr int largestCopySource = 2048;

cv::Mat reducedForCopies(const cv::Mat& grey) {
    const double scale = static_cast<double>(largestCopySource) / std::max(grey.cols, grey.rows);
    if (scale >= 1.0) {
        return grey;
    }
    cv::Mat reduced;
    cv::resize(grey, reduced,
               cv::Size(std::max(1, static_cast<int>(grey.cols * scale)),
                        std::max(1, static_cast<int>(grey.rows * scale))),
               0.0, 0.0, cv::INTER_AREA);
    return reduced;
}

// A seed from the photo's file name alone (FNV-1a), so the copies are the same wherever the
// folder lies.
std::uint64_t nameSeed(const std::string& path) {
    std::uint64_t hash = 14695981039346656037ULL;
    for (unsigned char c : std::filesystem::path(path).filename().string()) {
        hash = (hash ^ c) * 1099511628211ULL;
    }
    return hash;
}

// The scene of a phone copy: a brown table, a sheet of light paper, the leaf a third of the frame
// wide on it, as photographed from above.
constexpr int phoneFrameWidth = 1200;
constexpr int phoneFrameHeight = 900;

}  // namespace

cv::Mat phoneLikeCopy(const cv::Mat& grey, std::uint64_t seed) {
    Random random(seed);
    const cv::Size frame(phoneFrameWidth, phoneFrameHeight);
    const double paper = random.uniform(205.0, 245.0);  // white to a little grey
    cv::Mat scene(frame, CV_32F, cv::Scalar(random.uniform(60.0, 120.0)));
    const cv::Rect sheet(270, 50, 660, 800);
    scene(sheet).setTo(cv::Scalar(paper));

    // The leaf, a third of the frame wide or three fifths of the sheet high, with the soft shadow
    // a lamp to one side casts: its darkness, blurred and shifted.
    const double scale = std::min(frame.width / 3.0 / grey.cols, sheet.height * 0.6 / grey.rows);
    cv::Mat leaf;
    cv::resize(grey, leaf, cv::Size(), scale, scale, cv::INTER_AREA);
    leaf.convertTo(leaf, CV_32F, 1.0 / 255.0);
    const cv::Rect place(sheet.x + (sheet.width - leaf.cols) / 2,
                         sheet.y + (sheet.height - leaf.rows) / 2, leaf.cols, leaf.rows);
    cv::Mat shadow = cv::Mat::zeros(frame, CV_32F);
    const cv::Point offset(static_cast<int>(random.uniform(-14.0, 14.0)),
                           static_cast<int>(random.uniform(-14.0, 14.0)));
    cv::Mat(1.0 - leaf).copyTo(shadow(place + offset));
    cv::GaussianBlur(shadow, shadow, cv::Size(), random.uniform(4.0, 10.0));
    scene = scene.mul(1.0 - random.uniform(0.0, 0.3) * shadow);
    cv::Mat placed = scene(place);
    placed = placed.mul(leaf);

    // Light falling off across the frame, a mild tilt of the phone, a lens's softness, a
    // sensor's grain and the JPEG the phone writes.
    const double fallX = random.uniform(-0.3, 0.3);
    const double fallY = random.uniform(-0.15, 0.15);
    for (int y = 0; y < frame.height; ++y) {
        float* row = scene.ptr<float>(y);
        for (int x = 0; x < frame.width; ++x) {
            const double across = static_cast<double>(x) / frame.width - 0.5;
            const double down = static_cast<double>(y) / frame.height - 0.5;
            row[x] *=
                static_cast<float>(1.0 - std::fabs(fallX) / 2 + fallX * across + fallY * down);
        }
    }
    const float w = static_cast<float>(frame.width);
    const float h = static_cast<float>(frame.height);
    auto jitter = [&] { return static_cast<float>(random.uniform(-0.03, 0.03)) * w; };
    const cv::Point2f corners[] = {{0, 0}, {w, 0}, {w, h}, {0, h}};
    const cv::Point2f tilted[] = {{jitter(), jitter()},
                                  {w + jitter(), jitter()},
                                  {w + jitter(), h + jitter()},
                                  {jitter(), h + jitter()}};
    cv::warpPerspective(scene, scene, cv::getPerspectiveTransform(corners, tilted), frame,
                        cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    cv::GaussianBlur(scene, scene, cv::Size(), random.uniform(0.5, 1.5));
    cv::Mat grain(frame, CV_32F);
    cv::RNG(seed).fill(grain, cv::RNG::NORMAL, 0.0, random.uniform(1.0, 5.0));
    scene += grain;
    cv::Mat photo;
    scene.convertTo(photo, CV_8U);
    std::vector<uchar> jpeg;
    cv::imencode(".jpg", photo, jpeg,
                 {cv::IMWRITE_JPEG_QUALITY, static_cast<int>(random.uniform(75.0, 95.0))});
    return cv::imdecode(jpeg, cv::IMREAD_GRAYSCALE);
}

CollectedExamples collectExamples(const std::vector<LabelledImage>& images, size_t descriptorCount,
                                  int copies, double turn, const ProgressCallback& progress,
                                  int phoneCopies) {
    CollectedExamples collected;
    int done = 0;
    for (const LabelledImage& image : images) {
        // Read once, exactly as the program reads it; the copies are turned from the same picture.
        const cv::Mat grey = readGreyPicture(image.path);
        const Measurement original = measurePicture(grey, descriptorCount);
        if (original.verdict != LeafVerdict::Measured) {
            collected.skipped.emplace_back(image.path, original.verdict);
        } else {
            Example example{image.label, {original.features}, image.group};
            const cv::Mat source = reducedForCopies(grey);
            for (int k = 1; k <= copies; ++k) {
                double angle = 0.0;
                double scale = 1.0;
                copyTransform(k, copies, turn, angle, scale);
                const Measurement copy =
                    measurePicture(turnAndShrink(source, angle, scale), descriptorCount);
                if (copy.verdict == LeafVerdict::Measured) {
                    example.variants.push_back(copy.features);
                }
            }
            for (int k = 1; k <= phoneCopies; ++k) {
                const std::uint64_t seed = nameSeed(image.path) + static_cast<std::uint64_t>(k);
                const Measurement copy =
                    measurePicture(phoneLikeCopy(source, seed), descriptorCount);
                if (copy.verdict == LeafVerdict::Measured) {
                    example.variants.push_back(copy.features);
                }
            }
            collected.examples.push_back(std::move(example));
        }
        ++done;
        if (progress) {
            progress(done, static_cast<int>(images.size()));
        }
    }
    return collected;
}
