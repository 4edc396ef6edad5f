// Measures leafid's cost per photo against the bare decode of the same files, its start-up time
// and its peak memory. Usage: leafid_bench [PHOTO_DIR] [ROUNDS]
//
// Times are CPU time of this process (all its threads), so other programs on a shared machine
// disturb them less than wall time would; each figure is the best of ROUNDS rounds, and the
// decode and the analysis of a photo run one after the other, so a busy moment hits both.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <opencv2/imgcodecs.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "handoff.hpp"

namespace fs = std::filesystem;

namespace {

double cpuMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

double wallMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// Every file below folder that decodes as a picture, sorted; reading them once also brings them
// into the page cache.
std::vector<std::string> photosIn(const fs::path& folder) {
    std::vector<std::string> photos;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file() &&
            !cv::imread(entry.path().string(), cv::IMREAD_GRAYSCALE).empty()) {
            photos.push_back(entry.path().string());
        }
    }
    std::sort(photos.begin(), photos.end());
    return photos;
}

struct Round {
    double decode = 0.0;    // ms of CPU time for all photos
    double analysis = 0.0;  // ms of CPU time for all photos
};

Round timeOneRound(const std::vector<std::string>& photos) {
    Round round;
    size_t checksum = 0;  // keeps the decoded pictures in use
    for (const std::string& photo : photos) {
        double start = cpuMilliseconds();
        checksum += cv::imread(photo, cv::IMREAD_GRAYSCALE).total();
        round.decode += cpuMilliseconds() - start;

        start = cpuMilliseconds();
        checksum += extractFeatures(photo).text.size();
        round.analysis += cpuMilliseconds() - start;
    }
    if (checksum == 0) {
        std::cerr << "nothing was decoded\n";
    }
    return round;
}

// A leafid child reading input from a pipe, in the repository root next to nn.dat. Its output
// comes through a pipe too, or goes to /dev/null when it is not wanted.
struct Child {
    pid_t pid = -1;
    int input = -1;
    int output = -1;
};

Child startLeafid(bool captureOutput) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) {
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(captureOutput ? out[1] : open("/dev/null", O_WRONLY), 1);
        for (int fd : {in[0], in[1], out[0], out[1]}) {
            close(fd);
        }
        if (chdir(LEAFID_SOURCE_DIR) == 0) {
            execl(LEAFID_BINARY, LEAFID_BINARY, static_cast<char*>(nullptr));
        }
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    if (!captureOutput) {
        close(out[0]);
        return {pid, in[1], -1};
    }
    return {pid, in[1], out[0]};
}

// Reads the child's output until text appears in it; false at its end.
bool readUntil(int fd, const std::string& text) {
    std::string seen;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
        seen.append(buffer, static_cast<size_t>(n));
        if (seen.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// Wall time from starting leafid to its first prompt, in ms; negative when it never came.
double startUpMilliseconds() {
    const double start = wallMilliseconds();
    const Child child = startLeafid(true);
    const bool prompted = readUntil(child.output, "Enter image path: ");
    const double elapsed = wallMilliseconds() - start;
    close(child.input);  // end of input ends leafid
    close(child.output);
    waitpid(child.pid, nullptr, 0);
    return prompted ? elapsed : -1.0;
}

// Peak resident memory of leafid while it answers every photo, in MB.
double leafidPeakMegabytes(const std::vector<std::string>& photos) {
    const Child child = startLeafid(false);
    std::string input;
    for (const std::string& photo : photos) {
        input += fs::absolute(photo).string() + "\n";
    }
    input += "end\n";
    std::FILE* pipe = fdopen(child.input, "w");
    std::fwrite(input.data(), 1, input.size(), pipe);
    std::fclose(pipe);
    int status = 0;
    rusage usage{};
    wait4(child.pid, &status, 0, &usage);
    return usage.ru_maxrss / 1024.0;
}

std::string machine() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            return line.substr(line.find(':') + 2) + ", " +
                   std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores";
        }
    }
    return "unknown machine";
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path folder = argc > 1 ? argv[1] : LEAFID_SOURCE_DIR "/../shared/leaves";
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    unsetenv("DISPLAY");  // the headless path: no windows
    std::error_code error;
    if (!fs::is_directory(folder, error)) {
        std::cerr << "leafid_bench: no photo folder at " << folder << "\n";
        return 2;
    }
    const std::vector<std::string> photos = photosIn(folder);
    if (photos.empty()) {
        std::cerr << "leafid_bench: no pictures in " << folder << "\n";
        return 2;
    }

    std::ostringstream discarded;  // the reports leafid would print
    std::streambuf* console = std::cout.rdbuf(discarded.rdbuf());
    Round best{1e300, 1e300};
    for (int r = 0; r < rounds; ++r) {
        const Round round = timeOneRound(photos);
        best.decode = std::min(best.decode, round.decode);
        best.analysis = std::min(best.analysis, round.analysis);
        discarded.str("");
    }
    std::cout.rdbuf(console);

    std::vector<double> startUps;
    for (int r = 0; r < rounds; ++r) {
        startUps.push_back(startUpMilliseconds());
    }
    std::sort(startUps.begin(), startUps.end());
    rusage self{};
    getrusage(RUSAGE_SELF, &self);

    const double n = static_cast<double>(photos.size());
    std::printf("%zu photos in %s, best of %d rounds, CPU time\n", photos.size(), folder.c_str(),
                rounds);
    std::printf("  bare grey decode   %7.3f ms a photo  %6.0f photos/s\n", best.decode / n,
                1e3 * n / best.decode);
    std::printf("  leafid analysis    %7.3f ms a photo  %6.0f photos/s\n", best.analysis / n,
                1e3 * n / best.analysis);
    std::printf("  ratio              %7.2f\n", best.analysis / best.decode);
    std::printf("  start-up to the first prompt  %.1f ms (median of %d, wall time)\n",
                startUps[startUps.size() / 2], rounds);
    std::printf("  peak memory: leafid answering every photo %.1f MB, this benchmark %.1f MB\n",
                leafidPeakMegabytes(photos), self.ru_maxrss / 1024.0);
    std::printf("  machine: %s\n", machine().c_str());
    return 0;
}
