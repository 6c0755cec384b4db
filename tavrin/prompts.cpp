#include "tavrin/prompts.hpp"

#include <string_view>

#include "tavrin/core/check.hpp"
#include "tavrin/core/text.hpp"

namespace tavrin::prompts {

namespace {

constexpr std::string_view kRole = "你是一个数据分析专家，分析数据:";
constexpr std::string_view kTask = "，总结数据主题 subject。现在需要你实现 ";
constexpr std::string_view kAnswerForm =
    "，你应该扮演什么角色，\n    仅输出纯文本json字符串{\"subject\":xxx, \"role\":xxx, "
    "\"steps\":xxx}";

}  // namespace

std::string data_analysis_prompt(const Value& data, const std::string& goal) {
  require_array(data, "data");
  std::string prompt(kRole);
  prompt += repr(data);
  prompt += kTask;
  prompt += goal;
  prompt += kAnswerForm;
  return prompt;
}

}  // namespace tavrin::prompts
