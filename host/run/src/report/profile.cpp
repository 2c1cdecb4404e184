// Profile: block executions and a shadow call stack from the hook; names and lines from the symbols and the line
// table at the end.
#include "report/profile.hpp"

#include <tavik/elf/printable.hpp>

#include <unistd.h>

#include <compare>
#include <deque>
#include <map>
#include <optional>
#include <string_view>

#include "cpu/address_space.hpp"
#include "cpu/guest_code.hpp"
#include "cpu/image.hpp"
#include "report/line_table.hpp"
#include "cpu/machine.hpp"
#include "base/strf.hpp"

namespace tavik {
namespace {

// However a guest calls without returning, or calls from ever more sites to ever more places, the profile's
// memory stays bounded: calls deeper than this are counted where they return to no frame (their cost stays
// with their caller), and call pairs beyond the second bound are left out, which the file says.
constexpr size_t kDeepest = 1 << 20;
constexpr size_t kMostCallPairs = 1 << 20;

// However many symbols share one long name, a profile holds it once, and no name longer than this.
constexpr size_t kLongestName = 4096;

// The texts a profile names places by (functions, files), each held once.
class Texts {
 public:
  uint32_t id(std::string_view text) {
    text = text.substr(0, kLongestName);
    auto it = ids_.find(text);
    if (it != ids_.end()) return it->second;
    // A line of the file must stay one line whatever a name holds, and show no control bytes: the name is kept
    // escaped, and found again by its own bytes.
    texts_.emplace_back(elf::printable(text));
    const std::string& key = raw_.emplace_back(text);
    return ids_.emplace(std::string_view(key), static_cast<uint32_t>(texts_.size() - 1)).first->second;
  }
  const std::string& operator[](uint32_t id) const { return texts_[id]; }

 private:
  std::deque<std::string> texts_;  // as written
  std::deque<std::string> raw_;    // as found; never moved: ids_ views them
  std::unordered_map<std::string_view, uint32_t> ids_;
};

// callgrind's name compression: "(3) name" the first time a name is written, "(3)" after.
class Compression {
 public:
  explicit Compression(const Texts& texts) : texts_(texts) {}
  std::string operator()(uint32_t id) {
    auto [it, added] = numbers_.emplace(id, numbers_.size() + 1);
    return added ? strf("(%zu) %s", it->second, texts_[id].c_str()) : strf("(%zu)", it->second);
  }

 private:
  const Texts& texts_;
  std::unordered_map<uint32_t, size_t> numbers_;
};

struct Position {
  uint32_t file;
  int line = 0;
};

struct Function {
  uint32_t name, file;
  int line = 0;
  auto operator<=>(const Function&) const = default;
};

// Where an address is: the function whose symbol holds it (filed under the source file of its first line) and
// its own source line.
class Places {
 public:
  Places(const Image& image, const LineTable& table, Texts& texts)
      : image_(image), table_(table), texts_(texts), unknown_(texts.id("???")),
        files_(table.files().size(), kNoId) {}

  const Function& function(uint32_t addr) {
    std::optional<uint32_t> start = image_.function_start(addr);
    auto [it, added] = functions_.try_emplace(start.value_or(0));
    if (added) {
      Position at = start ? position(*start) : Position{unknown_, 0};
      std::string name = start ? image_.function_at(addr) : "";
      it->second = {name.empty() ? unknown_ : texts_.id(name), at.file, at.line};
    }
    return it->second;
  }

  Position position(uint32_t addr) {
    const LineRow* row = table_.at(addr);
    if (!row) return {unknown_, 0};
    uint32_t& file = files_[row->file];
    if (file == kNoId) file = texts_.id(table_.files()[row->file]);
    return {file, row->line};
  }

