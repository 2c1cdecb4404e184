// History: keeping calls as they are made, and answering them again from what was kept.
#include "replay/history.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/calls.hpp"
#include "base/strf.hpp"
#include "cpu/image.hpp"
#include "cpu/machine.hpp"
#include "kernel/fd_table.hpp"
#include "kernel/kernel.hpp"
#include "kernel/process_end.hpp"
#include "kernel/spawn.hpp"
#include "replay/journal.hpp"
#include "replay/recording.hpp"
#include "report/trace.hpp"

namespace tavik {

bool History::answers() const { return s_.journal && (s_.journal->replaying() || s_.journal->known()); }

History::Stores* History::before_live(uint32_t nr) {
  if (!active()) return nullptr;
  stores_.clear();
  // A spawned child's records go under a serial the parent records with its spawn.
  k_.spawn.child_serial = nr == TAVIK_NR_spawn && s_.file ? s_.file->next_serial() : 0;
  k_.spawn.keep_image = s_.recorder != nullptr;
  return &stores_;
}

void History::after_live(const TraceEvent& ev, const CallRow* row) {
  record::Call c;
  c.nr = ev.nr;
  c.args = ev.args;
  c.ret = ev.ret;
  if (ev.path) c.path_crc = record::crc(*ev.path);
  if (ev.nr == TAVIK_NR_spawn && ev.ret > 0) c.child = k_.spawn.child_serial;
  // Bytes written to the tree's own standard output or error are said again by a replay.
  if (ev.nr == TAVIK_NR_write && ev.ret > 0 && !ev.injected) {
    std::shared_ptr<OpenFile> f = k_.fds.get(static_cast<int32_t>(ev.args[0]));
    if (f && !f->owned && (f->host_fd == s_.out_fd || f->host_fd == s_.err_fd)) {
      c.out_fd = f->host_fd == s_.out_fd ? 1 : 2;
      c.out.resize(static_cast<uint32_t>(ev.ret));
      if (k_.m.read_bytes(ev.args[1], c.out.data(), static_cast<uint32_t>(ev.ret)) != 0) c.out_fd = 0, c.out.clear();
    }
  }
  for (auto& [addr, bytes] : stores_) {
    record::GuestWrite w;
    w.offset = addr;
    // Relative to the pointer argument the store lies in, so that a replay stores into the buffer the program
    // passed then, wherever its heap put it.
    for (uint8_t i = 0; row && i < 3; ++i) {
      ArgKind kind = row->kinds[i];
      if ((kind == ArgKind::PTR || kind == ArgKind::BYTES_IN) && addr >= ev.args[i]) {
        w.base = i;
        w.offset = addr - ev.args[i];
        break;
      }
    }
    w.bytes = std::move(bytes);
    c.writes.push_back(std::move(w));
  }
  stores_.clear();
  keep(std::move(c));
}

void History::keep(record::Call c) {
  if (s_.recorder) s_.recorder->add(c);
  if (s_.journal) s_.journal->append(std::move(c));
}

uint64_t History::tsc(uint64_t live) {
  if (answers()) {
    Journal& j = *s_.journal;
    if (stopped_here()) return live;
    if (!j.known() || j.tag() != record::Tag::Tsc) {
      diverge(j.position(), j.known() ? "a system call" : "the end of its records", "rdtsc");
      return live;
    }
    bool fresh;
    return j.tsc(fresh);
  }
  if (s_.recorder) s_.recorder->add(record::Tsc{live});
  if (s_.journal) s_.journal->append_tsc(live);
  return live;
}

std::string History::describe(uint32_t nr, const std::array<uint32_t, 3>& a) const {
  const CallRow* row = find_call(nr);
  std::string text = row ? row->name : strf("syscall_%u", nr);
  const std::array<ArgKind, 3>& kinds = row ? row->kinds : kUnknownCallKinds;
  text += "(";
  for (size_t i = 0; i < 3 && kinds[i] != ArgKind::NONE; ++i) {
    ArgKind k = kinds[i];
    bool signed_arg = k == ArgKind::FD || k == ArgKind::INT || k == ArgKind::HANDLE;
    text += (i ? ", " : "") + (signed_arg ? strf("%d", static_cast<int32_t>(a[i]))
                               : k == ArgKind::UINT ? strf("%u", a[i]) : strf("0x%x", a[i]));
  }
  return text + ")";
}

// Arguments that are values must be the recorded ones; addresses may differ (another heap under --memcheck), but
// a path must name the same file.
bool History::check(const record::Call& rc, uint32_t nr, const std::array<uint32_t, 3>& a, const CallRow* row,
                    std::string& path) {
  if (rc.nr != nr) return false;
  const std::array<ArgKind, 3>& kinds = row ? row->kinds : kUnknownCallKinds;
  for (size_t i = 0; i < 3; ++i) {
    switch (kinds[i]) {
      case ArgKind::PTR:
      case ArgKind::BYTES_IN:
      case ArgKind::BYTES_OUT:
      case ArgKind::ARGV:
      case ArgKind::NONE: break;
      case ArgKind::PATH:
        if (k_.m.read_cstring(a[i], path, kMaxPath) != 0) path.clear();
        if ((path.empty() ? 0 : record::crc(path)) != rc.path_crc) return false;
        break;
      default:
        if (rc.args[i] != a[i]) return false;
    }
  }
  return true;
}

void History::answer(uint32_t nr, const std::array<uint32_t, 3>& a) {
  Journal& j = *s_.journal;
  if (stopped_here()) return;
  if (!j.known() || j.tag() != record::Tag::Call) {
    diverge(j.position(), j.known() ? "a read of the time-stamp counter" : "the end of its records", describe(nr, a));
    return;
  }
  const CallRow* row = find_call(nr);
  uint64_t at = j.position();
  bool fresh;
  record::Call rc = j.call(fresh);
  std::string path;
  if (!check(rc, nr, a, row, path)) {
    diverge(at, describe(rc.nr, rc.args), describe(nr, a));
    return;
  }
  for (const record::GuestWrite& w : rc.writes) {
    uint32_t to = (w.base < 3 ? a[w.base] : 0) + w.offset;
    if (w.bytes.size() > UINT32_MAX || k_.m.write_bytes(to, w.bytes.data(), static_cast<uint32_t>(w.bytes.size()))) {
      k_.end.fail(strf("the replay left its recording at event %llu: it stores %zu bytes at 0x%x, where the program "
                       "has no writable memory", static_cast<unsigned long long>(at), w.bytes.size(), to));
      return;
    }
  }
  if (fresh && rc.out_fd) say(rc.out_fd == 1 ? s_.out_fd : s_.err_fd, rc.out);
  if (nr == TAVIK_NR__exit) k_.end.exit(static_cast<int32_t>(a[0]));
  k_.m.set_reg(UC_X86_REG_EAX, static_cast<uint32_t>(rc.ret));
  if (!fresh) return;
  TraceEvent ev{nr, row ? row->name : strf("syscall_%u", nr), a, rc.ret, {}, std::nullopt, {}, false};
  Call call(a, ev, k_.trace.shows_data());
  if (!path.empty()) call.show_path(path);
  for (size_t i = 0; row && i < 3; ++i) {
    if (row->kinds[i] == ArgKind::BYTES_IN)
      for (const record::GuestWrite& w : rc.writes) call.show(w.bytes.data(), w.bytes.size());
    if (row->kinds[i] == ArgKind::BYTES_OUT && rc.ret > 0 && k_.trace.shows_data()) {
      std::string bytes(std::min<uint32_t>(static_cast<uint32_t>(rc.ret), kTraceDataCap), '\0');
      if (k_.m.read_bytes(a[i], bytes.data(), static_cast<uint32_t>(bytes.size())) == 0) call.show(bytes.data(), bytes.size());
    }
  }
  if (nr == TAVIK_NR_spawn && rc.child && s_.recording)
    if (const ProcessLog* child = s_.recording->process(rc.child)) call.show_argv(child->start.argv);
  k_.trace.call(ev, row, 0);
  if (nr == TAVIK_NR_spawn && rc.ret > 0 && rc.child && s_.recording) replay_child(rc.child);
}

// A recorded run a limit stopped without counting its instructions (a signal, or a time limit while nothing
// counted) is stopped as it was by its first event past the recording: the nearest place that can be told.
bool History::stopped_here() {
  const record::End* end = s_.replay_end;
  if (s_.journal->known() || !end || end->how != RunResult::End::Killed || end->counted) return false;
  k_.end.kill(end->limit);
  return true;
}

void History::diverge(uint64_t at, const std::string& recorded, const std::string& made) {
  k_.end.fail(strf("the replay left its recording at event %llu: the recording has %s, the program made %s "
                   "(another image, or another tavik-run, than the recorded ones)",
                   static_cast<unsigned long long>(at), recorded.c_str(), made.c_str()));
}

void History::say(int fd, const std::string& bytes) const {
  for (size_t at = 0; at < bytes.size();) {
    ssize_t w = ::write(fd, bytes.data() + at, bytes.size() - at);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;  // a closed output takes nothing more, as it took nothing in the recorded run
    at += static_cast<size_t>(w);
  }
}

// A replayed spawn replays its child in a host process of its own, as the run did, and waits for it there and
// then: the child's output comes at its spawn, the same however the host schedules.
void History::replay_child(uint32_t serial) {
  const ProcessLog* log = s_.recording->process(serial);
  if (!log || !log->end) return;  // a child that never started, or was cut short: nothing of it to replay
  // A child is spawned after its parent started, so its serial is larger: a recording whose spawns lead back to
  // themselves cannot make the replay fork for ever.
  if (serial <= s_.serial || log->start.parent != s_.serial) {
    k_.end.fail(strf("the recording's spawn of serial %u is not this process's child", serial));
    return;
  }
  std::optional<Image> image;
  try {
    image = Image::parse(std::vector<uint8_t>(log->start.image.begin(), log->start.image.end()), log->start.label,
                         s_.memory_cap);
  } catch (const std::exception& e) {
    k_.end.fail(strf("the recorded image of pid %d cannot be loaded: %s", log->start.pid, e.what()));
    return;
  }
  pid_t pid = fork_child();
  if (pid < 0) {
    k_.end.fail(strf("cannot replay pid %d: %s", log->start.pid, std::strerror(errno)));
    return;
  }
  if (pid == 0) {
    k_.spawn.in_child = true;
    ChildStart start{std::move(*image), log->start.argv, log->start.name};
    start.serial = serial;
    start.pid = log->start.pid;
    k_.end.become_child(std::move(start));
    return;
  }
  int st;
  while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace tavik
