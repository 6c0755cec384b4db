// OpenAIEmbeddings against Python (aiohttp + json, numpy for base64) on one stub endpoint: by
// default 100,000 texts in batches of 64, 1,536 dimensions, 8 batches in flight, with replies
// of decimal floats and of base64. The stub is nginx serving pre-generated replies, so that it is
// not the slower side: the texts all have one byte length, so a request's Content-Length tells
// a full batch from the last, shorter one, and each gets the reply file of its size.
//
//   bench/embed [texts] [batch] [dimensions] [in_flight]
//
// Each side runs in a process of its own, so that its peak memory is its own.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/nginx.hpp"
#include "bench/support.hpp"
#include "tavrin/core/internal/append.hpp"
#include "tavrin/openai/embeddings.hpp"

namespace {

using tavrin::bench::Lcg;
using Json = nlohmann::ordered_json;
using Vectors = std::vector<std::vector<float>>;

constexpr char kModel[] = "text-embedding-3-small";
constexpr char kKey[] = "sk-bench";

struct Setup {
  std::size_t texts = 100'000;
  std::size_t batch = 64;
  std::size_t dimensions = 1536;
  std::size_t in_flight = 8;
};

// Texts of 200 bytes each: "#<6 digits> " and 64 Chinese characters.
std::vector<std::string> make_texts(std::size_t count) {
  static const char* const kCharacters[] = {"屏", "幕", "碎", "了", "能", "修", "吗", "什", "么",
                                            "时", "候", "发", "货", "退", "款", "多", "久", "到",
                                            "账", "售", "后", "服", "务", "物", "流", "配", "送"};
  Lcg random(11);
  std::vector<std::string> texts;
  texts.reserve(count);
  char number[16];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(number, sizeof number, "#%06zu ", i % 1'000'000);
    std::string text = number;
    for (int k = 0; k < 64; ++k) text += tavrin::bench::pick(random, kCharacters);
    texts.push_back(std::move(text));
  }
  return texts;
}

// `count` unit vectors of `dimensions` float32 components, roughly normal before scaling.
Vectors make_vectors(std::size_t count, std::size_t dimensions) {
  Lcg random(5);
  Vectors vectors(count, std::vector<float>(dimensions));
  for (auto& vector : vectors) {
    double squares = 0;
    for (float& x : vector) {
      double sum = 0;
      for (int k = 0; k < 4; ++k) sum += static_cast<double>(random.below(1u << 20)) / (1u << 20);
      x = static_cast<float>(sum - 2.0);
      squares += static_cast<double>(x) * x;
    }
    const double scale = 1 / std::sqrt(squares);
    for (float& x : vector) x = static_cast<float>(x * scale);
  }
  return vectors;
}

std::string base64_of(const std::vector<float>& vector) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string bytes;
  for (float x : vector) {
    const auto bits = std::bit_cast<std::uint32_t>(x);
    for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>(bits >> shift);
  }
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (n > 1) group |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    if (n > 2) group |= static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[group >> 18];
    out += kAlphabet[(group >> 12) & 63];
    out += n > 1 ? kAlphabet[(group >> 6) & 63] : '=';
    out += n > 2 ? kAlphabet[group & 63] : '=';
  }
  return out;
}

// An embeddings reply for the first `count` of `vectors`, as a Python server writes it: each
// float32 as the shortest form of its double value (about 20 characters), or base64.
std::string reply_body(const Vectors& vectors, std::size_t count, bool base64) {
  std::string body = R"({"object":"list","data":[)";
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) body += ',';
    body += R"({"object":"embedding","index":)" + std::to_string(i) + R"(,"embedding":)";
    if (base64) {
      body += '"' + base64_of(vectors[i]) + '"';
    } else {
      body += '[';
      for (std::size_t k = 0; k < vectors[i].size(); ++k) {
        if (k > 0) body += ',';
        tavrin::internal::append_chars(body, static_cast<double>(vectors[i][k]));
      }
      body += ']';
    }
    body += '}';
  }
  body += R"(],"model":")" + std::string(kModel) + R"(","usage":{"prompt_tokens":)" +
          std::to_string(count * 70) + R"(,"total_tokens":)" + std::to_string(count * 70) + "}}";
  return body;
}

