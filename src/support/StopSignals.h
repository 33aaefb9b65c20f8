// SIGINT, SIGTERM and SIGHUP stop a run the way a failure does: the workers stop at their next
// chunk, the running child programs are stopped, the run removes its bulk and keeps its logs and
// the reason, and the process exits with 128 + the signal's number. A second signal ends the
// process at once. SIGKILL cannot be caught: the next run names the folder it leaves.
#pragma once

#include <csignal>
#include <pthread.h>
#include <sys/types.h>

// For its lifetime, the run's stop signals are waited for by a thread of their own. Construction
// blocks them in the calling thread, and so in every thread it starts later; signals that the
// process inherited as ignored (nohup's SIGHUP) stay ignored. Made once, before any other thread
// starts; its end joins the thread (a thread left running at exit is a leak to the sanitizers).
class EarlyTerminate;

class StopSignalWatch {
public:
    // A stop signal marks failures, the run's failure record, as failed.
    explicit StopSignalWatch(EarlyTerminate& failures);
    ~StopSignalWatch();
    StopSignalWatch(const StopSignalWatch&) = delete;
    StopSignalWatch& operator=(const StopSignalWatch&) = delete;

private:
    pthread_t _thread{};
    bool _started = false;
};
// The stop signal received, or 0.
int stopSignal();
// The run's children, stopped with it; one started after the stop is stopped at once.
void registerChild(pid_t pid);
void forgetChild(pid_t pid);
// The signals a child unblocks before it runs its program (empty until handleStopSignals).
const sigset_t* stopSignalSet();