 private:
  static constexpr uint32_t kNoId = ~0u;
  const Image& image_;
  const LineTable& table_;
  Texts& texts_;
  uint32_t unknown_;
  std::vector<uint32_t> files_;                       // the line table's files' ids, as they are met
  std::unordered_map<uint32_t, Function> functions_;  // by symbol start (0: no symbol)
};

struct CallPlace {
  uint32_t site_file;
  int site_line;
  Function callee;
  auto operator<=>(const CallPlace&) const = default;
};

struct FunctionCosts {
  std::map<std::pair<uint32_t, int>, uint64_t> lines;         // (file, line) -> instructions
  std::map<CallPlace, std::pair<uint64_t, uint64_t>> calls;   // -> (count, inclusive instructions)
};

}  // namespace

void Profile::install() {
  m_.on_every_block(&Profile::on_block, this);
}

void Profile::on_block(uc_engine*, uint64_t addr, uint32_t size, void* self) {
  auto* p = static_cast<Profile*>(self);
  if (addr == kTrampoline) return;
  // Self-modifying code cut the last block short: what it did not run is taken back, and its end (a call, a
  // return) never happened.
  uint32_t cut_at;
  if (p->cuts_.take(cut_at)) {
    p->settle_at_fault(cut_at);
    p->last_ = nullptr;
  }
  Block* last = p->last_;
  // How the last block left, read before this one's record may replace it (the same start, cut differently).
  if (last && last->ends_in_call) p->enter(static_cast<uint32_t>(addr), false);
  if (last && last->ends_in_return) p->unwind(p->m_.reg(UC_X86_REG_ESP));
  bool jumped = last && last->ends_in_jump;
  uint32_t from = last ? last->function : 0;
  // A loop of one block is the commonest hot spot: it needs no look-up.
  bool again = last && addr == p->last_addr_ && size == last->size;
  Block& b = again ? *last : p->block_at(static_cast<uint32_t>(addr), size);
  if (jumped && b.entry && b.function != from) p->enter(static_cast<uint32_t>(addr), true);
  ++b.runs;
  p->total_ += b.insns.size();
  p->last_ = &b;
  p->last_addr_ = static_cast<uint32_t>(addr);
}

Profile::Block& Profile::block_at(uint32_t addr, uint32_t size) {
  Block& b = blocks_[addr];
  if (b.decoded && b.size == size) return b;
  // Code rewritten (or cut differently, as single steps are): what the old block ran stays counted.
  for (uint32_t insn : b.insns) extra_[insn] += static_cast<int64_t>(b.runs);
  b.runs = 0;
  b.size = size;
  decode(b, addr);
  return b;
}

void Profile::decode(Block& b, uint32_t addr) {
  b.decoded = true;
  b.insns.clear();
  b.ends_in_call = b.ends_in_jump = b.ends_in_return = false;
  b.calls = nullptr;
  std::optional<uint32_t> function = image_.function_start(addr);
  b.function = function.value_or(0);
  b.entry = function == addr;
  uint32_t at = addr, end = addr + b.size;
  while (at < end) {
    GuestCode code(m_, at, end - at, 0);
    if (code.size() == 0) break;
    for (size_t i = 0; i < code.size(); ++i) b.insns.push_back(static_cast<uint32_t>(code[i].address));
    const cs_insn& last = code[code.size() - 1];
    at = static_cast<uint32_t>(last.address + last.size);
    b.ends_in_call = code.in_group(code.size() - 1, CS_GRP_CALL);
    b.ends_in_jump = last.id == X86_INS_JMP;
    b.ends_in_return = code.in_group(code.size() - 1, CS_GRP_RET);
  }
}

void Profile::enter(uint32_t callee, bool tail) {
  uint32_t slot = m_.reg(UC_X86_REG_ESP);
  // A frame whose slot a call reuses has been left without a return; a tail call shares its caller's slot.
  unwind(uint64_t{slot} + (tail ? 0 : 1));
  if (stack_.size() >= kDeepest) return;
  if (last_->callee != callee || !last_->calls) {
    last_->callee = callee;
    last_->calls = calls_of(last_->insns.back(), callee);
  }
  stack_.push_back({last_->calls, slot, total_});
}

Profile::Calls* Profile::calls_of(uint32_t site, uint32_t callee) {
  uint64_t key = uint64_t{site} << 32 | callee;
  auto it = calls_.find(key);
  if (it == calls_.end() && calls_.size() < kMostCallPairs) it = calls_.emplace(key, Calls{}).first;
  return it == calls_.end() ? nullptr : &it->second;
}

void Profile::unwind(uint64_t above) {
  while (!stack_.empty() && stack_.back().slot < above) close_frame();
}

void Profile::close_frame() {
  const Frame& f = stack_.back();
  if (f.calls) {
    ++f.calls->count;
    f.calls->inclusive += total_ - f.start;
  } else {
    ++calls_dropped_;
  }
  stack_.pop_back();
}

void Profile::settle_at_fault(uint32_t eip) {
  if (!last_ || eip < last_addr_ || eip - last_addr_ >= last_->size) return;
  for (uint32_t insn : last_->insns) {
    if (insn < eip) continue;
    --extra_[insn];
    --total_;
  }
}

std::string Profile::render(const std::string& command) {
  while (!stack_.empty()) close_frame();  // the calls the process ended in
  std::map<uint32_t, uint64_t> executed;
  for (const auto& [addr, b] : blocks_.records())
    for (uint32_t insn : b.insns) executed[insn] += b.runs;
  for (const auto& [insn, n] : extra_) executed[insn] += static_cast<uint64_t>(n);
  LineTable table(image_);
  Texts texts;
  Places places(image_, table, texts);
  std::map<Function, FunctionCosts> functions;
  for (const auto& [insn, n] : executed) {
    if (n == 0) continue;
    Position at = places.position(insn);
    functions[places.function(insn)].lines[{at.file, at.line}] += n;
  }
  for (const auto& [key, c] : calls_) {
    uint32_t site = static_cast<uint32_t>(key >> 32), callee = static_cast<uint32_t>(key);
    Position at = places.position(site);
    Function callee_fn = places.function(callee);
    auto& [count, inclusive] = functions[places.function(site)].calls[{at.file, at.line, callee_fn}];
    count += c.count;
    inclusive += c.inclusive;
  }
  std::string cmd = elf::printable(command.substr(0, kLongestName));
  std::string out = strf("# callgrind format\nversion: 1\ncreator: tavik-run\npid: %d\ncmd: %s\npart: 1\n\n",
                         static_cast<int>(::getpid()), cmd.c_str());
  out += strf("positions: line\nevents: Ir\nsummary: %llu\n", static_cast<unsigned long long>(total_));
  if (calls_dropped_)
    out += strf("# %llu calls from more than %zu distinct call sites and callees are left out\n",
                static_cast<unsigned long long>(calls_dropped_), kMostCallPairs);
  Compression files(texts), names(texts);
  for (const auto& [fn, costs] : functions) {
    out += "\nfl=" + files(fn.file) + "\nfn=" + names(fn.name) + "\n";
    uint32_t current = fn.file;
    auto in_file = [&](uint32_t file) {
      if (file != current) out += "fi=" + files(file) + "\n";
      current = file;
    };
    for (const auto& [where, n] : costs.lines) {
      in_file(where.first);
      out += strf("%d %llu\n", where.second, static_cast<unsigned long long>(n));
    }
    for (const auto& [place, c] : costs.calls) {
      in_file(place.site_file);
      out += "cfi=" + files(place.callee.file) + "\ncfn=" + names(place.callee.name) + "\n";
      out += strf("calls=%llu %d\n%d %llu\n", static_cast<unsigned long long>(c.first), place.callee.line,
                  place.site_line, static_cast<unsigned long long>(c.second));
    }
  }
  out += strf("\ntotals: %llu\n", static_cast<unsigned long long>(total_));
  return out;
}

}  // namespace tavik
