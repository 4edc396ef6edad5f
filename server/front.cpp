#include "front.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t largestConnectionCount = 8192;
constexpr size_t smallHeadBytes = 4096;
constexpr size_t bodyChunkBytes = size_t{1} << 20;
constexpr std::chrono::milliseconds tick{100};
// Closing a socket with bytes unread resets the connection, and the client may lose the answer
// before it reads it: so after an answer that closes, up to this much is read and dropped first.
constexpr std::chrono::seconds lingerTime{2};
constexpr size_t lingerBytes = size_t{1} << 20;

enum class Phase {
    Waiting,  // for the first byte of a request
    Head,     // receiving a request head
    Body,     // receiving an admitted photo
    Working,  // a worker answers it; the front does not touch the socket
    Writing,  // sending the answer
    Closing,  // answered and shut for sending: what the client still sends is read and dropped
};

struct Connection {
    int socket = -1;
    Phase phase = Phase::Waiting;
    std::string input;   // received and not yet part of an answered request
    size_t scanned = 0;  // bytes of input searched for the end of the head
    Exchange exchange;
    size_t bodyMissing = 0;
    Clock::time_point deadline;
    Clock::time_point lastByte;
    size_t written = 0;
    size_t served = 0;
    bool watched = false;
    std::string peerAddress, localAddress;
    int peerPort = 0, localPort = 0;
};

void addressOf(const sockaddr_storage& address, std::string& text, int& port) {
    char buffer[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &v6.sin6_addr, buffer, sizeof buffer);
        port = ntohs(v6.sin6_port);
    } else if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &v4.sin_addr, buffer, sizeof buffer);
        port = ntohs(v4.sin_port);
    }
    text = buffer;
}

// The status of a head that has passed maxRequestHeadBytes without its end: its request line
// alone is too long (414), or its headers (431).
int oversizedHeadStatus(const std::string& input) {
    const size_t lineEnd = input.find('\n');
    return lineEnd == std::string::npos || lineEnd >= maxRequestHeadBytes ? 414 : 431;
}

