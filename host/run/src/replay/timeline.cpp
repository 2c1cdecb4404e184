// Timeline: checkpoints of shared pages, thinned to a bound; going back is putting one back.
#include "replay/timeline.hpp"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "base/errors.hpp"
#include "cpu/machine.hpp"
#include "replay/journal.hpp"

namespace tavik {

Timeline::Timeline(Machine& m, Journal& journal, uint64_t* executed, uint64_t memory_limit)
    : m_(m), journal_(journal), executed_(executed), limit_(memory_limit), ranges_(m.writable_ranges()) {
  size_t total = 0;
  for (auto& [addr, size] : ranges_) total += size;
  now_.resize(total);
}

Timeline::~Timeline() = default;

void Timeline::read_memory() {
  size_t at = 0;
  for (auto& [addr, size] : ranges_) {
    if (!m_.peek(addr, now_.data() + at, size)) throw EmulatorError("a checkpoint cannot read the guest's memory");
    at += size;
  }
}

void Timeline::take(uint64_t position) {
  read_memory();
  Point p{position, journal_.position(), executed_ ? *executed_ : 0, m_.save_cpu(), {}};
  const Point* last = points_.empty() ? nullptr : &points_.back();
  size_t pages = now_.size() / sizeof(Page);
  p.pages.reserve(pages);
  for (size_t i = 0; i < pages; ++i) {
    const uint8_t* bytes = now_.data() + i * sizeof(Page);
    if (last && std::memcmp(last->pages[i]->data(), bytes, sizeof(Page)) == 0) {
      p.pages.push_back(last->pages[i]);
      continue;
    }
    auto page = std::make_shared<Page>();
    std::memcpy(page->data(), bytes, sizeof(Page));
    p.pages.push_back(std::move(page));
    page_bytes_ += sizeof(Page);
  }
  points_.push_back(std::move(p));
  next_ = position + interval_;
  bound();
}

// Past the bound, every other checkpoint goes and the interval doubles; with two left, the older goes, and the
// journal's events before the first that is kept.
void Timeline::bound() {
  auto over = [&] { return page_bytes_ + journal_.bytes() > limit_; };
  while (over() && points_.size() > 2) {
    std::vector<Point> kept;
    for (size_t i = 0; i < points_.size(); ++i)
      if (i % 2 == 0 || i + 1 == points_.size()) kept.push_back(std::move(points_[i]));
    points_ = std::move(kept);
    interval_ *= 2;
    recount();
  }
  while (over() && points_.size() > 1) {
    points_.erase(points_.begin());
    recount();
  }
  if (!points_.empty()) journal_.forget_before(points_.front().journal);
}

void Timeline::recount() {
  std::unordered_set<const Page*> seen;
  for (const Point& p : points_)
    for (const auto& page : p.pages) seen.insert(page.get());
  page_bytes_ = seen.size() * sizeof(Page);
}

uint64_t Timeline::first() const { return points_.empty() ? UINT64_MAX : points_.front().position; }

uint64_t Timeline::restore(uint64_t position, bool before) {
  auto it = std::upper_bound(points_.begin(), points_.end(), position - (before ? 1 : 0),
                             [](uint64_t pos, const Point& p) { return pos < p.position; });
  if (it == points_.begin()) throw EmulatorError("no checkpoint to go back to");
  const Point& p = *--it;
  read_memory();
  size_t at = 0, page = 0;
  for (auto& [addr, size] : ranges_) {
    for (uint32_t off = 0; off < size; off += sizeof(Page), ++page) {
      const uint8_t* now = now_.data() + at + off;
      if (std::memcmp(now, p.pages[page]->data(), sizeof(Page)) != 0)
        m_.restore_bytes(addr + off, p.pages[page]->data(), sizeof(Page));
    }
    at += size;
  }
  journal_.seek(p.journal);
  if (executed_) *executed_ = p.executed;
  m_.restore_cpu(p.cpu);
  return p.position;
}

void Timeline::forget() {
  points_.clear();
  page_bytes_ = 0;
  next_ = 0;
}

}  // namespace tavik
