#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "core/platform/SerialQueue.h"

namespace lumifold::platform {
namespace {

// Whether the thread is blocked, from /proc.
bool isAsleep(pid_t thread) {
    std::ifstream stat("/proc/self/task/" + std::to_string(thread) + "/stat");
    std::string pid, name, state;
    stat >> pid >> name >> state;
    return state == "S";
}

// A sync hears what the queue's descriptors held when it was called, even when the queue had
// polled just before and takes the sync with its next tasks. The clock, read as the sync fires
// the due timers, tells whether the event had been heard by then.
TEST(SerialQueueTest, ASyncHearsWhatWasReadableWhenItWasCalled) {
    int first[2], second[2];
    ASSERT_EQ(::pipe2(first, O_CLOEXEC | O_NONBLOCK), 0);
    ASSERT_EQ(::pipe2(second, O_CLOEXEC | O_NONBLOCK), 0);
    std::atomic<bool> heard = false, syncAsked = false;
    std::optional<bool> heardBySync;  // on the queue's thread, read after the sync
    SerialQueue queue("test.queue", [&] {
        if (syncAsked && !heardBySync) heardBySync = heard.load();
        return 0.0;
    });
    std::atomic<pid_t> caller = 0;
    std::thread syncing;
    queue.async([&] {
        queue.watchDescriptor(second[0], [&] {
            char byte;
            heard = ::read(second[0], &byte, 1) == 1;
        });
        queue.watchDescriptor(first[0], [&] {
            char byte;
            (void)!::read(first[0], &byte, 1);
            // The queue has polled: the second pipe is written now, then a sync asked for.
            syncing = std::thread([&] {
                (void)!::write(second[1], "x", 1);
                caller = ::gettid();
                queue.sync();
            });
            while (caller == 0 || !isAsleep(caller)) std::this_thread::yield();
            syncAsked = true;
        });
    });
    (void)!::write(first[1], "x", 1);
    while (!syncAsked) std::this_thread::yield();
    syncing.join();
    EXPECT_EQ(heardBySync, true);
    queue.shutdown();
    for (const int descriptor : {first[0], first[1], second[0], second[1]}) ::close(descriptor);
}

}  // namespace
}  // namespace lumifold::platform
