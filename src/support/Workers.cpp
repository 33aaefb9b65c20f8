#include "Workers.h"

#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

void run_guarded(const std::function<void(size_t)>& job, size_t k, EarlyTerminate& failures) {
    try {
        job(k);
    } catch (const std::bad_alloc&) {
        failures.fail("Out of memory in a worker thread");
    } catch (const std::exception& e) {
        failures.fail(e.what());
    } catch (...) {
        failures.fail("A worker thread failed with an unknown exception");
    }
}

} // namespace

void runWorkers(size_t count, const std::function<void(size_t)>& job, EarlyTerminate& failures) {
    if (count == 0)
        return;
    std::vector<std::thread> threads;
    size_t started = 0;
    try {
        threads.reserve(count - 1);
        for (; started + 1 < count; ++started)
            threads.emplace_back(run_guarded, std::cref(job), started, std::ref(failures));
    } catch (const std::exception& e) {
        // Too many threads for the system's limits (a high --threads): what started is joined.
        failures.fail("Cannot start worker thread " + std::to_string(started + 1) + " of " +
                      std::to_string(count) + ": " + e.what());
    }
    if (started + 1 == count)
        run_guarded(job, count - 1, failures);
    for (std::thread& thread : threads)
        thread.join();
}
