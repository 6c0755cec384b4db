// The labelling job against the same job written the usual Python way (bench/label.py:
// asyncio, one aiohttp session, the same prompt, parse and check), both against one local
// nginx that answers each chat request after 50 ms with a fenced JSON answer, some of whose
// values are no allowed label. By default 20,000 records, 3 target fields, 4 retrieved
// examples each, 200 in flight, and a training store of 2,000 documents.
//
// tavrin runs as a user runs it: stores built by data2faiss and loaded from disk, the records
// streamed from CSV (as `tavrin label` reads them), run_job with chat_model through one
// quellin::Client. It runs once more on the real path, its embedding model an endpoint (a stub
// answering after 20 ms with the vectors HashingEmbeddings gives, so that the checked values
// must equal the local run's), beside the local run. It runs in a child of
// its own (this program executed again), so that its CPU time and peak memory are the job's
// alone; it runs once more on fewer records to show whether memory grows with the records.
// Peak memory is VmHWM of the process's own address space: ru_maxrss would also count the
// address space of the parent it was forked from, which holds the generated data.
//
//   bench/label [records] [in_flight] [fewer_records] [train_rows]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "bench/embedding_stub.hpp"
#include "bench/nginx.hpp"
#include "bench/support.hpp"
#include "quellin/client.hpp"
#include "tavrin/brollin.hpp"
#include "tavrin/frame/csv_stream.hpp"
#include "tavrin/frame/dataframe.hpp"
#include "tavrin/labeling/chat_model.hpp"
#include "tavrin/labeling/job.hpp"
#include "tavrin/labeling/prompt.hpp"
#include "tavrin/openai/embeddings.hpp"
#include "tavrin/vectorstore/faiss_store.hpp"

