// The run's failure record: any worker that fails sets the flag and leaves its message; workers
// stop at their next chunk and the driver reports the messages after the join.
#pragma once

#include <atomic>
#include <mutex>
#include <set>
#include <string>

class EarlyTerminate {
public:
    // Sets the flag, then stores the message (each distinct text once).
    void fail(const std::string& message) {
        terminate.store(true);
        addMessage(message);
    }
    void addMessage(const std::string& message) {
        std::lock_guard<std::mutex> lock(mutex);
        messages.insert(message);
    }
    bool failed() const { return terminate.load(); }

    std::atomic<bool> terminate{false};
    std::set<std::string> messages;
    std::mutex mutex;
};

extern EarlyTerminate TERMINATE_STATE;
