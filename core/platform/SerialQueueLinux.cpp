#include "core/platform/SerialQueue.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <future>

#include "core/platform/PosixError.h"

namespace lumifold::platform {
namespace {

// Background work yields to what the user is doing, as a utility-class thread does elsewhere.
constexpr int kBackgroundNiceness = 10;
// Linux thread names hold 15 bytes.
constexpr std::size_t kThreadNameLength = 15;

std::string threadName(const std::string& label) {
    const auto dot = label.rfind('.');
    std::string name = dot == std::string::npos ? label : label.substr(dot + 1);
    return name.substr(0, kThreadNameLength);
}

}  // namespace

SerialQueue::SerialQueue(std::string label, std::function<double()> monotonicSeconds)
    : m_label(std::move(label)), m_now(std::move(monotonicSeconds)) {
    m_wakeDescriptor = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeDescriptor < 0) throw posixError(errno, "create an event descriptor for", m_label);
    m_thread = std::thread([this] {
        ::pthread_setname_np(::pthread_self(), threadName(m_label).c_str());
        // Best effort: a queue at normal priority works just the same.
        (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kBackgroundNiceness);
        run();
    });
}

SerialQueue::~SerialQueue() {
    shutdown();
    ::close(m_wakeDescriptor);
}

void SerialQueue::async(Task task) {
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping) return;
        m_tasks.push_back(std::move(task));
    }
    wake();
}

SerialQueue::TimerId SerialQueue::after(double seconds, Task task) {
    TimerId id;
    {
        std::lock_guard lock(m_mutex);
        id = m_nextTimer++;
        if (m_stopping) return id;
        m_timers.emplace(id, Timer{m_now() + (seconds > 0 ? seconds : 0.0), std::move(task)});
    }
    wake();
    return id;
}

void SerialQueue::cancel(TimerId timer) {
    std::lock_guard lock(m_mutex);
    m_timers.erase(timer);
}

void SerialQueue::sync() {
    std::promise<void> done;
    auto finished = done.get_future();
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping) return;
        m_tasks.push_back([this, &done] {
            // Events the kernel holds were there before the call: the loop may have polled
            // just before they came and run this task first.
            pollDescriptors(0);
            fireDueTimers(true);
            done.set_value();
        });
    }
    wake();
    finished.wait();
}

void SerialQueue::shutdown() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_timers.clear();
    }
    wake();
    if (m_thread.joinable()) m_thread.join();
}

void SerialQueue::watchDescriptor(int descriptor, Task onReadable) {
    m_descriptors.emplace_back(descriptor, std::move(onReadable));
}

void SerialQueue::unwatchDescriptor(int descriptor) {
    std::erase_if(m_descriptors,
                  [descriptor](const auto& entry) { return entry.first == descriptor; });
}

void SerialQueue::wake() {
    const std::uint64_t one = 1;
    // Only fails when the counter is saturated, and then the thread is awake anyway.
    (void)!::write(m_wakeDescriptor, &one, sizeof one);
}

int SerialQueue::waitMilliseconds() {
    std::lock_guard lock(m_mutex);
    if (!m_tasks.empty() || m_stopping) return 0;
    if (m_timers.empty()) return -1;
    double next = m_timers.begin()->second.deadline;
    for (const auto& [id, timer] : m_timers) next = std::min(next, timer.deadline);
    const double milliseconds = std::ceil((next - m_now()) * 1000.0);
    if (!(milliseconds > 0)) return 0;
    return milliseconds >= INT_MAX ? INT_MAX : static_cast<int>(milliseconds);
}

void SerialQueue::fireDueTimers(bool evenWithTasksWaiting) {
    // One at a time, earliest first, so a handler that cancels or arms a timer is obeyed.
    while (true) {
        Task task;
        {
            std::lock_guard lock(m_mutex);
            // Tasks enqueued meanwhile were enqueued before the timer was seen due: they go
            // first (a pause or stop among them cancels it).
            if (!m_tasks.empty() && !evenWithTasksWaiting) return;
            const double now = m_now();
            auto due = m_timers.end();
            for (auto it = m_timers.begin(); it != m_timers.end(); ++it) {
                if (it->second.deadline <= now &&
                    (due == m_timers.end() || it->second.deadline < due->second.deadline)) {
                    due = it;
                }
            }
            if (due == m_timers.end()) return;
            task = std::move(due->second.task);
            m_timers.erase(due);
        }
        task();
    }
}

void SerialQueue::pollDescriptors(int timeout) {
    std::vector<pollfd> ready(1, pollfd{m_wakeDescriptor, POLLIN, 0});
    for (const auto& [descriptor, handler] : m_descriptors) {
        ready.push_back(pollfd{descriptor, POLLIN, 0});
    }
    // poll fails only on bad arguments or no kernel memory; no exception may leave the thread.
    if (::poll(ready.data(), ready.size(), timeout) < 0 && errno != EINTR) std::abort();
    for (std::size_t i = 1; i < ready.size(); ++i) {
        if (ready[i].revents == 0) continue;
        // A handler may unwatch descriptors; look this one up again.
        for (const auto& [descriptor, handler] : m_descriptors) {
            if (descriptor != ready[i].fd) continue;
            const Task onReadable = handler;
            onReadable();
            break;
        }
    }
}

void SerialQueue::run() {
    while (true) {
        pollDescriptors(waitMilliseconds());
        std::uint64_t count;
        (void)!::read(m_wakeDescriptor, &count, sizeof count);
        std::deque<Task> tasks;
        {
            std::lock_guard lock(m_mutex);
            tasks.swap(m_tasks);
            if (tasks.empty() && m_stopping) return;
        }
        for (auto& task : tasks) task();
        fireDueTimers(false);
    }
}

}  // namespace lumifold::platform