namespace {

namespace asio = boost::asio;
namespace fs = std::filesystem;
namespace labeling = tavrin::labeling;
using tavrin::Value;
using tavrin::bench::Lcg;
using tavrin::bench::pick;
using tavrin::bench::status_bytes;
using tavrin::frame::DataFrame;
using tavrin::vectorstore::FAISS;
using tavrin::vectorstore::HashingEmbeddings;
using Clock = std::chrono::steady_clock;

const std::vector<std::string> kTextFields = {"question", "detail"};
const std::vector<std::string> kFields = {"类别", "产品", "优先级"};
constexpr std::size_t kExamples = 4;
constexpr double kDelaySeconds = 0.05;
constexpr auto kEmbeddingDelay = std::chrono::milliseconds(20);
constexpr std::size_t kPromptSample = 200;
constexpr std::size_t kSearchSample = 2000;
constexpr const char* kModel = "qwen-max";
constexpr const char* kKey = "sk-bench";
constexpr const char* kEchoModule = "/usr/lib/nginx/modules/ngx_http_echo_module.so";

// Both sides read this template; it has no braces besides its placeholders, so that Python's
// str.format fills it the same way.
constexpr const char* kTemplate =
    "你是客服工单的标注助手。请阅读下面的工单，为每个字段从允许的标签中选出一个。\n"
    "需要标注的字段：{fields}\n"
    "允许的标签：\n"
    "{labels}"
    "参考示例：\n"
    "{examples}"
    "待标注的工单：{record}\n"
    "只输出一个 JSON 对象，键为 {fields}，值为所选标签。";

Value make_labels() {
  return {{"类别",
           {"退款", "物流配送", "售后维修", "账户安全", "发票开具", "会员积分", "价格咨询",
            "质量投诉"}},
          {"产品", {"手机", "笔记本电脑", "平板", "耳机", "智能手表", "路由器"}},
          {"优先级", {"高", "中", "低"}}};
}

// The stub's answers, picked by the digit after the record's "#": fenced (with and without a
// language tag, with prose before), some values near misses of a label, one field left out.
const std::vector<std::string> kAnswers = {
    "```json\n{\"类别\": \"退款\", \"产品\": \"手机\", \"优先级\": \"高\"}\n```",
    "```json\n{\"类别\": \"物流\", \"产品\": \"手机 \", \"优先级\": \"中\"}\n```",
    "好的，标注结果如下：\n```json\n{\"类别\": \"售后\", \"产品\": \"笔记本\", \"优先级\": "
    "\"高级\"}\n```",
    "```\n{\"类别\": \"账户安全\", \"产品\": \"平板电脑\", \"优先级\": \"低\"}\n```",
    "```json\n{\"类别\": \"发票\", \"产品\": \"耳机\"}\n```"};

std::string chat_reply(const std::string& answer) {
  const Value message = {{"role", "assistant"}, {"content", answer}};
  const Value choice = {{"index", 0}, {"message", message}, {"finish_reason", "stop"}};
  return Value{
      {"id", "chatcmpl-1"},
      {"object", "chat.completion"},
      {"created", 1700000000},
      {"model", kModel},
      {"choices", Value::array({choice})},
      {"usage", {{"prompt_tokens", 600}, {"completion_tokens", 30}, {"total_tokens", 630}}}}
      .dump();
}

// The stub's configuration: nginx reads the body, sleeps, and answers the reply its map picks
// from the body.
struct StubConfig {
  std::string main, http, server;
};

StubConfig stub_config() {
  StubConfig stub;
  stub.main = std::string("load_module ") + kEchoModule + ";\n";
  stub.http =
      "  client_body_buffer_size 64k;\n  client_body_in_single_buffer on;\n"
      "  map $request_body $reply {\n";
  for (std::size_t i = 0; i < kAnswers.size(); ++i) {
    stub.http += "    \"~#" + std::to_string(i) + "\" " +
                 tavrin::bench::nginx_quoted(chat_reply(kAnswers[i])) + ";\n";
  }
  stub.http += "    default " + tavrin::bench::nginx_quoted(chat_reply(kAnswers[0])) + ";\n  }\n";
  char sleep[64];
  std::snprintf(sleep, sizeof sleep, "echo_sleep %.3f;", kDelaySeconds);
  stub.server =
      "    location / { echo_read_request_body; " + std::string(sleep) + " echo -n $reply; }";
  return stub;
}

// A ticket: a question about a product and a topic, and a detail of a few words; a record's
// detail ends with its order number, "#" and digits, the first of which picks its answer.
struct Ticket {
  std::string question, detail;
};

Ticket make_ticket(Lcg& random, const Value& labels) {
  static const char* const kOpenings[] = {"请问", "你好，", "麻烦看一下，", "紧急：", "咨询一下，"};
  static const char* const kTopics[] = {"什么时候退款", "快递到哪里了", "坏了能修吗", "账号被盗了",
                                        "怎么开发票",   "积分怎么用",   "能便宜点吗", "质量太差"};
  static const char* const kWords[] = {"订单", "昨天", "已经", "付款", "三天", "没有", "收到",
                                       "客服", "电话", "屏幕", "电池", "颜色", "型号", "地址",
                                       "发货", "售后", "换货", "会员", "价格", "活动"};
  const Value& products = labels["产品"];
  Ticket ticket;
  ticket.question = std::string(pick(random, kOpenings)) +
                    products[random.below(products.size())].get<std::string>() +
                    pick(random, kTopics);
  for (std::size_t i = 0, n = 4 + random.below(8); i < n; ++i)
    ticket.detail += pick(random, kWords);
  return ticket;
}

DataFrame make_train(std::size_t rows, const Value& labels) {
  Lcg random(11);
  Value columns = Value::object();
  for (std::size_t i = 0; i < rows; ++i) {
    const Ticket ticket = make_ticket(random, labels);
    columns["question"].push_back(ticket.question);
    columns["detail"].push_back(ticket.detail);
    for (const std::string& field : kFields) {
      const Value& allowed = labels[field];
      columns[field].push_back(allowed[random.below(allowed.size())]);
    }
  }
  return DataFrame(std::move(columns));
}

DataFrame make_records(std::size_t rows, const Value& labels) {
  Lcg random(13);
  Value columns = {
      {"id", Value::array()}, {"question", Value::array()}, {"detail", Value::array()}};
  for (std::size_t i = 0; i < rows; ++i) {
    const Ticket ticket = make_ticket(random, labels);
    columns["id"].push_back(i);
    columns["question"].push_back(ticket.question);
    columns["detail"].push_back(ticket.detail + "，单号#" + std::to_string(i % kAnswers.size()) +
                                std::to_string(1000 + random.below(9000)));
  }
  return DataFrame(std::move(columns));
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

double cpu_seconds(const rusage& usage) {
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double self_cpu_seconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return cpu_seconds(usage);
}

// What both sides read: the labels, the template, the job's settings, the training table and
// its stores.
struct Inputs {
  fs::path dir;
  Value labels;

  fs::path labels_file() const { return dir / "labels.json"; }
  fs::path settings_file() const { return dir / "settings.json"; }
  fs::path template_file() const { return dir / "template.txt"; }
  fs::path train_csv() const { return dir / "train.csv"; }
  fs::path train_store() const { return dir / "train"; }
  fs::path field_store(const std::string& field) const { return dir / "fields" / field; }
};

struct Stores {
  std::shared_ptr<const tavrin::vectorstore::VectorStore> train;
  labeling::StoreMap fields;
};

// HashingEmbeddings behind an endpoint: the stub gives its vectors, so it has its identity
// and searches the stores it built.
class RemoteHashing : public tavrin::openai::OpenAIEmbeddings {
 public:
  explicit RemoteHashing(const std::string& url)
      : OpenAIEmbeddings(url, "", "hashing", options()) {}
  std::string identity() const override { return HashingEmbeddings().identity(); }

 private:
  static tavrin::openai::OpenAIEmbeddingsOptions options() {
    tavrin::openai::OpenAIEmbeddingsOptions options;
    options.encoding_format = "base64";
    return options;
  }
};

Stores load_stores(const Inputs& inputs,
                   std::shared_ptr<tavrin::vectorstore::Embeddings> embeddings =
                       std::make_shared<HashingEmbeddings>()) {
  Stores stores;
  stores.train =
      std::make_shared<const FAISS>(FAISS::load_local(inputs.train_store().string(), embeddings));
  for (const std::string& field : kFields) {
    stores.fields[field] = std::make_shared<const FAISS>(
        FAISS::load_local(inputs.field_store(field).string(), embeddings));
  }
  return stores;
}

labeling::Prompter make_prompter(const Inputs& inputs, const Stores& stores) {
  labeling::PromptSettings settings;
  settings.fields = kFields;
  settings.labels = inputs.labels;
  settings.examples = kExamples;
  settings.prompt_template =
      labeling::PromptTemplate(read_file(inputs.template_file()), inputs.template_file().string());
  return labeling::Prompter(std::move(settings), stores.train, stores.fields);
}

double precise_cpu_seconds() {
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The CPU time the search for the examples takes over all the records, from the search of
// the first kSearchSample records after the job (the job's own searches cannot be timed apart
// without slowing it).
double examples_seconds(const labeling::Prompter& prompter, const std::string& records_csv,
                        std::size_t records) {
  const DataFrame sample = tavrin::frame::CsvStream(records_csv).next(kSearchSample);
  const double start = precise_cpu_seconds();
  for (std::size_t i = 0; i < sample.size(); ++i) {
    prompter.examples_for(tavrin::brollin::row_text(sample.iloc(i), kTextFields), Value());
  }
  return (precise_cpu_seconds() - start) * static_cast<double>(records) /
         static_cast<double>(std::max<std::size_t>(sample.size(), 1));
}

// The tavrin side, in a process of its own: prints its figures as one JSON line. `embed_url`
// is "-" for the local model.
int run_tavrin_job(const fs::path& dir, const std::string& records_csv, const std::string& out,
                   const std::string& url, std::size_t in_flight, const std::string& embed_url) {
  Inputs inputs{dir, Value()};
  inputs.labels = Value::parse(read_file(inputs.labels_file()));
  const bool remote = embed_url != "-";
  const Stores stores = remote ? load_stores(inputs, std::make_shared<RemoteHashing>(embed_url))
                               : load_stores(inputs);
  const labeling::Prompter prompter = make_prompter(inputs, stores);
  tavrin::frame::CsvStream records(records_csv);
  const std::size_t records_count = records.size();
  const std::size_t before_job = status_bytes("VmRSS");

  labeling::JobSettings settings;
  settings.text_fields = kTextFields;
  settings.out_path = out;
  settings.in_flight = in_flight;
  asio::io_context io(1);
  quellin::ClientOptions options;
  options.max_connections_per_host = in_flight;
  // Destroyed as soon as the job ends: its idle kept-alive connections would keep io running.
  std::optional<quellin::Client> client(std::in_place, io.get_executor(), options);
  const labeling::Model model = labeling::chat_model(*client, {url, kKey, kModel});
  std::optional<labeling::JobTally> tally;
  std::exception_ptr failure;
  const double cpu_start = self_cpu_seconds();
  const auto start = Clock::now();
  asio::co_spawn(io,
                 labeling::run_job(std::move(records), prompter, stores.fields, model, settings),
                 [&](std::exception_ptr e, labeling::JobTally t) {
                   failure = e;
                   if (!e) tally = t;
                   client.reset();
                 });
  io.run();
  const double wall = tavrin::bench::seconds_since(start);
  const double cpu = self_cpu_seconds() - cpu_start;
  const std::size_t peak = status_bytes("VmHWM");  // before the examples are timed apart
  if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "label: the tavrin job failed: %s\n", e.what());
      return 1;
    }
  }
  labeling::FieldTally all;
  for (const auto& [field, counts] : tally->fields) all += counts;
  std::printf("%s\n", Value{{"wall", wall},
                            {"cpu_job", cpu},
                            // Timed through the endpoint, the search would time its round trips.
                            {"cpu_examples",
                             remote ? 0.0 : examples_seconds(prompter, records_csv, records_count)},
                            {"embedding_calls", tally->embedding_calls},
                            {"embedded_texts", tally->embedded_texts},
                            {"before_job", before_job},
                            {"peak", peak},
                            {"done", tally->done},
                            {"failed", tally->failed},
                            {"kept", all.kept},
                            {"replaced", all.replaced},
                            {"missing", all.missing}}
                          .dump()
                          .c_str());
  return 0;
}

