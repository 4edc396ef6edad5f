// Writing a network in the text format the program's loader reads.
#pragma once

#include <string>
#include <vector>

#include "network.hpp"

// The file text: hidden layer sizes, output count, block count, then each block's row count
// and rows, and after them a block of one row with the calibration when there is one (see
// confidence.hpp). Weights carry 17 significant digits, so reading them back gives the same
// doubles.
std::string formatNetwork(const std::vector<WeightMatrix>& weights,
                          const std::vector<double>& calibration = {});

// A network file on its way: the temporary file beside the target, opened before any long
// work, and what the target needs when it is replaced.
struct PendingNetworkFile {
    std::string fault;      // empty when the file can be written
    std::string target;     // the file written, symbolic links followed
    std::string temporary;  // empty once renamed or removed
    int descriptor = -1;
    unsigned mode = 0644;  // an existing file's permissions are kept
    int owner = -1;        // and its owner and group, where the user may keep them
    int group = -1;
};

// Checks that fileName can take a network file and creates the temporary file beside it, in
// its folder, so the rename cannot cross file systems. fileName must be a new file in a
// writable folder or a regular file that may be written (a symbolic link is followed to it);
// anything else, such as a FIFO, a device or a folder, is refused.
PendingNetworkFile startNetworkFile(const std::string& fileName);

// Writes the text to the temporary file, flushes it to the disk and renames it over the target,
// so the target is never left half written. Empty on success, otherwise the reason.
std::string finishNetworkFile(PendingNetworkFile& pending, const std::vector<WeightMatrix>& weights,
                              const std::vector<double>& calibration = {});

// finishNetworkFile for any text: content replaces the target the same way.
std::string finishFile(PendingNetworkFile& pending, const std::string& content);

// Removes the temporary file if it is still there.
void abandonNetworkFile(PendingNetworkFile& pending);

// startNetworkFile and finishNetworkFile in one go.
std::string writeNetworkFile(const std::vector<WeightMatrix>& weights, const std::string& fileName);

// startNetworkFile and finishFile in one go: fileName holds either its old content or all of
// content, never part of it.
std::string replaceFile(const std::string& fileName, const std::string& content);
