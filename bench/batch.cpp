// The answers of a Batch API job read back against the same work written the usual Python way
// (bench/batch.py: json.loads of each line and of its answer, the same checks with stores.py's
// hashing vectors in numpy and faiss, json.dumps of each result). By default a 100,000-line
// output file, its lines shuffled as a batch returns them, 2 fields of 20 labels.
//
// tavrin reads the file with read_batch_answers and hands each record its answer through a
// Model that serves them from the map, as the Batch API job does: the job then parses each
// answer, checks it (plain rules, then the nearest label for a value that is no label) and
// appends its line to the results file. Both sides are timed in CPU seconds (this process's,
// the baseline's process_time), from opening the output file to the results file closed, with
// the label stores built beforehand. FAISS runs on one thread on both sides, so that idle
// workers spinning for work count on neither.
//
//   bench/batch [records]
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "bench/support.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/frame/dataframe.hpp"
#include "tavrin/labeling/batch.hpp"
#include "tavrin/labeling/chat_model.hpp"
#include "tavrin/labeling/job.hpp"
#include "tavrin/labeling/prompt.hpp"
#include "tavrin/palisk.hpp"
#include "tavrin/vectorstore/faiss_store.hpp"

namespace {

namespace asio = boost::asio;
namespace fs = std::filesystem;
namespace labeling = tavrin::labeling;
using tavrin::Value;
using tavrin::bench::cpu_seconds;
using tavrin::bench::Lcg;
using tavrin::bench::pick;
using tavrin::vectorstore::FAISS;
using tavrin::vectorstore::HashingEmbeddings;

const char* const kCategories[] = {"售后服务", "物流配送", "退款退货", "发票问题", "账户安全",
                                   "会员积分", "价格咨询", "质量投诉", "维修保养", "安装调试",
                                   "订单修改", "支付问题", "优惠活动", "产品咨询", "配件购买",
                                   "以旧换新", "门店服务", "投诉建议", "技术支持", "其他"};
const char* const kProducts[] = {
    "Phone X1",      "Phone X2",      "Phone X2 Pro",     "Tablet S",     "Tablet S Plus",
    "Laptop Air 13", "Laptop Pro 14", "Laptop Pro 16",    "Watch 3",      "Watch 3 Sport",
    "Earbuds Lite",  "Earbuds Max",   "Speaker Home",     "Speaker Mini", "Router AX3000",
    "Camera 4K",     "Charger 65W",   "Power Bank 10000", "Keyboard K1",  "Mouse M2"};
const char* const kWords[] = {"您好", "我的", "订单", "手机", "屏幕", "坏了", "申请", "退款",
                              "物流", "太慢", "发票", "开错", "会员", "积分", "没有", "到账",
                              "请问", "什么", "时候", "能到", "，",   "维修", "价格", "谢谢"};
const char* const kNoAnswers[] = {"none", "无", "N/A", "未知"};
const std::string kCategory = "类别";
const std::string kProduct = "产品";

std::vector<std::string> all_of(const char* const* first, const char* const* last) {
  return {first, last};
}

// A value the model gave for a label written another way: a case, spacing or qualifier that
// the plain rules undo, or a near miss that only the nearest-label search can place.
std::string variant(Lcg& random, const std::string& label, const std::string& field, bool latin) {
  switch (random.below(5)) {
    case 0:
      if (latin) {
        std::string upper = label;
        std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
        return upper;
      }
      return label + "类";
    case 1:
      return " " + label + "  ";
    case 2:
      return (latin ? "Product: " : field + ": ") + label;
    case 3:
      if (latin) {
        std::string joined = label;
        std::erase(joined, ' ');
        return joined;
      }
      return label + "问题";
    default:
      return latin ? label + " (new)" : label.substr(0, label.size() - 3);  // one character less
  }
}

// The value the model gave for `field`, and in `truth` the label it meant (null when it gave
// none).
Value field_value(Lcg& random, const std::vector<std::string>& labels, const std::string& field,
                  bool latin, Value& truth) {
  const std::string& label = labels[random.below(labels.size())];
  const std::uint64_t kind = random.below(100);
  truth[field] = kind < 96 ? Value(label) : Value();
  if (kind < 86) return label;
  if (kind < 96) return variant(random, label, field, latin);
  if (kind < 98) return nullptr;
  return pick(random, kNoAnswers);
}

// What the model answered: mostly the JSON object alone, sometimes fenced or after a sentence,
// now and then no mapping at all.
std::string answer_text(Lcg& random, const Value& answer) {
  const std::uint64_t kind = random.below(1000);
  if (kind < 2) return "抱歉，我无法判断这条工单的类别。";
  if (kind < 60) return "```json\n" + answer.dump(2) + "\n```";
  if (kind < 90) return "好的，标注结果如下：" + answer.dump();
  return answer.dump();
}

// One line of the output file, as the Batch API writes it; one request in 1000 failed.
std::string output_line(Lcg& random, std::size_t number, const std::string& custom_id,
                        const Value& answer) {
  const std::string n = std::to_string(number);
  Value response = {{"status_code", 200}, {"request_id", "req_" + n}};
  if (random.below(1000) == 0) {
    response["status_code"] = 500;
    response["body"] = {{"error",
                         {{"message", "The server had an error while processing your request."},
                          {"type", "server_error"},
                          {"param", nullptr},
                          {"code", nullptr}}}};
  } else {
    const std::uint64_t prompt_tokens = 180 + random.below(120);
    const std::uint64_t completion_tokens = 12 + random.below(20);
    Value message = {
        {"role", "assistant"}, {"content", answer_text(random, answer)}, {"refusal", nullptr}};
    response["body"] = {{"id", "chatcmpl-" + n},
                        {"object", "chat.completion"},
                        {"created", 1733700000 + number / 100},
                        {"model", "gpt-4o-mini-2024-07-18"},
                        {"choices", Value::array({Value{{"index", 0},
                                                        {"message", std::move(message)},
                                                        {"logprobs", nullptr},
                                                        {"finish_reason", "stop"}}})},
                        {"usage",
                         {{"prompt_tokens", prompt_tokens},
                          {"completion_tokens", completion_tokens},
                          {"total_tokens", prompt_tokens + completion_tokens}}},
                        {"system_fingerprint", "fp_0ba0d124f1"}};
  }
  const Value line = {{"id", "batch_req_" + n},
                      {"custom_id", custom_id},
                      {"response", std::move(response)},
                      {"error", nullptr}};
  return line.dump();
}

// The files both sides read, in one folder: the batch's output file, the labels, the records.
struct Inputs {
  explicit Inputs(fs::path dir) : folder(std::move(dir)) {}
  fs::path output() const { return folder / "output.jsonl"; }
  fs::path labels() const { return folder / "labels.json"; }
  fs::path records() const { return folder / "records.csv"; }
  fs::path folder;
};

// Writes the inputs of `count` records; returns the labels each record's answer meant, by id
// from 1.
std::vector<Value> write_inputs(const Inputs& in, std::size_t count) {
  const std::vector<std::string> categories =
      all_of(std::begin(kCategories), std::end(kCategories));
  const std::vector<std::string> products = all_of(std::begin(kProducts), std::end(kProducts));
  const Value labels = {{kCategory, categories}, {kProduct, products}};
  Lcg random(17);
  Value ids = Value::array(), texts = Value::array();
  std::vector<std::string> lines;
  lines.reserve(count);
  std::vector<Value> truths(count + 1, Value::object());
  for (std::size_t id = 1; id <= count; ++id) {
    std::string text;
    for (std::uint64_t w = 6 + random.below(10); w > 0; --w) text += pick(random, kWords);
    ids.push_back(id);
    texts.push_back(std::move(text));
    Value answer = Value::object();
    Value& truth = truths[id];
    answer[kCategory] = field_value(random, categories, kCategory, false, truth);
    if (random.below(200) != 0) {
      answer[kProduct] = field_value(random, products, kProduct, true, truth);
    } else {
      truth[kProduct] = nullptr;
    }
    lines.push_back(output_line(random, id, std::to_string(id), answer));
  }
  // A batch's output keeps no order.
  for (std::size_t i = lines.size(); i > 1; --i) std::swap(lines[i - 1], lines[random.below(i)]);
  std::ofstream out(in.output(), std::ios::binary);
  for (const std::string& line : lines) out << line << '\n';
  std::ofstream(in.labels()) << labels.dump();
  tavrin::frame::DataFrame(Value{{"id", std::move(ids)}, {"text", std::move(texts)}})
      .to_csv(in.records().string());
  return truths;
}

labeling::StoreMap label_stores(const Value& labels) {
  auto model = std::make_shared<HashingEmbeddings>();
  labeling::StoreMap stores;
  for (const auto& [field, allowed] : labels.items()) {
    const auto names = allowed.get<std::vector<std::string>>();
    const auto vectors = model->embed_documents(names);
    std::vector<FAISS::TextEmbedding> pairs;
    for (std::size_t i = 0; i < names.size(); ++i) pairs.emplace_back(names[i], vectors[i]);
    stores[field] = std::make_shared<const FAISS>(FAISS::from_embeddings(
        std::move(pairs), model, std::vector<Value>(names.size(), Value::object())));
  }
  return stores;
}

// The record's text alone as its prompt, every label shown: the job's own work, without
// examples to search for.
labeling::Prompter make_prompter(const Value& labels, const labeling::StoreMap& stores) {
  labeling::PromptSettings prompt;
  prompt.fields = {kCategory, kProduct};
  prompt.labels = labels;
  prompt.examples = 0;
  prompt.prompt_template = labeling::PromptTemplate("{record}", "bench");
  return labeling::Prompter(std::move(prompt), nullptr, stores);
}

using Answers = std::map<std::string, labeling::BatchAnswer>;

// The batch's answer to one record, taken from the map; each record is asked once.
asio::awaitable<labeling::ModelReply> serve(Answers* answers, labeling::ModelRequest request) {
  const auto found = answers->find(request.custom_id);
  if (found == answers->end()) throw labeling::ModelError("the batch did not answer", 1);
  if (!found->second.reply) throw labeling::ModelError(found->second.error, 1);
  co_return std::move(*found->second.reply);
}

struct Splits {
  double prompts = 0;  // CPU seconds
  double parse = 0;
};

// Two pieces of the job timed apart, after it, to say where its time goes: the prompts built
// sixteen records at a time as the job builds them, and palisk::parse_answer of every answer.
Splits time_apart(const Inputs& in, const Value& labels, const labeling::StoreMap& stores,
                  const labeling::ChatEndpoint& endpoint) {
  const labeling::Prompter prompter = make_prompter(labels, stores);
  const tavrin::frame::DataFrame records = tavrin::frame::read_csv(in.records().string());
  Answers answers;
  labeling::read_batch_answers(in.output(), endpoint, answers);

  Splits splits;
  double start = cpu_seconds();
  std::size_t bytes = 0;
  for (std::size_t first = 0; first < records.size(); first += 16) {
    std::vector<std::string> texts;
    for (std::size_t i = first; i < std::min(first + 16, records.size()); ++i) {
      texts.push_back(records.iloc(i)["text"].get<std::string>());
    }
    const auto prompts = prompter.prompts_for(texts, std::vector<Value>(texts.size()), {});
    for (const auto& p : prompts) bytes += p.text.size();
  }
  splits.prompts = cpu_seconds() - start;
  start = cpu_seconds();
  std::size_t fields = 0;
  for (const auto& [id, answer] : answers) {
    if (!answer.reply) continue;
    try {
      fields += tavrin::palisk::parse_answer(answer.reply->answer, {kCategory, kProduct}).size();
    } catch (const tavrin::ValueError&) {
    }
  }
  splits.parse = cpu_seconds() - start;
  if (bytes == 0 || fields == 0) std::exit(1);  // the splits would have timed no work
  return splits;
}

// The tavrin side, in a process executed afresh (so that its heap holds none of the generated
// data): the stores, prompter and records made first, then the output file read and the job
// run, timed. Prints its figures as one JSON object.
int run_tavrin(const Inputs& in, const fs::path& results) {
  const Value labels = Value::parse(std::ifstream(in.labels()));
  const labeling::StoreMap stores = label_stores(labels);
  labeling::Prompter prompter = make_prompter(labels, stores);
  const labeling::ChatEndpoint endpoint{.url = "https://api.openai.com/v1/chat/completions",
                                        .key = "sk-bench",
                                        .model = "gpt-4o-mini"};
  labeling::JobSettings settings{
      .text_fields = {"text"}, .out_path = results.string(), .in_flight = 256};
  tavrin::frame::DataFrame records = tavrin::frame::read_csv(in.records().string());

  const auto wall_start = std::chrono::steady_clock::now();
  const double start = cpu_seconds();
  Answers answers;
  labeling::read_batch_answers(in.output(), endpoint, answers);
  const double read_end = cpu_seconds();
  const labeling::Model model = [answers = &answers](labeling::ModelRequest request) {
    return serve(answers, std::move(request));
  };
  const labeling::JobTally tally = tavrin::palisk::run_blocking(labeling::run_job(
      std::move(records), std::move(prompter), stores, model, std::move(settings)));
  const double end = cpu_seconds();
  const double wall = tavrin::bench::seconds_since(wall_start);

  const Splits splits = time_apart(in, labels, stores, endpoint);
  const labeling::FieldTally all = tally.all_fields();
  const Value figures = {
      {"read", read_end - start},  {"job", end - read_end},      {"wall", wall},
      {"prompts", splits.prompts}, {"parse", splits.parse},      {"done", tally.done},
      {"failed", tally.failed},    {"kept", all.kept},           {"normalized", all.normalized},
      {"replaced", all.replaced},  {"no_answer", all.no_answer}, {"missing", all.missing}};
  std::printf("%s\n", figures.dump().c_str());
  return 0;
}

// The figures of run_tavrin, from this program executed again; exits when it failed.
Value tavrin_figures(const Inputs& in, const fs::path& results) {
  // popen runs a shell, whose /proc/self/exe would be the shell: name this program itself.
  const std::string command = fs::read_symlink("/proc/self/exe").string() + " --tavrin " +
                              in.folder.string() + " " + results.string();
  std::fflush(stdout);
  std::FILE* pipe = ::popen(command.c_str(), "r");
  std::string output;
  char block[4096];
  for (std::size_t got; pipe != nullptr && (got = std::fread(block, 1, sizeof block, pipe)) > 0;) {
    output.append(block, got);
  }
  if (pipe == nullptr || ::pclose(pipe) != 0 || output.find('{') == std::string::npos) {
    std::fprintf(stderr, "batch: the tavrin side failed\n");
    std::exit(1);
  }
  return Value::parse(output.substr(output.find('{')));
}

// The checked values of each record in a results file, by id (null for a failed record).
std::map<std::int64_t, Value> checked_by_id(const fs::path& results) {
  std::map<std::int64_t, Value> by_id;
  std::ifstream in(results);
  for (std::string text; std::getline(in, text);) {
    Value line = Value::parse(text);
    by_id[line["id"].get<std::int64_t>()] = std::move(line["checked"]);
  }
  return by_id;
}

}  // namespace

