// End-to-end tests of the `tavrin` tool: the built program is run on good and bad input, with
// a chat-completion endpoint on loopback standing in for the model.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>

#include "tavrin/core/value.hpp"
#include "tests/support/openai_server.hpp"

namespace {

namespace fs = std::filesystem;
using tavrin::Value;

const std::string kKey = "sk-test-secret-4711";

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void spill(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::size_t line_count(const std::string& text) {
  std::size_t lines = 0;
  for (char c : text) lines += c == '\n';
  return lines;
}

// A chat-completion endpoint on 127.0.0.1 that answers every request with `content` ("$AUTH"
// in it replaced by the request's Authorization header), or
// with `status` when that is not 200; with `fail_every` n, only every n-th request fails.
class StubModel {
 public:
  explicit StubModel(std::string content, int status = 200, int fail_every = 1)
      : content_(std::move(content)) {
    server_.Post("/v1/chat/completions",
                 [this, status, fail_every](const httplib::Request& req, httplib::Response& res) {
                   {
                     std::lock_guard lock(mutex_);
                     last_authorization_ = req.get_header_value("Authorization");
                     last_body_ = req.body;
                   }
                   const int answer = ++requests_ % fail_every == 0 ? status : 200;
                   // "$AUTH" in the content echoes the request's Authorization header, as a proxy
                   // may.
                   std::string content = content_;
                   if (const auto at = content.find("$AUTH"); at != std::string::npos) {
                     content.replace(at, 5, req.get_header_value("Authorization"));
                   }
                   const Value reply = {
                       {"choices", {{{"message", {{"role", "assistant"}, {"content", content}}}}}}};
                   res.status = answer;
                   res.set_content(answer == 200 ? reply.dump() : R"({"error": "invalid api key"})",
                                   "application/json");
                 });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~StubModel() {
    server_.stop();
    thread_.join();
  }
  std::string url() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/v1/chat/completions";
  }
  std::string last_authorization() {
    std::lock_guard lock(mutex_);
    return last_authorization_;
  }
  std::string last_body() {
    std::lock_guard lock(mutex_);
    return last_body_;
  }
  int requests() const { return requests_; }

 private:
  std::string content_;
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::string last_authorization_;
  std::string last_body_;
  std::atomic<int> requests_ = 0;
};

// An endpoint on 127.0.0.1 that takes each connection and never answers, or (dripping) sends
// one byte of a reply every 100 ms, never reaching its end.
class SilentServer {
 public:
  explicit SilentServer(bool dripping) : dripping_(dripping) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::system_error(errno, std::generic_category(), "silent server on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~SilentServer() {
    stop_ = true;
    thread_.join();
    for (int fd : connections_) ::close(fd);
    ::close(listener_);
  }
  std::string url() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/v1/chat/completions";
  }
  int accepted() const { return accepted_; }

 private:
  void serve() {
    const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{";
    std::size_t sent = 0;
    while (!stop_) {
      pollfd ready{listener_, POLLIN, 0};
      if (::poll(&ready, 1, 100) > 0) {
        connections_.push_back(::accept(listener_, nullptr, nullptr));
        ++accepted_;
      }
      if (!dripping_) continue;
      for (int fd : connections_) {
        ::send(fd, reply.data() + sent % reply.size(), 1, MSG_NOSIGNAL);
      }
      ++sent;
    }
  }

  bool dripping_;
  int listener_ = -1;
  int port_ = 0;
  std::vector<int> connections_;
  std::atomic<int> accepted_ = 0;
  std::atomic<bool> stop_ = false;
  std::thread thread_;
};

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tavrin-cli-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs the tool in the test's folder with `args` (shell words), no LLM variables inherited.
  // Standard input holds `input`, or comes from `stdin_from` when that is given.
  Result run(const std::string& args, const std::string& env = "", const std::string& input = "",
             const std::string& stdin_from = "") {
    spill(dir_ / "stdin", input);
    const std::string command = "cd '" + dir_.string() +
                                "' && env -u TAVRIN_LLM_URL -u TAVRIN_LLM_KEY " + env + " '" +
                                TAVRIN_CLI_PATH + "' " + args + " <'" +
                                (stdin_from.empty() ? "stdin" : stdin_from) + "' >stdout 2>stderr";
    const int raw = std::system(command.c_str());
    Result r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = slurp(dir_ / "stdout");
    r.err = slurp(dir_ / "stderr");
    return r;
  }

  // A small labelled table and its labels, written into the test's folder.
  void write_tickets() {
    std::string csv = "id,question,category\n";
    const char* rows[][2] = {{"手机屏幕碎了，申请换货", "售后服务"},
                             {"电脑开不了机，错误码 E042", "技术故障"},
                             {"快递三天没到", "订单物流"},
                             {"退货后退款没到账", "售后服务"},
                             {"升级后一直重启", "技术故障"}};
    for (int i = 0; i < 20; ++i) {
      csv += std::to_string(i + 1) + "," + rows[i % 5][0] + "," + rows[i % 5][1] + "\n";
    }
    spill(dir_ / "tickets.csv", csv);
    spill(dir_ / "labels.json", R"({"category": ["售后服务", "技术故障", "订单物流"]})");
  }

  fs::path dir_;
};

void expect_one_line_error(const Result& r, int status, const std::string& fragment) {
  EXPECT_EQ(r.status, status) << r.err;
  EXPECT_EQ(line_count(r.err), 1u) << r.err;
  EXPECT_NE(r.err.find(fragment), std::string::npos) << r.err;
  EXPECT_TRUE(r.out.empty()) << r.out;
}

TEST_F(Cli, EverySubcommandHasHelpWithAnExample) {
  for (const char* command : {"split", "build", "check", "label", "ask", "analyze", "demo",
                              "calibrate", "review", "export"}) {
    const Result r = run(std::string(command) + " --help");
    EXPECT_EQ(r.status, 0) << command;
    EXPECT_NE(r.out.find("Example"), std::string::npos) << command;
  }
}

TEST_F(Cli, UsageErrorsExitTwoWithOneLineNamingTheFault) {
  expect_one_line_error(run(""), 2, "tavrin: error: A subcommand is required");
  expect_one_line_error(run("frobnicate --out x"), 2,
                        "tavrin: error: unknown command \"frobnicate\"");
  expect_one_line_error(run("split nowhere.csv --train a.csv --test b.csv"), 2, "nowhere.csv");
  write_tickets();
  for (const char* ratio : {"2", "-0.5", "nan", "abc"}) {
    SCOPED_TRACE(ratio);
    expect_one_line_error(
        run("split tickets.csv --train a.csv --test b.csv --ratio " + std::string(ratio)), 2,
        "tavrin split: error: --ratio: Value \"" + std::string(ratio) + "\" not in range 0 to 1");
  }
  expect_one_line_error(run("split tickets.csv --test b.csv"), 2, "--train");
  expect_one_line_error(run("ask hello"), 2, "tavrin ask: error: no LLM endpoint");
  // A mistyped option is named, but not the value after it: that may be the key.
  const Result typo = run("ask hello --llm-keys " + kKey);
  expect_one_line_error(typo, 2, "tavrin ask: error: unknown option --llm-keys");
  EXPECT_EQ(typo.err.find(kKey), std::string::npos);
  const Result typo_equals = run("ask hello --llm-token=" + kKey);
  expect_one_line_error(typo_equals, 2, "unknown option --llm-token");
  EXPECT_EQ(typo_equals.err.find(kKey), std::string::npos);
  expect_one_line_error(run("ask hello " + kKey), 2, "unexpected argument in position 3");
}

TEST_F(Cli, SplitWritesBothFilesAndReportsOnStdout) {
  write_tickets();
  const Result r = run("split tickets.csv --train train.csv --test test.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "训练集数据量:18，保存到: train.csv, 测试集数据量:2，保存到: test.csv\n");
  EXPECT_EQ(line_count(slurp(dir_ / "train.csv")), 19u);
  EXPECT_EQ(line_count(slurp(dir_ / "test.csv")), 3u);
}

TEST_F(Cli, BuildThenCheckRepairsNearMisses) {
  write_tickets();
  const Result built = run("build tickets.csv --labels labels.json --out stores");
  ASSERT_EQ(built.status, 0) << built.err;
  EXPECT_EQ(built.out, "FAISS 已保存至：stores/train\nFAISS 已保存至：stores/fields/category\n");

  const Result checked = run("check - --labels labels.json --stores stores", "",
                             "{\"id\": 1, \"category\": \"售后服务部\"}\n"
                             "{\"id\": 2, \"category\": \"技术故障\"}\n"
                             "{\"id\": 3}\n");
  ASSERT_EQ(checked.status, 0) << checked.err;
  EXPECT_EQ(checked.out,
            "{\"id\":1,\"category\":\"售后服务\"}\n"
            "{\"id\":2,\"category\":\"技术故障\"}\n"
            "{\"id\":3}\n");
  EXPECT_EQ(checked.err, "checked 3 records: values 1 kept, 1 replaced, 0 abstained, 1 missing\n");
}

TEST_F(Cli, BuildWarnsOfTrainingRowsWhoseTargetIsNoAllowedLabel) {
  spill(
      dir_ / "train.csv",
      "id,question,category,priority\n"
      "1,a,Billing ,high\n2,b,Billing,high\n3,c,billing,urgent\n4,d,Shipping,\n5,e,Billing,low\n");
  spill(dir_ / "labels.json",
        R"({"category": {"Billing": "money", "Shipping": "parcels"},
            "priority": ["low", "high", "urgent"]})");
  const Result r = run("build train.csv --labels labels.json --out stores");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("warning: 2 of 5 training rows have a \"category\" that is no allowed "
                       "label (e.g. \"Billing \")\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("\"priority\""), std::string::npos)
      << "an empty cell is no value: " << r.err;
  write_tickets();
  const Result clean =
      run("build tickets.csv --labels labels.json --out stores2 --fields category");
  EXPECT_EQ(clean.status, 0) << clean.err;
}

