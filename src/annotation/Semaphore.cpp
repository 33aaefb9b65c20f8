#include "Semaphore.h"

std::atomic<unsigned long> gReadSemaphore{0};
std::atomic<unsigned long> gWriteSemaphore{0};

void waitForSemaphore(std::atomic<unsigned long>& semaphore) {
    for (;;) {
        unsigned long value = semaphore.load();
        if (value == 0)
            continue;
        if (semaphore.compare_exchange_weak(value, value - 1))
            return;
    }
}
