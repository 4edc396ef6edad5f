// The socket of one connection as httplib reads it, within bounds httplib does not set itself:
// it reads a request line or a header line of any length into memory, and a client may trickle
// bytes for as long as it likes.
#pragma once

#include <httplib.h>

#include <chrono>

// The most bytes of a request line and its headers together.
constexpr size_t maxRequestHeadBytes = 64 * 1024;

// How long a request may take to arrive: its head within the first term, its body at no less
// than the rate of the second.
constexpr std::chrono::seconds requestHeadTime{30};
constexpr size_t minimumUploadBytesPerSecond = 16 * 1024;

class BoundedSocketStream : public httplib::Stream {
  public:
    BoundedSocketStream(int socket, std::chrono::milliseconds readTimeout,
                        std::chrono::milliseconds writeTimeout);

    // A new request starts: its head may take maxRequestHeadBytes and requestHeadTime.
    void startRequest();
    // The request's body of bodyBytes was admitted: allow it and the time to send it.
    void allowBody(size_t bodyBytes);
    // Bytes already received and not yet read, or readable within timeout.
    bool waitReadable(std::chrono::milliseconds timeout) const;

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* data, size_t size) override;
    ssize_t write(const char* data, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    int socket() const override { return socket_; }

  private:
    int socket_;
    std::chrono::milliseconds readTimeout_;
    std::chrono::milliseconds writeTimeout_;
    size_t budget_ = 0;
    std::chrono::steady_clock::time_point deadline_;
    char buffer_[16384];
    size_t buffered_ = 0;  // bytes in buffer_ from position read_
    size_t position_ = 0;
};