TEST_F(Cli, BuildAndCheckNameTheirBadInputs) {
  write_tickets();
  spill(dir_ / "bad.json", R"({"category": "售后服务"})");
  expect_one_line_error(run("build tickets.csv --labels bad.json --out s"), 2,
                        "bad.json: field \"category\" must list its allowed labels");
  expect_one_line_error(run("build tickets.csv --labels labels.json --out s --text body"), 2,
                        "tickets.csv has no column \"body\"");
  expect_one_line_error(run("build tickets.csv --labels labels.json --out s --fields product"), 2,
                        "labels.json has no labels for field \"product\"");
  fs::create_directory(dir_ / "empty");
  expect_one_line_error(run("check - --labels labels.json --stores empty", "", "{}\n"), 2,
                        "no store for field \"category\"");
  ASSERT_EQ(run("build tickets.csv --labels labels.json --out stores").status, 0);
  // A bad line is reported with its number; the lines around it are still checked.
  const Result lines =
      run("check - --labels labels.json --stores stores", "",
          "{\"category\": \"售后\"}\n[]\n{\"id\": 1,\n{\"category\": \"技术故障\"}\n");
  EXPECT_EQ(lines.status, 1);
  EXPECT_EQ(lines.out, "{\"category\":\"售后服务\"}\n{\"category\":\"技术故障\"}\n");
  EXPECT_NE(
      lines.err.find("tavrin check: standard input line 2 must be a JSON object, not \"[]\"\n"),
      std::string::npos)
      << lines.err;
  EXPECT_NE(lines.err.find("tavrin check: standard input line 3 is not valid JSON"),
            std::string::npos)
      << lines.err;
  EXPECT_NE(lines.err.find("2 lines of standard input could not be checked"), std::string::npos);
}

TEST_F(Cli, CheckWithAFloorAbstainsAndShowsItsScores) {
  write_tickets();
  ASSERT_EQ(run("build tickets.csv --labels labels.json --out stores").status, 0);
  const Result r = run(
      "check - --labels labels.json --stores stores --min-score 0.3 --scores --no-answer 不清楚",
      "",
      "{\"category\": \"天气预报\"}\n{\"category\": \"售后服务部\"}\n"
      "{\"category\": \"N/A\"}\n{\"category\": \"不清楚\"}\n{\"category\": 42}\n");
  ASSERT_EQ(r.status, 0) << r.err;
  std::istringstream out(r.out);
  std::string first;
  std::string second;
  std::getline(out, first);
  std::getline(out, second);
  const Value abstained = Value::parse(first);
  EXPECT_TRUE(abstained["category"].is_null()) << first;
  EXPECT_EQ(abstained["decisions"]["category"]["decision"], "abstained");
  const Value replaced = Value::parse(second);
  EXPECT_EQ(replaced["category"], "售后服务");
  EXPECT_GE(replaced["decisions"]["category"]["score"].get<double>(), 0.3);
  // No-answer words (the user's too) and values of the wrong kind are never forced onto a label.
  for (const char* kind : {"no_answer", "no_answer", "invalid"}) {
    std::string line;
    std::getline(out, line);
    const Value none = Value::parse(line);
    EXPECT_TRUE(none["category"].is_null()) << line;
    EXPECT_EQ(none["decisions"]["category"]["decision"], kind) << line;
  }
  EXPECT_NE(r.err.find("1 replaced, 1 abstained, 2 no answer, 1 invalid"), std::string::npos)
      << r.err;
}

std::vector<Value> json_lines(const std::string& text) {
  std::vector<Value> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(Value::parse(line));
  return lines;
}

TEST_F(Cli, CheckAnswersEachLineAsItComesAndNeverOverwritesAMemberWithItsScores) {
  write_tickets();
  ASSERT_EQ(run("build tickets.csv --labels labels.json --out stores").status, 0);
  // The second line is written only once the first one's answer is out (or after 10 s).
  const std::string command =
      "cd '" + dir_.string() +
      "' && (printf '{\"category\": \"售后\"}\\n'; i=0; while [ ! -s streamed ] && [ $i -lt 200 ]; "
      "do sleep 0.05; i=$((i+1)); done; cp streamed first; "
      "printf '{\"category\": \"技术故障\"}\\n') | '" +
      TAVRIN_CLI_PATH + "' check - --labels labels.json --stores stores >streamed 2>stderr";
  ASSERT_EQ(std::system(command.c_str()), 0) << slurp(dir_ / "stderr");
  EXPECT_EQ(slurp(dir_ / "first"), "{\"category\":\"售后服务\"}\n");
  EXPECT_EQ(slurp(dir_ / "streamed"), "{\"category\":\"售后服务\"}\n{\"category\":\"技术故障\"}\n");

  const Result scored = run("check - --labels labels.json --stores stores --scores", "",
                            "{\"category\": \"售后\", \"decisions\": \"mine\"}\n{}\n");
  EXPECT_EQ(scored.status, 1);
  EXPECT_EQ(json_lines(scored.out).size(), 1u) << scored.out;
  EXPECT_NE(scored.err.find("tavrin check: standard input line 1 has a member \"decisions\" of "
                            "its own, which --scores would overwrite\n"),
            std::string::npos)
      << scored.err;
}

TEST_F(Cli, LabelStoppedBySigintPrintsItsSummaryExits130AndResumes) {
  write_tickets();
  ASSERT_EQ(run("build tickets.csv --labels labels.json --out stores").status, 0);
  const SilentServer silent(false);
  const std::string label = "label tickets.csv --labels labels.json --stores stores --out r.jsonl";
  const std::string command = "cd '" + dir_.string() + "' && exec env TAVRIN_LLM_KEY=" + kKey +
                              " '" + TAVRIN_CLI_PATH + "' " + label + " --llm-url " + silent.url() +
                              " </dev/null >stdout 2>stderr";
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
    ::_exit(127);
  }
  for (int i = 0; i < 200 && silent.accepted() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_GT(silent.accepted(), 0);
  ::kill(child, SIGINT);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "killed by the signal instead of stopping";
  EXPECT_EQ(WEXITSTATUS(status), 130);
  const std::string err = slurp(dir_ / "stderr");
  EXPECT_NE(err.find("  records   0 of 20 done"), std::string::npos) << err;
  EXPECT_NE(err.find("tavrin label: error: the job was stopped by SIGINT"), std::string::npos)
      << err;

  StubModel model(R"({"category": "售后服务"})");
  const Result again = run(label + " --llm-url " + model.url(), "TAVRIN_LLM_KEY=" + kKey);
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(json_lines(slurp(dir_ / "r.jsonl")).size(), 20u);
}

