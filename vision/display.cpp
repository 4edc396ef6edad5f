#include "display.hpp"

#include <X11/Xlib.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <opencv2/highgui.hpp>
#include <thread>

namespace {

// XOpenDisplay waits for the server's answer without any limit, so it runs on a thread of its
// own, and a display that has not answered within this time counts as none.
constexpr std::chrono::seconds displayAnswerTime{2};

bool probeDisplay() {
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0') {
        return false;
    }
    const auto answer = std::make_shared<std::promise<bool>>();
    std::future<bool> answered = answer->get_future();
    std::thread([answer, display = std::string(name)] {
        Display* connection = XOpenDisplay(display.c_str());
        if (connection != nullptr) {
            XCloseDisplay(connection);
        }
        answer->set_value(connection != nullptr);
    }).detach();  // a display that never answers leaves the thread waiting until the end
    return answered.wait_for(displayAnswerTime) == std::future_status::ready && answered.get();
}

}  // namespace

bool displayReachable() {
    static const bool reachable = probeDisplay();
    return reachable;
}

// The windows are a courtesy: an error of the GUI toolkit never stops the analysis.
void showWindow(const std::string& name, cv::Mat image, int x, int y) {
    if (!displayReachable()) {
        return;
    }
    try {
        // Without GUI_NORMAL the Qt toolbar widens each window to about 1500 pixels, so the
        // three windows, 147 pixels apart, would hide each other's pictures.
        cv::namedWindow(name, cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL);
        cv::imshow(name, image);
        cv::moveWindow(name, x, y);
    } catch (const cv::Exception&) {
    }
}

void processWindowEvents() {
    if (!displayReachable()) {
        return;
    }
    try {
        cv::waitKey(20);
    } catch (const cv::Exception&) {
    }
}
