#include "serve.hpp"

#include <httplib.h>
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <ctime>
#include <iostream>
#include <mutex>
#include <opencv2/imgcodecs.hpp>
#include <sstream>

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
    copy.calibration = network.calibration;
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

// The request being answered by this thread, the front's or a worker's.
thread_local Exchange* current = nullptr;

void releaseAdmission(Admission& admission, Exchange& exchange) {
    if (!exchange.admitted) {
        return;
    }
    std::lock_guard<std::mutex> lock(admission.mutex);
    admission.requests -= 1;
    admission.bytes -= exchange.admittedBytes;
    exchange.admitted = false;
}

// A connection is closed after this many requests (httplib names it in its Keep-Alive header).
constexpr size_t maxRequestsPerConnection = 1000;

// httplib's server used for what it does well: reading one request, routing it and writing the
// answer. The front does the listening, the connections and the deadlines.
class Router : public httplib::Server {
  public:
    Router() { set_keep_alive_max_count(maxRequestsPerConnection); }

    // Answers the request in the exchange into it; false when it held no request.
    bool answer(Exchange& exchange, bool& closed) {
        ExchangeStream stream(exchange);
        return process_request(stream, exchange.number >= maxRequestsPerConnection, closed,
                               nullptr);
    }
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
    current->close = true;
}

std::string megabytes(size_t bytes) {
    return std::to_string(bytes >> 20) + " MiB";
}

struct Refusal {
    int status;
    std::string message;
};

// Two Content-Length headers (or one listing two numbers) that differ: which one ends the body
// is the client's secret, and a request could hide behind the photo.
bool lengthsDisagree(const httplib::Request& req) {
    std::string first;
    for (auto [at, end] = req.headers.equal_range("Content-Length"); at != end; ++at) {
        std::istringstream values(at->second);
        for (std::string value; std::getline(values, value, ',');) {
            value.erase(0, value.find_first_not_of(" \t"));
            value.erase(value.find_last_not_of(" \t") + 1);
            if (first.empty()) {
                first = value;
            } else if (value != first) {
                return true;
            }
        }
    }
    return false;
}

// Why a request is refused from its head alone, if it is; a photo may still find no room.
std::optional<Refusal> refusalOf(const httplib::Request& req) {
    if (lengthsDisagree(req)) {
        return Refusal{400, "The request could not be read."};
    }
    if (req.method == "GET" || req.method == "HEAD") {
        return std::nullopt;
    }
    if (req.method != "POST") {
        return Refusal{405, "Only GET and POST are answered here."};
    }
    if (req.path != "/api/identify") {
        return Refusal{404, "There is nothing to post to here; photos go to /api/identify."};
    }
    const std::optional<long long> length = parseInteger(req.get_header_value("Content-Length"), 0,
                                                         std::numeric_limits<long long>::max());
    if (req.has_header("Transfer-Encoding") || !length) {
        return Refusal{411, "The photo must be sent with its length (Content-Length)."};
    }
    if (static_cast<unsigned long long>(*length) > maxPhotoBytes) {
        return Refusal{413, "The photo is larger than " + megabytes(maxPhotoBytes) + "."};
    }
    const std::string encoding = req.get_header_value("Content-Encoding");
    if (!encoding.empty() && encoding != "identity") {
        // A compressed body could unpack to any size; photos are compressed already.
        return Refusal{415, "Compressed uploads are not accepted; send the photo as it is."};
    }
    return std::nullopt;
}

// The front's decision on a complete head: a photo is admitted, and its body received, while
// fewer than threads + queue photos and less than maxPendingPhotoBytes are in flight. Everything
// else is answered from the head alone.
bool admitPhoto(Service& service, Exchange& exchange) {
    httplib::Request req;
    if (!parseHead(exchange.head, req)) {
        return false;
    }
    // A body left unread must not be taken for the next request.
    exchange.close =
        req.has_header("Transfer-Encoding") ||
        (req.has_header("Content-Length") && req.get_header_value("Content-Length") != "0");
    if (req.method != "POST" || refusalOf(req)) {
        return false;
    }
    const size_t bytes = std::stoull(req.get_header_value("Content-Length"));
    Admission& admission = service.admission;
    {
        std::lock_guard<std::mutex> lock(admission.mutex);
        if (admission.requests >= admission.maxRequests ||
            admission.bytes + bytes > maxPendingPhotoBytes) {
            return false;
        }
        admission.requests += 1;
        admission.bytes += bytes;
    }
    exchange.admitted = true;
    exchange.admittedBytes = bytes;
    exchange.close = false;
    if (req.get_header_value("Expect") == "100-continue") {
        // The front says "100 Continue" itself, before it receives the body.
        exchange.sendContinue = true;
        exchange.head = withoutHeader(exchange.head, "Expect");
    }
    return true;
}

