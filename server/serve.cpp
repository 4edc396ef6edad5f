#include "serve.hpp"

#include <httplib.h>
#include <pthread.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <ctime>
#include <iostream>
#include <mutex>
#include <opencv2/imgcodecs.hpp>
#include <sstream>
#include <thread>

#include "cli.hpp"
#include "connection.hpp"
#include "dialogue.hpp"
#include "identification_json.hpp"
#include "loader.hpp"
#include "page.hpp"
#include "photo_file.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Each worker measures with a network of its own: the evaluation keeps its state in the network.
struct NetworkPool {
    std::vector<NeuralNetwork> networks;
    std::vector<NeuralNetwork*> idle;
    std::mutex mutex;
    std::condition_variable returned;
};

NeuralNetwork copyOf(const NeuralNetwork& network) {
    NeuralNetwork copy;
    copy.hiddenLayers = network.hiddenLayers;
    copy.outputLayer = network.outputLayer;
    copy.weights = network.weights;
    return copy;
}

// Waits for an idle network; at most as many photos are measured at once as there are networks.
class NetworkLease {
  public:
    explicit NetworkLease(NetworkPool& pool) : pool_(pool) {
        std::unique_lock<std::mutex> lock(pool_.mutex);
        pool_.returned.wait(lock, [&] { return !pool_.idle.empty(); });
        network_ = pool_.idle.back();
        pool_.idle.pop_back();
    }
    ~NetworkLease() {
        {
            std::lock_guard<std::mutex> lock(pool_.mutex);
            pool_.idle.push_back(network_);
        }
        pool_.returned.notify_one();
    }
    NetworkLease(const NetworkLease&) = delete;
    NetworkLease& operator=(const NetworkLease&) = delete;
    NeuralNetwork& network() { return *network_; }

  private:
    NetworkPool& pool_;
    NeuralNetwork* network_ = nullptr;
};

// Photos are admitted before their body is read, up to a count and a sum of bytes.
struct Admission {
    std::mutex mutex;
    int requests = 0;
    size_t bytes = 0;
    int maxRequests = 0;
};

struct Service {
    ServeOptions options;
    NetworkPool pool;
    Admission admission;
    int inputs = 0;
    size_t outputs = 0;
    std::mutex logMutex;
};

// What the thread of one connection holds for the request it serves: a connection is served by
// one thread from start to end, one request after the other.
thread_local BoundedSocketStream* connection = nullptr;
thread_local bool closeAfterResponse = false;
thread_local bool admitted = false;
thread_local size_t admittedBytes = 0;
thread_local Clock::time_point requestStart;

void releaseAdmission(Admission& admission) {
    if (!admitted) {
        return;
    }
    std::lock_guard<std::mutex> lock(admission.mutex);
    admission.requests -= 1;
    admission.bytes -= admittedBytes;
    admitted = false;
    admittedBytes = 0;
}

constexpr std::chrono::seconds readTimeout{5};
constexpr std::chrono::seconds writeTimeout{5};
constexpr std::chrono::seconds keepAliveTimeout{5};
constexpr std::chrono::milliseconds stopCheckInterval{500};

// httplib's server with its connections read through BoundedSocketStream. It reads each request
// itself; only the loop over the requests of one connection is this one's.
class BoundedServer : public httplib::Server {
  public:
    explicit BoundedServer(Admission& admission) : admission_(admission) {}

    // httplib listens with a backlog of 5: connections beyond it wait for the client's
    // retransmission, a second or more, whenever many arrive at once.
    void widenBacklog() { ::listen(svr_sock_, SOMAXCONN); }

  private:
    bool process_and_close_socket(int socket) override {
        // An answer is written in pieces (head, then body): without this each piece after the
        // first waits for the client's delayed acknowledgement, some 40 ms.
        const int on = 1;
        setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        BoundedSocketStream stream(socket, readTimeout, writeTimeout);
        connection = &stream;
        bool served = true;
        for (size_t count = 1; served && waitForRequest(stream); ++count) {
            stream.startRequest();
            requestStart = Clock::now();
            closeAfterResponse = false;
            bool closed = false;
            served = process_request(stream, count == keep_alive_max_count_, closed, nullptr);
            releaseAdmission(admission_);  // also when the request ended without an answer
            served = served && !closed && !closeAfterResponse && count < keep_alive_max_count_;
        }
        connection = nullptr;
        shutdown(socket, SHUT_RDWR);
        close(socket);
        return served;
    }

