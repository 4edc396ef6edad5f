// Loads leafid-serve as many phones at once would: CLIENTS clients post the photos of PHOTO_DIR
// for SECONDS while IDLE connections stay open without finishing a request (half of them silent,
// half sending their request line a byte a second, opened again whenever the server closes
// them). Reports photos per second, the median and 99th-percentile latency and the server's
// peak memory; fails when a request fails or an answer differs from the dialogue's.
// Usage: leafid_serve_bench SERVE LEAFID PHOTO_DIR [SECONDS] [CLIENTS] [IDLE]
#include <httplib.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct Photo {
    std::string path;
    std::string bytes;
    std::string answer;  // the dialogue's line
};

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

std::vector<Photo> readPhotos(const std::string& folder) {
    std::vector<Photo> photos;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const std::string extension = entry.path().extension().string();
        if (entry.is_regular_file() && (extension == ".jpg" || extension == ".png")) {
            photos.push_back({fs::canonical(entry.path()).string(), "", ""});
        }
    }
    std::sort(photos.begin(), photos.end(), [](auto& a, auto& b) { return a.path < b.path; });
    for (Photo& photo : photos) {
        photo.bytes = readFile(photo.path);
    }
    return photos;
}

// Runs the dialogue over every photo once, in the working directory (its nn.dat).
bool readDialogueAnswers(const std::string& leafid, std::vector<Photo>& photos) {
    const std::string list = (fs::temp_directory_path() / "leafid-serve-bench-paths").string();
    std::ofstream(list) << [&] {
        std::string words;
        for (const Photo& photo : photos) {
            words += photo.path + "\n";
        }
        return words + "end\n";
    }();
    FILE* dialogue = popen(("DISPLAY= '" + leafid + "' < '" + list + "'").c_str(), "r");
    std::string output;
    char buffer[65536];
    for (size_t n; dialogue && (n = fread(buffer, 1, sizeof buffer, dialogue)) > 0;) {
        output.append(buffer, n);
    }
    if (dialogue) {
        pclose(dialogue);
    }
    fs::remove(list);
    std::istringstream lines(output);
    size_t next = 0;
    for (std::string line; std::getline(lines, line) && next < photos.size();) {
        const size_t prompt = line.rfind("Enter image path: ");
        line = prompt == std::string::npos ? line : line.substr(prompt + 18);
        if (line.rfind("tree = ", 0) == 0 || line.rfind("Sorry, but", 0) == 0) {
            photos[next++].answer = line;
        }
    }
    return next == photos.size();
}