TEST_F(Cli, AnAnswerThatEchoesTheKeyIsNeverPrintedOrWrittenWithIt) {
  write_tickets();
  ASSERT_EQ(run("build tickets.csv --labels labels.json --out stores").status, 0);
  StubModel echo(R"({"category": "售后服务", "note": "you sent $AUTH"})");
  const std::string key = "TAVRIN_LLM_KEY=" + kKey;
  const Result asked = run("ask hi --text --llm-url " + echo.url(), key);
  ASSERT_EQ(asked.status, 0) << asked.err;
  EXPECT_EQ(asked.out.find(kKey), std::string::npos) << asked.out;
  EXPECT_NE(asked.out.find("you sent ***"), std::string::npos) << asked.out;
  const Result labelled =
      run("label tickets.csv --labels labels.json --stores stores --out r.jsonl --llm-url " +
              echo.url(),
          key);
  ASSERT_EQ(labelled.status, 0) << labelled.err;
  const std::string results = slurp(dir_ / "r.jsonl");
  EXPECT_EQ(results.find(kKey), std::string::npos);
  EXPECT_NE(results.find("you sent ***"), std::string::npos);
}

TEST_F(Cli, LabelWritesIdsAsTheyStandAndMatchesANumericIdOfAnOlderRunByItsText) {
  write_tickets();
  ASSERT_EQ(run("build tickets.csv --labels labels.json --out stores").status, 0);
  spill(dir_ / "records.csv", "id,question\n007,屏幕碎了\n8,快递没到\n");
  // A line an older run wrote, its id typed as a number.
  spill(dir_ / "r.jsonl",
        R"({"id":8,"checked":{"category":"订单物流"},"decisions":{},"predicted":{},)"
        R"("answer":"","attempts":1,"usage":null,"error":null})"
        "\n");
  StubModel model(R"({"category": "售后服务"})");
  const Result r =
      run("label records.csv --labels labels.json --stores stores --out r.jsonl --llm-url " +
              model.url(),
          "TAVRIN_LLM_KEY=" + kKey);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(model.requests(), 1);
  const std::vector<Value> lines = json_lines(slurp(dir_ / "r.jsonl"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1]["id"], "007");
}

TEST_F(Cli, LabelStopsAfterARunOfFailuresLeavingTheRestUnwritten) {
  write_tickets();
  ASSERT_EQ(run("build tickets.csv --labels labels.json --out stores").status, 0);
  StubModel refusing("unused", 404);
  const Result r =
      run("label tickets.csv --labels labels.json --stores stores --out r.jsonl --in-flight 1 "
          "--retries 0 --max-failures 3 --llm-url " +
              refusing.url(),
          "TAVRIN_LLM_KEY=" + kKey);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(refusing.requests(), 3);
  EXPECT_EQ(json_lines(slurp(dir_ / "r.jsonl")).size(), 3u);
  EXPECT_NE(r.err.find("  not sent  17"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("tavrin label: error: the job stopped after 3 records in a row failed with "
                       "\"HTTP status 404 Not Found\""),
            std::string::npos)
      << r.err;
}

TEST_F(Cli, LabelDoesEveryRecordOnceAndARunAgainResumes) {
  write_tickets();
  ASSERT_EQ(run("build tickets.csv --labels labels.json --out stores").status, 0);
  StubModel model("好的：\n```json\n{\"category\": \"售后服务部\"}\n```");
  // The records are in the training store, so each is left out of its own examples. At most
  // 4 in flight: the stub serves each kept-alive connection on one of its 8 threads.
  const std::string label =
      "label tickets.csv --labels labels.json --stores stores --out r.jsonl "
      "--examples 2 --in-flight 4 --llm-url " +
      model.url();
  const Result r = run(label, "TAVRIN_LLM_KEY=" + kKey);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(model.requests(), 20);
  EXPECT_EQ(r.err.find(kKey), std::string::npos);
  EXPECT_NE(r.err.find("20 of 20 done"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("all fields"), std::string::npos) << r.err;
  const std::vector<Value> lines = json_lines(slurp(dir_ / "r.jsonl"));
  ASSERT_EQ(lines.size(), 20u);
  std::set<int> ids;
  for (const Value& line : lines) {
    ids.insert(std::stoi(line["id"].get<std::string>()));  // as the text in the file
    EXPECT_EQ(line["checked"]["category"], "售后服务");
    EXPECT_EQ(line["decisions"]["category"]["decision"], "replaced");
  }
  EXPECT_EQ(ids.size(), 20u);
  // The prompt holds the allowed labels and retrieved examples with their labels.
  const std::string body = model.last_body();
  EXPECT_NE(body.find("售后服务、技术故障、订单物流"), std::string::npos) << body;
  EXPECT_NE(body.find("答案：{\\\"category\\\":"), std::string::npos) << body;
  EXPECT_NE(body.find("\"temperature\":0.0"), std::string::npos) << body;

  const Result again = run(label, "TAVRIN_LLM_KEY=" + kKey);
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(model.requests(), 20);
  EXPECT_NE(again.err.find("0 this run, 20 from an earlier run"), std::string::npos) << again.err;
}

TEST_F(Cli, LabelWithShardAutoWritesEachTaskOfAnArrayJobToItsOwnFile) {
  write_tickets();
  ASSERT_EQ(run("build tickets.csv --labels labels.json --out stores").status, 0);
  StubModel model("{\"category\": \"售后服务\"}");
  const std::string label =
      "label tickets.csv --labels labels.json --stores stores --out 'part-{shard}.jsonl' "
      "--examples 0 --in-flight 4 --shard auto --llm-url " +
      model.url();
  // sbatch --array=5-7:2: the ids 5 and 7 are the tasks 0 and 1 of 2.
  for (const char* id : {"5", "7"}) {
    const Result r = run(label, "TAVRIN_LLM_KEY=" + kKey + " SLURM_ARRAY_TASK_ID=" + id +
                                    " SLURM_ARRAY_TASK_MIN=5 SLURM_ARRAY_TASK_STEP=2"
                                    " SLURM_ARRAY_TASK_COUNT=2");
    ASSERT_EQ(r.status, 0) << r.err;
  }
  EXPECT_EQ(model.requests(), 20);
  for (int k = 0; k < 2; ++k) {
    const std::vector<Value> lines =
        json_lines(slurp(dir_ / ("part-" + std::to_string(k) + ".jsonl")));
    // Record ids 1..20 in file order: shard k holds the positions k, k + 2, ... (its lines in
    // the order their answers came).
    std::set<std::string> ids, expected;
    for (const Value& line : lines) ids.insert(line["id"].get<std::string>());
    for (int position = k; position < 20; position += 2)
      expected.insert(std::to_string(1 + position));
    EXPECT_EQ(ids, expected);
    EXPECT_EQ(lines.size(), 10u);
  }
  // A Kubernetes Indexed Job's task 1 of 2 is the same shard: it resumes, asking nothing.
  const Result again =
      run(label + " --shards 2", "TAVRIN_LLM_KEY=" + kKey + " JOB_COMPLETION_INDEX=1");
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.err.find("results in part-1.jsonl"), std::string::npos) << again.err;
  EXPECT_EQ(model.requests(), 20);
  expect_one_line_error(run(label, "TAVRIN_LLM_KEY=" + kKey), 2,
                        "--shard: no scheduler's shard in the environment");
}

TEST_F(Cli, LabelStopsAtItsTokenBudgetWithExitThreeAndARunAgainGoesOn) {
  write_tickets();
  ASSERT_EQ(run("build tickets.csv --labels labels.json --out stores").status, 0);
  // The stand-in echoes the prompt, which begins with the answer, cut at the request's cap.
  spill(dir_ / "prompt.txt", "{{\"category\": \"售后服务\"}}\n{labels}{record}");
  tavrin::testing::OpenAiServer server;
  const std::string label =
      "label tickets.csv --labels labels.json --stores stores --prompt prompt.txt --examples 0 "
      "--in-flight 2 --out r.jsonl --max-completion-tokens 30 --llm-url " +
      server.url();
  const Result spent = run(label + " --budget-tokens 600", "TAVRIN_LLM_KEY=k");
  EXPECT_EQ(spent.status, 3) << spent.err;
  EXPECT_NE(spent.err.find("tokens used; the budget stopped the job"), std::string::npos)
      << spent.err;
  const std::size_t written = line_count(slurp(dir_ / "r.jsonl"));
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, 20u);
  EXPECT_EQ(server.requests(), written);  // every request sent was written
  for (const auto& request : server.received()) {
    EXPECT_EQ(Value::parse(request.body)["max_tokens"], 30) << request.body;
  }
  const Result rest = run(label + " --budget-tokens 100000", "TAVRIN_LLM_KEY=k");
  EXPECT_EQ(rest.status, 0) << rest.err;
  EXPECT_EQ(line_count(slurp(dir_ / "r.jsonl")), 20u);
  EXPECT_EQ(server.requests(), 20u);
  expect_one_line_error(run(label + " --max-tokens-field max_length", "TAVRIN_LLM_KEY=k"), 2,
                        "--max-tokens-field: the completion cap's field must be max_tokens or "
                        "max_completion_tokens, not 'max_length'");
}

