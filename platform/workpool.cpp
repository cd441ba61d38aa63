#include "workpool.h"

#include <algorithm>
#include <system_error>

WorkPool &WorkPool::instance()
{
    static WorkPool pool(int(std::max(2u, std::thread::hardware_concurrency())));
    return pool;
}

WorkPool::WorkPool(int threads)
    : m_limit(threads)
{}

WorkPool::~WorkPool()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    for (std::thread &thread : m_threads)
        thread.join();
}

void WorkPool::serve()
{
    std::unique_lock lock(m_mutex);
    --m_starting;
    for (;;) {
        ++m_idle;
        m_wake.wait(lock, [this] { return m_stopping || !m_tasks.empty(); });
        --m_idle;
        if (m_tasks.empty())
            return;
        std::function<void()> task = std::move(m_tasks.front());
        m_tasks.pop_front();
        lock.unlock();
        task();
        lock.lock();
    }
}

bool WorkPool::tryStart(std::function<void()> task)
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_stopping)
            return false;
        if (int(m_tasks.size()) >= m_idle + m_starting) {
            if (int(m_threads.size()) >= m_limit)
                return false;
            try {
                m_threads.emplace_back(&WorkPool::serve, this);
            } catch (const std::system_error &) {
                return false; // none to spare: the caller works alone
            }
            ++m_starting;
        }
        m_tasks.push_back(std::move(task));
    }
    m_wake.notify_one();
    return true;
}

void WorkPool::run(int helpers, const std::function<void(int participant)> &work)
{
    std::mutex mutex;
    std::condition_variable ended;
    int running = 0;
    for (int participant = 1; participant <= helpers; ++participant) {
        {
            const std::lock_guard lock(mutex);
            ++running;
        }
        const bool started = tryStart([&, participant] {
            work(participant);
            // Told under the lock: the caller's `ended` is gone once it sees none running.
            const std::lock_guard lock(mutex);
            --running;
            ended.notify_all();
        });
        if (!started) {
            const std::lock_guard lock(mutex);
            --running;
            break;
        }
    }
    work(0);
    std::unique_lock lock(mutex);
    ended.wait(lock, [&running] { return running == 0; });
}
