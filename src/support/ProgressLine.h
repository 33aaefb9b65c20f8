// One line that shows a person at a terminal how far a long step has come, redrawn in place a few
// times a second. When standard error is not a terminal (a log file, a workflow engine), nothing
// is drawn: the INFO lines say what was done.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class ProgressLine {
public:
    // describe gives the line's text from the seconds since the start.
    explicit ProgressLine(std::function<std::string(double seconds)> describe);
    // Draws the last state and ends the line.
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

private:
    void _draw() noexcept;

    std::function<std::string(double)> _describe;
    double _start = 0;
    bool _shown = false;
    std::mutex _mutex;
    std::condition_variable _wake;
    bool _stop = false;
    std::thread _thread;
};

// "1 min 05 s", "42 s": a duration for a person.
std::string durationText(double seconds);
