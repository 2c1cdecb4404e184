// ProcessEnd: the first decision wins; each one stops the emulation.
#include "kernel/process_end.hpp"

namespace tavik {

std::string process_name(const std::string& argv0) {
  size_t slash = argv0.rfind('/');
  return slash == std::string::npos ? argv0 : argv0.substr(slash + 1);
}

bool ProcessEnd::decide(State state) {
  if (state_ != State::Running) return false;
  state_ = state;
  m_.stop();
  return true;
}

void ProcessEnd::exit(int32_t status) {
  if (decide(State::Exited)) status_ = status;
}

void ProcessEnd::fault(FaultKind kind, uint32_t eip, uint32_t addr, const std::string& access) {
  if (decide(State::Faulted)) fault_ = FaultInfo{kind, eip, addr, access};
}

void ProcessEnd::undo_fault() {
  if (state_ == State::Faulted) state_ = State::Running;
  fault_ = FaultInfo{};
}

void ProcessEnd::kill(Limit limit) {
  if (decide(State::Killed)) limit_ = limit;
}

void ProcessEnd::become_child(ChildStart start) {
  child_ = std::move(start);
  state_ = State::Child;
  m_.stop();
}

void ProcessEnd::fail(const std::string& why) {
  if (host_error_.empty()) host_error_ = why;
  state_ = State::Killed;
  m_.stop();
}

}  // namespace tavik
