// Labelled leaf folders and the features the program would hand to its network.
#pragma once

#include <cstdint>
#include <map>
#include <opencv2/core.hpp>
#include <set>
#include <string>
#include <vector>

#include "analysis.hpp"
#include "training.hpp"

// The sub-folder name of each species, in output-neuron order ("ginkgo", "lime", ...).
std::vector<std::string> classFolderNames();

// The optional sub-folder of leaves that are none of the five; its photos are labelled with the
// output after the species'.
const char* const otherFolderName = "other";

struct LabelledImage {
    std::string path;
    int label = 0;      // output-neuron index
    std::string group;  // photos of one leaf share a group; empty: a group of its own
};

struct DatasetScan {
    std::vector<LabelledImage> images;  // sorted by class, then by path
    std::vector<std::string> classes;   // the species' folder names, then "other" if found
    std::string fault;                  // empty when the folder is usable
};

// Finds the images of dataDir, which must hold exactly one sub-folder per species (any letter
// case), may hold an "other" folder, and holds no other sub-folders. Files that are not images
// by their extension are ignored.
DatasetScan scanDataset(const std::string& dataDir);

// The images of a folder of photos without species (label -1), sorted by path; sub-folders and
// files that are not images by their extension are passed over.
DatasetScan scanPhotos(const std::string& folder);

// Which photos show the same leaf, read from a groups file: one line "path,group" per photo,
// the path relative to the data folder ("oak/oak_kew_001.jpg"), the group any name. A first
// line "path,group" is a header; empty lines are skipped.
struct GroupList {
    std::map<std::string, std::string> groupOf;  // by relative path
    std::string fault;                           // empty when the file is usable
};

// The largest groups file read: a line for each of a million photos fits easily. Only the
// lines of the photos at hand are kept, so memory goes with the photos, not with the file.
constexpr std::uintmax_t maxGroupsFileSize = 64u << 20;
constexpr size_t maxGroupsLineLength = 8192;

// The groups of the relative paths wanted, read from fileName; every line is checked, but a
// path listed twice is refused only where it is wanted.
GroupList readGroups(const std::string& fileName, const std::set<std::string>& wanted);

// Puts every photo of label whose file name reads <word>_<genus>_... (other_acer_kew_001.jpg) in
// one group per genus, so that cross-validation never trains on a genus it tests: an unknown
// tree is mostly of a genus the network never saw. Returns the number of genera found.
size_t groupByGenus(std::vector<LabelledImage>& images, int label);

// The relative paths of images in dataDir, as a groups file names them.
std::set<std::string> relativePaths(const std::vector<LabelledImage>& images,
                                    const std::string& dataDir);

// Gives each image the group its path relative to dataDir has in groups; returns how many
// images were found in the list.
size_t assignGroups(std::vector<LabelledImage>& images, const std::string& dataDir,
                    const GroupList& groups);

struct Measurement {
    LeafVerdict verdict = LeafVerdict::UnreadableImage;
    std::vector<double> features;  // as the network reads them; filled only when Measured
};

// Measures a grey picture (as readGreyPicture gives it) exactly as the program does for a
// network that reads the six features and descriptorCount outline descriptors, without printing
// anything.
Measurement measurePicture(const cv::Mat& grey, size_t descriptorCount = 0);

// The values the network reads after the text hand-off (six significant digits).
std::vector<double> handedOverValues(const std::vector<double>& features);

// grey turned by angleDegrees and shrunk by scale (<= 1) on a white canvas that holds the whole
// turned picture, so no part of the leaf is cut off.
cv::Mat turnAndShrink(const cv::Mat& grey, double angleDegrees, double scale);

struct CollectedExamples {
    std::vector<Example> examples;  // the measured images, each with its measured copies
    std::vector<std::pair<std::string, LeafVerdict>> skipped;  // images the program would refuse
};

// Measures every image as the program does for a network that reads descriptorCount outline
// descriptors, and adds copies turned and shrunk copies of each, turned by up to turn degrees
// either way (see copyTransform). progress counts images.
CollectedExamples collectExamples(const std::vector<LabelledImage>& images, size_t descriptorCount,
                                  int copies, double turn, const ProgressCallback& progress = {},
                                  int phoneCopies = 0);

// A phone photo of the leaf in grey, made up: the leaf on a sheet of white to light grey paper on
// a table, with a soft shadow to one side, light falling off across the frame, a mild tilt, a
// little blur, sensor grain and JPEG, each drawn from seed. Measured, it is cropped to the leaf
// as a real phone photo is.
cv::Mat phoneLikeCopy(const cv::Mat& grey, std::uint64_t seed);

// Copy k (1 to copies) of a photo: turned by angle degrees, alternately one way and the other,
// in equal steps up to turn, and shrunk to scale (100%, 85% or 70%), because leaves are
// photographed at any slant and with margins of any width.
void copyTransform(int k, int copies, double turn, double& angle, double& scale);

// The program's reason for not naming a species, in a few words.
std::string verdictReason(LeafVerdict verdict);

// Silences std::cout while it lives: the analysis and the loader always talk to it.
class CoutSilencer {
  public:
    CoutSilencer();
    ~CoutSilencer();
    CoutSilencer(const CoutSilencer&) = delete;
    CoutSilencer& operator=(const CoutSilencer&) = delete;

  private:
    std::streambuf* old_;
};