class Front {
  public:
    Front(int listener, int workers, const sigset_t& stopSignals, const FrontHandlers& handlers)
        : listener_(listener), handlers_(handlers), limit_(connectionLimit(workers)) {
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        signals_ = signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC);
        wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        for (int fd : {listener_, signals_, wake_}) {
            epoll_event event{EPOLLIN, {}};
            event.data.fd = fd;
            epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
        }
        for (int w = 0; w < workers; ++w) {
            workers_.emplace_back([this] { work(); });
        }
    }

    ~Front() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ending_ = true;
        }
        queued_.notify_all();
        for (std::thread& worker : workers_) {
            worker.join();
        }
        for (int fd : {epoll_, signals_, wake_}) {
            close(fd);
        }
    }

    void run() {
        Clock::time_point lastCheck = Clock::now();
        std::vector<epoll_event> events(256);
        while (!stopping_ || !connections_.empty()) {
            const int count = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()),
                                         static_cast<int>(tick.count()));
            for (int e = 0; e < count; ++e) {
                dispatch(events[static_cast<size_t>(e)]);
            }
            if (Clock::now() - lastCheck >= tick) {
                lastCheck = Clock::now();
                checkDeadlines(lastCheck);
            }
        }
    }

  private:
    void dispatch(const epoll_event& event) {
        const int fd = event.data.fd;
        if (fd == listener_) {
            acceptAll();
        } else if (fd == signals_) {
            signalfd_siginfo info{};
            while (read(signals_, &info, sizeof info) == sizeof info) {
            }
            stop();
        } else if (fd == wake_) {
            takeAnswers();
        } else if (auto found = connections_.find(fd); found != connections_.end()) {
            Connection& c = *found->second;
            if (c.phase == Phase::Writing) {
                sendAnswer(c);
            } else if (c.phase == Phase::Closing) {
                drop(c);
            } else if (c.phase != Phase::Working) {
                receive(c);
            }
        }
    }

    // --- connections ---

    void acceptAll() {
        for (int n = 0; n < 64 && !stopping_ && connections_.size() < limit_; ++n) {
            sockaddr_storage address{};
            socklen_t length = sizeof address;
            const int socket = accept4(listener_, reinterpret_cast<sockaddr*>(&address), &length,
                                       SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (socket < 0) {
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                    // Out of files or memory: let the waiting connections wait a moment.
                    pauseAccepting(Clock::now() + tick);
                }
                break;
            }
            auto connection = std::make_unique<Connection>();
            Connection& c = *connection;
            c.socket = socket;
            addressOf(address, c.peerAddress, c.peerPort);
            length = sizeof address;
            if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
                addressOf(address, c.localAddress, c.localPort);
            }
            // An answer leaves in pieces (head, body): without this each piece after the first
            // would wait for the client's delayed acknowledgement, some 40 ms.
            const int on = 1;
            setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            connections_.emplace(socket, std::move(connection));
            waitForRequest(c, Clock::now());
        }
        if (connections_.size() >= limit_) {
            pauseAccepting(Clock::time_point::max());
        }
    }

    void pauseAccepting(Clock::time_point until) {
        if (acceptingAgain_ == Clock::time_point::min()) {
            epoll_ctl(epoll_, EPOLL_CTL_DEL, listener_, nullptr);
        }
        acceptingAgain_ = until;
    }

    // Accepts again after a pause: once below the limit, and for a pause for lack of files or
    // memory, once it is over.
    void resumeAccepting(Clock::time_point now) {
        const bool paused = acceptingAgain_ != Clock::time_point::min();
        if (paused && !stopping_ && connections_.size() < limit_ &&
            (acceptingAgain_ == Clock::time_point::max() || now >= acceptingAgain_)) {
            epoll_event event{EPOLLIN, {}};
            event.data.fd = listener_;
            epoll_ctl(epoll_, EPOLL_CTL_ADD, listener_, &event);
            acceptingAgain_ = Clock::time_point::min();
        }
    }

    void watch(Connection& c, uint32_t events) {
        if (events == 0) {
            if (c.watched) {
                epoll_ctl(epoll_, EPOLL_CTL_DEL, c.socket, nullptr);
                c.watched = false;
            }
            return;
        }
        epoll_event event{events, {}};
        event.data.fd = c.socket;
        epoll_ctl(epoll_, c.watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, c.socket, &event);
        c.watched = true;
    }

    void closeConnection(Connection& c) {
        if (c.phase == Phase::Body) {
            // A photo that did not arrive whole is answered all the same (and logged).
            takeInput(c, c.input.size());
            handlers_.answer(c.exchange);
            send(c.socket, c.exchange.answer.data(), c.exchange.answer.size(),
                 MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        handlers_.release(c.exchange);
        takeInput(c, c.input.size());
        watch(c, 0);
        const int socket = c.socket;
        close(socket);
        connections_.erase(socket);  // c is gone
        resumeAccepting(Clock::now());
    }

    // --- receiving ---

    void appendInput(Connection& c, const char* data, size_t count) {
        c.input.append(data, count);
        headBytes_ += count;
    }

    void takeInput(Connection& c, size_t count) {
        c.input.erase(0, count);
        headBytes_ -= count;
        c.scanned = 0;
        if (c.input.empty() && c.input.capacity() > smallHeadBytes) {
            std::string().swap(c.input);
        }
    }

    void receive(Connection& c) {
        char buffer[65536];
        size_t room = sizeof buffer;
        if (c.phase == Phase::Body) {
            room = std::min(room, c.bodyMissing);
        } else {
            room = std::min(
                room, maxRequestHeadBytes + 1 - std::min(c.input.size(), maxRequestHeadBytes));
        }
        const ssize_t received = recv(c.socket, buffer, room, MSG_DONTWAIT);
        if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return;
        }
        if (received <= 0) {
            closeConnection(c);  // the client hung up
            return;
        }
        const size_t count = static_cast<size_t>(received);
        c.lastByte = Clock::now();
        if (c.phase == Phase::Body) {
            keepBody(c, buffer, count);
        } else {
            if (headBytes_ + count > maxHeadBytesHeld && c.input.size() + count > smallHeadBytes) {
                closeConnection(c);
                return;
            }
            appendInput(c, buffer, count);
        }
        advance(c);
    }

    void keepBody(Connection& c, const char* data, size_t count) {
        std::deque<std::string>& body = c.exchange.body;
        while (count > 0) {
            if (body.empty() || body.back().size() == bodyChunkBytes) {
                body.emplace_back();
                body.back().reserve(std::min(bodyChunkBytes, c.bodyMissing));
            }
            const size_t n = std::min(count, bodyChunkBytes - body.back().size());
            body.back().append(data, n);
            data += n;
            count -= n;
            c.bodyMissing -= n;
        }
    }

    // Takes the connection as far as its received bytes allow.
    void advance(Connection& c) {
        if (c.phase == Phase::Body) {
            if (c.bodyMissing == 0) {
                startWork(c);
            }
            return;
        }
        if (c.input.empty()) {
            return;
        }
        const Clock::time_point now = Clock::now();
        if (c.phase == Phase::Waiting) {
            c.phase = Phase::Head;
            c.deadline = now + requestHeadTime;
            Exchange& exchange = c.exchange;
            exchange.start = now;
            exchange.number = c.served + 1;
            exchange.peerAddress = c.peerAddress;
            exchange.peerPort = c.peerPort;
            exchange.localAddress = c.localAddress;
            exchange.localPort = c.localPort;
        }
        const size_t end = c.input.find("\n\r\n", c.scanned < 2 ? 0 : c.scanned - 2);
        if (end == std::string::npos || end + 3 > maxRequestHeadBytes) {
            c.scanned = c.input.size();
            if (c.input.size() >= maxRequestHeadBytes) {
                c.exchange.head = c.input.substr(0, 2048);  // for the log
                handlers_.refuseHead(c.exchange, oversizedHeadStatus(c.input));
                c.exchange.close = true;
                takeInput(c, c.input.size());
                startWriting(c);
            }
            return;
        }
        Exchange& exchange = c.exchange;
        exchange.head = c.input.substr(0, end + 3);
        takeInput(c, end + 3);
        ++c.served;
        if (!handlers_.admit(exchange)) {
            handlers_.answer(exchange);
            startWriting(c);
            return;
        }
        c.phase = Phase::Body;
        c.bodyMissing = exchange.admittedBytes;
        const size_t early = std::min(c.input.size(), c.bodyMissing);
        keepBody(c, c.input.data(), early);
        takeInput(c, early);
        c.deadline = exchange.start + requestHeadTime +
                     std::chrono::seconds(exchange.admittedBytes / minimumUploadBytesPerSecond);
        if (exchange.sendContinue && c.bodyMissing > 0) {
            // Nothing else is being sent on this connection, so the line fits its buffer.
            static const char line[] = "HTTP/1.1 100 Continue\r\n\r\n";
            send(c.socket, line, sizeof line - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        advance(c);
    }

    void waitForRequest(Connection& c, Clock::time_point now) {
        c.phase = Phase::Waiting;
        c.exchange = Exchange{};
        c.deadline = now + keepAliveTime;
        c.lastByte = now;
        watch(c, EPOLLIN);
    }

    // --- answering ---

    void startWork(Connection& c) {
        c.phase = Phase::Working;
        watch(c, 0);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            todo_.push_back(&c);
        }
        queued_.notify_one();
    }

    void work() {
        for (;;) {
            Connection* c = nullptr;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                queued_.wait(lock, [&] { return ending_ || !todo_.empty(); });
                if (todo_.empty()) {
                    return;
                }
                c = todo_.front();
                todo_.pop_front();
            }
            handlers_.answer(c->exchange);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                done_.push_back(c);
            }
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = write(wake_, &one, sizeof one);
        }
    }

    void takeAnswers() {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = read(wake_, &count, sizeof count);
        std::deque<Connection*> done;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done.swap(done_);
        }
        for (Connection* c : done) {
            startWriting(*c);
        }
    }

    void startWriting(Connection& c) {
        c.phase = Phase::Writing;
        c.written = 0;
        c.lastByte = Clock::now();
        c.deadline = c.lastByte + requestHeadTime +
                     std::chrono::seconds(c.exchange.answer.size() / minimumUploadBytesPerSecond);
        c.exchange.body.clear();
        watch(c, EPOLLOUT);
        sendAnswer(c);
    }

    void sendAnswer(Connection& c) {
        const std::string& answer = c.exchange.answer;
        while (c.written < answer.size()) {
            const ssize_t sent = send(c.socket, answer.data() + c.written,
                                      answer.size() - c.written, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                return;
            }
            if (sent <= 0) {
                closeConnection(c);
                return;
            }
            c.written += static_cast<size_t>(sent);
            c.lastByte = Clock::now();
        }
        // Answers waiting for a client to take them are held as photos in flight: a client that
        // sends photos and reads nothing cannot pile them up.
        handlers_.release(c.exchange);
        if (c.exchange.close || stopping_) {
            startClosing(c);
            return;
        }
        waitForRequest(c, Clock::now());
        advance(c);  // a request sent right behind the last one
    }

    void startClosing(Connection& c) {
        takeInput(c, c.input.size());
        shutdown(c.socket, SHUT_WR);
        c.phase = Phase::Closing;
        c.deadline = Clock::now() + lingerTime;
        c.written = 0;  // now: bytes dropped
        watch(c, EPOLLIN);
        drop(c);
    }

    void drop(Connection& c) {
        char buffer[65536];
        for (;;) {
            const ssize_t received = recv(c.socket, buffer, sizeof buffer, MSG_DONTWAIT);
            if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                return;
            }
            c.written += received > 0 ? static_cast<size_t>(received) : 0;
            if (received <= 0 || c.written > lingerBytes) {
                closeConnection(c);
                return;
            }
        }
    }

    // --- time ---

    void checkDeadlines(Clock::time_point now) {
        resumeAccepting(now);
        std::vector<Connection*> late;
        for (auto& [socket, connection] : connections_) {
            Connection& c = *connection;
            const bool stalled = now - c.lastByte > stallTime;
            const bool graceOver = stopping_ && now > stopAt_;
            switch (c.phase) {
                case Phase::Waiting:
                case Phase::Head:
                    if (now > c.deadline || stalled || stopping_) {
                        late.push_back(&c);
                    }
                    break;
                case Phase::Body:
                case Phase::Writing:
                case Phase::Closing:
                    if (now > c.deadline || stalled || graceOver) {
                        late.push_back(&c);
                    }
                    break;
                case Phase::Working:
                    break;
            }
        }
        for (Connection* c : late) {
            closeConnection(*c);
        }
    }

    void stop() {
        if (stopping_) {
            return;
        }
        stopping_ = true;
        stopAt_ = Clock::now() + stopGrace;
        handlers_.stopping();
        pauseAccepting(Clock::time_point::max());
        close(listener_);
        checkDeadlines(Clock::now());
    }

    int listener_;
    const FrontHandlers& handlers_;
    const size_t limit_;
    int epoll_ = -1, signals_ = -1, wake_ = -1;
    std::unordered_map<int, std::unique_ptr<Connection>> connections_;
    size_t headBytes_ = 0;
    Clock::time_point acceptingAgain_ = Clock::time_point::min();  // min: accepting now
    bool stopping_ = false;
    Clock::time_point stopAt_;

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable queued_;
    std::deque<Connection*> todo_, done_;
    bool ending_ = false;
};

}  // namespace