struct Figures {
  Value reported;        // what the side printed about itself
  double cpu_total = 0;  // CPU seconds of its whole process
};

std::optional<Value> last_json_line(const std::string& output) {
  const std::size_t start = output.rfind('\n', output.size() >= 2 ? output.size() - 2 : 0);
  try {
    return Value::parse(output.substr(start == std::string::npos ? 0 : start + 1));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// This program run again as the tavrin side, with its output and its own resource usage.
std::optional<Figures> spawn_tavrin(const Inputs& inputs, const fs::path& records_csv,
                                    const fs::path& out, const std::string& url,
                                    std::size_t in_flight, const std::string& embed_url = "-") {
  std::fflush(stdout);
  int pipe_ends[2];
  if (::pipe(pipe_ends) != 0) return std::nullopt;
  const std::string dir = inputs.dir.string(), records = records_csv.string(),
                    results = out.string(), flight = std::to_string(in_flight);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipe_ends[1], STDOUT_FILENO);
    ::close(pipe_ends[0]);
    ::close(pipe_ends[1]);
    ::execl("/proc/self/exe", "label", "--job", dir.c_str(), records.c_str(), results.c_str(),
            url.c_str(), flight.c_str(), embed_url.c_str(), nullptr);
    std::_Exit(127);
  }
  ::close(pipe_ends[1]);
  std::string output;
  char block[4096];
  for (ssize_t got; (got = ::read(pipe_ends[0], block, sizeof block)) > 0;) {
    output.append(block, static_cast<std::size_t>(got));
  }
  ::close(pipe_ends[0]);
  int status = 0;
  rusage usage{};
  if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    return std::nullopt;
  }
  auto reported = last_json_line(output);
  if (!reported) return std::nullopt;
  return Figures{std::move(*reported), cpu_seconds(usage)};
}

