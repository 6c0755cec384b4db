#include "tavrin/prompts.hpp"

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tavrin/core/errors.hpp"

namespace tavrin::prompts {
namespace {

std::size_t code_points(std::string_view utf8) {
  std::size_t n = 0;
  for (unsigned char c : utf8) n += (c & 0xC0) != 0x80;
  return n;
}

// A chat that records its calls and answers a fixed reply with an arbitrary second value.
struct RecordingChat {
  std::string reply;
  std::vector<std::tuple<std::string, std::string, std::string>> calls;

  std::tuple<std::string, Value> operator()(const std::string& prompt, const std::string& url,
                                            const std::string& key) {
    calls.emplace_back(prompt, url, key);
    return {reply, Value::array({"any", "thing"})};
  }
};

TEST(DataAnalysisPrompt, FivePiecesWithTheDataInLiteralForm) {
  const Value data = Value::parse(R"([1, 0.5, "it's", {"k": [true, null]}, "中文", [], 1e100])");
  EXPECT_EQ(data_analysis_prompt(data, "找出 趋势"),
            "你是一个数据分析专家，分析数据:"
            R"([1, 0.5, "it's", {'k': [True, None]}, '中文', [], 1e+100])"
            "，总结数据主题 subject。现在需要你实现 找出 趋势"
            "，你应该扮演什么角色，\n    仅输出纯文本json字符串"
            R"({"subject":xxx, "role":xxx, "steps":xxx})");
}

TEST(DataAnalysisPrompt, EdgesOfDataAndGoal) {
  struct Case {
    const char* name;
    Value data;
    std::string goal;
    std::string rendered;
  };
  const std::vector<Case> cases = {
      {"empty data and goal", Value::array(), "", "[]"},
      {"goal kept byte for byte", Value::array({"a b"}), "  多行\n目标\t ", "['a b']"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string prompt = data_analysis_prompt(c.data, c.goal);
    EXPECT_EQ(code_points(prompt), code_points(c.rendered) + code_points(c.goal) + 109);
    EXPECT_NE(prompt.find("分析数据:" + c.rendered + "，总结"), std::string::npos);
    EXPECT_NE(prompt.find("你实现 " + c.goal + "，你应该"), std::string::npos);
  }
}

TEST(LlmDataAnalyze, CallsChatOnceAndParsesTheFirstValue) {
  RecordingChat chat{R"({'subject': '销量', 'role': '分析师', 'steps': ['看', 1]})", {}};
  const Value data = Value::array({1, 2});
  const Value result = llm_data_analyze(chat, "http://llm", "sk-1", data, "goal");
  EXPECT_EQ(result, Value::parse(R"({"subject":"销量","role":"分析师","steps":["看",1]})"));
  ASSERT_EQ(chat.calls.size(), 1u);
  EXPECT_EQ(chat.calls[0], std::make_tuple(data_analysis_prompt(data, "goal"),
                                           std::string("http://llm"), std::string("sk-1")));
}

TEST(LlmDataAnalyze, AReplyOfAnotherShapeIsReturnedAsParsed) {
  auto chat = [](const std::string&, const std::string&, const std::string&) {
    return std::pair{std::string("[1, (2, 3)]"), 0};
  };
  EXPECT_EQ(llm_data_analyze(chat, "u", "k", Value::array(), "g"), Value::parse("[1,[2,3]]"));
}

TEST(LlmDataAnalyze, DataMustBeAListAndNothingIsCalledOtherwise) {
  for (const Value& data : {Value::object(), Value(nullptr), Value("[1]")}) {
    RecordingChat chat{"{}", {}};
    try {
      llm_data_analyze(chat, "u", "k", data, "g");
      ADD_FAILURE() << "accepted " << data.dump();
    } catch (const TypeError& e) {
      EXPECT_EQ(std::string(e.what()).rfind("data must be a list, not ", 0), 0u) << e.what();
    }
    EXPECT_TRUE(chat.calls.empty());
  }
}

TEST(LlmDataAnalyze, ParserFailureReachesTheCaller) {
  RecordingChat chat{"这不是字面量", {}};
  EXPECT_THROW(llm_data_analyze(chat, "u", "k", Value::array(), "g"), ValueError);
  RecordingChat broken{"{'a': ", {}};
  EXPECT_THROW(llm_data_analyze(broken, "u", "k", Value::array(), "g"), SyntaxError);
}

}  // namespace
}  // namespace tavrin::prompts
