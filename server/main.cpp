#include <iostream>
#include <thread>

#include "cli.hpp"
#include "network_file.hpp"
#include "serve.hpp"

namespace {

const char* const usage =
    "Usage: leafid-serve [options]\n"
    "\n"
    "Serves leafid over HTTP: a web page that a phone or a browser sends a leaf photo to, and\n"
    "a JSON API. Each photo is measured and named exactly as leafid does it.\n"
    "\n"
    "The page is at /. Photos go to POST /api/identify, as the request body or as the form\n"
    "field 'photo', which answers JSON (?pictures=no leaves out the three pictures).\n"
    "GET /api/health answers the server's state as JSON.\n"
    "\n"
    "Options:\n"
    "  --listen ADDRESS:PORT  where to listen (default 127.0.0.1:8080, this machine only);\n"
    "                         0.0.0.0:8080 lets every machine that reaches this one send\n"
    "                         photos, a phone on the same network included\n"
    "  --network FILE         network file (default: nn.dat, from the working directory if\n"
    "                         it has one, else the one installed with leafid)\n"
    "  --threads N            photos measured at once (default: one per processor core)\n"
    "  --queue N              photos received or waiting beyond those before the server\n"
    "                         answers 503 (default 64)\n"
    "  -h, --help             show this help\n"
    "  --version              show the version\n"
    "\n"
    "One line per request goes to standard error: time, address, method, path, status, bytes\n"
    "and milliseconds. SIGINT or SIGTERM ends the server after the requests under way.\n"
    "\n"
    "Exit codes: 0 stopped by a signal, 1 cannot listen, 2 bad usage or a network file leafid\n"
    "would refuse.\n";

}  // namespace

int main(int argc, char** argv) {
    const Arguments arguments = parseArguments(argc, argv,
                                               {{"--listen", "", true},
                                                {"--network", "", true},
                                                {"--threads", "", true},
                                                {"--queue", "", true}});
    if (const std::optional<int> done = answerWithoutWork(arguments, "leafid-serve", usage)) {
        return *done;
    }
    if (!arguments.positional.empty()) {
        return reportBadUsage("leafid-serve",
                              "unexpected argument '" + arguments.positional[0] + "'");
    }
    ServeOptions options;
    const unsigned cores = std::thread::hardware_concurrency();
    options.threads = cores > 0 ? static_cast<int>(cores) : 1;
    options.networkFile = defaultNetworkFile();
    options.listenedText = "127.0.0.1:8080";
    for (const auto& [name, value] : arguments.values) {
        if (name == "--listen") {
            options.listenedText = value;
            if (!parseListenAddress(value, options.host, options.port)) {
                return reportBadUsage("leafid-serve",
                                      "--listen needs ADDRESS:PORT, not '" + value + "'");
            }
        } else if (name == "--network") {
            options.networkFile = value;
        } else {
            const std::optional<long long> number =
                parseInteger(value, name == "--threads" ? 1 : 0, 1024);
            if (!number) {
                return reportBadUsage("leafid-serve", name + " needs a whole number from " +
                                                          (name == "--threads" ? "1" : "0") +
                                                          " to 1024");
            }
            (name == "--threads" ? options.threads : options.queue) = static_cast<int>(*number);
        }
    }
    return runServer(options);
}
