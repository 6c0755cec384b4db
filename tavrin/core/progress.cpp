#include "tavrin/core/progress.hpp"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <iostream>

namespace tavrin {

namespace {

constexpr int kBarCells = 10;
constexpr std::chrono::milliseconds kRedrawInterval{100};

// mm:ss, or h:mm:ss from one hour on.
std::string clock_text(double seconds) {
  const auto total = static_cast<long long>(seconds);
  char buffer[32];
  if (total >= 3600) {
    std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60,
                  total % 60);
  } else {
    std::snprintf(buffer, sizeof buffer, "%02lld:%02lld", total / 60, total % 60);
  }
  return buffer;
}

}  // namespace

std::string progress_line(const std::string& desc, std::size_t done, std::size_t total,
                          std::chrono::duration<double> elapsed) {
  const double fraction = total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
  const int filled = static_cast<int>(fraction * kBarCells);
  const double seconds = elapsed.count();
  const bool rate_known = seconds > 0 && done > 0;
  const double rate = rate_known ? static_cast<double>(done) / seconds : 0.0;

  std::string line = desc.empty() ? "" : desc + ": ";
  char number[64];
  std::snprintf(number, sizeof number, "%3.0f%%|", std::floor(fraction * 100));
  line += number;
  line.append(static_cast<std::size_t>(filled), '#');
  line.append(static_cast<std::size_t>(kBarCells - filled), ' ');
  line +=
      "| " + std::to_string(done) + "/" + std::to_string(total) + " [" + clock_text(seconds) + "<";
  line += rate_known ? clock_text(static_cast<double>(total - done) / rate) : "?";
  if (rate_known) {
    std::snprintf(number, sizeof number, ", %.2fit/s]", rate);
    line += number;
  } else {
    line += ", ?it/s]";
  }
  return line;
}

ProgressRange::iterator& ProgressRange::iterator::operator++() {
  ++i_;
  range_->advance(i_);
  return *this;
}

StatusLine::StatusLine(std::ostream& out, bool live, Clock::duration plain_interval)
    : out_(out), live_(live), plain_interval_(plain_interval), last_draw_(Clock::now()) {}

void StatusLine::update(const std::function<std::string()>& render, bool now) {
  const Clock::time_point time = Clock::now();
  if (!live_) {
    if (plain_interval_ == Clock::duration::zero() || time - last_draw_ < plain_interval_) return;
    last_draw_ = time;
    out_ << render() + "\n" << std::flush;
    return;
  }
  if (!now && time - last_draw_ < kRedrawInterval) return;
  last_draw_ = time;
  // Cleared after the text, so that a shorter line leaves nothing of the one before.
  out_ << '\r' + render() + "\033[K" << std::flush;
}

void StatusLine::finish(const std::string& line) {
  out_ << (live_ ? "\r" + line + "\033[K\n" : line + "\n") << std::flush;
}

ProgressRange::ProgressRange(std::size_t n, std::string desc, std::ostream& out, bool live)
    : n_(n), desc_(std::move(desc)), status_(out, live) {}

ProgressRange::~ProgressRange() {
  // An early exit from the loop still closes the display; a failing stream must not throw
  // out of a destructor.
  try {
    finish();
  } catch (...) {
  }
}

ProgressRange::iterator ProgressRange::begin() {
  started_ = true;
  start_ = Clock::now();
  status_.update([this] { return line(); }, true);
  if (n_ == 0) finish();
  return iterator(this, 0);
}

void ProgressRange::advance(std::size_t done) {
  done_ = done;
  if (done >= n_) {
    finish();
    return;
  }
  status_.update([this] { return line(); });
}

std::string ProgressRange::line() const {
  return progress_line(desc_, done_, n_, Clock::now() - start_);
}

void ProgressRange::finish() {
  if (finished_) return;
  finished_ = true;
  if (!started_) return;  // never walked: nothing to report
  status_.finish(line());
}

ProgressRange trange(std::size_t n, const std::string& desc) {
  return ProgressRange(n, desc, std::cerr, isatty(STDERR_FILENO) == 1);
}

}  // namespace tavrin
