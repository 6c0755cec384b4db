#include "tavrin/labeling/report.hpp"

#include <cmath>
#include <cstdio>

#include "tavrin/core/text.hpp"
#include "tavrin/labeling/evaluation.hpp"

namespace tavrin::labeling {
namespace {

constexpr std::size_t kSummaryConfusions = 3;  // the most frequent of each field

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string duration(double seconds) {
  const auto s = static_cast<long long>(std::llround(seconds));
  if (s < 60) return std::to_string(s) + "s";
  if (s < 3600) return std::to_string(s / 60) + "m" + std::to_string(s % 60) + "s";
  return std::to_string(s / 3600) + "h" + std::to_string(s / 60 % 60) + "m";
}

// `text` padded with blanks to `width` terminal columns (at least one blank after it).
std::string padded(const std::string& text, std::size_t width) {
  const std::size_t columns = display_width(text);
  return text + std::string(columns < width ? width - columns : 1, ' ');
}

// Over the values with a true label: the model's and the checked accuracy (a failed record's
// values are wrong), the share answered, the checked accuracy among the answered, the share
// abstained, and the checked accuracy among the answered values not abstained.
std::string accuracy_row(const std::string& name, const FieldTally& t) {
  const std::size_t answered = t.gold - t.gold_failed;
  return "    " + padded(name, 12) + padded(percent(t.predicted_right, t.gold), 11) +
         padded(percent(t.checked_right, t.gold), 9) + padded(percent(answered, t.gold), 10) +
         padded(percent(t.checked_right, answered), 13) +
         padded(percent(t.gold_abstained, t.gold), 11) +
         percent(t.checked_right, answered - t.gold_abstained) + "  (" + std::to_string(t.gold) +
         " with a true label)";
}

}  // namespace

std::string percent(std::size_t part, std::size_t whole) {
  return whole == 0
             ? "-"
             : fixed(100.0 * static_cast<double>(part) / static_cast<double>(whole), 1) + "%";
}

std::string values_line(const FieldTally& t) {
  std::string line = std::to_string(t.kept) + " kept, ";
  const auto add_if_any = [&](std::size_t count, const char* name) {
    if (count > 0) line += std::to_string(count) + " " + name + ", ";
  };
  add_if_any(t.normalized, "normalized");
  line += std::to_string(t.replaced) + " replaced, ";
  add_if_any(t.asked, "asked");
  line += std::to_string(t.abstained) + " abstained, ";
  add_if_any(t.no_answer, "no answer");
  add_if_any(t.invalid, "invalid");
  add_if_any(t.low_confidence, "low confidence");
  add_if_any(t.reviewed, "reviewed");
  return line + std::to_string(t.missing) + " missing";
}

std::string token_summary(std::uint64_t prompt, std::uint64_t cached, std::uint64_t completion) {
  return std::to_string(prompt) + " prompt" +
         (cached > 0 ? " (" + std::to_string(cached) + " cached)" : "") + " + " +
         std::to_string(completion) + " completion";
}

std::string progress_line(const JobTally& tally, std::chrono::duration<double> elapsed) {
  const std::size_t this_run = tally.done - tally.resumed;
  const double rate = elapsed.count() > 0 ? static_cast<double>(this_run) / elapsed.count() : 0;
  const std::size_t left = tally.total > tally.done ? tally.total - tally.done : 0;
  std::string line = std::to_string(tally.done) + "/" + std::to_string(tally.total) + " records, " +
                     fixed(rate, 1) + "/s";
  if (left > 0) line += ", ETA " + (rate > 0 ? duration(static_cast<double>(left) / rate) : "?");
  return line + ", " + std::to_string(tally.failed) + " failed, " + std::to_string(tally.retries) +
         " retries, " + std::to_string(tally.prompt_tokens + tally.completion_tokens) + " tokens";
}

std::vector<std::string> summary_lines(const JobTally& tally, const std::string& out_path) {
  std::vector<std::string> lines;
  lines.push_back("  records   " + std::to_string(tally.done) + " of " +
                  std::to_string(tally.total) + " done (" +
                  std::to_string(tally.done - tally.resumed) + " this run, " +
                  std::to_string(tally.resumed) + " from an earlier run)");
  if (tally.done < tally.total) {
    lines.push_back("  not sent  " + std::to_string(tally.total - tally.done) +
                    " (not counted below; a run again takes them)");
  }
  if (tally.failed > 0) {
    lines.push_back("  failed    " + std::to_string(tally.failed) + " (their lines in " + out_path +
                    " carry an \"error\"; a run with retry_failed does them again)");
  }
  lines.push_back("  retries   " + std::to_string(tally.retries) + ", tokens " +
                  token_summary(tally.prompt_tokens, tally.cached_tokens, tally.completion_tokens) +
                  " (this run)");
  if (tally.budget) {
    std::string line = "  budget    " + std::to_string(tally.budget->used) + " of " +
                       std::to_string(tally.budget->limit) + " tokens used";
    if (tally.budget->spent) {
      line +=
          "; the budget stopped the job: the next request could have passed it (a run "
          "again with a larger budget goes on)";
    }
    lines.push_back(std::move(line));
  }
  if (tally.rate_limited > 0 || tally.paced.count() > 0) {
    lines.push_back("  rate      " + std::to_string(tally.rate_limited) +
                    " replies said the rate limit was reached (429); waited " +
                    fixed(std::chrono::duration<double>(tally.paced).count(), 1) +
                    " s to stay under the limits");
  }
  if (tally.batch) {
    const JobTally::Batch& b = *tally.batch;
    std::string line = "  batch     " + std::to_string(b.created) + " batches created, " +
                       std::to_string(b.found) + " of an earlier run waited for; " +
                       std::to_string(b.submitted) + " requests submitted";
    if (b.again > 0) line += " (" + std::to_string(b.again) + " again, left by an ended batch)";
    if (b.online > 0) line += ", " + std::to_string(b.online) + " asked online";
    lines.push_back(line + "; tokens at the batch rate " +
                    token_summary(b.prompt_tokens, 0, b.completion_tokens));
  }
  if (!tally.format_note.empty()) lines.push_back("  format    " + tally.format_note);
  if (tally.embedding_calls > 0) {
    lines.push_back("  embedded  " + std::to_string(tally.embedded_texts) + " texts in " +
                    std::to_string(tally.embedding_calls) + " calls (this run)");
  }
  const FieldTally all = tally.all_fields();
  lines.push_back("  values    " + values_line(all));
  if (all.gold == 0) return lines;
  lines.push_back(
      "  accuracy  against the true labels (a failed record's values count as wrong; "
      "abstained: left null by the check)");
  lines.push_back("    " + padded("field", 12) + padded("predicted", 11) + padded("checked", 9) +
                  padded("answered", 10) + padded("of answered", 13) + padded("abstained", 11) +
                  "not abstained");
  for (const auto& [field, t] : tally.fields) lines.push_back(accuracy_row(field, t));
  lines.push_back(accuracy_row("all fields", all));
  // Per label only when the tally counted the labels (a tally built by hand may not).
  std::string f1;
  std::vector<std::string> confusions;
  for (const auto& [field, t] : tally.fields) {
    const auto scores = label_scores(t);
    if (scores.empty()) continue;
    f1 += (f1.empty() ? "" : ", ") + field + " " + fixed(*macro_f1(scores), 3);
    for (const std::string& c : top_confusions(t, kSummaryConfusions)) {
      confusions.push_back((tally.fields.size() > 1 ? field + ": " : "") + c);
    }
  }
  if (!f1.empty()) lines.push_back("  macro-F1  " + f1);
  if (!confusions.empty()) {
    std::string line = "  confused  ";
    for (std::size_t i = 0; i < confusions.size(); ++i) line += (i > 0 ? ", " : "") + confusions[i];
    lines.push_back(line);
  }
  return lines;
}

}  // namespace tavrin::labeling
