#include "Semaphore.h"

std::atomic<unsigned long> gReadSemaphore{0};
std::atomic<unsigned long> gWriteSemaphore{0};

void waitForSemaphore(std::atomic<unsigned long>& semaphore) {
    for (;;) {
        unsigned long value = semaphore.load();
        if (value == 0) {
            // The spin's pause leaves the core's other hyperthread its share of the pipeline.
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
            continue;
        }
        if (semaphore.compare_exchange_weak(value, value - 1))
            return;
    }
}