// Starts `args` of the tool in the test's folder in a process of its own; its pid.
pid_t start_tool(const fs::path& dir, const std::string& args) {
  const std::string command = "cd '" + dir.string() + "' && exec env TAVRIN_LLM_KEY=" + kKey +
                              " '" + TAVRIN_CLI_PATH + "' " + args + " </dev/null >stdout 2>stderr";
  const pid_t child = ::fork();
  if (child == 0) {
    ::execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
    ::_exit(127);
  }
  return child;
}

// SIGKILL, once `until` holds (at most 20 s); whether the process was still running then.
bool kill_when(pid_t child, const std::function<bool()>& until) {
  for (int i = 0; i < 2000 && !until(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFSIGNALED(status);
}

TEST_F(Cli, LabelBatchKilledAnywhereAndRunAgainSubmitsEveryRecordOnce) {
  write_tickets();
  ASSERT_EQ(run("build tickets.csv --labels labels.json --out stores").status, 0);
  spill(dir_ / "prompt.txt", "{{\"category\": \"售后服务\"}}\n{labels}{record}");
  const std::string label =
      "label tickets.csv --labels labels.json --stores stores --prompt prompt.txt --examples 0 "
      "--batch --batch-poll 0.05 --llm-url ";
  const std::string key = "TAVRIN_LLM_KEY=" + kKey;

  // Nothing sent by a dry run; its estimate covers the 20 prompts.
  tavrin::testing::OpenAiServer waiting({.batch_polls_in_progress = 40});
  const Result dry = run(label + waiting.url() + " --out r.jsonl --dry-run", key);
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_EQ(dry.out.rfind("--- prompt 1 of 20 ---\n{\"category\": \"售后服务\"}\n", 0), 0u)
      << dry.out;
  EXPECT_NE(dry.err.find("  records   20 of the shard"), std::string::npos) << dry.err;
  EXPECT_EQ(waiting.requests(), 0u);

  // Killed while it waits for its batch (recorded), then run again: it waits for the same one.
  const std::string record = (dir_ / "r.jsonl.batches" / "record.jsonl").string();
  const pid_t first = start_tool(dir_, label + waiting.url() + " --out r.jsonl");
  ASSERT_GT(first, 0);
  EXPECT_TRUE(
      kill_when(first, [&] { return slurp(record).find("\"created\"") != std::string::npos; }));
  EXPECT_EQ(waiting.batches_created(), 1u);
  const Result resumed = run(label + waiting.url() + " --out r.jsonl", key);
  EXPECT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_NE(resumed.err.find("0 batches created, 1 of an earlier run waited for; 0 requests "
                             "submitted"),
            std::string::npos)
      << resumed.err;
  EXPECT_EQ(json_lines(slurp(dir_ / "r.jsonl")).size(), 20u);
  EXPECT_EQ(waiting.batches_created(), 1u);

  // Killed after the endpoint created the batch and before its reply came: the run again finds
  // the batch by its tag.
  tavrin::testing::OpenAiServer slow({.batch_create_delay = std::chrono::seconds(30)});
  const pid_t second = start_tool(dir_, label + slow.url() + " --out s.jsonl");
  ASSERT_GT(second, 0);
  EXPECT_TRUE(kill_when(second, [&] { return slow.batches_created() == 1; }));
  EXPECT_EQ(slurp(dir_ / "s.jsonl.batches" / "record.jsonl").find("\"created\""),
            std::string::npos);
  const Result found = run(label + slow.url() + " --out s.jsonl", key);
  EXPECT_EQ(found.status, 0) << found.err;
  EXPECT_EQ(json_lines(slurp(dir_ / "s.jsonl")).size(), 20u);
  EXPECT_EQ(slow.batches_created(), 1u);
  EXPECT_NE(found.err.find("0 batches created, 1 of an earlier run waited for"), std::string::npos)
      << found.err;
  // The same answers through either road: the same lines.
  const auto sorted_lines = [](const std::string& text) {
    std::multiset<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.insert(line);
    return lines;
  };
  EXPECT_EQ(sorted_lines(slurp(dir_ / "s.jsonl")), sorted_lines(slurp(dir_ / "r.jsonl")));

  expect_one_line_error(run(label + slow.url() + " --out t.jsonl --batch-fallback later", key), 2,
                        "--batch-fallback: batch fallback \"later\" is none of resubmit, online");
}

TEST_F(Cli, LabelWithAutoResponseFormatFallsBackToPlainPromptsAndSaysSo) {
  write_tickets();
  ASSERT_EQ(run("build tickets.csv --labels labels.json --out stores").status, 0);
  // The stand-in echoes the prompt, which ends with the answer.
  spill(dir_ / "prompt.txt", "{labels}{record}\n{{\"category\": \"售后服务\"}}");
  tavrin::testing::OpenAiServer server({.refuse_response_format = true});
  const std::string label =
      "label tickets.csv --labels labels.json --stores stores --prompt prompt.txt --examples 0 "
      "--in-flight 1 --llm-url " +
      server.url();
  expect_one_line_error(run(label + " --out r.jsonl --repair nearer", "TAVRIN_LLM_KEY=k"), 2,
                        "tavrin label: error: repair must be \"nearest\" or \"ask\", not "
                        "'nearer'");
  expect_one_line_error(run(label + " --out r.jsonl --response-format xml", "TAVRIN_LLM_KEY=k"), 2,
                        "tavrin label: error: --response-format: response format \"xml\" is "
                        "none of plain, json-object, json-schema, auto");
  expect_one_line_error(
      run(label + " --out r.jsonl --json-mode --response-format auto", "TAVRIN_LLM_KEY=k"), 2,
      "--json-mode asks for json-object and --response-format for auto");
  EXPECT_EQ(server.requests(), 0u);

  const Result r = run(label + " --out r.jsonl --response-format auto", "TAVRIN_LLM_KEY=k");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(server.requests(), 21u);  // the refused one sent again
  EXPECT_NE(r.err.find("\n  format    json_schema refused by the endpoint (HTTP status 400 Bad "
                       "Request: Invalid parameter: 'response_format'"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("); plain prompting for the rest of the run\n"), std::string::npos) << r.err;
  const Value record = Value::parse(slurp(dir_ / "r.jsonl.run.json"));
  EXPECT_EQ(record["model"]["response_format"], "auto");
  EXPECT_TRUE(record["response_format_fallback"].is_string());
}

// The road of trust: confidences from the answer's log-probabilities, a calibration from
// records with true labels, a run that abstains below its threshold, the people's review of
// what it left, and the labelled table.
TEST_F(Cli, CalibrateReviewAndExportTakeARunFromConfidencesToALabelledTable) {
  // The stand-in echoes the prompt, here the record: a right answer of four characters, or a
  // wrong one of two, which the stand-in's token probabilities make the more probable.
  std::string csv = "id,question,category\n";
  for (int i = 0; i < 60; ++i) {
    const char* answer = i % 2 == 0 ? "售后服务" : "故障";
    csv += "r" + std::to_string(i) + ",\"{\"\"category\"\": \"\"" + answer + "\"\"}\",售后服务\n";
  }
  spill(dir_ / "tickets.csv", csv);
  spill(dir_ / "labels.json", R"({"category": ["售后服务", "故障"]})");
  spill(dir_ / "prompt.txt", "{record}");
  ASSERT_EQ(run("build tickets.csv --labels labels.json --out stores").status, 0);
  tavrin::testing::OpenAiServer server;
  const std::string label =
      "label tickets.csv --labels labels.json --stores stores --prompt prompt.txt --examples 0 "
      "--llm-url " +
      server.url();
  Result r = run(label + " --out first.jsonl --confidence logprobs", "TAVRIN_LLM_KEY=k");
  ASSERT_EQ(r.status, 0) << r.err;

  r = run("calibrate first.jsonl --target-precision 0.9 --out calibration.json");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("category: 60 values, 50.0% right; threshold "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("coverage 50.0%, precision 100.0%"), std::string::npos) << r.err;
  // Without log-probabilities the confidences mean something else: refused before any request.
  const std::size_t asked = server.requests();
  r = run(label + " --out other.jsonl --confidence off --calibration calibration.json",
          "TAVRIN_LLM_KEY=k");
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.err.find("was made from a run with other settings"), std::string::npos) << r.err;
  EXPECT_EQ(server.requests(), asked);

  r = run(label + " --out second.jsonl --confidence logprobs --calibration calibration.json",
          "TAVRIN_LLM_KEY=k");
  ASSERT_EQ(r.status, 0) << r.err;
  std::size_t low = 0;
  for (const Value& line : json_lines(slurp(dir_ / "second.jsonl"))) {
    const bool wrong = line["predicted"]["category"] == "故障";
    EXPECT_EQ(line["decisions"]["category"]["decision"],
              std::string(wrong ? "low_confidence" : "kept"));
    low += wrong;
  }
  EXPECT_EQ(low, 30u);

  r = run("review second.jsonl --records tickets.csv --text question --out review.jsonl");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("30 values to look at"), std::string::npos) << r.err;
  std::string answered;
  for (Value item : json_lines(slurp(dir_ / "review.jsonl"))) {
    EXPECT_EQ(item["text"], "{\"category\": \"故障\"}");
    item["answer"] = "售后服务";
    answered += item.dump() + "\n";
  }
  spill(dir_ / "review.jsonl", answered);
  r = run("review second.jsonl --apply review.jsonl --labels labels.json");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("30 answers written into 1 results file"), std::string::npos) << r.err;

  r = run("export second.jsonl --records tickets.csv --out labelled.csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("60 records in labelled.csv, 60 with a result (0 failed), 0 without one"),
            std::string::npos)
      << r.err;
  const std::string labelled = slurp(dir_ / "labelled.csv");
  EXPECT_EQ(labelled.substr(0, labelled.find('\n')),
            "id,question,category,category_checked,category_decision,category_confidence");
  EXPECT_NE(labelled.find("\nr1,\"{\"\"category\"\": \"\"故障\"\"}\",售后服务,售后服务,reviewed,"),
            std::string::npos)
      << labelled;
}

