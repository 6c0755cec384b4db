#include "tavrin/labeling/repair.hpp"

#include "tavrin/core/errors.hpp"
#include "tavrin/core/text.hpp"
#include "tavrin/labeling/plain_rules.hpp"
#include "tavrin/palisk.hpp"

namespace tavrin::labeling {
namespace {

struct Wording {
  const char* intro;
  const char* record;
  const char* field;
  const char* given;
  const char* choose;
  const char* answer;
};

constexpr Wording kEnglish = {
    "You labelled the record below, but the value you gave for one field is not one of its "
    "allowed labels.\n",
    "Record: ",
    "Field: ",
    "Your value: ",
    "Choose the label that fits the record best, from these only:\n",
    "Answer with one JSON object whose only key is the field and whose value is the chosen "
    "label, or null when none of them fits. Output nothing else.\n"};

constexpr Wording kChinese = {
    "你为下面的记录标注时，某个字段给出的值不在允许的标签中。\n",
    "记录：",
    "字段：",
    "你给出的值：",
    "请只从下列标签中选出最符合该记录的一个：\n",
    "只输出一个 JSON 对象，唯一的键为该字段，值为所选标签；若都不合适，值为 "
    "null。不要输出其他内容。\n"};

std::string value_text(const Value& value) {
  return value.is_string() ? value.get<std::string>() : value.dump();
}

}  // namespace

Repair parse_repair(std::string_view text) {
  if (text == "nearest") return Repair::nearest;
  if (text == "ask") return Repair::ask;
  throw ValueError("repair must be \"nearest\" or \"ask\", not " + repr(Value(std::string(text))));
}

std::string_view repair_name(Repair repair) { return repair == Repair::ask ? "ask" : "nearest"; }

bool needs_asking(const olvane::FieldCheck& check, std::optional<double> min_score) {
  if (!check.elements.empty()) return false;  // a list: its elements were settled one by one
  return check.decision == (min_score ? olvane::Decision::abstained : olvane::Decision::replaced);
}

ModelRequest repair_request(const RepairQuestion& question, std::string_view language) {
  const Wording& w = language == "zh" ? kChinese : kEnglish;
  std::string prompt =
      std::string(w.intro) + w.record + question.record + "\n" + w.field + question.field;
  if (!question.instruction.empty()) prompt += " (" + question.instruction + ")";
  prompt += std::string("\n") + w.given + value_text(question.value) + "\n" + w.choose;
  for (const std::string& choice : question.choices) {
    prompt += "- " + choice;
    const auto description = question.descriptions.find(choice);
    if (description != question.descriptions.end()) {
      prompt += ": " + description->get<std::string>();
    }
    prompt += "\n";
  }
  prompt += w.answer;
  ModelRequest request{std::move(prompt)};
  request.choices = Value::object();
  request.choices[question.field] = question.choices;
  return request;
}

void settle_by_answer(olvane::FieldCheck& check, const std::string& answer,
                      const std::vector<std::string>& choices) {
  check.decision = olvane::Decision::abstained;
  check.checked = Value();
  Value chosen;
  try {
    chosen = palisk::parse_answer(answer, {check.field}).value(check.field, Value());
  } catch (const ValueError&) {
    return;  // no mapping: no choice
  }
  if (!chosen.is_string()) return;
  const std::string wanted = normalized_label(chosen.get_ref<const std::string&>());
  for (const std::string& choice : choices) {
    if (choice == chosen || normalized_label(choice) == wanted) {
      check.decision = olvane::Decision::asked;
      check.checked = choice;
      return;
    }
  }
}

}  // namespace tavrin::labeling
