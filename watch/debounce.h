#pragma once

#include <QHash>
#include <QtGlobal>

#include <algorithm>
#include <limits>
#include <vector>

// When what a change touched is written again: once it has been quiet for a moment, yet no later
// than a second after its first unwritten change, and never twice within a second, so a burst of
// thousands of changes costs a few writes. Times are milliseconds of a monotonic clock that the
// caller reads and hands in, so tests run it on a clock of their own.
template <typename Key> class Debounce
{
public:
    static constexpr qint64 quietMs = 200;
    static constexpr qint64 longestWaitMs = 1000;
    static constexpr qint64 spacingMs = 1000;

    void changed(const Key &key, qint64 now)
    {
        State &state = m_states[key];
        if (state.first < 0)
            state.first = now;
        state.last = now;
    }

    // The keys due at `now`, counted as written then.
    std::vector<Key> takeDue(qint64 now)
    {
        std::vector<Key> due;
        for (auto it = m_states.begin(); it != m_states.end();) {
            State &state = it.value();
            if (state.first >= 0 && dueAt(state) <= now) {
                due.push_back(it.key());
                state = {-1, -1, now};
            }
            // A key written long enough ago no longer holds anything back.
            if (state.first < 0 && now - state.written >= spacingMs)
                it = m_states.erase(it);
            else
                ++it;
        }
        return due;
    }

    // How long until a key is due, or -1 when none waits.
    qint64 msUntilDue(qint64 now) const
    {
        qint64 next = -1;
        for (const State &state : m_states) {
            if (state.first < 0)
                continue;
            const qint64 wait = std::max<qint64>(0, dueAt(state) - now);
            next = next < 0 ? wait : std::min(next, wait);
        }
        return next;
    }

    bool isPending(const Key &key) const
    {
        const auto found = m_states.constFind(key);
        return found != m_states.cend() && found->first >= 0;
    }

    void forget(const Key &key) { m_states.remove(key); }

private:
    struct State
    {
        qint64 first = -1; // the first change not yet written, or -1
        qint64 last = -1;
        qint64 written = std::numeric_limits<qint64>::min() / 2;
    };

    static qint64 dueAt(const State &state)
    {
        return std::max(std::min(state.last + quietMs, state.first + longestWaitMs),
                        state.written + spacingMs);
    }

    QHash<Key, State> m_states;
};
