// One self-contained HTML page from an evaluation: inline CSS and inline SVG only, no script
// that runs, no font, image or link to fetch, so that it opens offline and anywhere.
//
//   std::string page = html_report(evaluate_results({"results.jsonl"}), {.title = "Tickets"});
//   // <!DOCTYPE html>…<figure data-chart="reliability" data-field="category">…
//
// Every number a chart draws is in the page as data too: each drawn element carries its own in
// data-* attributes, and one <script type="application/json" id="tavrin-report-data"> (not
// executed) holds Evaluation::to_json().
#pragma once

#include <string>

#include "tavrin/labeling/evaluation.hpp"

namespace tavrin::labeling {

struct HtmlReportOptions {
  std::string title = "tavrin report";
};

/// The page of `evaluation`: per field and for all fields, accuracy, coverage, macro-F1, the
/// confusion matrix, the per-label table, the reliability diagram with ECE, the risk-coverage
/// curve (its threshold marked), the similarity histograms, the decisions, and the examples;
/// then tokens, retries and failures. Every text from the data is escaped.
std::string html_report(const Evaluation& evaluation, const HtmlReportOptions& options = {});

/// `text` with &, <, >, " and ' written as character references.
std::string html_escape(const std::string& text);

}  // namespace tavrin::labeling
