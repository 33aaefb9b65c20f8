#include "ProgressLine.h"

#include <chrono>
#include <cstdio>
#include <unistd.h>

namespace {

double secondsNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

ProgressLine::ProgressLine(std::function<std::string(double seconds)> describe)
    : _describe(std::move(describe)), _start(secondsNow()), _shown(isatty(STDERR_FILENO) == 1) {
    if (!_shown)
        return;
    _thread = std::thread([this]() {
        std::unique_lock<std::mutex> lock(_mutex);
        while (!_wake.wait_for(lock, std::chrono::milliseconds(250), [this]() { return _stop; }))
            _draw();
    });
}

ProgressLine::~ProgressLine() {
    if (!_shown)
        return;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _stop = true;
    }
    _wake.notify_one();
    _thread.join();
    _draw();
    std::fputc('\n', stderr);
}

void ProgressLine::_draw() noexcept {
    // Back to the start of the line, the text, the rest of the line cleared. The line is only a
    // view of the run: one that cannot be made (memory running out) is skipped, not fatal.
    try {
        std::fprintf(stderr, "\r%s\x1b[K", _describe(secondsNow() - _start).c_str());
        std::fflush(stderr);
    } catch (...) {
    }
}

std::string durationText(double seconds) {
    long whole = seconds < 0 ? 0 : static_cast<long>(seconds + 0.5);
    char text[32];
    if (whole >= 60)
        std::snprintf(text, sizeof text, "%ld min %02ld s", whole / 60, whole % 60);
    else
        std::snprintf(text, sizeof text, "%ld s", whole);
    return text;
}
