// Measures leafid's cost per photo against the bare decode of the same files, its start-up time
// and its peak memory. Usage: leafid_bench [PHOTO_DIR] [ROUNDS]
//
// Times are CPU time of this process (all its threads), so other programs on a shared machine
// disturb them less than wall time would. Each figure is the best of ROUNDS rounds.
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
#include <opencv2/imgproc.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "handoff.hpp"

namespace fs = std::filesystem;

namespace {

constexpr size_t batch = 25;

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

// CPU time, in ms, of work on photos[first, last).
template <typename Work>
double timePass(const std::vector<std::string>& photos, size_t first, size_t last, Work work) {
    const double start = cpuMilliseconds();
    for (size_t p = first; p < last; ++p) {
        work(photos[p]);
    }
    return cpuMilliseconds() - start;
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

struct StartUp {
    double wall = -1.0;  // ms from starting leafid to its first prompt; -1 when it never came
    double cpu = 0.0;    // ms of CPU time leafid used, up to its end right after the prompt
};

StartUp timeStartUp() {
    const double start = wallMilliseconds();
    const Child child = startLeafid(true);
    const bool prompted = readUntil(child.output, "Enter image path: ");
    StartUp startUp;
    if (prompted) {
        startUp.wall = wallMilliseconds() - start;
    }
    close(child.input);  // end of input ends leafid
    close(child.output);
    rusage usage{};
    wait4(child.pid, nullptr, 0, &usage);
    startUp.cpu = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                  (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    return startUp;
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

// A 12-megapixel phone photo made from photo, as a phone would write it: in colour, the leaf
// a third of the frame wide on a sheet of paper that lies on a brown table, the light falling
// off to 70% across the frame, a sensor's grain, JPEG of quality 90. False when it cannot be
// written.
bool writePhonePhoto(const std::string& photo, const std::string& file) {
    const cv::Size frame(4000, 3000);
    cv::Mat scene(frame, CV_8UC3, cv::Scalar(45, 75, 115));
    const cv::Rect sheet(900, 150, 2000, 2750);
    scene(sheet).setTo(cv::Scalar(235, 238, 240));
    const cv::Mat leaf = cv::imread(photo, cv::IMREAD_COLOR);
    const double scale = std::min(frame.width / 3.0 / leaf.cols, sheet.height * 0.6 / leaf.rows);
    cv::Mat scaled;
    cv::resize(leaf, scaled, cv::Size(), scale, scale, cv::INTER_AREA);
    cv::Mat place =
        scene(cv::Rect(sheet.x + (sheet.width - scaled.cols) / 2,
                       sheet.y + (sheet.height - scaled.rows) / 2, scaled.cols, scaled.rows));
    cv::multiply(place, scaled, place, 1.0 / 255.0);
    for (int y = 0; y < frame.height; ++y) {
        cv::Vec3b* row = scene.ptr<cv::Vec3b>(y);
        for (int x = 0; x < frame.width; ++x) {
            row[x] *= 1.0 - 0.3 * x / frame.width;
        }
    }
    cv::Mat grain(frame, CV_16SC3);
    cv::randn(grain, 0.0, 3.0);
    cv::add(scene, grain, scene, cv::noArray(), CV_8UC3);
    return cv::imwrite(file, scene, {cv::IMWRITE_JPEG_QUALITY, 90});
}

struct PhoneTimes {
    double decode = 1e300;    // ms, best of the rounds
    double analysis = 1e300;  // ms, best of the rounds
};

// The bare grey decode of a phone photo against leafid's analysis of it, taking turns.
PhoneTimes timePhonePhoto(const std::string& file, int rounds, size_t& checksum) {
    PhoneTimes times;
    const std::vector<std::string> photo = {file};
    for (int r = 0; r < rounds; ++r) {
        times.decode = std::min(times.decode, timePass(photo, 0, 1, [&](const std::string& f) {
                                    checksum += cv::imread(f, cv::IMREAD_GRAYSCALE).total();
                                }));
        times.analysis = std::min(
            times.analysis, timePass(photo, 0, 1, [&](const std::string& f) {
                checksum += extractFeatures(f, leafValueCount - leafFeatureCount).text.size();
            }));
    }
    return times;
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
    double decode = 1e300;
    double analysis = 1e300;
    size_t checksum = 0;  // keeps the work from being optimised away
    for (int r = 0; r < rounds; ++r) {
        // Decode and analysis take turns by batches of photos, so that a busy spell of the
        // machine hits both alike; within a batch each runs alone, as in a program of its own.
        double decodeRound = 0.0;
        double analysisRound = 0.0;
        for (size_t first = 0; first < photos.size(); first += batch) {
            const size_t last = std::min(photos.size(), first + batch);
            decodeRound += timePass(photos, first, last, [&](const std::string& photo) {
                checksum += cv::imread(photo, cv::IMREAD_GRAYSCALE).total();
            });
            // The shipped network reads every descriptor and histogram, so leafid computes them
            // all.
            analysisRound += timePass(photos, first, last, [&](const std::string& photo) {
                checksum += extractFeatures(photo, leafValueCount - leafFeatureCount).text.size();
            });
        }
        decode = std::min(decode, decodeRound);
        analysis = std::min(analysis, analysisRound);
        discarded.str("");
    }
    const std::string phoneFile =
        (fs::temp_directory_path() / ("leafid-bench-" + std::to_string(getpid()) + ".jpg"))
            .string();
    PhoneTimes phone;
    if (writePhonePhoto(photos.front(), phoneFile)) {
        phone = timePhonePhoto(phoneFile, 2 * rounds, checksum);
    }
    fs::remove(phoneFile, error);
    std::cout.rdbuf(console);

    std::vector<double> wallStartUps;
    std::vector<double> cpuStartUps;
    for (int r = 0; r < rounds; ++r) {
        const StartUp startUp = timeStartUp();
        wallStartUps.push_back(startUp.wall);
        cpuStartUps.push_back(startUp.cpu);
    }
    std::sort(wallStartUps.begin(), wallStartUps.end());
    std::sort(cpuStartUps.begin(), cpuStartUps.end());
    rusage self{};
    getrusage(RUSAGE_SELF, &self);

    const double n = static_cast<double>(photos.size());
    std::printf("%zu photos in %s, best of %d rounds, CPU time\n", photos.size(), folder.c_str(),
                rounds);
    std::printf("  bare grey decode   %7.3f ms a photo  %6.0f photos/s\n", decode / n,
                1e3 * n / decode);
    std::printf("  leafid analysis    %7.3f ms a photo  %6.0f photos/s\n", analysis / n,
                1e3 * n / analysis);
    std::printf("  ratio              %7.2f\n", analysis / decode);
    if (phone.decode < 1e300) {
        std::printf("  12-megapixel phone photo made from %s:\n",
                    fs::path(photos.front()).filename().c_str());
        std::printf("    bare grey decode %7.1f ms, leafid analysis %7.1f ms, ratio %.2f\n",
                    phone.decode, phone.analysis, phone.analysis / phone.decode);
    }
    std::printf("  start-up to the first prompt  %.0f ms wall, %.0f ms CPU (medians of %d)\n",
                wallStartUps[wallStartUps.size() / 2], cpuStartUps[cpuStartUps.size() / 2], rounds);
    std::printf("  peak memory: leafid answering every photo %.1f MB, this benchmark %.1f MB\n",
                leafidPeakMegabytes(photos), self.ru_maxrss / 1024.0);
    std::printf("  machine: %s\n", machine().c_str());
    return 0;
}