    // Waits for the next request of a kept-alive connection; false when it does not come in
    // time or the server stops.
    bool waitForRequest(const BoundedSocketStream& stream) const {
        for (auto waited = Clock::duration::zero(); waited < keepAliveTimeout;
             waited += stopCheckInterval) {
            if (svr_sock_ == INVALID_SOCKET) {
                return false;
            }
            if (stream.waitReadable(stopCheckInterval)) {
                return true;
            }
        }
        return false;
    }

    Admission& admission_;
};

void answerJson(httplib::Response& res, int status, const Json& json) {
    res.status = status;
    res.set_content(json.dump(-1, ' ', false, Json::error_handler_t::replace), "application/json");
}

// A refusal before the body is read: the unread body must not be taken for the next request,
// so the connection closes after the answer.
void refuse(httplib::Response& res, int status, const std::string& message) {
    answerJson(res, status, {{"error", message}});
    res.set_header("Connection", "close");
    closeAfterResponse = true;
}

std::string megabytes(size_t bytes) {
    return std::to_string(bytes >> 20) + " MiB";
}

// Decides on a request from its headers alone. True when it may go on; otherwise res holds the
// refusal. Only POST /api/identify carries a body, and it must say its length.
bool admit(Service& service, const httplib::Request& req, httplib::Response& res) {
    if (admitted || req.method == "GET" || req.method == "HEAD") {
        return true;
    }
    if (req.method != "POST") {
        refuse(res, 405, "Only GET and POST are answered here.");
        return false;
    }
    if (req.path != "/api/identify") {
        refuse(res, 404, "There is nothing to post to here; photos go to /api/identify.");
        return false;
    }
    const std::optional<long long> length = parseInteger(req.get_header_value("Content-Length"), 0,
                                                         std::numeric_limits<long long>::max());
    if (req.has_header("Transfer-Encoding") || !length) {
        refuse(res, 411, "The photo must be sent with its length (Content-Length).");
        return false;
    }
    if (static_cast<unsigned long long>(*length) > maxPhotoBytes) {
        refuse(res, 413, "The photo is larger than " + megabytes(maxPhotoBytes) + ".");
        return false;
    }
    const std::string encoding = req.get_header_value("Content-Encoding");
    if (!encoding.empty() && encoding != "identity") {
        // A compressed body could unpack to any size; photos are compressed already.
        refuse(res, 415, "Compressed uploads are not accepted; send the photo as it is.");
        return false;
    }
    Admission& admission = service.admission;
    std::lock_guard<std::mutex> lock(admission.mutex);
    const size_t bytes = static_cast<size_t>(*length);
    if (admission.requests >= admission.maxRequests ||
        admission.bytes + bytes > maxPendingPhotoBytes) {
        refuse(res, 503, "The server is busy; please try again in a moment.");
        res.set_header("Retry-After", "1");
        return false;
    }
    admission.requests += 1;
    admission.bytes += bytes;
    admitted = true;
    admittedBytes = bytes;
    if (connection != nullptr) {
        connection->allowBody(bytes);
    }
    return true;
}

std::string base64(const std::vector<unsigned char>& bytes) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = std::min<size_t>(3, bytes.size() - i);
        unsigned long group = static_cast<unsigned long>(bytes[i]) << 16;
        group |= n > 1 ? static_cast<unsigned long>(bytes[i + 1]) << 8 : 0;
        group |= n > 2 ? static_cast<unsigned long>(bytes[i + 2]) : 0;
        for (size_t d = 0; d < 4; ++d) {
            text += d <= n ? digits[(group >> (18 - 6 * d)) & 63] : '=';
        }
    }
    return text;
}

std::string pngDataUrl(const cv::Mat& picture) {
    std::vector<unsigned char> png;
    cv::imencode(".png", picture, png);
    return "data:image/png;base64," + base64(png);
}

// The three windows' pictures and the geometric values, for the page.
void addPictures(Json& json, const LeafPictures& pictures) {
    if (pictures.working.empty()) {
        return;
    }
    json["pictures"] = {{"measured", pngDataUrl(pictures.working)},
                        {"silhouette", pngDataUrl(pictures.binary)},
                        {"outline", pngDataUrl(pictures.contours)}};
    const char* const names[] = {"perimeter", "area", "diameter", "width"};
    Json geometry = Json::object();
    for (size_t g = 0; g < pictures.geometric.size() && g < 4; ++g) {
        geometry[names[g]] = pictures.geometric[g];
    }
    json["geometry"] = geometry;
}