std::optional<Figures> run_python_job(const Inputs& inputs, const fs::path& records_csv,
                                      const fs::path& out, const std::string& url,
                                      std::size_t in_flight) {
  rusage before{}, after{};
  ::getrusage(RUSAGE_CHILDREN, &before);
  const auto output = tavrin::bench::run_python(
      "label.py", "job " + url + " " + std::to_string(in_flight) + " " + inputs.dir.string() + " " +
                      records_csv.string() + " " + out.string());
  ::getrusage(RUSAGE_CHILDREN, &after);
  if (!output) return std::nullopt;
  auto reported = last_json_line(*output);
  if (!reported) return std::nullopt;
  return Figures{std::move(*reported), cpu_seconds(after) - cpu_seconds(before)};
}

// How many of the first records get the very same prompt from label.py as from `prompter`.
std::size_t same_prompts(const Inputs& inputs, const labeling::Prompter& prompter,
                         const DataFrame& records, const fs::path& records_csv) {
  const auto output =
      tavrin::bench::run_python("label.py", "prompts " + std::to_string(kPromptSample) + " " +
                                                inputs.dir.string() + " " + records_csv.string());
  const auto theirs = output ? last_json_line(*output) : std::nullopt;
  if (!theirs || !theirs->is_array()) return 0;
  std::size_t same = 0;
  for (std::size_t i = 0; i < std::min(theirs->size(), records.size()); ++i) {
    const std::string text = tavrin::brollin::row_text(records.iloc(i), kTextFields);
    same += (*theirs)[i] == prompter.prompt_for(text, Value());
  }
  return same;
}

