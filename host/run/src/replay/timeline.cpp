// Timeline: checkpoints of shared pages, made from the pages written since, thinned to a bound; going back is
// putting one back.
#include "replay/timeline.hpp"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "base/errors.hpp"
#include "cpu/machine.hpp"
#include "replay/journal.hpp"

namespace tavik {
namespace {

constexpr uint32_t kPage = 4096;

}  // namespace

Timeline::Timeline(Machine& m, Journal& journal, uint64_t* executed, uint64_t memory_limit)
    : m_(m), journal_(journal), executed_(executed), limit_(memory_limit), ranges_(m.writable_ranges()) {
  for (auto& [addr, size] : ranges_) {
    first_page_.push_back(pages_);
    pages_ += size / kPage;
  }
  dirty_.assign(pages_, false);
  ever_.assign(pages_, false);
  for (uint32_t page = 0; page < pages_; ++page) ever_[page] = m_.kit_wrote(address_of(page));
  m_.watch_writes([this](uint32_t addr, uint32_t size) { written(addr, size); });
}

Timeline::~Timeline() { m_.watch_writes(nullptr); }

void Timeline::written(uint32_t addr, uint32_t size) {
  uint64_t end = uint64_t{addr} + (size ? size : 1);
  for (size_t r = 0; r < ranges_.size(); ++r) {
    uint64_t lo = std::max<uint64_t>(addr, ranges_[r].first);
    uint64_t hi = std::min<uint64_t>(end, uint64_t{ranges_[r].first} + ranges_[r].second);
    for (uint64_t at = lo; at < hi; at = (at / kPage + 1) * kPage) {
      uint32_t page = first_page_[r] + static_cast<uint32_t>((at - ranges_[r].first) / kPage);
      ever_[page] = true;
      if (dirty_[page]) continue;
      dirty_[page] = true;
      dirty_list_.push_back(page);
    }
  }
}

uint32_t Timeline::address_of(uint32_t page) const {
  size_t r = std::upper_bound(first_page_.begin(), first_page_.end(), page) - first_page_.begin() - 1;
  return ranges_[r].first + (page - first_page_[r]) * kPage;
}

const Timeline::PagePtr& Timeline::zero() {
  static const PagePtr page = std::make_shared<const Page>();
  return page;
}

Timeline::PagePtr Timeline::read_page(uint32_t page) const {
  auto bytes = std::make_shared<Page>();
  if (!m_.peek(address_of(page), bytes->data(), kPage)) throw EmulatorError("a checkpoint cannot read the guest's memory");
  if (std::all_of(bytes->begin(), bytes->end(), [](uint8_t b) { return b == 0; })) return zero();
  return bytes;
}

void Timeline::consider(uint64_t position) {
  if (!points_.empty() && (position <= points_.back().position || std::chrono::steady_clock::now() < due_)) return;
  take(position);
}

std::vector<uint32_t> Timeline::differing(size_t to) const {
  std::vector<uint32_t> pages = dirty_list_;
  size_t lo = std::min(to, base_), hi = std::max(to, base_);
  for (size_t i = lo + 1; i <= hi; ++i) pages.insert(pages.end(), points_[i].changed.begin(), points_[i].changed.end());
  std::sort(pages.begin(), pages.end());
  pages.erase(std::unique(pages.begin(), pages.end()), pages.end());
  return pages;
}

void Timeline::take(uint64_t position) {
  Point p{position, journal_.position(), executed_ ? *executed_ : 0, m_.save_cpu(), {}, {}};
  if (points_.empty()) {
    // The first holds every page: read once where anything was ever written, the zero ones all one.
    p.pages.reserve(pages_);
    for (uint32_t page = 0; page < pages_; ++page) {
      p.pages.push_back(ever_[page] ? read_page(page) : zero());
      if (std::any_of(p.pages.back()->begin(), p.pages.back()->end(), [](uint8_t b) { return b != 0; }))
        page_bytes_ += kPage;
    }
  } else {
    const Point& last = points_.back();
    p.pages = last.pages;
    for (uint32_t page : differing(points_.size() - 1)) {
      PagePtr now = read_page(page);
      if (now == last.pages[page] || std::memcmp(now->data(), last.pages[page]->data(), kPage) == 0) continue;
      p.pages[page] = std::move(now);
      p.changed.push_back(page);
      page_bytes_ += kPage;
    }
  }
  page_bytes_ += pages_ * sizeof(PagePtr) + m_.cpu_state_size();
  points_.push_back(std::move(p));
  base_ = points_.size() - 1;
  for (uint32_t page : dirty_list_) dirty_[page] = false;
  dirty_list_.clear();
  bound();
  // The time a checkpoint takes is not running time.
  due_ = std::chrono::steady_clock::now() + interval_;
}

// Past the bound, every other checkpoint goes (its changes go to the one after it) and the interval doubles; with
// two left, the older goes, and the journal's events before the first that is kept.
void Timeline::bound() {
  auto over = [&] { return page_bytes_ + journal_.bytes() > limit_; };
  auto drop = [&](size_t i) {
    if (i + 1 < points_.size()) {
      std::vector<uint32_t>& next = points_[i + 1].changed;
      next.insert(next.end(), points_[i].changed.begin(), points_[i].changed.end());
      std::sort(next.begin(), next.end());
      next.erase(std::unique(next.begin(), next.end()), next.end());
    }
    points_.erase(points_.begin() + static_cast<std::ptrdiff_t>(i));
  };
  while (over() && points_.size() > 2) {
    for (size_t i = 1; i + 1 < points_.size(); ++i) drop(i);
    // Going back costs at most the interval's re-execution: it grows, but not past a few seconds.
    interval_ = std::min<std::chrono::steady_clock::duration>(interval_ * 2, std::chrono::seconds(5));
    recount();
  }
  while (over() && points_.size() > 1) {
    drop(0);
    recount();
  }
  base_ = points_.size() - 1;
  if (!points_.empty()) journal_.forget_before(points_.front().journal);
}

void Timeline::recount() {
  std::unordered_set<const Page*> seen;
  for (const Point& p : points_)
    for (const PagePtr& page : p.pages) seen.insert(page.get());
  page_bytes_ = seen.size() * kPage + points_.size() * (pages_ * sizeof(PagePtr) + m_.cpu_state_size());
}

uint64_t Timeline::first() const { return points_.empty() ? UINT64_MAX : points_.front().position; }

uint64_t Timeline::restore(uint64_t position, bool before) {
  auto it = std::upper_bound(points_.begin(), points_.end(), position - (before ? 1 : 0),
                             [](uint64_t pos, const Point& p) { return pos < p.position; });
  if (it == points_.begin()) throw EmulatorError("no checkpoint to go back to");
  size_t to = static_cast<size_t>(--it - points_.begin());
  const Point& p = points_[to];
  for (uint32_t page : differing(to)) {
    Page now;
    uint32_t addr = address_of(page);
    if (!m_.peek(addr, now.data(), kPage) || std::memcmp(now.data(), p.pages[page]->data(), kPage) != 0)
      m_.restore_bytes(addr, p.pages[page]->data(), kPage);
  }
  for (uint32_t page : dirty_list_) dirty_[page] = false;
  dirty_list_.clear();
  base_ = to;
  journal_.seek(p.journal);
  if (executed_) *executed_ = p.executed;
  m_.restore_cpu(p.cpu);
  return p.position;
}

void Timeline::forget() {
  journal_.drop_future();
  points_.clear();
  page_bytes_ = 0;
  base_ = 0;
  for (uint32_t page : dirty_list_) dirty_[page] = false;
  dirty_list_.clear();
}

}  // namespace tavik
