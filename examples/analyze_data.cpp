// Asks an LLM to analyse a small data sample: palisk's asynchronous chat, run to completion
// with run_blocking, is the synchronous chat that llm_data_analyze calls.
//
//   TAVRIN_LLM_KEY=sk-... analyze_data
//   https://dashscope.aliyuncs.com/compatible-mode/v1/chat/completions
//   // -> {"subject": ..., "role": ..., "steps": ...}
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <utility>

#include "tavrin/palisk.hpp"
#include "tavrin/prompts.hpp"

int main(int argc, char** argv) {
  // The key comes from the environment, so that it does not show in the process list.
  const char* key = std::getenv("TAVRIN_LLM_KEY");
  if (argc != 2 || key == nullptr) {
    std::cerr << "usage: TAVRIN_LLM_KEY=<key> " << argv[0] << " <chat-completions url>\n";
    return 2;
  }
  auto chat = [](const std::string& prompt, const std::string& url, const std::string& llm_key) {
    tavrin::Value reply = tavrin::palisk::run_blocking(tavrin::palisk::chat(prompt, url, llm_key));
    std::string text = tavrin::palisk::answer_text(reply).get<std::string>();
    return std::pair{std::move(text), std::move(reply)};
  };
  const tavrin::Value data = tavrin::Value::parse(R"([
    {"question": "手机屏幕碎了怎么办", "产品": "手机", "类别": "售后"},
    {"question": "耳机连不上蓝牙", "产品": "耳机", "类别": "故障"},
    {"question": "订单什么时候发货", "产品": "手机", "类别": "物流"}
  ])");
  try {
    const tavrin::Value analysis = tavrin::prompts::llm_data_analyze(
        chat, argv[1], key, data, "把用户问题自动分类到产品和类别");
    std::cout << analysis.dump(2) << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "analyze_data: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
