// Labelled leaf folders and the features the program would hand to its network.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "analysis.hpp"
#include "training.hpp"

// The sub-folder name of each species, in output-neuron order ("ginkgo", "lime", ...).
std::vector<std::string> classFolderNames();

struct LabelledImage {
    std::string path;
    int label = 0;  // output-neuron index
};

struct DatasetScan {
    std::vector<LabelledImage> images;  // sorted by class, then by path
    std::string fault;                  // empty when the folder is usable
};

// Finds the images of dataDir, which must hold exactly one sub-folder per species (any letter
// case) and no other sub-folders. Files that are not images by their extension are ignored.
DatasetScan scanDataset(const std::string& dataDir);

struct Measurement {
    LeafVerdict verdict = LeafVerdict::UnreadableImage;
    std::vector<double> features;  // as the network reads them; filled only when Measured
};

// Measures the image at path exactly as the program does, without printing anything.
Measurement measureImage(const std::string& path);

// The same for a grey picture already in memory.
Measurement measurePicture(const cv::Mat& grey);

// The values the network reads after the text hand-off (six significant digits).
std::vector<double> handedOverValues(const std::vector<double>& features);

// grey turned by angleDegrees and shrunk by scale (<= 1) on a white canvas that holds the whole
// turned picture, so no part of the leaf is cut off.
cv::Mat turnAndShrink(const cv::Mat& grey, double angleDegrees, double scale);

struct CollectedExamples {
    std::vector<Example> examples;  // the measured images, each with its measured copies
    std::vector<std::pair<std::string, LeafVerdict>> skipped;  // images the program would refuse
};

// Measures every image as the program does and adds copies turned and shrunk copies of each,
// turned by up to turn degrees either way. progress counts images.
CollectedExamples collectExamples(const std::vector<LabelledImage>& images, int copies, double turn,
                                  const ProgressCallback& progress = {});

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
