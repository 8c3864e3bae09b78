// Progress of long operations (batch insertion, rebuild, replay): a callback that hears
// (done, total) on the thread that started the work, at most a few times a second, so that a
// caller behind an interpreter lock pays for it only that often.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

namespace tarnwell_core {

// Called with (done, total) as work advances and once at the end with done == total. Returning
// false stops the reports; the work itself goes on.
using ProgressFn = std::function<bool(size_t done, size_t total)>;

// Throttles a ProgressFn to one report per interval, plus the last one. Used on one thread.
class ProgressReporter {
 public:
  static constexpr std::chrono::milliseconds kInterval{200};

  ProgressReporter(const ProgressFn& fn, size_t total) : fn_(fn), total_(total) {}

  // Reports `done` if the interval has passed since the last report.
  void advance(size_t done) {
    if (!fn_) return;
    const auto now = std::chrono::steady_clock::now();
    if (started_ && now - last_ < kInterval) return;
    started_ = true;
    last_ = now;
    report(done);
  }
  // The final report (done == total), unless the callback asked to stop.
  void finish() {
    if (fn_) report(total_);
  }
  bool active() const { return static_cast<bool>(fn_); }

 private:
  void report(size_t done) {
    if (!fn_(done, total_)) fn_ = nullptr;
  }

  ProgressFn fn_;
  const size_t total_;
  bool started_ = false;
  std::chrono::steady_clock::time_point last_;
};

}  // namespace tarnwell_core
