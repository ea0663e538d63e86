#pragma once

// Windows only: work handed to the thread that runs the MainLoop.
#include <functional>

namespace quilvane::platform {

// Queues `task` to run on the thread of the MainLoop (the main thread),
// after whatever that thread is running now (a cycle included). An error
// escaping the task goes to the loop's error handler. False when no loop
// thread exists or its queue refused the message.
bool PostToMainLoop(std::function<void()> task);

}  // namespace quilvane::platform