// Receives the photo into file: the body, or the form field "photo" (else the form's first
// part). False when the body could not be read.
bool receivePhoto(const httplib::Request& req, const httplib::ContentReader& reader,
                  PhotoFile& file) {
    bool written = true;
    auto keep = [&](const char* data, size_t count) {
        written = written && file.size + count <= maxPhotoBytes && appendBytes(file, data, count);
        return written;
    };
    if (!req.is_multipart_form_data()) {
        return reader(keep) && written;
    }
    int part = -1;
    int chosen = -1;
    bool named = false;
    const bool read = reader(
        [&](const httplib::MultipartFormData& header) {
            ++part;
            if (!named && (header.name == "photo" || chosen < 0)) {
                chosen = part;
                named = header.name == "photo";
                clearBytes(file);
            }
            return true;
        },
        [&](const char* data, size_t count) { return part != chosen || keep(data, count); });
    return read && written;
}

void identify(Service& service, const httplib::Request& req, httplib::Response& res,
              const httplib::ContentReader& reader) {
    PhotoFile file = makePhotoFile();
    if (file.descriptor < 0) {
        answerJson(res, 503, {{"error", "The server has no room for the photo right now."}});
        res.set_header("Retry-After", "1");
        return;
    }
    const bool received = receivePhoto(req, reader, file);
    if (!received || file.size == 0) {
        release(file);
        answerJson(res, 400,
                   {{"error", received ? "The request holds no photo."
                                       : "The photo could not be received whole."}});
        return;
    }
    LeafPictures pictures;
    const bool withPictures = req.get_param_value("pictures") != "no";
    Identification identification;
    {
        NetworkLease lease(service.pool);
        identification =
            identifyLeaf(lease.network(), file.path, false, withPictures ? &pictures : nullptr);
    }
    release(file);
    Json json = identificationJson(identification);
    if (withPictures) {
        addPictures(json, pictures);
    }
    if (identification.verdict == LeafVerdict::UnreadableImage) {
        json["error"] =
            "This file is not a picture leafid can read (JPEG, PNG, TIFF, WebP, BMP, PNM, HEIC or "
            "AVIF).";
        answerJson(res, 415, json);
        return;
    }
    answerJson(res, 200, json);
}

// Paths are decoded from the request line, so a hostile one may hold line breaks.
std::string printable(const std::string& text) {
    std::string shown;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            shown += escaped;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

// time address method path status bytes milliseconds
void logRequest(Service& service, const httplib::Request& req, const httplib::Response& res) {
    const auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - requestStart).count();
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char time[32];
    std::strftime(time, sizeof time, "%Y-%m-%dT%H:%M:%SZ", &utc);
    std::ostringstream line;
    line << time << " " << req.remote_addr << " " << printable(req.method) << " "
         << printable(req.path) << " " << res.status << " " << res.body.size() << " "
         << milliseconds << "ms\n";
    std::lock_guard<std::mutex> lock(service.logMutex);
    std::cerr << line.str() << std::flush;
}

// After a refusal or a request that could not be read, what follows on the connection cannot be
// trusted to start a request.
void closeAfterError(const httplib::Response& res) {
    closeAfterResponse = closeAfterResponse || (res.status >= 400 && res.status != 404);
}

void route(Service& service, httplib::Server& http) {
    // A client that waits for "100 Continue" is refused before it sends the body at all.
    http.set_expect_100_continue_handler([&](const httplib::Request& req, httplib::Response& res) {
        return admit(service, req, res) ? 100 : res.status;
    });
    http.set_pre_routing_handler([&](const httplib::Request& req, httplib::Response& res) {
        return admit(service, req, res) ? httplib::Server::HandlerResponse::Unhandled
                                        : httplib::Server::HandlerResponse::Handled;
    });
    http.Get("/", [](const httplib::Request&, httplib::Response& res) {
        // The page needs nothing from elsewhere, and may fetch nothing from elsewhere.
        res.set_header("Content-Security-Policy",
                       "default-src 'none'; script-src 'unsafe-inline'; style-src "
                       "'unsafe-inline'; img-src data:; connect-src 'self'");
        res.set_content(pageHtml(), "text/html; charset=utf-8");
    });
    http.Get("/api/health", [&](const httplib::Request&, httplib::Response& res) {
        int requests = 0;
        {
            std::lock_guard<std::mutex> lock(service.admission.mutex);
            requests = service.admission.requests;
        }
        answerJson(res, 200,
                   {{"status", "ok"},
                    {"version", LEAFID_VERSION},
                    {"network", service.options.networkFile},
                    {"inputs", service.inputs},
                    {"outputs", service.outputs},
                    {"threads", service.options.threads},
                    {"queue", service.options.queue},
                    {"photos_in_progress", requests}});
    });
    // Read through a content reader: the library would hold the whole body itself, and refuse
    // a photo sent as a plain form (curl's default) beyond 8 KiB.
    http.Post("/api/identify", [&](const httplib::Request& req, httplib::Response& res,
                                   const httplib::ContentReader& reader) {
        try {
            identify(service, req, res, reader);
        } catch (const std::exception&) {
            answerJson(res, 500, {{"error", "The server failed on this photo."}});
        }
    });
    http.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.status != 404) {
            res.set_header("Connection", "close");
        }
        if (res.body.empty()) {
            const std::string message =
                res.status == 404   ? "There is no such page."
                : res.status == 413 ? "The photo is larger than " + megabytes(maxPhotoBytes) + "."
                                    : "The request could not be read.";
            answerJson(res, res.status, {{"error", message}});
        }
    });
    http.set_logger([&](const httplib::Request& req, const httplib::Response& res) {
        logRequest(service, req, res);
        closeAfterError(res);
    });
}

