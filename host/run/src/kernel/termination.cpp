// Termination: the handler only stores a flag and asks the running emulation to stop, both safe in a handler.
#include "kernel/termination.hpp"

#include <signal.h>
#include <sys/resource.h>

#include <atomic>

#include "cpu/machine.hpp"
#include "tavik/run.hpp"

namespace tavik {
namespace {

std::atomic<Machine*> g_machine{nullptr};
volatile sig_atomic_t g_requested = 0;

void on_termination(int) {
  g_requested = 1;
  if (Machine* m = g_machine.load()) m->stop();
}

}  // namespace

void stop_on_termination() {
  struct sigaction sa {};
  sa.sa_handler = on_termination;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no restart: a wait in a call returns, sees the request and ends
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &sa, nullptr);
}

void end_runs_on_termination() { stop_on_termination(); }

void end_by_signal(int sig) {
  rlimit no_core{0, 0};
  ::setrlimit(RLIMIT_CORE, &no_core);
  ::signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(sig);
}

void watch_termination(Machine* m) { g_machine.store(m); }

bool termination_requested() { return g_requested != 0; }

}  // namespace tavik