// User and system time of process pid so far.
double cpuSeconds(pid_t pid) {
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    double ticks = 0.0;
    for (int f = 3; f <= 15 && fields >> field; ++f) {
        ticks += f >= 14 ? std::stod(field) : 0.0;  // fields 14 and 15: utime, stime
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long peakMemoryKilobytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

// Starts the server on a free port; its log goes to logPath. 0 when it did not start.
int startServer(const std::string& serve, const std::string& logPath, pid_t& pid) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> words = {serve, "--listen", "127.0.0.1:0"};
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const int failed = posix_spawn(&pid, serve.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    const std::regex listening("listening on http://127\\.0\\.0\\.1:([0-9]+)/");
    for (int wait = 0; failed == 0 && wait < 100; ++wait) {
        std::smatch found;
        const std::string log = readFile(logPath);
        if (std::regex_search(log, found, listening)) {
            return std::stoi(found[1]);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return 0;
}

int connectTo(int port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(s);
        return -1;
    }
    return s;
}

struct IdleCounts {
    long opened = 0;
    long refused = 0;
};

// Keeps count connections open until stop: even ones silent, odd ones trickling a request line.
IdleCounts holdIdleConnections(int port, int count, const std::atomic<bool>& stop) {
    const std::string line = "POST /api/identify HTTP/1.1\r\nContent-Length: 1\r\n";
    std::vector<int> sockets(static_cast<size_t>(count), -1);
    std::vector<size_t> sent(sockets.size(), 0);
    IdleCounts counts;
    for (int tick = 0; !stop; ++tick) {
        for (size_t i = 0; i < sockets.size(); ++i) {
            pollfd entry{sockets[i], POLLIN, 0};
            char byte;
            if (sockets[i] >= 0 && poll(&entry, 1, 0) > 0 && recv(sockets[i], &byte, 1, 0) <= 0) {
                close(sockets[i]);  // the server let it go
                sockets[i] = -1;
            }
            if (sockets[i] < 0) {
                sockets[i] = connectTo(port);
                sent[i] = 0;
                ++(sockets[i] < 0 ? counts.refused : counts.opened);
            } else if (i % 2 == 1 && tick % 5 == 0 && sent[i] < line.size()) {
                send(sockets[i], line.data() + sent[i]++, 1, MSG_NOSIGNAL);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    for (int s : sockets) {
        if (s >= 0) {
            close(s);
        }
    }
    return counts;
}

struct ClientResult {
    std::vector<double> milliseconds;
    long failed = 0;
    long wrong = 0;
    std::string firstFault;
};

ClientResult postPhotos(int port, const std::vector<Photo>& photos, size_t first,
                        Clock::time_point end) {
    httplib::Client client("127.0.0.1", port);
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    client.set_read_timeout(60, 0);
    ClientResult result;
    for (size_t i = first; Clock::now() < end; i += 7) {
        const Photo& photo = photos[i % photos.size()];
        const Clock::time_point start = Clock::now();
        const auto response = client.Post("/api/identify?pictures=no", photo.bytes, "image/jpeg");
        result.milliseconds.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (!response || (response->status != 200 && response->status != 415)) {
            ++result.failed;
            if (result.firstFault.empty()) {
                result.firstFault =
                    photo.path + ": " +
                    (response ? std::to_string(response->status) + " " + response->body
                              : httplib::to_string(response.error()));
            }
            continue;
        }
        const auto json = nlohmann::json::parse(response->body, nullptr, false);
        if (!json.is_object() || json.value("answer", "") != photo.answer) {
            ++result.wrong;
            if (result.firstFault.empty()) {
                result.firstFault = photo.path + ": " + response->body.substr(0, 120);
            }
        }
    }
    return result;
}

double percentile(std::vector<double>& values, double share) {
    if (values.empty()) {
        return 0.0;
    }
    const size_t at = std::min(values.size() - 1, static_cast<size_t>(share * values.size()));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(at), values.end());
    return values[at];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::cerr
            << "Usage: leafid_serve_bench SERVE LEAFID PHOTO_DIR [SECONDS] [CLIENTS] [IDLE]\n";
        return 2;
    }
    const int seconds = argc > 4 ? std::atoi(argv[4]) : 30;
    const int clients = argc > 5 ? std::atoi(argv[5]) : 32;
    const int idle = argc > 6 ? std::atoi(argv[6]) : 500;
    std::vector<Photo> photos = readPhotos(argv[3]);
    if (photos.empty() || !readDialogueAnswers(argv[2], photos)) {
        std::cerr << "leafid_serve_bench: no photos in " << argv[3] << " or no dialogue answers\n";
        return 2;
    }
    const std::string log = (fs::temp_directory_path() / "leafid-serve-bench.log").string();
    pid_t server = 0;
    const int port = startServer(argv[1], log, server);
    if (port == 0) {
        std::cerr << "leafid_serve_bench: the server did not start:\n" << readFile(log);
        return 2;
    }
    std::atomic<bool> stopIdle{false};
    IdleCounts idleCounts;
    std::thread idler([&] { idleCounts = holdIdleConnections(port, idle, stopIdle); });
    std::this_thread::sleep_for(std::chrono::seconds(1));  // the idle connections first

    const double cpuBefore = cpuSeconds(server);
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + std::chrono::seconds(seconds);
    std::vector<ClientResult> results(static_cast<size_t>(clients));
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            results[static_cast<size_t>(c)] =
                postPhotos(port, photos, static_cast<size_t>(c) * 29, end);
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const double serverCpu = cpuSeconds(server) - cpuBefore;
    stopIdle = true;
    idler.join();
    const long peak = peakMemoryKilobytes(server);
    kill(server, SIGTERM);
    int status = 0;
    waitpid(server, &status, 0);

    std::vector<double> latencies;
    long failed = 0;
    long wrong = 0;
    std::string fault;
    for (ClientResult& result : results) {
        latencies.insert(latencies.end(), result.milliseconds.begin(), result.milliseconds.end());
        failed += result.failed;
        wrong += result.wrong;
        fault = fault.empty() ? result.firstFault : fault;
    }
    const size_t requests = latencies.size();
    std::printf("leafid-serve, %d clients for %.1f s, %d idle connections, %zu photos of %s\n",
                clients, elapsed, idle, photos.size(), argv[3]);
    std::printf("  requests            %zu (%ld failed, %ld answered unlike the dialogue)\n",
                requests, failed, wrong);
    std::printf("  photos per second   %.0f\n", requests / elapsed);
    std::printf("  server CPU a photo  %.3f ms (%.2f cores busy)\n", 1e3 * serverCpu / requests,
                serverCpu / elapsed);
    std::printf("  latency median      %.1f ms\n", percentile(latencies, 0.5));
    std::printf("  latency 99th pct    %.1f ms\n", percentile(latencies, 0.99));
    std::printf("  server peak memory  %.1f MiB\n", peak / 1024.0);
    std::printf("  idle connections    %ld opened, %ld refused\n", idleCounts.opened,
                idleCounts.refused);
    std::printf("  server exit         %s\n",
                WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "clean" : "NOT clean");
    if (!fault.empty()) {
        std::printf("  first fault         %s\n", fault.c_str());
    }
    fs::remove(log);
    const bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return failed == 0 && wrong == 0 && idleCounts.refused == 0 && clean ? 0 : 1;
}
