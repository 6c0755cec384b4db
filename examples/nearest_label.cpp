// Embeds a few labels with a model behind an OpenAI-compatible endpoint, keeps them in a store
// and prints the label nearest to a query with its cosine similarity.
//
//   TAVRIN_EMBED_KEY=sk-... nearest_label https://api.openai.com/v1 text-embedding-3-small 退钱
//   // -> 退款 0.71
//   nearest_label http://localhost:11434/v1 bge-m3 退钱      # a local Ollama: no key
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "tavrin/openai/embeddings.hpp"
#include "tavrin/vectorstore/faiss_store.hpp"

using namespace tavrin;

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: [TAVRIN_EMBED_KEY=<key>] " << argv[0] << " <base url> <model> <query>\n";
    return 2;
  }
  try {
    const char* key = std::getenv("TAVRIN_EMBED_KEY");
    openai::OpenAIEmbeddingsOptions options;
    options.batch_size = 10;  // what the strictest endpoints take
    auto model =
        std::make_shared<openai::OpenAIEmbeddings>(argv[1], key ? key : "", argv[2], options);

    const std::vector<std::string> labels = {"售后服务", "物流配送", "退款"};
    std::vector<std::vector<float>> vectors = model->embed_documents(labels);
    std::vector<vectorstore::FAISS::TextEmbedding> pairs;
    for (std::size_t i = 0; i < labels.size(); ++i) {
      pairs.emplace_back(labels[i], std::move(vectors[i]));
    }
    const auto store = vectorstore::FAISS::from_embeddings(
        std::move(pairs), model, std::vector<Value>(labels.size(), Value::object()));

    const auto [label, score] = store.similarity_search_with_score(Value(argv[3]), 1).at(0);
    std::cout << label.page_content << " " << score << std::endl;
  } catch (const std::exception& e) {
    std::cerr << argv[0] << ": " << e.what() << "\n";  // names the endpoint's status, never the key
    return 1;
  }
}