// The byte length of the request body for `texts` texts, as OpenAIEmbeddings (and the Python
// side, which writes the same JSON) sends it.
std::size_t request_length(const std::vector<std::string>& texts, std::size_t count,
                           const std::string& mode) {
  const Json body = {{"model", kModel},
                     {"input", std::vector<std::string>(texts.begin(), texts.begin() + count)},
                     {"encoding_format", mode}};
  return body.dump().size();
}

struct Figures {
  double seconds = 0;
  double cpu_seconds = 0;
  double peak_bytes = 0;
  double mismatches = -1;  // vectors that are not the ones the stub sent; -1: no figure
};

double cpu_seconds_of_self() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Embeds the texts in a child process and reports what it took.
Figures run_tavrin(const std::string& url, const std::vector<std::string>& texts,
                   const Vectors& expected, const Setup& setup, const std::string& mode) {
  int channel[2];
  if (::pipe(channel) != 0) return {};
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(channel[0]);
    Figures figures;
    try {
      tavrin::openai::OpenAIEmbeddingsOptions options;
      options.batch_size = setup.batch;
      options.max_in_flight = setup.in_flight;
      options.encoding_format = mode;
      tavrin::openai::OpenAIEmbeddings model(url, kKey, kModel, options);
      const double cpu_before = cpu_seconds_of_self();
      const auto start = std::chrono::steady_clock::now();
      const Vectors vectors = model.embed_documents(texts);
      figures.seconds = tavrin::bench::seconds_since(start);
      figures.cpu_seconds = cpu_seconds_of_self() - cpu_before;
      rusage usage{};
      ::getrusage(RUSAGE_SELF, &usage);
      figures.peak_bytes = static_cast<double>(usage.ru_maxrss) * 1024;
      figures.mismatches = 0;
      for (std::size_t i = 0; i < vectors.size(); ++i) {
        if (vectors[i] != expected[i % setup.batch]) ++figures.mismatches;
      }
    } catch (const std::exception& e) {
      std::fprintf(stderr, "tavrin (%s): %s\n", mode.c_str(), e.what());
    }
    const ssize_t written = ::write(channel[1], &figures, sizeof figures);
    ::_exit(written == sizeof figures ? 0 : 1);
  }
  ::close(channel[1]);
  Figures figures;
  if (::read(channel[0], &figures, sizeof figures) != sizeof figures) figures = {};
  ::close(channel[0]);
  ::waitpid(child, nullptr, 0);
  return figures;
}

// bench/embed.py prints "<seconds> <cpu seconds> <peak bytes> <vectors not filled>".
Figures run_python(const std::string& url, const std::filesystem::path& texts_file,
                   const Setup& setup, const std::string& mode) {
  const auto output = tavrin::bench::run_python(
      "embed.py", url + " " + texts_file.string() + " " + std::to_string(setup.batch) + " " +
                      std::to_string(setup.in_flight) + " " + std::to_string(setup.dimensions) +
                      " " + mode);
  Figures figures;
  if (!output) return figures;
  std::istringstream(*output) >> figures.seconds >> figures.cpu_seconds >> figures.peak_bytes >>
      figures.mismatches;
  return figures;
}

