// save2faiss and check_result against a pandas user doing the same work in Python
// (bench/stores.py): save2faiss on a generated table (default 200,000 rows: 3 text columns into the
// text, 3 metadata columns), split into phases, beside row-by-row iloc and the best vectorised
// pandas form with numpy hashing and faiss for Python; then check_result on 100,000 records
// of 3 fields, 30% of values needing a search over stores of 50 labels, on one core.
//
// Then save and load alone on a store of 1,000,000 documents. The index and save phases are
// shown beside their physical limits, measured in the same run.
//
//   bench/stores [rows] [records] [large-store rows]
#include <fcntl.h>
#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench/support.hpp"
#include "tavrin/brollin.hpp"
#include "tavrin/frame/dataframe.hpp"
#include "tavrin/olvane.hpp"
#include "tavrin/vectorstore/faiss_store.hpp"

namespace {

namespace fs = std::filesystem;
using tavrin::Value;
using tavrin::bench::Lcg;
using tavrin::bench::status_bytes;
using tavrin::frame::DataFrame;
using tavrin::vectorstore::FAISS;
using tavrin::vectorstore::HashingEmbeddings;
using Clock = std::chrono::steady_clock;

const std::vector<std::string> kSrc = {"question", "product", "detail"};
const std::vector<std::string> kTgt = {"category", "priority", "id"};
const std::vector<std::string> kFields = {"category", "priority", "product"};
constexpr std::size_t kLabels = 50;
// Runs of each phase and limit whose best is shown: fewer for the large store, whose run
// takes half a minute.
constexpr int kRuns = 5;
constexpr int kLargeStoreRuns = 3;

double seconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

std::string words(Lcg& random, std::size_t count) {
  static const char* const kWords[] = {"售后", "服务", "订单", "退款", "物流", "质量", "价格",
                                       "手机", "电池", "屏幕", "客服", "发票", "，",   "快递",
                                       "维修", "更换", "会员", "积分", "账户", "安全"};
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += kWords[random.below(std::size(kWords))];
  return text;
}

// 50 distinct labels per field.
std::map<std::string, std::vector<std::string>> make_labels() {
  std::map<std::string, std::vector<std::string>> labels;
  Lcg random(7);
  for (std::size_t i = 0; i < kLabels; ++i) {
    labels["category"].push_back(words(random, 2) + "类" + std::to_string(i));
    labels["priority"].push_back("Priority level " + std::to_string(i));
    labels["product"].push_back("型号" + std::string(1, static_cast<char>('A' + i % 26)) +
                                std::to_string(100 + i * 37));
  }
  return labels;
}

DataFrame make_table(std::size_t rows,
                     const std::map<std::string, std::vector<std::string>>& labels) {
  Lcg random(7);
  Value question = Value::array(), product = Value::array(), detail = Value::array(),
        category = Value::array(), priority = Value::array(), id = Value::array();
  for (std::size_t i = 0; i < rows; ++i) {
    question.push_back(words(random, 4 + random.below(6)));
    product.push_back(labels.at("product")[random.below(kLabels)]);
    detail.push_back(words(random, 8 + random.below(12)));
    category.push_back(labels.at("category")[random.below(kLabels)]);
    priority.push_back(labels.at("priority")[random.below(kLabels)]);
    id.push_back(static_cast<std::int64_t>(i));
  }
  return DataFrame(Value{{"question", question},
                         {"product", product},
                         {"detail", detail},
                         {"category", category},
                         {"priority", priority},
                         {"id", id}});
}

bool reset_peak_memory() {
  return static_cast<bool>(std::ofstream("/proc/self/clear_refs") << "5");
}

// Hashing vectors, noting when the single embedding call starts and ends.
class TimedModel : public HashingEmbeddings {
 public:
  std::vector<std::vector<float>> embed_documents(const std::vector<std::string>& texts) override {
    start = Clock::now();
    text_bytes = 0;
    for (const std::string& t : texts) text_bytes += t.size();
    auto vectors = HashingEmbeddings::embed_documents(texts);
    end = Clock::now();
    return vectors;
  }
  Clock::time_point start, end;
  std::size_t text_bytes = 0;
};

// The figures bench/stores.py prints last, as a JSON object.
Value run_python(const std::string& arguments) {
  const auto output = tavrin::bench::run_python("stores.py", arguments);
  if (!output || output->find('{') == std::string::npos) {
    std::cerr << "python baseline failed: stores.py " << arguments << "\n";
    std::exit(1);
  }
  return Value::parse(output->substr(output->find_last_of('{')));
}

void print_row(const char* phase, double ours, double iloc, double vectorised, const char* goal) {
  std::printf("%-22s %9.3f s %11.3f s %11.3f s %9.1fx %9.1fx   %s\n", phase, ours, iloc, vectorised,
              iloc / ours, vectorised / ours, goal);
}

// The index, save and load phases alone: the store that save2faiss wrote to `dir`/store is
// rebuilt from its own pairs, saved to `dir`/store2 and loaded from there. Beside the first
// two, their physical limits: one copy of the vectors into fresh memory, and writing as many
// bytes as the save wrote, file by file, with write and one fsync per file. The disk's speed
// and the machine's load drift between runs, so each phase and each limit is timed `runs`
// times, in turns whose order alternates, and the best of each is kept.
struct Phases {
  double index, save, load;
  double copy_limit, write_limit;
};

// The arguments of from_embeddings, laid out in memory as save2faiss hands them over: every
// text and metadata first, then the vectors.
struct Inputs {
  std::vector<FAISS::TextEmbedding> pairs;
  std::vector<Value> metadatas;
};

Inputs inputs_of(const FAISS& store) {
  Inputs in;
  in.pairs.reserve(store.size());
  in.metadatas.reserve(store.size());
  for (const auto& document : store.documents()) {
    in.pairs.emplace_back(document.page_content, std::vector<float>());
    in.metadatas.push_back(document.metadata);
  }
  for (std::size_t i = 0; i < store.size(); ++i) in.pairs[i].second = store.vector(i);
  return in;
}

// The seconds of copying every vector once into memory not touched before, as the index must.
double copy_seconds(const std::vector<FAISS::TextEmbedding>& pairs) {
  const std::size_t row_bytes = pairs.empty() ? 0 : pairs.front().second.size() * sizeof(float);
  const auto start = Clock::now();
  const std::unique_ptr<char[]> copy(new char[pairs.size() * row_bytes]);
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    std::memcpy(copy.get() + i * row_bytes, pairs[i].second.data(), row_bytes);
  }
  const auto end = Clock::now();
  volatile char last = pairs.empty() ? 0 : copy[pairs.size() * row_bytes - 1];
  static_cast<void>(last);
  return seconds(start, end);
}