// Each record's checked values in a results file, by the id's JSON text.
std::map<std::string, Value> checked_values(const fs::path& results) {
  std::map<std::string, Value> checked;
  std::ifstream in(results);
  for (std::string line; std::getline(in, line);) {
    const Value result = Value::parse(line);
    checked[result["id"].dump()] = result["checked"];
  }
  return checked;
}

std::size_t agreeing(const std::map<std::string, Value>& ours,
                     const std::map<std::string, Value>& theirs) {
  std::size_t same = 0;
  for (const auto& [id, checked] : ours) {
    const auto found = theirs.find(id);
    same += found != theirs.end() && found->second == checked;
  }
  return same;
}

double mib(const Value& bytes) { return bytes.get<double>() / (1 << 20); }

void print_side(const char* name, const Figures& figures, std::size_t records, double ideal) {
  const double wall = figures.reported["wall"].get<double>();
  const double per_1000 = 1000.0 / static_cast<double>(records);
  std::printf("  %-26s %8.2f s %8.2f s %7.2fx %9.3f s %9.3f s %9.1f MiB\n", name, wall, ideal,
              wall / ideal, figures.reported["cpu_job"].get<double>() * per_1000,
              figures.cpu_total * per_1000, mib(figures.reported["peak"]));
}

struct Runs {
  std::optional<Figures> ours, ours_fewer, theirs;
  std::optional<Figures> remote;  // the embedding model an endpoint
  std::size_t stub_requests = 0;  // embedding requests the stub answered
  double nginx_cpu = 0;           // what the stub spent during the tavrin job
};

// The real path beside the local one: false when it failed, missed a goal's figure or checked
// other values.
bool report_real_path(const Inputs& inputs, const Runs& runs, std::size_t records) {
  std::printf("  real path: the embedding model an endpoint answering after %lld ms\n",
              static_cast<long long>(kEmbeddingDelay.count()));
  if (!runs.ours || !runs.remote) {
    std::printf("  real path: no figures (a job failed)\n");
    return false;
  }
  const Value& local = runs.ours->reported;
  const Value& remote = runs.remote->reported;
  const double per_1000 = 1000.0 / static_cast<double>(records);
  for (const auto& [name, side] : {std::pair{"local model", &local}, {"model endpoint", &remote}}) {
    std::printf("  %-26s %8.2f s wall %9.3f s CPU/1000 job %7zu embedding calls\n", name,
                (*side)["wall"].get<double>(), (*side)["cpu_job"].get<double>() * per_1000,
                (*side)["embedding_calls"].get<std::size_t>());
  }
  const double requests = static_cast<double>(runs.stub_requests);
  std::printf("  the stub answered %zu embedding requests\n", runs.stub_requests);
  tavrin::bench::print_ratio("wall endpoint / local",
                             remote["wall"].get<double>() / local["wall"].get<double>(), "<= 1.3x");
  std::printf("  %-28s %10.1f     goal: >= 8\n", "texts per embedding request",
              remote["embedded_texts"].get<double>() / std::max(requests, 1.0));
  const std::size_t same = agreeing(checked_values(inputs.dir / "tavrin-remote.jsonl"),
                                    checked_values(inputs.dir / "tavrin.jsonl"));
  std::printf("  same checked values as the local run: %zu of %zu records\n", same, records);
  return same == records && remote["failed"].get<std::size_t>() == 0;
}