int listenOn(const std::string& host, int& port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        return -1;
    }
    int listener = -1;
    for (addrinfo* a = found; a != nullptr && listener < 0; a = a->ai_next) {
        listener = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        // SO_REUSEADDR lets a restarted server bind while old connections linger; unlike
        // SO_REUSEPORT it never lets a second server listen on the same port.
        const int on = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (listener >= 0 &&
            (bind(listener, a->ai_addr, a->ai_addrlen) != 0 || listen(listener, SOMAXCONN) != 0)) {
            close(listener);
            listener = -1;
        }
    }
    freeaddrinfo(found);
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (listener >= 0 &&
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        std::string text;
        addressOf(address, text, port);
    }
    return listener;
}

size_t connectionLimit(int workers) {
    // Each connection is a file; so is each photo being measured, and the program's own.
    const rlim_t reserved = 64 + static_cast<rlim_t>(workers);
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0) {
        return 16;
    }
    const rlim_t wanted = largestConnectionCount + reserved;
    if (files.rlim_cur < wanted) {
        files.rlim_cur =
            files.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, files.rlim_max);
        setrlimit(RLIMIT_NOFILE, &files);
        getrlimit(RLIMIT_NOFILE, &files);
    }
    const rlim_t room = files.rlim_cur > reserved + 16 ? files.rlim_cur - reserved : 16;
    return std::min(largestConnectionCount, static_cast<size_t>(room));
}

void runFront(int listener, int workers, const sigset_t& stopSignals,
              const FrontHandlers& handlers) {
    Front front(listener, workers, stopSignals, handlers);
    front.run();
}
