// Worker threads that always end in a message: a failed job or a thread that cannot start is
// recorded, never std::terminate.
#pragma once

#include <cstddef>
#include <functional>

#include "EarlyTerminate.h"

// Runs job(k) for every k below count, each on a thread of its own (the last on the calling
// thread), and joins every thread on every path. An exception that escapes a job, or a thread
// that cannot be started, becomes a message in failures; jobs that poll failures.failed() stop
// early.
void runWorkers(size_t count, const std::function<void(size_t)>& job, EarlyTerminate& failures);