// Prints the figures and checks that both sides did the same work; false when a side failed
// or they disagree.
bool report(const Inputs& inputs, const Runs& runs, const DataFrame& table,
            const fs::path& records_csv, std::size_t fewer, std::size_t in_flight) {
  const std::size_t records = table.size();
  const double ideal =
      static_cast<double>(records) * kDelaySeconds / static_cast<double>(in_flight);
  std::printf("  %-26s %10s %10s %8s %11s %11s %13s\n", "", "wall", "ideal", "ratio",
              "CPU/1000 job", "process", "peak memory");
  if (runs.ours) {
    print_side("tavrin run_job", *runs.ours, records, ideal);
    std::printf("  %-26s %8.2f s CPU during the tavrin job\n", "nginx stub", runs.nginx_cpu);
  }
  if (!runs.ours) std::printf("  tavrin: no figures (the job failed)\n");
  if (runs.theirs) print_side("python asyncio + aiohttp", *runs.theirs, records, ideal);
  if (!runs.theirs) tavrin::bench::print_no_python_figure();
  if (!runs.ours || !runs.theirs) return false;
  const Value& ours = runs.ours->reported;
  const Value& theirs = runs.theirs->reported;
  tavrin::bench::print_ratio("wall / ideal (tavrin)", ours["wall"].get<double>() / ideal,
                             "<= 1.25x");
  const double our_cpu = ours["cpu_job"].get<double>(), their_cpu = theirs["cpu_job"].get<double>();
  tavrin::bench::print_ratio("CPU python / tavrin (job)", their_cpu / our_cpu, ">= 5x");
  std::printf("  %-28s %10.1fx   (whole processes)\n", "CPU python / tavrin",
              runs.theirs->cpu_total / runs.ours->cpu_total);

  const double our_search = ours["cpu_examples"].get<double>();
  const double their_search = theirs["cpu_examples"].get<double>();
  std::printf(
      "  of the job's CPU, the search of the training store for the examples (tavrin: its "
      "exact scan, timed after the job one record at a time, where the job scans for 16 at "
      "once; python: faiss, all records at once): tavrin %.3f s/1000, python %.3f s/1000\n",
      our_search * 1000 / static_cast<double>(records),
      their_search * 1000 / static_cast<double>(records));
  std::printf("  %-28s %10.1fx   (the job less that search)\n", "CPU python / tavrin",
              (their_cpu - their_search) / (our_cpu - our_search));
  if (runs.ours_fewer) {
    const Value& small = runs.ours_fewer->reported;
    std::printf(
        "  tavrin peak memory: %zu records %.1f MiB (%.1f MiB before the job), %zu "
        "records %.1f MiB (%.1f MiB before the job)   goal: flat\n",
        fewer, mib(small["peak"]), mib(small["before_job"]), records, mib(ours["peak"]),
        mib(ours["before_job"]));
    std::printf("  tavrin on %zu records: %.2f s wall, %.3f s CPU/1000\n", fewer,
                small["wall"].get<double>(),
                small["cpu_job"].get<double>() * 1000 / static_cast<double>(fewer));
  }
  std::printf("  tavrin: %zu done, %zu failed; values kept %zu, replaced %zu, missing %zu\n",
              ours["done"].get<std::size_t>(), ours["failed"].get<std::size_t>(),
              ours["kept"].get<std::size_t>(), ours["replaced"].get<std::size_t>(),
              ours["missing"].get<std::size_t>());
  const std::size_t same = agreeing(checked_values(inputs.dir / "tavrin.jsonl"),
                                    checked_values(inputs.dir / "python.jsonl"));
  const std::size_t sample = std::min(kPromptSample, records);
  const Stores stores = load_stores(inputs);
  const std::size_t prompts =
      same_prompts(inputs, make_prompter(inputs, stores), table, records_csv);
  std::printf(
      "  same checked values on both sides: %zu of %zu records; same prompt: %zu of "
      "the first %zu\n",
      same, records, prompts, sample);
  // numpy's vectors and tavrin's differ in the last bits, so two examples of nearly equal
  // similarity may come in the other order; more than a few such prompts is a fault.
  if (prompts < sample) {
    std::printf(
        "  (a prompt may differ in the order of two examples whose similarities differ "
        "in the last bits)\n");
  }
  return same == records && prompts * 20 >= sample * 19 && ours["failed"].get<std::size_t>() == 0;
}

