#pragma once

#include <deque>
#include <functional>
#include <mutex>

namespace ulvo::test {

// The main thread's queue in tests of the logic: workers post to it from any thread, the test runs it.
class TaskQueue {
public:
    std::function<void(std::function<void()>)> poster() {
        return [this](std::function<void()> task) {
            const std::lock_guard lock(mutex_);
            tasks_.push_back(std::move(task));
        };
    }
    // Runs what was posted until now, in order.
    void run() {
        std::deque<std::function<void()>> tasks;
        {
            const std::lock_guard lock(mutex_);
            tasks.swap(tasks_);
        }
        for (auto& task : tasks) {
            task();
        }
    }

private:
    std::mutex mutex_;
    std::deque<std::function<void()>> tasks_;
};

} // namespace ulvo::test
