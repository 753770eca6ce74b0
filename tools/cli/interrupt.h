// SIGINT and SIGTERM end a run cleanly: they are taken by a thread of their
// own (blocked everywhere else), which raises a flag the long loops check and
// calls the registered stop action (the conversion library's stop), so the
// work unwinds, its temporary files are removed and the encoder is closed
// before the process ends.
#pragma once

#include <atomic>
#include <functional>

// Call first thing in main, before any thread starts.
void InstallInterruptHandling();

// Raised by SIGINT or SIGTERM; never lowered.
const std::atomic<bool>& InterruptFlag();
// The signal that arrived, or 0.
int InterruptSignal();

// What to do when a signal arrives (on the signal thread); replaces the one
// before. Cleared when the guard goes.
class InterruptAction {
  public:
    explicit InterruptAction(std::function<void()> action);
    ~InterruptAction();
    InterruptAction(const InterruptAction&) = delete;
    InterruptAction& operator=(const InterruptAction&) = delete;
};

// The exit status of a run ended by a signal (128 + its number), or `status`.
int ExitStatusAfter(int status);