int run_benchmark(std::size_t records, std::size_t in_flight, std::size_t fewer,
                  std::size_t train_rows) {
  if (::access(tavrin::bench::kNginx, X_OK) != 0 || ::access(kEchoModule, R_OK) != 0) {
    std::printf(
        "label: no figures: %s or %s is missing (scripts/install-deps installs nginx and "
        "libnginx-mod-http-echo)\n",
        tavrin::bench::kNginx, kEchoModule);
    return 1;
  }
  std::string load;
  std::getline(std::ifstream("/proc/loadavg"), load);
  std::printf(
      "label: %zu records x %zu fields, %zu examples each from %zu training documents, "
      "%zu in flight\n  stub: one local nginx answering each request after %.0f ms; "
      "load average at start: %s (%ld cores)\n",
      records, kFields.size(), kExamples, train_rows, in_flight, kDelaySeconds * 1000, load.c_str(),
      ::sysconf(_SC_NPROCESSORS_ONLN));

  const Inputs inputs{tavrin::bench::work_folder("label"), make_labels()};
  std::ofstream(inputs.labels_file()) << inputs.labels.dump();
  std::ofstream(inputs.template_file()) << kTemplate;
  std::ofstream(inputs.settings_file()) << Value{
      {"text_fields", kTextFields},
      {"examples", kExamples},
      {"model", kModel},
      {"key", kKey}}.dump();
  const DataFrame train = make_train(train_rows, inputs.labels);
  train.to_csv(inputs.train_csv().string());
  tavrin::brollin::data2faiss(inputs.labels, train, kTextFields, kFields, kFields,
                              inputs.train_store().string(), (inputs.dir / "fields").string(),
                              std::make_shared<HashingEmbeddings>());
  const DataFrame table = make_records(records, inputs.labels);
  const fs::path records_csv = inputs.dir / "records.csv";
  const fs::path fewer_csv = inputs.dir / "fewer.csv";
  table.to_csv(records_csv.string());
  table.iloc(0, static_cast<std::ptrdiff_t>(fewer)).to_csv(fewer_csv.string());

  bool ok = false;
  {
    const StubConfig config = stub_config();
    const fs::path folder = inputs.dir / "nginx";
    fs::create_directories(folder);
    const tavrin::bench::Nginx nginx(folder, config.http, config.server, config.main);
    if (nginx.running()) {
      const std::string url = nginx.url("/v1/chat/completions");
      Runs runs;
      const double nginx_start = nginx.cpu_seconds();
      runs.ours = spawn_tavrin(inputs, records_csv, inputs.dir / "tavrin.jsonl", url, in_flight);
      runs.nginx_cpu = nginx.cpu_seconds() - nginx_start;
      runs.ours_fewer =
          spawn_tavrin(inputs, fewer_csv, inputs.dir / "tavrin-fewer.jsonl", url, in_flight);
      {
        const tavrin::bench::EmbeddingStub stub(kEmbeddingDelay);
        runs.remote = spawn_tavrin(inputs, records_csv, inputs.dir / "tavrin-remote.jsonl", url,
                                   in_flight, stub.url());
        runs.stub_requests = stub.requests();
      }
      runs.theirs =
          run_python_job(inputs, records_csv, inputs.dir / "python.jsonl", url, in_flight);
      ok = report(inputs, runs, table, records_csv, fewer, in_flight);
      ok = report_real_path(inputs, runs, records) && ok;
    } else {
      std::printf("label: no figures: nginx did not start\n");
    }
  }
  fs::remove_all(inputs.dir);
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 8 && std::string(argv[1]) == "--job") {
    return run_tavrin_job(argv[2], argv[3], argv[4], argv[5], std::stoul(argv[6]), argv[7]);
  }
  const std::size_t records = argc > 1 ? std::stoul(argv[1]) : 20000;
  const std::size_t in_flight = argc > 2 ? std::stoul(argv[2]) : 200;
  const std::size_t fewer = argc > 3 ? std::stoul(argv[3]) : records / 4;
  const std::size_t train_rows = argc > 4 ? std::stoul(argv[4]) : 2000;
  return run_benchmark(records, in_flight, fewer, train_rows);
}
