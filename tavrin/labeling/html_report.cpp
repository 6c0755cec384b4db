#include "tavrin/labeling/html_report.hpp"

#include <algorithm>
#include <cstdio>

#include "tavrin/core/text.hpp"

namespace tavrin::labeling {
namespace {

// Chart geometry: a plot area inside margins that hold the axes' labels.
constexpr double kWidth = 360;
constexpr double kHeight = 240;
constexpr double kLeft = 44;
constexpr double kRight = 12;
constexpr double kTop = 12;
constexpr double kBottom = 32;
constexpr double kPlotW = kWidth - kLeft - kRight;
constexpr double kPlotH = kHeight - kTop - kBottom;

const char* const kStyle = R"(
body{font-family:system-ui,sans-serif;margin:2em auto;max-width:72em;padding:0 1em;color:#222}
h1{font-size:1.6em}h2{font-size:1.3em;border-bottom:1px solid #ccc;margin-top:2em}
h3{font-size:1.05em;margin-bottom:.3em}
table{border-collapse:collapse;margin:.5em 0;font-size:.9em}
td,th{border:1px solid #ddd;padding:.2em .5em;text-align:right}
th{background:#f4f4f4}td.text,th.text{text-align:left}
.figures{display:flex;flex-wrap:wrap;gap:1.5em}.figures div{min-width:8em}
.figures b{display:block;font-size:1.4em}
figure{display:inline-block;width:360px;margin:.5em 1.5em .5em 0;vertical-align:top}
figcaption{font-size:.9em;color:#555}
svg text{font-size:10px;fill:#444}
.note{color:#666;font-size:.9em}
)";

std::string number(double value, int decimals = 6) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string share(double value) { return number(100 * value, 1) + "%"; }

std::string attr(const char* name, const std::string& value) {
  return std::string(" ") + name + "=\"" + html_escape(value) + "\"";
}
std::string attr(const char* name, std::size_t value) { return attr(name, std::to_string(value)); }
std::string attr(const char* name, double value) { return attr(name, number(value)); }

// A value's text for the page: null as "null", a string as it is, anything else in its form.
std::string shown(const Value& value) { return value.is_null() ? "null" : str(value); }

double x_of(double fraction) { return kLeft + fraction * kPlotW; }
double y_of(double fraction) { return kTop + (1 - fraction) * kPlotH; }

// The frame of a chart with both axes from 0 to 1, ticks every fifth, and their names.
std::string axes(const std::string& x_name, const std::string& y_name, double y_max = 1,
                 bool y_is_count = false) {
  std::string svg = "<rect x=\"" + number(kLeft, 0) + "\" y=\"" + number(kTop, 0) + "\" width=\"" +
                    number(kPlotW, 0) + "\" height=\"" + number(kPlotH, 0) +
                    "\" fill=\"none\" stroke=\"#999\"/>";
  for (int i = 0; i <= 5; ++i) {
    const double f = i / 5.0;
    svg += "<text x=\"" + number(x_of(f), 1) + "\" y=\"" + number(kHeight - kBottom + 12, 1) +
           "\" text-anchor=\"middle\">" + number(f, 1) + "</text>";
    const double tick = y_max * f;
    svg += "<text x=\"" + number(kLeft - 4, 1) + "\" y=\"" + number(y_of(f) + 3, 1) +
           "\" text-anchor=\"end\">" + (y_is_count ? number(tick, 0) : number(tick, 1)) + "</text>";
  }
  svg += "<text x=\"" + number(kLeft + kPlotW / 2, 1) + "\" y=\"" + number(kHeight - 4, 1) +
         "\" text-anchor=\"middle\">" + html_escape(x_name) + "</text>";
  svg += "<text transform=\"translate(10 " + number(kTop + kPlotH / 2, 1) +
         ") rotate(-90)\" text-anchor=\"middle\">" + html_escape(y_name) + "</text>";
  return svg;
}

std::string svg_open(const std::string& label) {
  return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + number(kWidth, 0) + "\" height=\"" +
         number(kHeight, 0) + "\" viewBox=\"0 0 " + number(kWidth, 0) + " " + number(kHeight, 0) +
         "\" role=\"img\"" + attr("aria-label", label) + ">";
}

std::string figure_open(const char* chart, const std::string& field) {
  return std::string("<figure") + attr("data-chart", std::string(chart)) +
         attr("data-field", field) + ">";
}

std::string reliability_chart(const FieldEvaluation& e) {
  std::string html = figure_open("reliability", e.field) + svg_open("reliability diagram") +
                     axes("confidence", "observed accuracy");
  html += "<line x1=\"" + number(x_of(0), 1) + "\" y1=\"" + number(y_of(0), 1) + "\" x2=\"" +
          number(x_of(1), 1) + "\" y2=\"" + number(y_of(1), 1) +
          "\" stroke=\"#bbb\" stroke-dasharray=\"4 3\"/>";
  for (const ReliabilityBin& b : e.reliability) {
    const double top = y_of(b.accuracy);
    html += "<rect class=\"bin\"" + attr("data-lower", b.lower) + attr("data-upper", b.upper) +
            attr("data-count", b.count) + attr("data-right", b.right) +
            attr("data-mean-confidence", b.mean_confidence) + attr("data-accuracy", b.accuracy) +
            " x=\"" + number(x_of(b.lower) + 1, 1) + "\" y=\"" + number(top, 1) + "\" width=\"" +
            number((b.upper - b.lower) * kPlotW - 2, 1) + "\" height=\"" +
            number(y_of(0) - top, 1) + "\" fill=\"" + (b.count == 0 ? "none" : "#6a9fd4") +
            "\"><title>" + number(b.lower, 1) + "–" + number(b.upper, 1) + ": " +
            std::to_string(b.count) + " values, accuracy " + share(b.accuracy) +
            ", mean confidence " + number(b.mean_confidence, 3) + "</title></rect>";
    if (b.count > 0) {
      html += "<circle cx=\"" + number(x_of(b.mean_confidence), 1) + "\" cy=\"" +
              number(y_of(b.accuracy), 1) + "\" r=\"2.5\" fill=\"#d4552f\"/>";
    }
  }
  html +=
      "</svg><figcaption>Reliability: bars are the observed accuracy of each confidence "
      "bin, dots sit at the bin's mean confidence; ECE " +
      (e.ece ? number(*e.ece, 4) : std::string("-")) + "</figcaption></figure>";
  return html;
}

std::string point_attrs(const CurvePoint& p) {
  return attr("data-confidence", p.confidence) + attr("data-count", p.count) +
         attr("data-coverage", p.coverage) + attr("data-accuracy", p.accuracy);
}

std::string risk_coverage_chart(const FieldEvaluation& e) {
  std::string html = figure_open("risk-coverage", e.field) + svg_open("risk-coverage curve") +
                     axes("coverage (values kept, most confident first)", "accuracy");
  std::string points;
  for (const CurvePoint& p : e.risk_coverage) {
    points += number(x_of(p.coverage), 1) + "," + number(y_of(p.accuracy), 1) + " ";
  }
  if (!points.empty()) {
    html += "<polyline points=\"" + points + "\" fill=\"none\" stroke=\"#2f6fb0\"/>";
  }
  for (const CurvePoint& p : e.risk_coverage) {
    html += "<circle class=\"point\"" + point_attrs(p) + " cx=\"" + number(x_of(p.coverage), 1) +
            "\" cy=\"" + number(y_of(p.accuracy), 1) + "\" r=\"1.2\" fill=\"#2f6fb0\"/>";
  }
  if (e.at_threshold) {
    const CurvePoint& t = *e.at_threshold;
    html += "<line class=\"threshold\"" + point_attrs(t) + attr("data-threshold", *e.threshold) +
            " x1=\"" + number(x_of(t.coverage), 1) + "\" y1=\"" + number(y_of(0), 1) + "\" x2=\"" +
            number(x_of(t.coverage), 1) + "\" y2=\"" + number(y_of(1), 1) +
            "\" stroke=\"#d4552f\" stroke-dasharray=\"3 2\"><title>threshold " +
            number(*e.threshold, 3) + "</title></line>";
  }
  std::string caption =
      "Risk–coverage: accuracy of the values kept when only those at or above "
      "a confidence are kept";
  if (e.at_threshold) {
    caption += "; at the threshold " + number(*e.threshold, 3) + ": coverage " +
               share(e.at_threshold->coverage) + ", accuracy " + share(e.at_threshold->accuracy);
  }
  return html + "</svg><figcaption>" + caption + "</figcaption></figure>";
}

std::string similarity_chart(const FieldEvaluation& e) {
  const Histogram& h = e.similarity;
  const std::size_t bins = h.right.size();
  std::size_t most = 1;
  for (std::size_t i = 0; i < bins; ++i) most = std::max({most, h.right[i], h.wrong[i]});
  std::string html =
      figure_open("similarity", e.field) + svg_open("similarity histograms of replaced values") +
      axes("similarity to the nearest label", "replaced values", static_cast<double>(most), true);
  const double width = kPlotW / static_cast<double>(std::max<std::size_t>(bins, 1));
  for (std::size_t i = 0; i < bins; ++i) {
    const double lower = static_cast<double>(i) / static_cast<double>(bins);
    const double upper = static_cast<double>(i + 1) / static_cast<double>(bins);
    for (const bool right : {true, false}) {
      const std::size_t count = right ? h.right[i] : h.wrong[i];
      const double top = y_of(static_cast<double>(count) / static_cast<double>(most));
      html += std::string("<rect class=\"bar\"") + attr("data-series", right ? "right" : "wrong") +
              attr("data-lower", lower) + attr("data-upper", upper) + attr("data-count", count) +
              " x=\"" + number(x_of(lower) + (right ? 1 : width / 2), 1) + "\" y=\"" +
              number(top, 1) + "\" width=\"" + number(width / 2 - 1, 1) + "\" height=\"" +
              number(y_of(0) - top, 1) + "\" fill=\"" + (right ? "#5aa469" : "#d4552f") + "\"/>";
    }
  }
  return html +
         "</svg><figcaption>Similarity of replaced values to their nearest label: green the "
         "right ones, red the wrong ones</figcaption></figure>";
}

std::string confusion_table(const FieldEvaluation& e) {
  const ConfusionMatrix& m = e.confusion;
  if (m.labels.empty()) return "";
  std::size_t most = 1;
  for (const auto& row : m.cells) {
    for (std::size_t c : row) most = std::max(most, c);
  }
  std::string html = "<h3>Confusion matrix</h3><table" +
                     attr("data-chart", std::string("confusion")) + attr("data-field", e.field) +
                     "><tr><th class=\"text\">true \\ checked</th>";
  for (const std::string& label : m.labels) html += "<th>" + html_escape(label) + "</th>";
  html += "<th>null</th></tr>";
  for (std::size_t r = 0; r < m.labels.size(); ++r) {
    html += "<tr><th class=\"text\">" + html_escape(m.labels[r]) + "</th>";
    for (std::size_t c = 0; c < m.cells[r].size(); ++c) {
      const std::size_t count = m.cells[r][c];
      const bool null_column = c == m.labels.size();
      const double shade = static_cast<double>(count) / static_cast<double>(most);
      html += "<td class=\"cell\"" + attr("data-true", m.labels[r]) +
              (null_column ? std::string(" data-checked-null=\"true\"")
                           : attr("data-checked", m.labels[c])) +
              attr("data-count", count) + " style=\"background:rgba(" +
              (r == c ? "90,164,105," : "212,85,47,") + number(0.8 * shade, 3) + ")\">" +
              std::to_string(count) + "</td>";
    }
    html += "</tr>";
  }
  html += "</table>";
  if (m.grouped) {
    html += "<p class=\"note\">Less frequent labels are summed as \"other\".</p>";
  }
  return html;
}

std::string label_table(const FieldEvaluation& e) {
  if (e.labels.empty()) return "";
  std::string html = "<h3>Per label</h3><table" + attr("data-chart", std::string("labels")) +
                     attr("data-field", e.field) +
                     "><tr><th class=\"text\">label</th><th>true</th><th>checked</th>"
                     "<th>right</th><th>precision</th><th>recall</th><th>F1</th></tr>";
  for (const LabelScore& s : e.labels) {
    html += "<tr class=\"label\"" + attr("data-label", s.label) + attr("data-support", s.support) +
            attr("data-predicted", s.predicted) + attr("data-right", s.right) +
            attr("data-f1", s.f1) + "><td class=\"text\">" + html_escape(s.label) + "</td><td>" +
            std::to_string(s.support) + "</td><td>" + std::to_string(s.predicted) + "</td><td>" +
            std::to_string(s.right) + "</td><td>" + number(s.precision, 3) + "</td><td>" +
            number(s.recall, 3) + "</td><td>" + number(s.f1, 3) + "</td></tr>";
  }
  return html + "</table>";
}

std::string decision_table(const FieldEvaluation& e) {
  const FieldTally& t = e.tally;
  const std::pair<const char*, std::size_t> rows[] = {
      {"kept", t.kept},           {"normalized", t.normalized},
      {"replaced", t.replaced},   {"asked", t.asked},
      {"abstained", t.abstained}, {"low_confidence", t.low_confidence},
      {"no_answer", t.no_answer}, {"invalid", t.invalid},
      {"missing", t.missing},     {"reviewed", t.reviewed}};
  std::string html = "<h3>Decisions</h3><table" + attr("data-chart", std::string("decisions")) +
                     attr("data-field", e.field) + "><tr>";
  for (const auto& [name, count] : rows) html += std::string("<th>") + name + "</th>";
  html += "</tr><tr>";
  for (const auto& [name, count] : rows) {
    html += "<td class=\"decision\"" + attr("data-decision", std::string(name)) +
            attr("data-count", count) + ">" + std::to_string(count) + "</td>";
  }
  return html + "</tr></table>";
}

std::string examples_table(const char* title, const char* kind,
                           const std::vector<EvaluationExample>& examples) {
  if (examples.empty()) return "";
  std::string html = std::string("<h3>") + title + "</h3><table" +
                     attr("data-examples", std::string(kind)) +
                     "><tr><th class=\"text\">id</th><th class=\"text\">field</th>"
                     "<th class=\"text\">decision</th><th class=\"text\">predicted</th>"
                     "<th class=\"text\">checked</th><th class=\"text\">true</th>"
                     "<th>similarity</th><th>confidence</th></tr>";
  for (const EvaluationExample& x : examples) {
    html += "<tr><td class=\"text\">" + html_escape(shown(x.id)) + "</td><td class=\"text\">" +
            html_escape(x.field) + "</td><td class=\"text\">" + html_escape(x.decision) +
            "</td><td class=\"text\">" + html_escape(shown(x.predicted)) +
            "</td><td class=\"text\">" + html_escape(shown(x.checked)) +
            "</td><td class=\"text\">" + html_escape(x.truth.is_null() ? "-" : shown(x.truth)) +
            "</td><td>" + (x.score ? number(*x.score, 3) : "-") + "</td><td>" +
            (x.confidence ? number(*x.confidence, 3) : "-") + "</td></tr>";
  }
  return html + "</table>";
}

std::string figure_box(const char* name, const std::string& key, const std::string& value,
                       const std::string& note) {
  return "<div" + attr("data-figure", key) + "><b>" + value + "</b>" + name +
         (note.empty() ? "" : "<br><span class=\"note\">" + note + "</span>") + "</div>";
}

std::string section(const FieldEvaluation& e) {
  const FieldTally& t = e.tally;
  std::string html = "<section" + attr("data-field", e.field) + "><h2>" + html_escape(e.field) +
                     "</h2><div class=\"figures\">";
  html += figure_box(
      "accuracy", "accuracy", t.gold == 0 ? "-" : share(e.accuracy()),
      std::to_string(t.checked_right) + " of " + std::to_string(t.gold) + " with a true label");
  html += figure_box(
      "coverage", "coverage", e.values == 0 ? "-" : share(e.coverage()),
      std::to_string(e.covered) + " of " + std::to_string(e.values) + " values not null");
  html += figure_box("macro-F1", "macro_f1", e.macro_f1 ? number(*e.macro_f1, 3) : "-",
                     std::to_string(e.labels.size()) + " labels");
  html += figure_box("mean confidence", "mean_confidence",
                     e.with_confidence == 0 ? "-" : number(e.mean_confidence, 3),
                     std::to_string(e.with_confidence) + " values with a confidence");
  html += figure_box("ECE", "ece", e.ece ? number(*e.ece, 4) : "-", "10 equal bins");
  if (t.gold_reviewed > 0) {
    html +=
        figure_box("true labels from review", "gold_reviewed", std::to_string(t.gold_reviewed), "");
  }
  html += "</div>";
  html += decision_table(e);
  if (t.gold == 0) {
    html +=
        "<p class=\"note\">No true label: accuracy, the confusion matrix and the "
        "per-label scores need the records' true labels.</p>";
  }
  html += confusion_table(e) + label_table(e);
  html += "<div>" + reliability_chart(e) + risk_coverage_chart(e) + similarity_chart(e) + "</div>";
  html += examples_table("Corrections (replaced or asked values)", "corrections", e.corrections);
  html += examples_table("Abstentions", "abstentions", e.abstentions);
  html += examples_table("Most confident errors", "confident_errors", e.confident_errors);
  return html + "</section>";
}

// JSON inside <script>: "<" written \u003c so that no "</script>" or "<!--" can end it, and
// ">" and "&" too for good measure.
std::string embedded_json(const Value& data) {
  const std::string text = data.dump(-1, ' ', false, Value::error_handler_t::replace);
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c == '<') {
      out += "\\u003c";
    } else if (c == '>') {
      out += "\\u003e";
    } else if (c == '&') {
      out += "\\u0026";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string html_escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string html_report(const Evaluation& evaluation, const HtmlReportOptions& options) {
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
      // Nothing to fetch: this forbids any load the page might still try.
      "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
      "style-src 'unsafe-inline'\">"
      "<title>" +
      html_escape(options.title) + "</title><style>" + kStyle + "</style></head><body><h1>" +
      html_escape(options.title) + "</h1>";
  std::string files;
  for (const std::string& file : evaluation.files) files += (files.empty() ? "" : ", ") + file;
  html += "<p class=\"note\">" + html_escape(files) + "</p><div class=\"figures\" data-run>";
  html += figure_box("records", "records", std::to_string(evaluation.records), "");
  html += figure_box("failed", "failed", std::to_string(evaluation.failed), "");
  html += figure_box("retries", "retries", std::to_string(evaluation.retries),
                     "requests beyond the first");
  html +=
      figure_box("prompt tokens", "prompt_tokens", std::to_string(evaluation.prompt_tokens), "");
  html += figure_box("completion tokens", "completion_tokens",
                     std::to_string(evaluation.completion_tokens), "");
  html +=
      figure_box("cached prompt tokens", "cached_tokens", std::to_string(evaluation.cached_tokens),
                 "of the prompt tokens, those the endpoint read from its cache");
  html += "</div>";
  if (evaluation.fields.size() > 1) html += section(evaluation.all);
  for (const FieldEvaluation& e : evaluation.fields) html += section(e);
  html += "<script type=\"application/json\" id=\"tavrin-report-data\">" +
          embedded_json(evaluation.to_json()) + "</script></body></html>\n";
  return html;
}

}  // namespace tavrin::labeling
