// The front of leafid-serve: one thread that accepts connections and reads every request head
// and photo with deadlines, and a few workers that measure the photos. A slow, idle or hostile
// client holds a few kilobytes of the front's memory and no thread: only a photo received whole
// takes a worker, and only while it is measured.
#pragma once

#include <chrono>
#include <csignal>
#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <string>

// The most bytes of a request line and its headers together.
constexpr size_t maxRequestHeadBytes = 64 * 1024;

// How long a request may take to arrive: its head within the first term, its body at no less
// than the rate of the second. A kept-alive connection waits keepAliveTime for the next request.
constexpr std::chrono::seconds requestHeadTime{30};
constexpr size_t minimumUploadBytesPerSecond = 16 * 1024;
constexpr std::chrono::seconds keepAliveTime{5};
// A connection that sends or takes no byte for this long is closed.
constexpr std::chrono::seconds stallTime{5};
// After a stop signal, requests being received or answers being sent get this long to finish.
constexpr std::chrono::seconds stopGrace{4};

// One request as the front received it.
struct Exchange {
    std::string head;              // the request line and headers, the blank line included
    std::deque<std::string> body;  // the admitted body as received (whole, or what came)
    size_t admittedBytes = 0;      // Content-Length of an admitted photo
    bool admitted = false;         // a photo counted in flight until its answer is sent
    bool sendContinue = false;     // the client waits for "100 Continue" before the body
    size_t number = 1;             // of this request on its connection
    std::chrono::steady_clock::time_point start;
    std::string peerAddress, localAddress;
    int peerPort = 0, localPort = 0;
    std::string answer;  // the answer's bytes
    bool close = false;  // the connection closes after the answer
};

struct FrontHandlers {
    // A head is complete: true when its body is to be received (an admitted photo), false when
    // it is answered from the head alone.
    std::function<bool(Exchange&)> admit;
    // Writes the answer into the exchange (on a worker for an admitted photo).
    std::function<void(Exchange&)> answer;
    // The answer is sent, or the connection is gone: an admitted photo lets go of its place.
    std::function<void(Exchange&)> release;
    // A head over maxRequestHeadBytes: answers status (414 or 431) into the exchange.
    std::function<void(Exchange&, int status)> refuseHead;
    // A stop signal arrived.
    std::function<void()> stopping;
};

// A listening socket of its own on host:port (0: any free port), or -1. port is set to the
// port bound.
int listenOn(const std::string& host, int& port);

// Most connections open at once (the rest wait in the kernel's queue): 8192, or fewer when the
// limit on open files is lower. Raises the soft limit as far as needed and allowed.
size_t connectionLimit(int workers);

// The most bytes of unanswered request heads held at once over all connections; beyond it a
// connection whose head passes 4 KiB is closed.
constexpr size_t maxHeadBytesHeld = size_t{128} << 20;

// Serves the listener until one of stopSignals (blocked in every thread) arrives, then answers
// the requests under way and returns.
void runFront(int listener, int workers, const sigset_t& stopSignals,
              const FrontHandlers& handlers);
