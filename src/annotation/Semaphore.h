// Counting semaphores that bound how many workers read and how many write BAM records at once.
#pragma once

#include <atomic>

extern std::atomic<unsigned long> gReadSemaphore;
extern std::atomic<unsigned long> gWriteSemaphore;

// Spins until the count is non-zero and takes one unit; no sleeping, no time-out.
void waitForSemaphore(std::atomic<unsigned long>& semaphore);
inline void postSemaphore(std::atomic<unsigned long>& semaphore) {
    semaphore.fetch_add(1);
}
