#include "connection.hpp"

#include <algorithm>
#include <cstring>
#include <sstream>

ssize_t ExchangeStream::read(char* data, size_t size) {
    const std::string& head = exchange_.head;
    if (headRead_ < head.size()) {
        const size_t count = std::min(size, head.size() - headRead_);
        std::memcpy(data, head.data() + headRead_, count);
        headRead_ += count;
        return static_cast<ssize_t>(count);
    }
    std::deque<std::string>& body = exchange_.body;
    if (body.empty()) {
        return 0;
    }
    const size_t count = std::min(size, body.front().size() - chunkRead_);
    std::memcpy(data, body.front().data() + chunkRead_, count);
    chunkRead_ += count;
    if (chunkRead_ == body.front().size()) {
        body.pop_front();  // a photo is held once: its memory file takes what is read here
        chunkRead_ = 0;
    }
    return static_cast<ssize_t>(count);
}

ssize_t ExchangeStream::write(const char* data, size_t size) {
    exchange_.answer.append(data, size);
    return static_cast<ssize_t>(size);
}

void ExchangeStream::get_remote_ip_and_port(std::string& ip, int& port) const {
    ip = exchange_.peerAddress;
    port = exchange_.peerPort;
}

void ExchangeStream::get_local_ip_and_port(std::string& ip, int& port) const {
    ip = exchange_.localAddress;
    port = exchange_.localPort;
}

namespace {

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    const size_t last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

bool namedLine(const std::string& line, const std::string& name) {
    return line.size() > name.size() && line[name.size()] == ':' &&
           std::equal(name.begin(), name.end(), line.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

}  // namespace

bool parseHead(const std::string& head, httplib::Request& request) {
    std::istringstream lines(head);
    std::string line;
    std::getline(lines, line);
    std::istringstream words(line);
    std::string target;
    if (!(words >> request.method >> target >> request.version)) {
        return false;
    }
    request.path = httplib::detail::decode_url(target.substr(0, target.find('?')), false);
    while (std::getline(lines, line)) {
        const size_t colon = line.find(':');
        if (colon != std::string::npos && colon > 0) {
            request.headers.emplace(line.substr(0, colon), trimmed(line.substr(colon + 1)));
        }
    }
    return true;
}

std::string withoutHeader(const std::string& head, const std::string& name) {
    std::string kept;
    for (size_t start = 0; start < head.size();) {
        const size_t end = std::min(head.find('\n', start), head.size() - 1) + 1;
        const std::string line = head.substr(start, end - start);
        if (!namedLine(line, name)) {
            kept += line;
        }
        start = end;
    }
    return kept;
}
