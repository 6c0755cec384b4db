// Labels a CSV table with a chat-completion endpoint, as `tavrin label` does: the stores that
// `tavrin build` (or brollin::data2faiss) wrote, the allowed labels of labels.json, and one
// JSON line per record appended to a results file that a run again resumes from.
//
//   TAVRIN_LLM_KEY=sk-... label_table <url> records.csv labels.json stores results.jsonl
//   // -> 400/400 records, 2 failed; results.jsonl holds one line per record
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>

#include "tavrin/frame/csv_stream.hpp"
#include "tavrin/labeling/chat_model.hpp"
#include "tavrin/labeling/stores.hpp"
#include "tavrin/vectorstore/embeddings.hpp"

int main(int argc, char** argv) {
  const char* key = std::getenv("TAVRIN_LLM_KEY");
  if (argc != 6 || key == nullptr) {
    std::cerr << "usage: TAVRIN_LLM_KEY=<key> " << argv[0]
              << " <url> <records.csv> <labels.json> <stores> <results.jsonl>\n";
    return 2;
  }
  try {
    using namespace tavrin;
    // The model the stores were built with; an openai::OpenAIEmbeddings for an endpoint.
    auto model = std::make_shared<vectorstore::HashingEmbeddings>();
    const Value labels = labeling::read_labels(argv[3]);
    const auto fields = labeling::label_fields(labels);
    const labeling::StoreMap stores = labeling::load_field_stores(argv[4], labels, fields, model);
    const labeling::Prompter prompter({.fields = fields, .labels = labels},
                                      labeling::load_train_store(argv[4], model), stores);
    const labeling::JobTally tally = labeling::run_job_blocking(
        frame::CsvStream(argv[2]), prompter, stores,
        {.url = argv[1], .key = key, .model = "qwen-max"}, {},
        {.text_fields = {"question"}, .out_path = argv[5], .in_flight = 32});
    std::cout << tally.done << "/" << tally.total << " records, " << tally.failed << " failed\n";
  } catch (const std::exception& e) {
    std::cerr << argv[0] << ": " << e.what() << "\n";
    return 1;
  }
}