// The prompt of the job's last request, decoded.
std::string last_prompt(StubModel& model) {
  return tavrin::Value::parse(model.last_body())["messages"][0]["content"].get<std::string>();
}

TEST_F(Cli, LabelWritesThePromptInTheLanguageOfTheData) {
  write_tickets();
  ASSERT_EQ(run("build tickets.csv --labels labels.json --out stores").status, 0);
  spill(dir_ / "en.csv",
        "id,question,category\n1,parcel never came,shipping\n2,charged twice,billing\n");
  spill(dir_ / "en.json",
        R"({"category": {"labels": {"billing": "charges and refunds", "shipping": ""},
                          "instruction": "the main subject"}})");
  ASSERT_EQ(run("build en.csv --labels en.json --out en-stores").status, 0);
  StubModel model(R"({"category": "Billing"})");
  const std::string llm = " --examples 1 --in-flight 4 --llm-url " + model.url();
  struct Case {
    std::string args;
    std::string out;
    std::string language;  // as the summary says it
    std::string prompt_has;
  };
  const Case cases[] = {
      {"label tickets.csv --labels labels.json --stores stores", "zh.jsonl", "zh (detected)",
       "- category: 售后服务、技术故障、订单物流\n"},
      {"label en.csv --labels en.json --stores en-stores", "en.jsonl", "en (detected)",
       "Allowed labels:\n- category (the main subject):\n  - billing: charges and refunds\n"
       "  - shipping\nExamples:\nExample 1: "},
      {"label tickets.csv --labels labels.json --stores stores --prompt-language en", "zh-en.jsonl",
       "en (--prompt-language)", "- category: 售后服务, 技术故障, 订单物流\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const Result r = run(c.args + " --out " + c.out + llm, "TAVRIN_LLM_KEY=" + kKey);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("  prompt language: " + c.language + "\n"), std::string::npos) << r.err;
    const std::string prompt = last_prompt(model);
    EXPECT_NE(prompt.find(c.prompt_has), std::string::npos) << prompt;
    const Value settings = Value::parse(slurp(dir_ / (c.out + ".run.json")));
    EXPECT_EQ(settings["prompt_language"], c.language.substr(0, 2));
  }
  const Result bad =
      run("label en.csv --labels en.json --stores en-stores --out x.jsonl "
          "--prompt-language fr" +
              llm,
          "TAVRIN_LLM_KEY=" + kKey);
  EXPECT_EQ(bad.status, 2) << bad.err;
  EXPECT_NE(bad.err.find("--prompt-language"), std::string::npos) << bad.err;
}

TEST_F(Cli, LabelExitsOneWhenRecordsFailAndTwoForBadInputBeforeAnyRequest) {
  write_tickets();
  ASSERT_EQ(run("build tickets.csv --labels labels.json --out stores").status, 0);
  StubModel refusing("{}", 401);
  const std::string label =
      "label tickets.csv --labels labels.json --stores stores --out r.jsonl "
      "--in-flight 4 --llm-url " +
      refusing.url();
  const Result failed = run(label, "TAVRIN_LLM_KEY=" + kKey);
  EXPECT_EQ(failed.status, 1) << failed.err;
  EXPECT_NE(failed.err.find("20 of 20 records failed"), std::string::npos) << failed.err;
  EXPECT_EQ(failed.err.find(kKey), std::string::npos);
  EXPECT_EQ(refusing.requests(), 20);  // 401 is never retried

  StubModel model("{\"category\": \"技术故障\"}");
  const std::string good =
      "label tickets.csv --labels labels.json --stores stores --out s.jsonl "
      "--llm-url " +
      model.url();
  spill(dir_ / "prompt.txt", "问题：{question}");
  expect_one_line_error(run(good + " --prompt prompt.txt", "TAVRIN_LLM_KEY=" + kKey), 2,
                        "unknown placeholder {question}");
  expect_one_line_error(run(good + " --text-fields nope", "TAVRIN_LLM_KEY=" + kKey), 2,
                        "the stores in 'stores' were built on the text fields [\"question\"], not "
                        "[\"nope\"]: give the same text fields, or build the stores again");
  // One name for one thing in both commands; the stores record theirs.
  ASSERT_EQ(
      run("build tickets.csv --labels labels.json --out stores2 --text-fields id,question").status,
      0);
  EXPECT_EQ(Value::parse(slurp(dir_ / "stores2/stores.json"))["text_fields"],
            Value({"id", "question"}));
  expect_one_line_error(
      run("label tickets.csv --labels labels.json --stores stores2 --out t.jsonl --text question "
          "--llm-url " +
              model.url(),
          "TAVRIN_LLM_KEY=" + kKey),
      2, "were built on the text fields [\"id\",\"question\"], not [\"question\"]");
  expect_one_line_error(run(good + " --shard 2/2", "TAVRIN_LLM_KEY=" + kKey), 2, "shard");
  spill(dir_ / "dup.csv", "id,question\n1,a\n1,b\n");
  expect_one_line_error(
      run("label dup.csv --labels labels.json --stores stores --out d.jsonl --llm-url " +
              model.url(),
          "TAVRIN_LLM_KEY=" + kKey),
      2, "the id \"1\" of record 2 is repeated");
  EXPECT_EQ(model.requests(), 0);
  EXPECT_FALSE(fs::exists(dir_ / "s.jsonl"));
}

TEST_F(Cli, LabelWithMoreInFlightThanOpenFilesDoesEveryRecord) {
  write_tickets();
  ASSERT_EQ(run("build tickets.csv --labels labels.json --out stores").status, 0);
  std::string csv = "id,question\n";
  for (int i = 1; i <= 150; ++i)
    csv += std::to_string(i) + ",退货后退款没到账 " + std::to_string(i) + "\n";
  spill(dir_ / "records.csv", csv);
  StubModel model("{\"category\": \"售后服务\"}");
  // env runs the tool through prlimit: 72 descriptors leave it 8 connections, one for each of
  // the stub's threads, where 150 would fail requests with "Too many open files" (and without
  // retries, their records).
  const Result r =
      run("label records.csv --labels labels.json --stores stores --out r.jsonl --in-flight 150 "
          "--retries 0 --llm-url " +
              model.url(),
          "TAVRIN_LLM_KEY=" + kKey + " prlimit --nofile=72");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("150 of 150 done"), std::string::npos) << r.err;
  EXPECT_EQ(model.requests(), 150);
  const std::vector<Value> lines = json_lines(slurp(dir_ / "r.jsonl"));
  ASSERT_EQ(lines.size(), 150u);
  for (const Value& line : lines) EXPECT_TRUE(line["error"].is_null()) << line.dump();
}

