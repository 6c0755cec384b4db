// Asks a chat-completion endpoint one question and prints the answer parsed as JSON.
//
//   TAVRIN_LLM_KEY=sk-... ask_model <url> '只输出JSON: {"产品": 手机还是耳机?} 问题: 屏幕碎了'
//   // -> {"产品":"手机"}
#include <cstdlib>
#include <exception>
#include <iostream>

#include "tavrin/palisk.hpp"

int main(int argc, char** argv) {
  const char* key = std::getenv("TAVRIN_LLM_KEY");
  if (argc != 3 || key == nullptr) {
    std::cerr << "usage: TAVRIN_LLM_KEY=<key> " << argv[0] << " <url> <prompt>\n";
    return 2;
  }
  try {
    using namespace tavrin::palisk;
    std::cout << run_blocking(llm_response(argv[1], key, argv[2])).dump() << std::endl;
    // A reply that is not strict JSON (fenced, Python literals) goes through llm_postprocess:
    std::cout << llm_postprocess("```json\n{'产品': '手机'}\n```").dump() << std::endl;
    // Free text around the answer, with its blanks kept, goes through parse_answer:
    std::cout << parse_answer("好的：\n```python\n{'topic': 'customer service'}\n```\n").dump()
              << std::endl;
  } catch (const std::exception& e) {
    std::cerr << argv[0] << ": " << e.what() << "\n";
    return 1;
  }
}
