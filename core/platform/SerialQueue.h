#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/platform/Clock.h"

namespace lumifold::platform {

// One thread that runs work one item at a time: tasks in the order given, one-shot timers when
// they fall due, and handlers of descriptors the platform's event sources register. Nothing
// wakes the thread but work: no polling, so an idle queue costs no CPU time.
//
// Time is read only through the clock given at construction, so debounce logic is tested with a
// fake clock: advance it, then sync().
class SerialQueue final {
  public:
    using Task = std::function<void()>;
    using TimerId = std::uint64_t;

    // `label` names the thread (for tools that list threads). The thread starts at once, at a
    // lower scheduling priority than interactive work.
    explicit SerialQueue(std::string label,
                         std::function<double()> monotonicSeconds = platform::monotonicSeconds);
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;
    // shutdown().
    ~SerialQueue();

    const std::string& label() const { return m_label; }

    // Runs `task` on the queue after everything enqueued before it. Tasks must not throw.
    // After shutdown() the task is dropped.
    void async(Task task);
    // Runs `task` on the queue once `seconds` have passed on the clock (zero leeway). Any thread.
    TimerId after(double seconds, Task task);
    // A timer that has fired or was cancelled is left alone. From the queue's own thread, a
    // cancelled timer is certain not to run; from another, it may be running already.
    void cancel(TimerId timer);

    // Blocks until every task enqueued before the call has run, every watched descriptor
    // readable at the call has been handled, and every timer the clock says is due has fired. Not
    // on the queue's own thread (it would wait for itself).
    void sync();
    // Runs the tasks already enqueued, drops the timers, and joins the thread. Idempotent; not on
    // the queue's own thread.
    void shutdown();
    bool isCurrentThread() const { return std::this_thread::get_id() == m_thread.get_id(); }

    // For the platform's event sources: `onReadable` runs on the queue whenever `descriptor` has
    // something to read. Both only on the queue's thread, or once it has shut down.
    void watchDescriptor(int descriptor, Task onReadable);
    void unwatchDescriptor(int descriptor);

  private:
    struct Timer {
        double deadline;
        Task task;
    };
    void run();
    // Waits up to `timeout` milliseconds (-1: no limit) for the wake descriptor or a watched
    // one, then runs the handlers of those readable.
    void pollDescriptors(int timeout);
    void wake();
    // The timeout of the next wait, in milliseconds: -1 for none, 0 when work is waiting.
    int waitMilliseconds();
    // Runs the timers due by the clock; unless told otherwise, only while no task waits.
    void fireDueTimers(bool evenWithTasksWaiting);

    std::string m_label;
    std::function<double()> m_now;
    int m_wakeDescriptor = -1;

    std::mutex m_mutex;
    std::deque<Task> m_tasks;
    std::map<TimerId, Timer> m_timers;
    TimerId m_nextTimer = 1;
    bool m_stopping = false;

    // Touched only on the queue's thread.
    std::vector<std::pair<int, Task>> m_descriptors;

    std::thread m_thread;
};

}  // namespace lumifold::platform
