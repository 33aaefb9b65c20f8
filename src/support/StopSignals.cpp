#include "StopSignals.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <set>
#include <string>
#include <unistd.h>

#include "EarlyTerminate.h"
#include "Logger.h"

namespace {

// Process-wide, as signals are: what was received, and the children to stop.
std::atomic<int> received{0};
std::atomic<bool> closing{false};
std::mutex childrenMutex;
std::set<pid_t> children;
sigset_t stopSet;

void stopChildren() {
    std::lock_guard<std::mutex> lock(childrenMutex);
    for (pid_t pid : children)
        kill(pid, SIGTERM);
}

void* watchStopSignals(void* record) {
    EarlyTerminate& failures = *static_cast<EarlyTerminate*>(record);
    for (;;) {
        int signal = 0;
        if (sigwait(&stopSet, &signal) != 0)
            continue;
        if (closing.load())
            return nullptr; // the run is over: woken to end
        if (received.load() != 0) {
            // Cleaning up takes too long for the user: end now, as an unhandled signal would.
            const char text[] = "Ambrel: a second stop signal: ending at once\n";
            ssize_t ignored = write(2, text, sizeof text - 1);
            (void)ignored;
            stopChildren();
            _exit(128 + signal);
        }
        received.store(signal);
        std::string name = std::to_string(signal) + " (" + strsignal(signal) + ")";
        gLogger.warning("Stopping on signal %s: the workers and the programs the run started "
                        "stop, the run's partial outputs are removed; a second signal ends it "
                        "at once",
                        name.c_str());
        failures.fail("Stopped by signal " + name);
        stopChildren();
    }
}

} // namespace

StopSignalWatch::StopSignalWatch(EarlyTerminate& failures) {
    sigemptyset(&stopSet);
    int first = 0;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current;
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
            sigaddset(&stopSet, signal);
            first = first ? first : signal;
        }
    }
    if (!first)
        return; // every stop signal ignored: nothing to wait for
    pthread_sigmask(SIG_BLOCK, &stopSet, nullptr);
    _started = pthread_create(&_thread, nullptr, watchStopSignals, &failures) == 0;
}

StopSignalWatch::~StopSignalWatch() {
    if (!_started)
        return;
    closing.store(true);
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        if (sigismember(&stopSet, signal)) {
            pthread_kill(_thread, signal); // wakes the watcher, which sees that the run is over
            break;
        }
    pthread_join(_thread, nullptr);
}

int stopSignal() {
    return received.load();
}

void registerChild(pid_t pid) {
    std::lock_guard<std::mutex> lock(childrenMutex);
    children.insert(pid);
    if (received.load() != 0)
        kill(pid, SIGTERM);
}

void forgetChild(pid_t pid) {
    std::lock_guard<std::mutex> lock(childrenMutex);
    children.erase(pid);
}

const sigset_t* stopSignalSet() {
    return &stopSet;
}
