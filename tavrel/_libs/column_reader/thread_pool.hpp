// A small pool of native threads for the column reader: the columns of a
// batch are converted as separate tasks, on the pool's threads and on the
// calling thread, while the calling thread may first do other work (it
// tokenizes the next batch).
//
// Pure C++: the tasks must not touch Python objects.  The pool lives for
// one call into the reader: its threads are started on the first job and
// joined by the destructor, so no thread outlives the call.  Threads that
// cannot be started are simply absent (the calling thread then runs every
// task itself).  Worker threads block every signal, so that signals keep
// going to the thread that runs the interpreter.
//
// Jobs come every few hundred microseconds and waking a sleeping thread
// takes tens of them (more in a virtual machine), so a thread that waits
// spins for a little while first (not on a single CPU).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

#include <csignal>
#if defined(__unix__)
#include <pthread.h>
#endif

namespace tv::reader {

// In an unnamed namespace: std::thread's state for the worker function is
// a template of namespace std, whose instances the module would otherwise
// export (their type information has default visibility whatever the
// arguments); with a type of internal linkage among them they are local.
namespace {

class ThreadPool {
public:
    // A job: run(context, i) for every i in [0, count).  Tasks take their
    // index from a shared counter, so each runs exactly once, on whichever
    // thread gets to it first.
    struct Job {
        void (*run)(void *context, size_t task) = nullptr;
        void *context = nullptr;
        size_t count = 0;

        std::atomic<size_t> next{0};
        std::atomic<size_t> finished{0};  // changed under the pool's mutex
    };

    // `workers` threads at most, started when the first job is posted.
    explicit ThreadPool(size_t workers) noexcept : wanted_(workers) {}
    ThreadPool(const ThreadPool &) = delete;
    ThreadPool &operator=(const ThreadPool &) = delete;
    ~ThreadPool() { stop(); }

    // Threads running (after the first post).
    size_t threads() const noexcept { return threads_.size(); }

    // Hands the job to the workers and returns at once; the job must stay
    // alive until finish() returned.  At most one job at a time.
    void post(Job &job) noexcept
    {
        start();
        job.next.store(0, std::memory_order_relaxed);
        job.finished.store(0, std::memory_order_relaxed);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            job_ = &job;
            generation_.fetch_add(1, std::memory_order_release);
        }
        if (!threads_.empty())
            wake_.notify_all();
    }

    // Runs what is left of the job on the calling thread, then waits until
    // the workers' tasks are done too.
    void finish(Job &job) noexcept
    {
        const size_t mine = run_tasks(job);
        const auto done = [&] {
            return job.finished.load(std::memory_order_acquire) == job.count &&
                   busy_.load(std::memory_order_acquire) == 0;
        };
        std::unique_lock<std::mutex> lock(mutex_);
        job.finished.fetch_add(mine, std::memory_order_release);
        if (!done()) {
            lock.unlock();
            spin_until(done);
            lock.lock();
            done_.wait(lock, done);
        }
        job_ = nullptr;
    }

    // Joins the threads (idle ones; finish() was called for every job).
    void stop() noexcept
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_.store(true, std::memory_order_release);
        }
        wake_.notify_all();
        for (std::thread &t : threads_)
            t.join();
        threads_.clear();
    }

private:
    void start() noexcept
    {
        if (started_)
            return;
        started_ = true;
#if defined(__unix__)
        // Threads inherit the creating thread's signal mask.
        sigset_t all, old;
        sigfillset(&all);
        const bool masked = pthread_sigmask(SIG_SETMASK, &all, &old) == 0;
#endif
        try {
            threads_.reserve(wanted_);
            for (size_t i = 0; i < wanted_; ++i)
                threads_.emplace_back([this] { work(); });
        } catch (...) {
            // Fewer threads (or none): the calling thread does the rest.
        }
#if defined(__unix__)
        if (masked)
            pthread_sigmask(SIG_SETMASK, &old, nullptr);
#endif
    }

    static size_t run_tasks(Job &job) noexcept
    {
        size_t done = 0;
        for (;;) {
            const size_t i = job.next.fetch_add(1, std::memory_order_relaxed);
            if (i >= job.count)
                return done;
            job.run(job.context, i);
            ++done;
        }
    }

    void work() noexcept
    {
        unsigned long seen = 0;
        for (;;) {
            spin_until([&] {
                return stopping_.load(std::memory_order_acquire) || generation_.load(std::memory_order_acquire) != seen;
            });
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return stopping_.load() || (job_ != nullptr && generation_.load() != seen); });
            if (stopping_.load())
                return;
            seen = generation_.load();
            Job &job = *job_;
            busy_.fetch_add(1);
            lock.unlock();
            const size_t mine = run_tasks(job);
            lock.lock();
            job.finished.fetch_add(mine, std::memory_order_release);
            busy_.fetch_sub(1, std::memory_order_release);
            if (job.finished.load() == job.count && busy_.load() == 0)
                done_.notify_all();
        }
    }

    // Spins until `ready` holds or about a tenth of a millisecond passed.
    template <class Ready>
    static void spin_until(const Ready &ready) noexcept
    {
        static const bool several_cpus = std::thread::hardware_concurrency() > 1;
        if (!several_cpus)
            return;
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(100);
        for (unsigned i = 1;; ++i) {
            if (ready())
                return;
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
            __asm__ __volatile__("yield");
#endif
            if ((i & 31) == 0 && std::chrono::steady_clock::now() > until)
                return;
        }
    }

    size_t wanted_;
    bool started_ = false;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    // Changed under the mutex; the atomics are also read while spinning.
    Job *job_ = nullptr;                        // the posted job, until finish()
    std::atomic<unsigned long> generation_{0};  // counts posts
    std::atomic<size_t> busy_{0};               // workers inside a job
    std::atomic<bool> stopping_{false};
};

}  // namespace
}  // namespace tv::reader
