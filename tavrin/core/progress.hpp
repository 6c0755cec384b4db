// A counting range that shows its progress on standard error while a loop walks it.
//
//   for (std::size_t i : tavrin::trange(3, "构建文档中")) { ... }
//   // stderr, when not a terminal, once at the end:
//   // 构建文档中: 100%|##########| 3/3 [00:00<00:00, 41000.00it/s]
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <iosfwd>
#include <string>

namespace tavrin {

/// One display line: `desc`, percentage, a ten-cell bar, count, elapsed and remaining time
/// and rate. `total` 0 shows as complete.
std::string progress_line(const std::string& desc, std::size_t done, std::size_t total,
                          std::chrono::duration<double> elapsed);

/// One line of status on `out` that a long task updates: when `live` (a terminal) redrawn in
/// place at most ten times a second; else written as a line of its own every `plain_interval`
/// (a log: zero writes none) and once when the task ends. `out` must outlive it.
class StatusLine {
 public:
  StatusLine(std::ostream& out, bool live, std::chrono::steady_clock::duration plain_interval = {});

  /// Draws the line `render` makes when it is due: live, a tenth of a second after the last
  /// draw, or at once with `now`; else `plain_interval` after the last line. `render` is not
  /// called otherwise.
  void update(const std::function<std::string()>& render, bool now = false);

  /// Writes `line` as the last one, ended by a line feed.
  void finish(const std::string& line);

 private:
  using Clock = std::chrono::steady_clock;

  std::ostream& out_;
  bool live_;
  Clock::duration plain_interval_;
  Clock::time_point last_draw_;
};

/// The range 0 .. n-1 with a progress display. Live mode redraws one line in place on `out`
/// at most ten times a second; otherwise a single summary line is written when the walk
/// ends (the last value is passed, or the range is destroyed after an early exit).
/// Not copyable: the range owns the display. `out` must outlive the range.
class ProgressRange {
 public:
  class iterator {
   public:
    using value_type = std::size_t;
    using difference_type = std::ptrdiff_t;

    iterator() = default;
    std::size_t operator*() const { return i_; }
    iterator& operator++();
    void operator++(int) { ++*this; }
    bool operator==(const iterator& other) const { return i_ == other.i_; }

   private:
    friend class ProgressRange;
    iterator(ProgressRange* range, std::size_t i) : range_(range), i_(i) {}
    ProgressRange* range_ = nullptr;
    std::size_t i_ = 0;
  };

  ProgressRange(std::size_t n, std::string desc, std::ostream& out, bool live);
  ProgressRange(const ProgressRange&) = delete;
  ProgressRange& operator=(const ProgressRange&) = delete;
  ~ProgressRange();

  iterator begin();
  iterator end() { return iterator(this, n_); }

 private:
  using Clock = std::chrono::steady_clock;

  void advance(std::size_t done);
  std::string line() const;
  void finish();

  std::size_t n_;
  std::string desc_;
  StatusLine status_;
  bool started_ = false;
  bool finished_ = false;
  std::size_t done_ = 0;
  Clock::time_point start_;
};

/// The range 0 .. n-1, shown on standard error under `desc`: live when standard error is a
/// terminal, else one summary line at the end.
ProgressRange trange(std::size_t n, const std::string& desc);

}  // namespace tavrin
