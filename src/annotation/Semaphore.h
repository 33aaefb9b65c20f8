// Counting semaphores that bound how many workers read and how many write BAM records at once.
#pragma once

#include <condition_variable>
#include <mutex>

// A waiting worker sleeps rather than spins: with more workers than cores, spinning ones would
// take the cores that the working ones need, most of all under a cgroup CPU quota.
struct Semaphore {
    std::mutex mutex;
    std::condition_variable freed;
    unsigned long count = 0;
};

extern Semaphore gReadSemaphore;
extern Semaphore gWriteSemaphore;

void setSemaphore(Semaphore& semaphore, unsigned long count);
// Sleeps until the count is non-zero and takes one unit.
void waitForSemaphore(Semaphore& semaphore);
void postSemaphore(Semaphore& semaphore);
