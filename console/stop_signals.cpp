#include "console/stop_signals.hpp"

namespace hostswitch {

std::atomic<bool> g_stop_requested{false};

namespace {

std::atomic<int> g_stop_signal{0};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the signal handler may only touch lock-free atomics");

extern "C" void request_stop(int signal_number) {
  g_stop_signal.store(signal_number);
  g_stop_requested.store(true);
}

}  // namespace

StopSignals::StopSignals() {
  g_stop_requested.store(false);
  g_stop_signal.store(0);
  for (std::size_t i = 0; i < kSignals.size(); ++i) {
    struct sigaction current {};
    sigaction(kSignals[i], nullptr, &current);
    if (current.sa_handler == SIG_IGN) continue;
    struct sigaction handler {};
    handler.sa_handler = request_stop;
    sigemptyset(&handler.sa_mask);
    handler.sa_flags = SA_RESETHAND;
    installed_[i] = sigaction(kSignals[i], &handler, &previous_[i]) == 0;
  }
}

StopSignals::~StopSignals() {
  for (std::size_t i = 0; i < kSignals.size(); ++i) {
    if (installed_[i]) sigaction(kSignals[i], &previous_[i], nullptr);
  }
}

int StopSignals::stopped_status(int otherwise) {
  const int signal_number = g_stop_signal.load();
  return signal_number > 0 ? 128 + signal_number : otherwise;
}

}  // namespace hostswitch