// Decides on a request from its headers alone, as httplib reads them. True when it may go on;
// otherwise res holds the refusal.
bool admit(const httplib::Request& req, httplib::Response& res) {
    if (current->admitted) {
        return true;
    }
    if (const std::optional<Refusal> refusal = refusalOf(req)) {
        refuse(res, refusal->status, refusal->message);
        return false;
    }
    if (req.method == "GET" || req.method == "HEAD") {
        return true;
    }
    refuse(res, 503, "The server is busy; please try again in a moment.");
    res.set_header("Retry-After", "1");
    return false;
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
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - current->start)
            .count();
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
    current->close = current->close || (res.status >= 400 && res.status != 404);
}

void route(Service& service, httplib::Server& http) {
    // A client that waits for "100 Continue" is refused before it sends the body at all.
    http.set_expect_100_continue_handler([&](const httplib::Request& req, httplib::Response& res) {
        return admit(req, res) ? 100 : res.status;
    });
    http.set_pre_routing_handler([&](const httplib::Request& req, httplib::Response& res) {
        return admit(req, res) ? httplib::Server::HandlerResponse::Unhandled
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

// Answers the exchange through httplib, on the thread at hand.
void answerExchange(Router& router, Exchange& exchange) {
    current = &exchange;
    bool closed = false;
    bool answered = false;
    try {
        answered = router.answer(exchange, closed);
    } catch (const std::exception&) {
        exchange.answer.clear();  // out of memory outside a handler: the client is let go
    }
    current = nullptr;
    exchange.close =
        exchange.close || !answered || closed || exchange.number >= maxRequestsPerConnection;
}

// A head that passed its budget: answered, logged and the connection closed, without the
// rest of it ever being read.
void refuseHead(Service& service, Exchange& exchange, int status) {
    const bool lineTooLong = status == 414;
    const std::string body =
        Json{{"error", lineTooLong ? "The request line is longer than 64 KiB."
                                   : "The request's headers are longer than 64 KiB."}}
            .dump();
    exchange.answer = "HTTP/1.1 " + std::to_string(status) +
                      (lineTooLong ? " URI Too Long" : " Request Header Fields Too Large") +
                      "\r\nConnection: close\r\nContent-Type: application/json\r\n"
                      "Content-Length: " +
                      std::to_string(body.size()) + "\r\n\r\n" + body;
    exchange.close = true;
    // The log names what it can of the request: its method and the start of its path.
    const std::string line = exchange.head.substr(0, exchange.head.find('\n'));
    httplib::Request req;
    req.remote_addr = exchange.peerAddress;
    std::istringstream words(line.substr(0, 1024));
    words >> req.method >> req.path;
    httplib::Response res;
    res.status = status;
    res.body = body;
    current = &exchange;
    logRequest(service, req, res);
    current = nullptr;
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
    int port = options.port;
    const int listener = listenOn(options.host, port);
    if (listener < 0) {
        std::cerr << "leafid-serve: cannot listen on " << options.listenedText << std::endl;
        return exitFailure;
    }
    const bool bracketed = options.host.find(':') != std::string::npos;
    std::cerr << "leafid-serve: listening on http://"
              << (bracketed ? "[" + options.host + "]" : options.host) << ":" << port << "/ ("
              << options.threads << " thread" << (options.threads == 1 ? "" : "s") << ", network "
              << options.networkFile << ")" << std::endl;

    Router router;
    router.set_payload_max_length(maxPhotoBytes);
    route(service, router);
    FrontHandlers handlers;
    handlers.admit = [&](Exchange& exchange) { return admitPhoto(service, exchange); };
    handlers.answer = [&](Exchange& exchange) { answerExchange(router, exchange); };
    handlers.release = [&](Exchange& exchange) { releaseAdmission(service.admission, exchange); };
    handlers.refuseHead = [&](Exchange& exchange, int status) {
        refuseHead(service, exchange, status);
    };
    handlers.stopping = [&] {
        std::lock_guard<std::mutex> lock(service.logMutex);
        std::cerr << "leafid-serve: stopping after the requests under way" << std::endl;
    };
    runFront(listener, options.threads, stopSignals, handlers);
    std::cerr << "leafid-serve: stopped" << std::endl;
    return exitSuccess;
}