// Loads the network once and copies it for each worker. Empty when ready, else why not.
std::string loadNetworks(Service& service) {
    NeuralNetwork network;
    const std::string fault =
        loadFittingNetwork(network, service.options.networkFile, leafValueCount, answerCount);
    if (!fault.empty()) {
        return fault;
    }
    service.inputs = inputCount(network);
    service.outputs = network.outputLayer.size();
    for (int t = 0; t < service.options.threads; ++t) {
        service.pool.networks.push_back(copyOf(network));
    }
    for (NeuralNetwork& copy : service.pool.networks) {
        service.pool.idle.push_back(&copy);
    }
    return "";
}

// A received photo is read back through /proc/self/fd; without /proc no photo could be read.
bool memoryFilesReadable() {
    PhotoFile probe = makePhotoFile();
    const bool readable = appendBytes(probe, "probe", 5) && fileExists(probe.path);
    release(probe);
    return readable;
}

// Every connection has a thread and a socket; the soft limit on open files must allow them.
void allowConnections() {
    rlimit files{};
    const rlim_t wanted = 2 * maxConnections + 64;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < wanted) {
        files.rlim_cur = std::min(wanted, files.rlim_max);
        setrlimit(RLIMIT_NOFILE, &files);
    }
}

}  // namespace

bool parseListenAddress(const std::string& text, std::string& host, int& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        return false;
    }
    std::string address = text.substr(0, colon);
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
        address = address.substr(1, address.size() - 2);
    }
    const std::optional<long long> number = parseInteger(text.substr(colon + 1), 0, 65535);
    if (!number || text.substr(colon + 1).find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    host = address.empty() ? "0.0.0.0" : address;
    port = static_cast<int>(*number);
    return true;
}

int runServer(const ServeOptions& options) {
    // The stop signals are taken by one thread that waits for them; every other thread, the
    // connections' included, is started with them blocked.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);  // a client that hangs up must not end the server

    Service service;
    service.options = options;
    service.admission.maxRequests = options.threads + options.queue;
    const std::string fault = loadNetworks(service);
    if (!fault.empty()) {
        std::cerr << "leafid-serve: " << fault << std::endl;
        return exitBadUsage;
    }
    if (!memoryFilesReadable()) {
        std::cerr << "leafid-serve: received photos cannot be read back (is /proc mounted?)"
                  << std::endl;
        return exitFailure;
    }
    allowConnections();

    BoundedServer http(service.admission);
    http.new_task_queue = [] { return new httplib::ThreadPool(maxConnections); };
    http.set_payload_max_length(maxPhotoBytes);
    http.set_keep_alive_max_count(1000);
    route(service, http);
    const int port = options.port == 0
                         ? http.bind_to_any_port(options.host)
                         : (http.bind_to_port(options.host, options.port) ? options.port : -1);
    http.widenBacklog();
    if (port < 0) {
        std::cerr << "leafid-serve: cannot listen on " << options.listenedText << std::endl;
        return exitFailure;
    }
    const bool bracketed = options.host.find(':') != std::string::npos;
    std::cerr << "leafid-serve: listening on http://"
              << (bracketed ? "[" + options.host + "]" : options.host) << ":" << port << "/ ("
              << options.threads << " thread" << (options.threads == 1 ? "" : "s") << ", network "
              << options.networkFile << ")" << std::endl;

    std::atomic<bool> stopping{false};
    std::thread waiter([&] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        if (!stopping.exchange(true)) {
            std::lock_guard<std::mutex> lock(service.logMutex);
            std::cerr << "leafid-serve: stopping after the requests under way" << std::endl;
        }
        http.stop();
    });
    http.listen_after_bind();
    if (!stopping.exchange(true)) {
        pthread_kill(waiter.native_handle(), SIGTERM);  // wakes the waiter, which then ends
    }
    waiter.join();
    std::cerr << "leafid-serve: stopped" << std::endl;
    return exitSuccess;
}
