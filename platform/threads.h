#pragma once
// Short-lived worker threads that nobody joins.

namespace platform {

// Runs fn(arg) on a new detached thread; false when no thread could be
// started (fn is then not called).
bool startDetachedThread(void (*fn)(void*), void* arg);

}  // namespace platform
