#include "writer.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <locale>
#include <sstream>

std::string formatNetwork(const std::vector<WeightMatrix>& weights,
                          const std::vector<double>& calibration) {
    std::ostringstream text;
    text.imbue(std::locale::classic());  // the loader always reads '.' as the decimal point
    text.precision(17);
    for (size_t l = 0; l + 1 < weights.size(); ++l) {
        const size_t neurons = weights[l].empty() ? 0 : weights[l][0].size();
        text << (l > 0 ? " " : "") << neurons;
    }
    const size_t outputs = weights.empty() || weights.back().empty() ? 0 : weights.back()[0].size();
    std::vector<WeightMatrix> blocks = weights;
    if (!calibration.empty()) {
        blocks.push_back({calibration});  // read past by loaders that know no calibration
    }
    text << "\n" << outputs << "\n" << blocks.size() << "\n";
    for (const WeightMatrix& block : blocks) {
        text << block.size() << "\n";
        for (const std::vector<double>& row : block) {
            for (size_t j = 0; j < row.size(); ++j) {
                text << (j > 0 ? " " : "") << row[j];
            }
            text << "\n";
        }
    }
    return text.str();
}

namespace {

std::string reasonFor(const std::string& what, const std::string& name) {
    return "cannot " + what + " '" + name + "': " + std::strerror(errno);
}

// The mode a new file gets from the user's file creation mask, as open() would give it.
unsigned newFileMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// ".name.XXXXXX" for mkstemp, with name cut short where the dot and the six characters would
// take it past the folder's file name limit: a 255-byte name can still be replaced.
std::string temporaryName(const std::filesystem::path& folder, const std::string& name) {
    const long limit = pathconf(folder.c_str(), _PC_NAME_MAX);
    const size_t longest = (limit > 8 ? static_cast<size_t>(limit) : 255) - 8;
    return "." + name.substr(0, longest) + ".XXXXXX";
}

}  // namespace

PendingNetworkFile startNetworkFile(const std::string& fileName) {
    PendingNetworkFile pending;
    struct stat status {};
    if (stat(fileName.c_str(), &status) == 0) {
        char* resolved = realpath(fileName.c_str(), nullptr);
        if (!S_ISREG(status.st_mode) || resolved == nullptr) {
            free(resolved);
            pending.fault = "'" + fileName + "' is not a regular file";
            return pending;
        }
        pending.target = resolved;
        free(resolved);
        if (access(pending.target.c_str(), W_OK) != 0) {
            pending.fault = reasonFor("write", fileName);
            return pending;
        }
        pending.mode = status.st_mode & 07777;
        pending.owner = static_cast<int>(status.st_uid);
        pending.group = static_cast<int>(status.st_gid);
    } else if (errno == ENOENT && lstat(fileName.c_str(), &status) != 0) {
        pending.target = fileName;
        pending.mode = newFileMode();
    } else {
        pending.fault = errno == ENOENT ? "'" + fileName + "' is a symbolic link to nothing"
                                        : reasonFor("write", fileName);
        return pending;
    }
    const std::filesystem::path target(pending.target);
    const std::filesystem::path folder =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    std::string temporary = (folder / temporaryName(folder, target.filename().string())).string();
    pending.descriptor = mkstemp(temporary.data());
    if (pending.descriptor < 0) {
        pending.fault = reasonFor("create a file in", folder.string());
        return pending;
    }
    pending.temporary = temporary;
    return pending;
}

std::string finishNetworkFile(PendingNetworkFile& pending, const std::vector<WeightMatrix>& weights,
                              const std::vector<double>& calibration) {
    return finishFile(pending, formatNetwork(weights, calibration));
}

std::string finishFile(PendingNetworkFile& pending, const std::string& content) {
    size_t written = 0;
    while (written < content.size()) {
        const ssize_t n =
            ::write(pending.descriptor, content.data() + written, content.size() - written);
        if (n <= 0) {
            const std::string reason = reasonFor("write", pending.temporary);
            abandonNetworkFile(pending);
            return reason;
        }
        written += static_cast<size_t>(n);
    }
    if (pending.owner >= 0 && fchown(pending.descriptor, static_cast<uid_t>(pending.owner),
                                     static_cast<gid_t>(pending.group)) != 0) {
        // Only root may give a file to someone else; the new file stays the writer's own.
    }
    if (fchmod(pending.descriptor, static_cast<mode_t>(pending.mode)) != 0 ||
        fsync(pending.descriptor) != 0 || ::close(pending.descriptor) != 0) {
        pending.descriptor = -1;
        const std::string reason = reasonFor("write", pending.temporary);
        abandonNetworkFile(pending);
        return reason;
    }
    pending.descriptor = -1;
    if (std::rename(pending.temporary.c_str(), pending.target.c_str()) != 0) {
        const std::string reason = reasonFor("write", pending.target);
        abandonNetworkFile(pending);
        return reason;
    }
    pending.temporary.clear();
    return "";
}

void abandonNetworkFile(PendingNetworkFile& pending) {
    if (pending.descriptor >= 0) {
        ::close(pending.descriptor);
        pending.descriptor = -1;
    }
    if (!pending.temporary.empty()) {
        std::remove(pending.temporary.c_str());
        pending.temporary.clear();
    }
}

std::string writeNetworkFile(const std::vector<WeightMatrix>& weights,
                             const std::string& fileName) {
    return replaceFile(fileName, formatNetwork(weights));
}

std::string replaceFile(const std::string& fileName, const std::string& content) {
    PendingNetworkFile pending = startNetworkFile(fileName);
    return pending.fault.empty() ? finishFile(pending, content) : pending.fault;
}
