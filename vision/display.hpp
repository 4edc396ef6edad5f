// The three analysis windows, shown only where a display can be reached.
#pragma once

#include <opencv2/core.hpp>
#include <string>

// Decided once per process: true when an X display answers. Without one the window calls
// below do nothing, because the GUI toolkit would abort the whole process.
bool displayReachable();

// Creates (or reuses) window name, shows image in it and moves it to (x, y).
void showWindow(const std::string& name, cv::Mat image, int x, int y);

// Lets the windows process their events for 20 ms; key presses are ignored.
void processWindowEvents();
