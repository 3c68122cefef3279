#include "common/parallel.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <vector>

namespace quorvane::common {
namespace {

int available_cpus() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
    return std::max(1u, std::thread::hardware_concurrency());
}

// QUORVANE_NUM_THREADS as a positive count, or 0 when unset or not a number.
int requested_threads() noexcept {
    const char* text = std::getenv("QUORVANE_NUM_THREADS");
    if (text == nullptr || *text == '\0') return 0;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value < 1) return 0;
    return static_cast<int>(std::min(value, 1024L));
}

}  // namespace

int thread_count(Py_ssize_t n, const Split& split) noexcept {
    if (n < split.threshold) return 1;
    int threads = available_cpus();
    if (const int requested = requested_threads(); requested > 0)
        threads = std::min(threads, requested);
    return static_cast<int>(
        std::max<Py_ssize_t>(1, std::min<Py_ssize_t>(threads, n / split.min_chunk)));
}

void parallel_for(Py_ssize_t n, const std::function<void(Py_ssize_t, Py_ssize_t)>& chunk,
                  const Split& split) noexcept {
    const int threads = thread_count(n, split);
    if (threads == 1) {
        chunk(0, n);
        return;
    }
    // A thread's share: its own chunk, or blocks taken in turn from `next`.
    std::atomic<Py_ssize_t> next{0};
    const auto work = [&chunk, &split, &next, n](Py_ssize_t begin, Py_ssize_t end) {
        if (split.block <= 0) {
            chunk(begin, end);
            return;
        }
        for (;;) {
            const Py_ssize_t first = next.fetch_add(split.block, std::memory_order_relaxed);
            if (first >= n) return;
            chunk(first, std::min(n, first + split.block));
        }
    };
    const Py_ssize_t size = (n + threads - 1) / threads;
    std::vector<std::thread> workers;
    Py_ssize_t begin = size;
    for (int t = 1; t < threads && begin < n; ++t, begin += size) {
        const Py_ssize_t end = std::min(n, begin + size);
        try {
            workers.emplace_back(work, begin, end);
        } catch (const std::system_error&) {
            work(begin, end);  // no thread to be had: do this chunk here
        }
    }
    work(0, std::min(n, size));
    for (std::thread& worker : workers) worker.join();
}

}  // namespace quorvane::common
