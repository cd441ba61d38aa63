#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// The program's one set of helper threads, one per core and at least two, started as first
// needed and shared by all that works in parallel: a folder's look-ahead, its sort, its thumbnails
// and a tree's pages. A task only ever takes a thread that is idle, and the caller always works
// too, so work started inside other work never multiplies threads, and a caller never waits for a
// thread that is not there.
class WorkPool
{
public:
    static WorkPool &instance();

    WorkPool(const WorkPool &) = delete;
    WorkPool &operator=(const WorkPool &) = delete;

    // How many threads it may have.
    int size() const { return m_limit; }
    // Starts `task` on an idle thread; false, and nothing started, when none is idle.
    bool tryStart(std::function<void()> task);
    // Runs `work` on the calling thread (as participant 0) and on up to `helpers` idle threads
    // (1, 2, ...) at once, and returns when every one has returned.
    void run(int helpers, const std::function<void(int participant)> &work);

private:
    explicit WorkPool(int threads);
    ~WorkPool();
    void serve();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_tasks;
    int m_limit;
    int m_idle = 0;
    int m_starting = 0; // started, not yet waiting for a task
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};
