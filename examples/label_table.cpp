// Labels a CSV table with a chat-completion endpoint, as `tavrin label` does: the stores that
// `tavrin build` (or brollin::data2faiss) wrote, the allowed labels of labels.json, and one
// JSON line per record appended to a results file that a run again resumes from.
//
//   TAVRIN_LLM_KEY=sk-... label_table <url> records.csv labels.json stores results.jsonl
//   // -> 400/400 records, 2 failed; prompt language zh (detected)
#include <cstdlib>
#include <exception>
#include <iostream>

#include "tavrin/labeling/label_run.hpp"

int main(int argc, char** argv) {
  const char* key = std::getenv("TAVRIN_LLM_KEY");
  if (argc != 6 || key == nullptr) {
    std::cerr << "usage: TAVRIN_LLM_KEY=<key> " << argv[0]
              << " <url> <records.csv> <labels.json> <stores> <results.jsonl>\n";
    return 2;
  }
  try {
    using namespace tavrin;
    labeling::LabelRun run{.labels = argv[3], .stores = argv[4], .out = argv[5]};
    run.in_flight = 32;
    run.endpoint = {.url = argv[1], .key = key, .model = "qwen-max"};
    // The stores' embedding model is HashingEmbeddings unless run.embeddings says otherwise.
    const labeling::LabelOutcome outcome = labeling::label_table(argv[2], run);
    std::cout << outcome.tally.done << "/" << outcome.tally.total << " records, "
              << outcome.tally.failed << " failed; prompt language "
              << labeling::describe_language(outcome) << "\n";
  } catch (const std::exception& e) {
    std::cerr << argv[0] << ": " << e.what() << "\n";
    return 1;
  }
}
