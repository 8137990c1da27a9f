#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "python_glue/python.hpp"

// Fills a process-wide cache once. A thread that finds it empty lets go of the GIL while it
// waits for the guard, so that a thread filling it (which may run Python code that releases
// the GIL) can finish; a failed filling leaves the cache empty for the next caller to retry.
class OnceGuard {
public:
    bool done() const { return done_.load(std::memory_order_acquire); }

    // Runs fill() (which returns false with a Python exception set) unless already done.
    // Returns false with an exception set when the cache is still empty afterwards.
    template <class Fill>
    bool run(Fill fill) {
        if (done()) return true;
        if (filler_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
            PyErr_SetString(PyExc_RuntimeError, "recursive initialisation of a _utils cache");
            return false;
        }
        Py_BEGIN_ALLOW_THREADS
        mutex_.lock();
        Py_END_ALLOW_THREADS
        std::lock_guard<std::mutex> hold(mutex_, std::adopt_lock);
        if (done()) return true;
        filler_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        const bool filled = fill();
        filler_.store(std::thread::id(), std::memory_order_relaxed);
        if (filled) done_.store(true, std::memory_order_release);
        return filled;
    }

private:
    std::mutex mutex_;
    std::atomic<bool> done_{false};
    std::atomic<std::thread::id> filler_{};
};
