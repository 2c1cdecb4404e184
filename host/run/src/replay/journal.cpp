// Journal: recorded events decoded where they lie, a debugged run's kept in order.
#include "replay/journal.hpp"

#include "replay/recording.hpp"

namespace tavik {

bool Journal::known() const {
  if (log_) return pos_ < log_->events.size();
  return pos_ >= base_ && pos_ - base_ < live_.size();
}

record::Tag Journal::tag() const {
  if (!log_) return live_[pos_ - base_].tag;
  return rec_->at(log_->events[pos_]).tag();
}

void Journal::take(bool& fresh) {
  fresh = pos_ >= frontier_;
  if (fresh) frontier_ = pos_ + 1;
}

record::Call Journal::call(bool& fresh) {
  take(fresh);
  if (!log_) return live_[pos_++ - base_].call;
  record::Decoder d = rec_->at(log_->events[pos_++]);
  d.tag();
  return d.call();
}

uint64_t Journal::tsc(bool& fresh) {
  take(fresh);
  if (!log_) return live_[pos_++ - base_].tsc;
  record::Decoder d = rec_->at(log_->events[pos_++]);
  d.tag();
  return d.tsc().value;
}

uint64_t Journal::size_of(const Event& e) {
  uint64_t n = sizeof(Event) + e.call.out.size();
  for (const record::GuestWrite& w : e.call.writes) n += sizeof w + w.bytes.size();
  return n;
}

void Journal::append(record::Call c) {
  live_.push_back({record::Tag::Call, std::move(c), 0});
  bytes_ += size_of(live_.back());
  pos_ = frontier_ = base_ + live_.size();
}

void Journal::append_tsc(uint64_t value) {
  live_.push_back({record::Tag::Tsc, {}, value});
  bytes_ += size_of(live_.back());
  pos_ = frontier_ = base_ + live_.size();
}

void Journal::drop_future() {
  if (log_ || pos_ < base_) return;
  while (base_ + live_.size() > pos_) {
    bytes_ -= size_of(live_.back());
    live_.pop_back();
  }
  frontier_ = pos_;
}

void Journal::forget_before(uint64_t pos) {
  while (!live_.empty() && base_ < pos) {
    bytes_ -= size_of(live_.front());
    live_.pop_front();
    ++base_;
  }
}

}  // namespace tavik
