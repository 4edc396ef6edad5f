#include "display.hpp"

#include <X11/Xlib.h>

#include <cstdlib>
#include <opencv2/highgui.hpp>

namespace {

bool probeDisplay() {
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0') {
        return false;
    }
    Display* display = XOpenDisplay(name);
    if (display == nullptr) {
        return false;
    }
    XCloseDisplay(display);
    return true;
}

}  // namespace

bool displayReachable() {
    static const bool reachable = probeDisplay();
    return reachable;
}

void showWindow(const std::string& name, cv::Mat image, int x, int y) {
    if (!displayReachable()) {
        return;
    }
    // Without GUI_NORMAL the Qt toolbar widens each window to about 1500 pixels, so the three
    // windows, 147 pixels apart, would hide each other's pictures.
    cv::namedWindow(name, cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL);
    cv::imshow(name, image);
    cv::moveWindow(name, x, y);
}

void processWindowEvents() {
    if (displayReachable()) {
        cv::waitKey(20);
    }
}
