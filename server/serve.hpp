// leafid-serve: the leaf identifier as a web page and a JSON API.
#pragma once

#include <cstddef>
#include <string>

// The largest photo accepted: 64 MiB, far over any phone photo. Larger ones are refused from
// their Content-Length, before a byte of them is read.
constexpr size_t maxPhotoBytes = size_t{64} << 20;

// The most bytes of photos being received or measured at once: received bodies are held in
// memory, so this and the decoder's own limit per photo bound the server's memory.
constexpr size_t maxPendingPhotoBytes = size_t{256} << 20;

struct ServeOptions {
    std::string host = "127.0.0.1";
    int port = 8080;           // 0: any free port (the log's first line names it)
    std::string networkFile;   // the network to read
    int threads = 1;           // photos measured at once
    int queue = 64;            // photos received or waiting beyond those; more get 503
    std::string listenedText;  // for the log: what --listen said
};

// "ADDRESS:PORT", "[IPv6]:PORT" or ":PORT" (all addresses); false when text is none of these.
bool parseListenAddress(const std::string& text, std::string& host, int& port);

// Serves until SIGINT or SIGTERM, then finishes the requests under way. Returns 0 then, 1 when
// it cannot listen (the port is taken, by another leafid-serve too), 2 when the network is
// refused (its line on standard error).
int runServer(const ServeOptions& options);