void print_row(const char* side, const Figures& figures, std::size_t texts, double vector_bytes) {
  if (figures.mismatches < 0) {
    std::printf("  %-14s no figure\n", side);
    return;
  }
  std::printf("  %-14s %9.0f texts/s  %6.2f s  cpu %6.2f s  peak %6.0f MiB = %4.2fx the vectors",
              side, static_cast<double>(texts) / figures.seconds, figures.seconds,
              figures.cpu_seconds, figures.peak_bytes / (1 << 20),
              figures.peak_bytes / vector_bytes);
  if (figures.mismatches > 0) std::printf("  (%.0f vectors wrong)", figures.mismatches);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  Setup setup;
  if (argc > 1) setup.texts = std::strtoul(argv[1], nullptr, 10);
  if (argc > 2) setup.batch = std::strtoul(argv[2], nullptr, 10);
  if (argc > 3) setup.dimensions = std::strtoul(argv[3], nullptr, 10);
  if (argc > 4) setup.in_flight = std::strtoul(argv[4], nullptr, 10);
  if (setup.texts < setup.batch || setup.batch == 0 || setup.in_flight == 0) {
    std::fprintf(stderr, "usage: %s [texts >= batch] [batch] [dimensions] [in_flight]\n", argv[0]);
    return 2;
  }
  std::printf("embed: %zu texts, batches of %zu, %zu dimensions, %zu in flight; nginx stub\n",
              setup.texts, setup.batch, setup.dimensions, setup.in_flight);
  if (::access(tavrin::bench::kNginx, X_OK) != 0) {
    std::printf("  no figures: %s is not installed (scripts/install-deps)\n",
                tavrin::bench::kNginx);
    return 0;
  }

  const auto folder = tavrin::bench::work_folder("embed");
  const auto texts = make_texts(setup.texts);
  tavrin::bench::write_json_lines(folder / "texts.jsonl", texts);
  const Vectors vectors = make_vectors(setup.batch, setup.dimensions);
  const std::size_t last = setup.texts % setup.batch;
  std::filesystem::create_directories(folder / "replies");
  std::string lengths;
  for (const std::string mode : {"float", "base64"}) {
    for (const auto& [name, count] : {std::pair{"full", setup.batch}, {"last", last}}) {
      if (count == 0) continue;
      std::ofstream(folder / "replies" / (mode + "-" + name + ".json"), std::ios::binary)
          << reply_body(vectors, count, mode == "base64");
      lengths += "    " + std::to_string(request_length(texts, count, mode)) + " " + mode + "-" +
                 name + ";\n";
    }
  }
  // A request of a length not foreseen gets a 404, which fails the run rather than skews it.
  const std::string http =
      "  map $http_content_length $reply {\n" + lengths + "    default none;\n  }\n";
  const std::string server =
      "    location / { error_page 405 =200 /replies/$reply.json; return 405; }\n"
      "    location /replies/ { internal; alias " +
      (folder / "replies").string() + "/; }";
  double vector_bytes = static_cast<double>(setup.texts * setup.dimensions * sizeof(float));
  {
    tavrin::bench::Nginx stub(folder, http, server);
    if (!stub.running()) {
      std::printf("  no figures: nginx did not start (see %s)\n",
                  (folder / "error.log").string().c_str());
      std::filesystem::remove_all(folder);
      return 1;
    }
    std::printf(
        "  vectors: %.0f MiB; reply of a batch: %.1f MiB as floats, %.2f MiB as base64\n",
        vector_bytes / (1 << 20),
        static_cast<double>(std::filesystem::file_size(folder / "replies" / "float-full.json")) /
            (1 << 20),
        static_cast<double>(std::filesystem::file_size(folder / "replies" / "base64-full.json")) /
            (1 << 20));
    const std::string url = stub.url("/v1");
    for (const std::string mode : {"float", "base64"}) {
      const double nginx_before = stub.cpu_seconds();
      const Figures tavrin = run_tavrin(url, texts, vectors, setup, mode);
      const double nginx_tavrin = stub.cpu_seconds() - nginx_before;
      const Figures python = run_python(url, folder / "texts.jsonl", setup, mode);
      std::printf(" %s replies (nginx cpu %.2f s during the tavrin run)\n", mode.c_str(),
                  nginx_tavrin);
      print_row("tavrin", tavrin, setup.texts, vector_bytes);
      print_row(mode == "float" ? "aiohttp" : "aiohttp+numpy", python, setup.texts, vector_bytes);
      if (tavrin.mismatches == 0 && python.mismatches == 0) {
        tavrin::bench::print_ratio("ratio tavrin / python", python.seconds / tavrin.seconds,
                                   mode == "float" ? ">= 5x" : "none");
      } else if (python.mismatches < 0) {
        tavrin::bench::print_no_python_figure();
      }
    }
  }
  std::filesystem::remove_all(folder);
}