TEST_F(Cli, EveryCommandThatAsksAModelGivesUpAfterItsTimeout) {
  write_tickets();
  ASSERT_EQ(run("build tickets.csv --labels labels.json --out stores").status, 0);
  for (const bool dripping : {false, true}) {
    SilentServer server(dripping);
    const std::string endpoint = "TAVRIN_LLM_URL=" + server.url() + " TAVRIN_LLM_KEY=" + kKey;
    const std::string limits = " --timeout 0.5 --retries 0";
    for (const std::string command :
         {"ask hi", "analyze tickets.csv --goal g", "demo --out d --data ."}) {
      const Result r = run(command + limits, endpoint);
      EXPECT_EQ(r.status, 1) << command << ": " << r.err;
      EXPECT_NE(r.err.find("timeout"), std::string::npos) << command << ": " << r.err;
    }
    const Result labelled =
        run("label tickets.csv --labels labels.json --stores stores --out r.jsonl --in-flight 20" +
                limits,
            endpoint);
    EXPECT_EQ(labelled.status, 1) << labelled.err;
    EXPECT_NE(labelled.err.find("20 of 20 records failed"), std::string::npos) << labelled.err;
    fs::remove(dir_ / "r.jsonl");
  }
}

TEST_F(Cli, AnEmbeddingEndpointThatNeverAnswersEndsBuildAndCheckAfterTheirTimeout) {
  write_tickets();
  const tavrin::testing::OpenAiServer answering;
  const std::string model = " --embed-model m --timeout 0.5 --retries 0";
  ASSERT_EQ(run("build tickets.csv --labels labels.json --out stores --embed-url " +
                answering.url("/v1") + model)
                .status,
            0);
  const SilentServer silent(false);
  const std::string at = " --embed-url " + silent.url();
  const std::string named = "embedding endpoint " + silent.url() + "/embeddings: ";
  const Result built = run("build tickets.csv --labels labels.json --out other" + at + model);
  EXPECT_EQ(built.status, 1);
  EXPECT_NE(built.err.find("tavrin build: error: " + named), std::string::npos) << built.err;
  EXPECT_NE(built.err.find("timeout"), std::string::npos) << built.err;
  const Result checked = run("check - --labels labels.json --stores stores" + at + model, "",
                             "{\"id\": 1, \"category\": \"售后服务部\"}\n");
  expect_one_line_error(checked, 1, named);
  EXPECT_NE(checked.err.find("timeout"), std::string::npos) << checked.err;
}

TEST_F(Cli, AskPrintsTheParsedAnswerAndNeverTheKey) {
  StubModel model(R"({"answer": "北京"})");
  const Result r = run("ask '中国的首都？' --llm-model m1",
                       "TAVRIN_LLM_URL=" + model.url() + " TAVRIN_LLM_KEY=" + kKey);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "{\"answer\":\"北京\"}\n");
  EXPECT_EQ(model.last_authorization(), "Bearer " + kKey);
  EXPECT_EQ(tavrin::Value::parse(model.last_body())["model"], "m1");

  const Result text =
      run("ask - --text --llm-url " + model.url() + " --llm-key " + kKey, "", "prompt from stdin");
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_EQ(text.out, "\"{\\\"answer\\\": \\\"北京\\\"}\"\n");
  EXPECT_NE(model.last_body().find("prompt from stdin"), std::string::npos);

  const Result help = run("ask --help", "TAVRIN_LLM_KEY=" + kKey);
  EXPECT_EQ(help.out.find(kKey), std::string::npos);
}

TEST_F(Cli, KeyFilesHoldTheKeysAndTheirFaultsExitTwoWithoutTheKey) {
  write_tickets();
  StubModel model(R"({"answer": "北京"})");
  spill(dir_ / "key.txt", kKey + "\r\n");
  const std::string ask = "ask hi --llm-url " + model.url();
  // A file on the command line wins over the environment.
  const Result asked = run(ask + " --llm-key-file key.txt", "TAVRIN_LLM_KEY=sk-of-the-environment");
  ASSERT_EQ(asked.status, 0) << asked.err;
  EXPECT_EQ(model.last_authorization(), "Bearer " + kKey);

  const tavrin::testing::OpenAiServer embedder;
  const Result built =
      run("build tickets.csv --labels labels.json --out stores --embed-model m "
          "--embed-key-file key.txt --embed-url " +
          embedder.url("/v1"));
  ASSERT_EQ(built.status, 0) << built.err;
  ASSERT_FALSE(embedder.received().empty());
  EXPECT_NE(embedder.received()[0].head.find("Bearer " + kKey + "\r\n"), std::string::npos);

  spill(dir_ / "empty.txt", "\n");
  const struct {
    std::string args;
    std::string fragment;
  } faults[] = {
      {ask + " --llm-key-file missing.txt", R"(--llm-key-file: cannot read "missing.txt": )"},
      {ask + " --llm-key-file empty.txt", R"(--llm-key-file "empty.txt" holds no key)"},
      {ask + " --llm-key " + kKey + " --llm-key-file key.txt",
       "give --llm-key or --llm-key-file, not both"},
      {"label tickets.csv --labels labels.json --stores stores --out r.jsonl --llm-url " +
           model.url() + " --llm-key-file .",
       R"(--llm-key-file: "." is a directory, not a regular file)"},
      {"check - --labels labels.json --stores stores --embed-key-file empty.txt",
       R"(--embed-key-file "empty.txt" holds no key)"},
      {"demo --out o --embed-key " + kKey + " --embed-key-file key.txt",
       "give --embed-key or --embed-key-file, not both"},
  };
  for (const auto& c : faults) {
    SCOPED_TRACE(c.args);
    const Result r = run(c.args);
    expect_one_line_error(
        r, 2, "tavrin " + c.args.substr(0, c.args.find(' ')) + ": error: " + c.fragment);
    EXPECT_EQ(r.err.find(kKey), std::string::npos);
  }
  EXPECT_EQ(model.requests(), 1);
  EXPECT_FALSE(fs::exists(dir_ / "o"));
  EXPECT_FALSE(fs::exists(dir_ / "r.jsonl"));
}

TEST_F(Cli, AFailedRequestExitsOneWithoutTheKey) {
  StubModel model("unused", 401);
  const Result r = run("ask hi", "TAVRIN_LLM_URL=" + model.url() + " TAVRIN_LLM_KEY=" + kKey);
  expect_one_line_error(r, 1, "401");
  EXPECT_EQ(r.err.find(kKey), std::string::npos);
}

TEST_F(Cli, AnalyzeSendsTheSampleAndPrintsTheParsedReply) {
  write_tickets();
  StubModel model("{'subject': '工单', 'role': '分析师', 'steps': ['分类']}");
  const Result r = run("analyze tickets.csv --goal 分类 --rows 2",
                       "TAVRIN_LLM_URL=" + model.url() + " TAVRIN_LLM_KEY=" + kKey);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "{\"subject\":\"工单\",\"role\":\"分析师\",\"steps\":[\"分类\"]}\n");
  const std::string prompt =
      tavrin::Value::parse(model.last_body())["messages"][0]["content"].get<std::string>();
  EXPECT_NE(prompt.find("手机屏幕碎了"), std::string::npos);
  EXPECT_EQ(prompt.find("快递三天没到"), std::string::npos) << "only two rows are sent";
}

// The accuracy of all fields before and after checking, read from the summary.
std::pair<double, double> overall_accuracy(const std::string& summary) {
  const auto at = summary.find("all fields");
  double before = -1, after = -1;
  if (at != std::string::npos) {
    std::sscanf(summary.c_str() + at, "all fields %lf%% %lf%%", &before, &after);
  }
  return {before, after};
}

TEST_F(Cli, DemoOnTheBundledDataImprovesAccuracyAndKeepsItsOutputTogether) {
  const Result r = run("demo --out demo-out");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("2700 train, 300 test"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("FAISS 已保存至：demo-out/stores/fields/category"), std::string::npos);
  const auto [before, after] = overall_accuracy(r.out);
  EXPECT_GT(before, 50.0) << r.out;
  EXPECT_GT(after, before + 15.0) << r.out;
  EXPECT_NE(r.out.find("corrections, for example\n    "), std::string::npos) << r.out;
  for (const char* file : {"train.csv", "test.csv", "predictions.jsonl", "checked.jsonl",
                           "summary.txt", "report.html", "stores/train/index.faiss"}) {
    EXPECT_TRUE(fs::exists(dir_ / "demo-out" / file)) << file;
  }
  EXPECT_EQ(line_count(slurp(dir_ / "demo-out/checked.jsonl")), 300u);
  EXPECT_NE(r.out.find(slurp(dir_ / "demo-out/summary.txt")), std::string::npos);
}

