// A run's failure record: any worker that fails sets the flag and leaves its message; workers
// stop at their next chunk and the driver reports the messages after the join. The run owns one
// and hands it to what may fail in its threads (the outputs, the workers, the stop signals).
#pragma once

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

class EarlyTerminate {
public:
    // Sets the flag, then stores the message (each distinct text once, in the order they came).
    void fail(const std::string& message) {
        terminate.store(true);
        std::lock_guard<std::mutex> lock(_mutex);
        if (std::find(_messages.begin(), _messages.end(), message) == _messages.end())
            _messages.push_back(message);
    }
    bool failed() const { return terminate.load(); }
    std::vector<std::string> messages() const {
        std::lock_guard<std::mutex> lock(_mutex);
        return _messages;
    }

    std::atomic<bool> terminate{false};

private:
    std::vector<std::string> _messages;
    mutable std::mutex _mutex;
};
