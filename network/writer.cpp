#include "writer.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <locale>
#include <sstream>

std::string formatNetwork(const std::vector<WeightMatrix>& weights) {
    std::ostringstream text;
    text.imbue(std::locale::classic());  // the loader always reads '.' as the decimal point
    text.precision(17);
    for (size_t l = 0; l + 1 < weights.size(); ++l) {
        const size_t neurons = weights[l].empty() ? 0 : weights[l][0].size();
        text << (l > 0 ? " " : "") << neurons;
    }
    const size_t outputs = weights.empty() || weights.back().empty() ? 0 : weights.back()[0].size();
    text << "\n" << outputs << "\n" << weights.size() << "\n";
    for (const WeightMatrix& block : weights) {
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

std::string writeNetworkFile(const std::vector<WeightMatrix>& weights,
                             const std::string& fileName) {
    const std::string content = formatNetwork(weights);
    std::filesystem::path target(fileName);
    const std::filesystem::path folder =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    // In the target's folder, so the rename cannot cross file systems.
    std::string temporary = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
    const int descriptor = mkstemp(temporary.data());
    if (descriptor < 0) {
        return "cannot create a file in '" + folder.string() + "': " + std::strerror(errno);
    }
    size_t written = 0;
    while (written < content.size()) {
        const ssize_t n = ::write(descriptor, content.data() + written, content.size() - written);
        if (n <= 0) {
            const std::string reason = std::strerror(errno);
            ::close(descriptor);
            std::remove(temporary.c_str());
            return "cannot write '" + temporary + "': " + reason;
        }
        written += static_cast<size_t>(n);
    }
    // mkstemp makes the file private; a network file is ordinary data.
    fchmod(descriptor, 0644);
    if (::close(descriptor) != 0) {
        const std::string reason = std::strerror(errno);
        std::remove(temporary.c_str());
        return "cannot write '" + temporary + "': " + reason;
    }
    if (std::rename(temporary.c_str(), fileName.c_str()) != 0) {
        const std::string reason = std::strerror(errno);
        std::remove(temporary.c_str());
        return "cannot write '" + fileName + "': " + reason;
    }
    return "";
}
