#include "Semaphore.h"

Semaphore gReadSemaphore;
Semaphore gWriteSemaphore;

void setSemaphore(Semaphore& semaphore, unsigned long count) {
    {
        std::lock_guard<std::mutex> lock(semaphore.mutex);
        semaphore.count = count;
    }
    semaphore.freed.notify_all();
}

void waitForSemaphore(Semaphore& semaphore) {
    std::unique_lock<std::mutex> lock(semaphore.mutex);
    semaphore.freed.wait(lock, [&semaphore] { return semaphore.count > 0; });
    --semaphore.count;
}

void postSemaphore(Semaphore& semaphore) {
    {
        std::lock_guard<std::mutex> lock(semaphore.mutex);
        ++semaphore.count;
    }
    semaphore.freed.notify_one();
}
