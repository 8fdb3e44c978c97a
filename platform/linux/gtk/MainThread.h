#pragma once

#include <chrono>
#include <functional>

namespace ulvo::gtk {

// Queues a task on the default main context; callable from any thread, tasks run in the order posted.
void postToMainThread(std::function<void()> task);

// Runs a task on the default main context once the delay has passed.
void runOnMainThreadAfter(std::chrono::milliseconds delay, std::function<void()> task);

} // namespace ulvo::gtk