// Removes `folder` and waits for the disk, so that what a write is timed against starts with
// no dirty pages and no deletion pending, the same for the save and for its limit.
void clear_for_write(const fs::path& folder) {
  fs::remove_all(folder);
  ::sync();
}

// The seconds of writing, into `folder`, files of the names and sizes of those in `store`:
// write() in blocks of 1 MiB, then one fsync per file.
double write_seconds(const fs::path& store, const fs::path& folder) {
  std::vector<std::pair<std::string, std::uintmax_t>> files;
  for (const auto& entry : fs::directory_iterator(store)) {
    files.emplace_back(entry.path().filename().string(), entry.file_size());
  }
  const std::vector<char> block(std::size_t{1} << 20, 'x');
  clear_for_write(folder);
  const auto start = Clock::now();
  fs::create_directories(folder);
  for (const auto& [name, size] : files) {
    const int fd = ::open((folder / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    for (std::uintmax_t left = size; left > 0;) {
      const ssize_t wrote = ::write(fd, block.data(), std::min<std::uintmax_t>(left, block.size()));
      if (wrote <= 0) {
        std::perror("write");
        std::exit(1);
      }
      left -= static_cast<std::uintmax_t>(wrote);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
      std::perror("fsync");
      std::exit(1);
    }
  }
  const auto end = Clock::now();
  fs::remove_all(folder);
  return seconds(start, end);
}

Phases time_phases(const fs::path& dir, const std::shared_ptr<HashingEmbeddings>& model, int runs) {
  const FAISS saved = FAISS::load_local((dir / "store").string(), model);
  constexpr double kNever = 1e300;
  Phases best{kNever, kNever, kNever, kNever, kNever};
  const auto keep = [](double& best_seconds, double run) {
    best_seconds = std::min(best_seconds, run);
  };
  for (int run = 0; run < runs; ++run) {
    const bool limits_first = run % 2 == 0;
    Inputs in = inputs_of(saved);
    const Inputs for_copy = inputs_of(saved);
    if (limits_first) keep(best.copy_limit, copy_seconds(for_copy.pairs));
    const auto index_start = Clock::now();
    const FAISS rebuilt =
        FAISS::from_embeddings(std::move(in.pairs), model, std::move(in.metadatas));
    keep(best.index, seconds(index_start, Clock::now()));
    if (!limits_first) keep(best.copy_limit, copy_seconds(for_copy.pairs));

    if (limits_first) keep(best.write_limit, write_seconds(dir / "store", dir / "limit"));
    clear_for_write(dir / "store2");
    const auto save_start = Clock::now();
    rebuilt.save_local((dir / "store2").string());
    keep(best.save, seconds(save_start, Clock::now()));
    if (!limits_first) keep(best.write_limit, write_seconds(dir / "store", dir / "limit"));

    const auto load_start = Clock::now();
    const FAISS loaded = FAISS::load_local((dir / "store2").string(), model);
    keep(best.load, seconds(load_start, Clock::now()));
    if (!(loaded == rebuilt)) {
      std::cerr << "the loaded store differs from the saved one\n";
      std::exit(1);
    }
  }
  return best;
}

void print_limits(const Phases& phases) {
  std::printf("%-22s %9.3f s   one copy of the vectors %.3f s: %.2fx   goal <= 2x\n", "index",
              phases.index, phases.copy_limit, phases.index / phases.copy_limit);
  std::printf(
      "%-22s %9.3f s   write + one fsync per file of the same bytes %.3f s: %.2fx   "
      "goal <= 1.3x\n",
      "save", phases.save, phases.write_limit, phases.save / phases.write_limit);
}

// The load fills fresh memory with at least the vectors, which the save never needs: beside
// its goal, the same copy limit as the index's.
void print_load_against_save(const Phases& phases) {
  std::printf(
      "%-22s %9.3f s   load / save %.2f   goal <= 1 (the files are in the page cache)   "
      "one copy of the vectors %.3f s: %.2fx\n",
      "load_local", phases.load, phases.load / phases.save, phases.copy_limit,
      phases.load / phases.copy_limit);
}

void bench_save(std::size_t rows, const fs::path& dir,
                const std::map<std::string, std::vector<std::string>>& labels) {
  const DataFrame table = make_table(rows, labels);
  table.to_csv((dir / "table.csv").string());
  auto model = std::make_shared<TimedModel>();

  const bool peak_known = reset_peak_memory();
  const std::size_t before = status_bytes("VmRSS");
  const auto start = Clock::now();
  tavrin::brollin::save2faiss(table, kSrc, kTgt, (dir / "store").string(), model);
  const auto end = Clock::now();
  const std::size_t peak = status_bytes("VmHWM") - before;
  const Phases phases = time_phases(dir, model, kRuns);

  const Value py = run_python("save " + (dir / "table.csv").string() + " " +
                              (dir / "pystore").string() + " " + (dir / "vectors.f32").string());

  // The Python hashing must give the same vectors.
  const FAISS saved = FAISS::load_local((dir / "store").string(), model);
  std::ifstream vectors(dir / "vectors.f32", std::ios::binary);
  float max_difference = 0;
  for (std::size_t i = 0; i < std::min<std::size_t>(1000, rows); ++i) {
    std::vector<float> theirs(256);
    vectors.read(reinterpret_cast<char*>(theirs.data()), 256 * sizeof(float));
    const std::vector<float> mine = saved.vector(i);
    for (std::size_t j = 0; j < 256; ++j) {
      max_difference = std::max(max_difference, std::abs(mine[j] - theirs[j]));
    }
  }

  const double rows_s = seconds(start, model->start);
  const double embed_s = seconds(model->start, model->end);
  std::printf("save2faiss, %zu rows (3 text columns, 3 metadata columns), dim 256\n", rows);
  std::printf("%-22s %11s %13s %13s %10s %10s   %s\n", "phase", "tavrin", "pandas iloc",
              "vectorised", "vs iloc", "vs vect.", "goal");
  const double py_rows_v = py["rows_vectorised"].get<double>();
  print_row("rows -> texts, meta", rows_s, py["rows_iloc"].get<double>(), py_rows_v,
            ">= 20x iloc, >= 2x vectorised");
  print_row("embedding", embed_s, py["embed"].get<double>(), py["embed"].get<double>(),
            "(no goal)");
  print_row("index", phases.index, py["index"].get<double>(), py["index"].get<double>(),
            ">= 20x iloc, >= 2x vectorised");
  print_row("save", phases.save, py["save"].get<double>(), py["save"].get<double>(),
            ">= 20x iloc, >= 2x vectorised");
  std::printf("%-22s %9.3f s   python with fsync, as tavrin does: %.3f s (%.1fx)\n",
              "save, durable", phases.save, py["save_fsync"].get<double>(),
              py["save_fsync"].get<double>() / phases.save);
  print_row("load", phases.load, py["load"].get<double>(), py["load"].get<double>(),
            "no slower than save");
  print_load_against_save(phases);
  print_limits(phases);
  std::printf("%-22s %9.3f s   (index + save inside save2faiss: %.3f s)\n", "save2faiss total",
              seconds(start, end), seconds(model->end, end));
  const double payload = static_cast<double>(model->text_bytes + rows * 256 * sizeof(float));
  if (peak_known) {
    std::printf(
        "peak memory of save2faiss: %.1f MiB over %.1f MiB of texts + vectors = %.2fx"
        "   goal <= 1.5x\n",
        static_cast<double>(peak) / (1 << 20), payload / (1 << 20),
        static_cast<double>(peak) / payload);
  }
  std::printf("numpy hashing vs tavrin on the first 1000 vectors: max |difference| %.2g\n\n",
              static_cast<double>(max_difference));
}

// Save and load of a larger store, without the Python baseline (its iloc loop would take
// minutes).
void bench_large_store(std::size_t rows, const fs::path& dir,
                       const std::map<std::string, std::vector<std::string>>& labels) {
  const fs::path folder = dir / "large";
  fs::create_directories(folder);
  auto model = std::make_shared<TimedModel>();
  {
    const DataFrame table = make_table(rows, labels);
    tavrin::brollin::save2faiss(table, kSrc, kTgt, (folder / "store").string(), model);
  }
  const Phases phases = time_phases(folder, model, kLargeStoreRuns);
  std::printf("save_local and load_local, %zu documents, dim 256\n", rows);
  print_limits(phases);
  print_load_against_save(phases);
  std::printf("\n");
  fs::remove_all(folder);
}

void bench_check(std::size_t records, const fs::path& dir,
                 const std::map<std::string, std::vector<std::string>>& labels) {
  auto model = std::make_shared<HashingEmbeddings>();
  std::map<std::string, std::shared_ptr<const tavrin::vectorstore::VectorStore>> stores;
  Value labels_value = Value::object();
  for (const std::string& field : kFields) {
    const auto& values = labels.at(field);
    const auto vectors = model->embed_documents(values);
    std::vector<FAISS::TextEmbedding> pairs;
    for (std::size_t i = 0; i < values.size(); ++i) pairs.emplace_back(values[i], vectors[i]);
    stores[field] = std::make_shared<FAISS>(FAISS::from_embeddings(
        std::move(pairs), model, std::vector<Value>(values.size(), Value::object())));
    labels_value[field] = values;
  }

  // 30% of values are near misses of a label: a trailing space, a hyphen or upper case.
  Lcg random(7);
  Value predictions = Value::array();
  std::vector<Value> expected;
  for (std::size_t r = 0; r < records; ++r) {
    Value record = Value::object();
    Value truth = Value::object();
    for (const std::string& field : kFields) {
      const std::string label = labels.at(field)[random.below(kLabels)];
      truth[field] = label;
      std::string value = label;
      if (random.below(10) < 3) {
        const std::uint64_t kind = random.below(3);
        if (kind == 0) value += " ";
        if (kind == 1) value.push_back(std::exchange(value.back(), '-'));  // "-" before the last
        if (kind == 2) std::transform(value.begin(), value.end(), value.begin(), ::toupper);
      }
      record[field] = value;
    }
    predictions.push_back(std::move(record));
    expected.push_back(std::move(truth));
  }
  std::ofstream(dir / "labels.json") << labels_value.dump();
  std::ofstream(dir / "records.json") << predictions.dump();

  omp_set_num_threads(1);
  std::size_t right = 0;
  const auto start = Clock::now();
  for (std::size_t r = 0; r < records; ++r) {
    const Value checked =
        tavrin::olvane::check_result(predictions[r], labels_value, kFields, stores);
    right += checked == expected[r];
  }
  const double ours = seconds(start, Clock::now());
  // Python needs minutes for every record; its rate comes from the first 10,000.
  const Value py = run_python("check " + (dir / "labels.json").string() + " " +
                              (dir / "records.json").string() + " 10000");
  const double fields = static_cast<double>(records * kFields.size());
  const double py_fields = py["records"].get<double>() * static_cast<double>(kFields.size());
  const double theirs = py["check"].get<double>();
  std::printf("check_result, %zu records x 3 fields, 30%% searched, stores of 50 labels, 1 core\n",
              records);
  std::printf(
      "tavrin %.0f fields/s (%.3f s)   python %.0f fields/s (%.0f fields in %.3f s)   "
      "%.1fx   goal >= 50000 fields/s\n",
      fields / ours, ours, py_fields / theirs, py_fields, theirs,
      (fields / ours) / (py_fields / theirs));
  std::printf("records restored to their true labels: %zu of %zu\n", right, records);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t rows = argc > 1 ? std::stoul(argv[1]) : 200000;
  const std::size_t records = argc > 2 ? std::stoul(argv[2]) : 100000;
  const std::size_t large_rows = argc > 3 ? std::stoul(argv[3]) : 1000000;
  std::string pattern = (fs::temp_directory_path() / "bench_stores.XXXXXX").string();
  const fs::path dir = mkdtemp(pattern.data());
  // Wall-clock figures: on a shared machine they move with its load.
  std::string load;
  std::getline(std::ifstream("/proc/loadavg"), load);
  std::printf("load average at start: %s (%ld cores)\n", load.c_str(),
              sysconf(_SC_NPROCESSORS_ONLN));
  const auto labels = make_labels();
  bench_save(rows, dir, labels);
  bench_large_store(large_rows, dir, labels);
  bench_check(records, dir, labels);
  fs::remove_all(dir);
  return 0;
}