TEST_F(Cli, ReportWritesThePageOfResultsAndComparesTwoRuns) {
  ASSERT_EQ(run("demo --out demo-out").status, 0);
  const Result page = run("report demo-out/results.jsonl --out page.html --threshold category=0.5");
  ASSERT_EQ(page.status, 0) << page.err;
  EXPECT_NE(page.out.find("  report    page.html\n"), std::string::npos) << page.out;
  EXPECT_NE(slurp(dir_ / "page.html").find("id=\"tavrin-report-data\""), std::string::npos);
  // The same records once more, one value changed and one record left out.
  std::istringstream lines(slurp(dir_ / "demo-out/results.jsonl"));
  std::string changed;
  std::string line;
  for (int i = 0; std::getline(lines, line); ++i) {
    Value record = Value::parse(line);
    if (i == 0) record["checked"]["category"] = "<nowhere>";
    if (i != 1) changed += record.dump() + "\n";
  }
  spill(dir_ / "b.jsonl", changed);
  const Result compared = run("report --compare demo-out/results.jsonl b.jsonl --limit 5");
  ASSERT_EQ(compared.status, 0) << compared.err;
  EXPECT_NE(compared.out.find("299 in both runs, 1 only in the first, 0 only in the second"),
            std::string::npos)
      << compared.out;
  EXPECT_NE(compared.out.find("differ    1 values\n    id "), std::string::npos) << compared.out;
  for (const char* bad : {"report demo-out/results.jsonl", "report --compare b.jsonl",
                          "report b.jsonl --out x.html --threshold category=2"}) {
    EXPECT_EQ(run(bad).status, 2) << bad;
  }
  spill(dir_ / "c.jsonl", changed.substr(0, changed.find('\n') + 1));
  const Result repeated = run("report b.jsonl c.jsonl --out x.html");
  EXPECT_EQ(repeated.status, 2);
  EXPECT_NE(repeated.err.find("repeats the id"), std::string::npos) << repeated.err;
}

TEST_F(Cli, DemoAsksARealEndpointWhenGivenOne) {
  StubModel model(
      "```json\n{\"product\": \"智能手机\", \"category\": \"售后服务部\", \"priority\": "
      "\"p1\"}\n```");
  const Result r = run("demo --out out --llm-url " + model.url(), "TAVRIN_LLM_KEY=" + kKey);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(model.requests(), 300);
  // "p1" is the label "P1" written another way; the others are replaced.
  EXPECT_NE(r.out.find("normalized       300 values"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("replaced         600 values"), std::string::npos) << r.out;
  EXPECT_NE(model.last_body().find("售后服务"), std::string::npos) << "the prompt lists the labels";
  EXPECT_EQ(r.out.find(kKey), std::string::npos);
  EXPECT_EQ(r.err.find(kKey), std::string::npos);
}

TEST_F(Cli, DemoOnTheEnglishSampleReadsItsOwnColumnsAndImprovesAccuracy) {
  const std::string data = std::string(TAVRIN_DEMO_DATA_DIR) + "/en";
  const Result r = run("demo --data " + data + " --out en-out");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("800 tickets -> 720 train, 80 test"), std::string::npos) << r.out;
  const auto [before, after] = overall_accuracy(r.out);
  EXPECT_GT(before, 50.0) << r.out;
  EXPECT_GT(after, before + 5.0) << r.out;
  EXPECT_EQ(line_count(slurp(dir_ / "en-out/checked.jsonl")), 80u);
  // The record text joins subject and body, the columns that are neither id nor field.
  const std::string train = slurp(dir_ / "en-out/train.csv");
  EXPECT_EQ(train.substr(0, train.find('\n')), "id,subject,body,category,priority");
}

TEST_F(Cli, DemoAsksARealEndpointInTheLanguageOfItsData) {
  StubModel model(R"({"category": "Billing", "priority": "HIGH"})");
  const Result r = run(
      "demo --data " + std::string(TAVRIN_DEMO_DATA_DIR) + "/en --out out --llm-url " + model.url(),
      "TAVRIN_LLM_KEY=" + kKey);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(model.requests(), 80);
  const std::string prompt = last_prompt(model);
  EXPECT_EQ(prompt.rfind("You are a data labelling assistant.", 0), 0u) << prompt;
  EXPECT_NE(prompt.find("  - billing: charges, invoices, payment methods and refunds of money\n"),
            std::string::npos)
      << prompt;
  EXPECT_NE(prompt.find("- priority (how soon support must act):\n  - low: "), std::string::npos)
      << prompt;
}

TEST_F(Cli, DemoStopsWhenEveryRequestFails) {
  StubModel model("unused", 500);
  const Result r = run("demo --out out --retries 0", "TAVRIN_LLM_URL=" + model.url());
  EXPECT_EQ(r.status, 1);
  // A dead endpoint stops the job after a run of failures, not after every record.
  EXPECT_NE(r.err.find("tavrin demo: error: the job stopped after 100 records in a row failed "
                       "with \"HTTP status 500 Internal Server Error\""),
            std::string::npos)
      << r.err;
}

TEST_F(Cli, DemoNamesABadDataOrOutputFolder) {
  expect_one_line_error(run("demo --out ''"), 2, "tavrin demo: error: --out must name a folder");
  expect_one_line_error(run("demo --data nowhere"), 2, "--data \"nowhere\" holds no tickets.csv");
}

// The paths under `dir`, relative to it, but for the files run() redirects.
std::set<std::string> entries(const fs::path& dir) {
  std::set<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    std::string name = fs::relative(entry.path(), dir).string();
    if (name != "stdin" && name != "stdout" && name != "stderr") found.insert(std::move(name));
  }
  return found;
}

// One unusable input of each kind for every command, beside good ones.
class ExitStatus : public Cli {
 protected:
  void SetUp() override {
    Cli::SetUp();
    write_tickets();
    fs::create_directory(dir_ / "adir");
    ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    spill(dir_ / "ragged.csv", "id,question,category\n1,a,售后服务,x\n");
    spill(dir_ / "utf8.csv", "id,question,category\n1,\xff,售后服务\n");
    spill(dir_ / "utf8.txt", "\xff prompt");
    spill(dir_ / "empty.csv", "");
    spill(dir_ / "quote.csv", "id,question,category\n1,\"a,售后服务\n");
    spill(dir_ / "bad.jsonl", "{\"id\": 1,\n");
    ASSERT_EQ(run("build tickets.csv --labels labels.json --out stores").status, 0);
    // A consistent store pair of another field copied into the folder of "category".
    spill(dir_ / "labels2.json",
          R"({"category": ["售后服务", "技术故障", "订单物流"], "priority": ["P0", "P1"]})");
    ASSERT_EQ(run("build tickets.csv --labels labels2.json --out mixed --metadata category").status,
              0);
    for (const char* file : {"index.faiss", "index.json"}) {
      fs::copy_file(dir_ / "mixed/fields/priority" / file, dir_ / "mixed/fields/category" / file,
                    fs::copy_options::overwrite_existing);
    }
    for (const char* data :
         {"data-good", "data-dirlabels", "data-ragged", "data-badpred", "data-dirpred"}) {
      fs::create_directory(dir_ / data);
      fs::copy_file(dir_ / "tickets.csv", dir_ / data / "tickets.csv");
      fs::copy_file(dir_ / "labels.json", dir_ / data / "labels.json");
      spill(dir_ / data / "predictions.jsonl", "");
    }
    fs::remove(dir_ / "data-dirlabels/labels.json");
    fs::create_directory(dir_ / "data-dirlabels/labels.json");
    fs::copy_file(dir_ / "ragged.csv", dir_ / "data-ragged/tickets.csv",
                  fs::copy_options::overwrite_existing);
    spill(dir_ / "data-badpred/predictions.jsonl", "{\"id\": 1,\n");
    fs::remove(dir_ / "data-dirpred/predictions.jsonl");
    fs::create_directory(dir_ / "data-dirpred/predictions.jsonl");
  }
};

