#include "network_file.hpp"

#include <filesystem>

namespace fs = std::filesystem;

namespace {

const char* const networkFileName = "nn.dat";

// Empty when the executable cannot be located.
std::string installedNetworkFile() {
    std::error_code error;
    const fs::path executable = fs::read_symlink("/proc/self/exe", error);
    if (error) {
        return "";
    }
    return (executable.parent_path() / ".." / "share" / "leafid" / networkFileName)
        .lexically_normal()
        .string();
}

}  // namespace

std::string defaultNetworkFile() {
    std::error_code error;
    if (fs::exists(fs::symlink_status(networkFileName, error))) {
        return networkFileName;
    }
    const std::string installed = installedNetworkFile();
    if (!installed.empty() && fs::exists(installed, error)) {
        return installed;
    }
    return networkFileName;
}