int main(int argc, char** argv) {
  // FAISS on one thread, as the baseline's, so that no idle worker spins on CPU time.
  omp_set_num_threads(1);
  if (argc == 4 && std::string(argv[1]) == "--tavrin") return run_tavrin(Inputs(argv[2]), argv[3]);
  const std::size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
  const Inputs in(tavrin::bench::work_folder("batch"));
  const std::vector<Value> truths = write_inputs(in, count);
  std::printf("batch: %zu output lines (shuffled), 2 fields of 20 labels, %.1f MB\n", count,
              static_cast<double>(fs::file_size(in.output())) / 1e6);

  const fs::path ours_path = in.folder / "results.jsonl";
  const Value ours = tavrin_figures(in, ours_path);
  const double read = ours["read"].get<double>(), job = ours["job"].get<double>();
  std::printf("  %-30s %8.3f CPU s   (read %.3f, job %.3f; %.3f s wall)\n", "tavrin read + job",
              read + job, read, job, ours["wall"].get<double>());
  std::printf("  %-30s prompts %.3f, parse_answer %.3f CPU s\n", "of the job, timed apart",
              ours["prompts"].get<double>(), ours["parse"].get<double>());
  std::printf(
      "  %-30s kept %zu, normalized %zu, replaced %zu, no answer %zu, missing %zu; %zu of %zu "
      "records failed\n",
      "tavrin decisions", ours["kept"].get<std::size_t>(), ours["normalized"].get<std::size_t>(),
      ours["replaced"].get<std::size_t>(), ours["no_answer"].get<std::size_t>(),
      ours["missing"].get<std::size_t>(), ours["failed"].get<std::size_t>(),
      ours["done"].get<std::size_t>());

  const fs::path theirs_path = in.folder / "python-results.jsonl";
  const auto output = tavrin::bench::run_python(
      "batch.py", in.labels().string() + " " + in.output().string() + " " + theirs_path.string());
  double theirs = 0, py_read = 0, py_check = 0, py_write = 0;
  if (!output || std::sscanf(output->c_str(), "%lf %lf %lf %lf", &theirs, &py_read, &py_check,
                             &py_write) != 4) {
    tavrin::bench::print_no_python_figure();
  } else {
    std::printf("  %-30s %8.3f CPU s   (read + parse %.3f, check %.3f, write %.3f)\n",
                "python json + checks", theirs, py_read, py_check, py_write);
    tavrin::bench::print_ratio("CPU python / tavrin", theirs / (read + job), ">= 10x");
    const auto mine = checked_by_id(ours_path);
    const auto python = checked_by_id(theirs_path);
    std::size_t same = 0, ours_right = 0, theirs_right = 0, values = 0;
    for (std::size_t id = 1; id < truths.size(); ++id) {
      for (const auto& [field, label] : truths[id].items()) {
        const auto value = [&field](const std::map<std::int64_t, Value>& lines, std::size_t id) {
          const auto line = lines.find(static_cast<std::int64_t>(id));
          return line == lines.end() || !line->second.is_object()
                     ? Value("(no result)")
                     : line->second.value(field, Value("(missing)"));
        };
        const Value a = value(mine, id), b = value(python, id);
        ++values;
        same += a == b;
        ours_right += a == label;
        theirs_right += b == label;
      }
    }
    std::printf(
        "  checked values: %zu of %zu the same on both sides; the label the answer meant: "
        "tavrin %zu, python %zu\n",
        same, values, ours_right, theirs_right);
    std::printf("  results files: tavrin %.1f MB, python %.1f MB\n",
                static_cast<double>(fs::file_size(ours_path)) / 1e6,
                static_cast<double>(fs::file_size(theirs_path)) / 1e6);
  }
  fs::remove_all(in.folder);
}
