#include "connection.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

bool waitFor(int socket, short events, std::chrono::milliseconds timeout) {
    pollfd entry{socket, events, 0};
    const int ready = poll(&entry, 1, static_cast<int>(timeout.count()));
    return ready > 0 && (entry.revents & (events | POLLHUP | POLLERR)) != 0;
}

void addressOf(const sockaddr_storage& address, std::string& ip, int& port) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        port = ntohs(v6.sin6_port);
    } else if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
        port = ntohs(v4.sin_port);
    }
    ip = text;
}

}  // namespace

BoundedSocketStream::BoundedSocketStream(int socket, std::chrono::milliseconds readTimeout,
                                         std::chrono::milliseconds writeTimeout)
    : socket_(socket), readTimeout_(readTimeout), writeTimeout_(writeTimeout) {
    startRequest();
}

void BoundedSocketStream::startRequest() {
    budget_ = maxRequestHeadBytes;
    deadline_ = std::chrono::steady_clock::now() + requestHeadTime;
}

void BoundedSocketStream::allowBody(size_t bodyBytes) {
    budget_ += bodyBytes;
    deadline_ += std::chrono::seconds(bodyBytes / minimumUploadBytesPerSecond);
}

bool BoundedSocketStream::waitReadable(std::chrono::milliseconds timeout) const {
    return position_ < buffered_ || waitFor(socket_, POLLIN, timeout);
}

bool BoundedSocketStream::is_readable() const {
    return waitReadable(readTimeout_);
}

bool BoundedSocketStream::is_writable() const {
    return waitFor(socket_, POLLOUT, writeTimeout_);
}

ssize_t BoundedSocketStream::read(char* data, size_t size) {
    if (budget_ == 0 || std::chrono::steady_clock::now() > deadline_) {
        return -1;
    }
    if (position_ == buffered_) {
        // Most reads find bytes waiting: poll only when there are none.
        ssize_t received = recv(socket_, buffer_, sizeof buffer_, MSG_DONTWAIT);
        if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!is_readable()) {
                return -1;
            }
            received = recv(socket_, buffer_, sizeof buffer_, 0);
        }
        if (received <= 0) {
            return received;
        }
        buffered_ = static_cast<size_t>(received);
        position_ = 0;
    }
    const size_t count = std::min({size, buffered_ - position_, budget_});
    std::memcpy(data, buffer_ + position_, count);
    position_ += count;
    budget_ -= count;
    return static_cast<ssize_t>(count);
}

ssize_t BoundedSocketStream::write(const char* data, size_t size) {
    if (!is_writable()) {
        return -1;
    }
    return send(socket_, data, size, MSG_NOSIGNAL);
}

void BoundedSocketStream::get_remote_ip_and_port(std::string& ip, int& port) const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getpeername(socket_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        addressOf(address, ip, port);
    }
}

void BoundedSocketStream::get_local_ip_and_port(std::string& ip, int& port) const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        addressOf(address, ip, port);
    }
}
