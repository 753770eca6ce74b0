#include "interrupt.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <mutex>
#include <thread>

namespace {

std::atomic<bool> g_interrupted{false};  // written by the signal thread, read by any
std::atomic<int> g_signal{0};            // the same
std::mutex g_actionMutex;                // guards g_action
std::function<void()> g_action;

sigset_t InterruptSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

void SignalThread() {
    const sigset_t set = InterruptSignals();
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0) continue;
        g_signal.store(sig);
        g_interrupted.store(true);
        std::lock_guard<std::mutex> lock(g_actionMutex);
        if (g_action) g_action();
    }
}

}  // namespace

void InstallInterruptHandling() {
    const sigset_t set = InterruptSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread(SignalThread).detach();
}

const std::atomic<bool>& InterruptFlag() {
    return g_interrupted;
}

int InterruptSignal() {
    return g_signal.load();
}

InterruptAction::InterruptAction(std::function<void()> action) {
    std::lock_guard<std::mutex> lock(g_actionMutex);
    g_action = std::move(action);
    // A signal that came before the action was set still stops the work.
    if (g_interrupted.load() && g_action) g_action();
}

InterruptAction::~InterruptAction() {
    std::lock_guard<std::mutex> lock(g_actionMutex);
    g_action = nullptr;
}

int ExitStatusAfter(int status) {
    const int sig = g_signal.load();
    if (sig == 0) return status;
    std::fprintf(stderr, status == 0 ? "orbivue-cli: interrupted after the work was complete\n"
                                     : "orbivue-cli: interrupted; nothing was left behind\n");
    return 128 + sig;
}
