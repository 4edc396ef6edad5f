// One request as httplib reads and answers it: from the bytes the front received, into bytes
// the front sends. httplib parses, routes and writes; it never touches a socket here, so a
// worker that answers a photo never waits for a client.
#pragma once

#include <httplib.h>

#include "front.hpp"

class ExchangeStream : public httplib::Stream {
  public:
    explicit ExchangeStream(Exchange& exchange) : exchange_(exchange) {}

    bool is_readable() const override { return true; }
    bool is_writable() const override { return true; }
    // The head, then the body as received; 0 at its end, so a body that came short fails.
    ssize_t read(char* data, size_t size) override;
    ssize_t write(const char* data, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    int socket() const override { return -1; }

  private:
    Exchange& exchange_;
    size_t headRead_ = 0;
    size_t chunkRead_ = 0;
};

// The request line and headers of a head, as httplib would read them (method, decoded path,
// headers; not the query). False when it is no request line.
bool parseHead(const std::string& head, httplib::Request& request);

// The head without its header lines named name (any case).
std::string withoutHeader(const std::string& head, const std::string& name);