TEST_F(ExitStatus, AnUnusableInputIsTwoBeforeAnyWork) {
  StubModel model(R"({"category": "售后服务"})");
  const std::string endpoint = "TAVRIN_LLM_URL=" + model.url() + " TAVRIN_LLM_KEY=" + kKey;
  const struct {
    std::string args;
    std::string fragment;
    std::string stdin_from = "";
    bool with_endpoint = false;
  } cases[] = {
      {"split adir --train a.csv --test b.csv", R"("adir" is a directory, not a regular file)"},
      // An address the transport would refuse at each request, refused before any work.
      {"ask hi --llm-key k --llm-url http://127.0.0.1:99999/v1",
       R"(--llm-url: url port is out of range: "99999")"},
      {"ask hi --llm-key k --llm-url ftp://127.0.0.1/v1",
       R"(--llm-url: url scheme must be http or https, not "ftp")"},
      {"ask hi --llm-key k --llm-url http://user:pw@127.0.0.1/v1",
       "--llm-url: url must not carry user information"},
      {"build tickets.csv --labels labels.json --out s --embed-model m --embed-url "
       "http://127.0.0.1:0/v1/embeddings",
       R"(--embed-url: url port is out of range: "0")"},
      {"split ragged.csv --train a.csv --test b.csv",
       "ragged.csv: expected 3 fields, saw 4 on line 2"},
      {"split utf8.csv --train a.csv --test b.csv", "utf8.csv: invalid UTF-8 on line 2"},
      {"split empty.csv --train a.csv --test b.csv", "empty.csv: no header line in the file"},
      {"split quote.csv --train a.csv --test b.csv", "quote.csv: unterminated quote on line 2"},
      {"split /dev/null --train a.csv --test b.csv", R"("/dev/null" is a device)"},
      {"split - --train a.csv --test b.csv", "a CSV table cannot come from standard input"},
      {"split tickets.csv --train adir --test b.csv",
       R"(--train "adir" is a directory, not a file)"},
      {"split tickets.csv --train a.csv --test ./a.csv",
       R"(--train "a.csv" and --test "./a.csv" are the same file)"},
      {"split tickets.csv --train tickets.csv --test tickets.csv",
       R"(--train "tickets.csv" and --test "tickets.csv" are the same file)"},
      {"build adir --labels labels.json --out s", R"("adir" is a directory, not a regular file)"},
      {"build quote.csv --labels labels.json --out s", "quote.csv: unterminated quote on line 2"},
      {"build tickets.csv --labels adir --out s", R"("adir" is a directory, not a regular file)"},
      {"build tickets.csv --labels fifo --out s", R"("fifo" is a named pipe, not a regular file)"},
      {"build tickets.csv --labels /dev/null --out s", R"("/dev/null" is a device)"},
      {"build tickets.csv --labels missing.json --out s", R"(cannot read "missing.json": )"},
      {"build tickets.csv --labels empty.csv --out s", "empty.csv is not valid JSON"},
      {"build tickets.csv --labels labels.json --out tickets.csv",
       R"(--out "tickets.csv" is a regular file, not a folder)"},
      {"check adir --labels labels.json --stores stores",
       R"("adir" is a directory, not a regular file)"},
      {"check fifo --labels labels.json --stores stores", R"("fifo" is a named pipe)"},
      {"check - --labels labels.json --stores stores",
       "standard input is a directory, not a regular file, a pipe or a terminal", "adir"},
      {"check - --labels adir --stores stores", R"("adir" is a directory, not a regular file)"},
      {"check - --labels - --stores stores",
       "the predictions and --labels cannot both come from standard input"},
      {"check - --labels labels.json --stores stores --fields nope",
       R"(labels.json has no labels for field "nope")"},
      {"check - --labels labels2.json --stores mixed",
       R"(the store of field "category" in "mixed/fields/category" does not hold the labels )"
       R"(given for it (missing "售后服务", "技术故障", "订单物流"; extra "P0", "P1"): rebuild )"
       "the stores (tavrin build, or brollin::data2faiss)"},
      {"ask -", "standard input is a directory, not a regular file, a pipe or a terminal", "adir",
       true},
      {"ask -", "the prompt on standard input is not valid UTF-8 (byte 0)", "utf8.txt", true},
      {"ask \"$(printf '\\377')\"", "the prompt is not valid UTF-8 (byte 0)", "", true},
      {"analyze adir --goal g", R"("adir" is a directory, not a regular file)", "", true},
      {"analyze ragged.csv --goal g", "ragged.csv: expected 3 fields, saw 4 on line 2", "", true},
      {"analyze tickets.csv --goal \"$(printf '\\377')\"", "--goal is not valid UTF-8 (byte 0)", "",
       true},
      {"demo --out o --data data-dirlabels",
       R"("data-dirlabels/labels.json" is a directory, not a regular file)"},
      {"demo --out o --data data-ragged",
       "data-ragged/tickets.csv: expected 3 fields, saw 4 on line 2"},
      {"demo --out o --data data-badpred",
       "data-badpred/predictions.jsonl line 1 is not valid JSON"},
      {"demo --out o --data data-dirpred", R"("data-dirpred/predictions.jsonl" is a directory)"},
      {"demo --out tickets.csv --data data-good",
       R"(--out "tickets.csv" is a regular file, not a folder)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args + " <" + c.stdin_from);
    const auto before = entries(dir_);
    const Result r = run(c.args, c.with_endpoint ? endpoint : "", "", c.stdin_from);
    const std::string command = c.args.substr(0, c.args.find(' '));
    expect_one_line_error(r, 2, "tavrin " + command + ": error: " + c.fragment);
    EXPECT_EQ(entries(dir_), before) << "nothing is written";
    EXPECT_EQ(model.requests(), 0) << "nothing is sent";
  }
}

// The options of `help` (a command's --help) that take a number.
std::vector<std::string> numeric_options(const std::string& help) {
  std::vector<std::string> options;
  std::istringstream lines(help);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string option;
    std::string type;
    words >> option >> type;
    if (option.starts_with("--") &&
        (type.starts_with("FLOAT") || type.starts_with("UINT") || type.starts_with("INT"))) {
      options.push_back(option);
    }
  }
  return options;
}

TEST_F(ExitStatus, EveryNumericOptionRefusesNanInfinityAndAnOutOfRangeValue) {
  StubModel model(R"({"category": "售后服务"})");
  const std::string endpoint = "TAVRIN_LLM_URL=" + model.url() + " TAVRIN_LLM_KEY=" + kKey;
  std::size_t checked = 0;
  for (const std::string command :
       {"split tickets.csv --train a.csv --test b.csv",
        "build tickets.csv --labels labels.json --out s",
        "check - --labels labels.json --stores stores",
        "label tickets.csv --labels labels.json --stores stores --out r.jsonl", "ask hi",
        "analyze tickets.csv --goal g", "demo --out o --data data-good"}) {
    const std::string name = command.substr(0, command.find(' '));
    const auto options = numeric_options(run(name + " --help").out);
    EXPECT_FALSE(options.empty()) << name;
    for (const std::string& option : options) {
      for (const std::string value : {"nan", "inf", "-inf", "1e300"}) {
        SCOPED_TRACE(command + " " + option + " " + value);
        const auto before = entries(dir_);
        expect_one_line_error(
            run(command + " " + option + " " + value, endpoint), 2,
            "tavrin " + name + ": error: " + option + ": Value \"" + value + "\" not ");
        EXPECT_EQ(entries(dir_), before) << "nothing is written";
        ++checked;
      }
    }
  }
  EXPECT_GE(checked, 4u * 31);
  EXPECT_EQ(model.requests(), 0) << "nothing is sent";
}

TEST_F(ExitStatus, WorkThatFailsOnceStartedIsOne) {
  StubModel refusing("unused", 500);
  const std::string endpoint = "TAVRIN_LLM_URL=" + refusing.url() + " TAVRIN_LLM_KEY=" + kKey;
  // The line names the endpoint (not the key), the status and the body.
  const std::string where = refusing.url() + ": HTTP status 500 Internal Server Error: ";
  expect_one_line_error(run("ask hi --retries 0", endpoint), 1, "tavrin ask: error: " + where);
  expect_one_line_error(run("analyze tickets.csv --goal g --retries 0", endpoint), 1,
                        "tavrin analyze: error: " + where);
  EXPECT_EQ(refusing.requests(), 2);
  expect_one_line_error(run("split tickets.csv --train nowhere/a.csv --test b.csv"), 1,
                        "nowhere/a.csv");
}

TEST_F(ExitStatus, ADemoWithSomeFailedRequestsWritesEverythingThenExitsOne) {
  StubModel flaky(R"({"category": "售后服务部"})", 500, 2);
  const Result r = run("demo --out o --data data-good --in-flight 1 --retries 0",
                       "TAVRIN_LLM_URL=" + flaky.url() + " TAVRIN_LLM_KEY=" + kKey);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(flaky.requests(), 2);
  EXPECT_NE(r.out.find("failed requests  1"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("tavrin demo: error: 1 of 2 requests to the LLM failed; the first: "),
            std::string::npos)
      << r.err;
  EXPECT_EQ(line_count(slurp(dir_ / "o/checked.jsonl")), 2u);
}

}  // namespace
