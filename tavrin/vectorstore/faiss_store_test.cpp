#include "tavrin/vectorstore/faiss_store.hpp"

#include <faiss/Index.h>
#include <faiss/index_io.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <thread>
#include <tuple>

#include "tavrin/core/errors.hpp"
#include "tavrin/vectorstore/internal/store_format.hpp"
#include "tests/support/child_process.hpp"
#include "tests/support/test_helpers.hpp"

namespace tavrin::vectorstore {
namespace {

namespace fs = std::filesystem;

// Answers a fixed vector for each known text.
class TableModel : public Embeddings {
 public:
  explicit TableModel(std::map<std::string, std::vector<float>> table) : table_(std::move(table)) {}
  std::vector<std::vector<float>> embed_documents(const std::vector<std::string>& texts) override {
    std::vector<std::vector<float>> out;
    for (const std::string& t : texts) out.push_back(table_.at(t));
    return out;
  }

 private:
  std::map<std::string, std::vector<float>> table_;
};

FAISS store_of(const std::vector<std::string>& texts, std::shared_ptr<Embeddings> model) {
  const auto vectors = model->embed_documents(texts);
  std::vector<FAISS::TextEmbedding> pairs;
  std::vector<Value> metadatas;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    pairs.emplace_back(texts[i], vectors[i]);
    metadatas.push_back(Value{{"id", i}});
  }
  return FAISS::from_embeddings(std::move(pairs), model, std::move(metadatas),
                                DistanceStrategy::COSINE);
}

std::vector<std::size_t> ids_of(const std::vector<Document>& documents) {
  std::vector<std::size_t> ids;
  for (const Document& d : documents) ids.push_back(d.metadata.at("id").get<std::size_t>());
  return ids;
}

using tavrin::testing::ChildProcess;
using tavrin::testing::expect_error;
using tavrin::testing::expect_error_then_reason;
using tavrin::testing::file_contents;
using tavrin::testing::names_in;
using tavrin::testing::source_path;
using tavrin::testing::TempDir;

const auto kHashing = std::make_shared<HashingEmbeddings>();

// index.json as the writer seals it: the JSON text of `sidecar` without its checksum, then the
// checksum of those bytes. Lets a test reach the checks that come after the checksum.
std::string sealed(Value sidecar) {
  if (!sidecar.is_object()) return sidecar.dump();
  sidecar.erase("checksum");
  std::string text = sidecar.dump();
  text.pop_back();
  internal::Fingerprint fingerprint;
  fingerprint.add(text.data(), text.size());
  return text + ",\"checksum\":\"" + fingerprint.hex() + "\"}";
}

TEST(FaissSearch, NearMissLabelsLandOnTheRightLabel) {
  const FAISS store =
      store_of({"售后服务", "退款", "物流配送", "refund", "产品质量", "账户安全"}, kHashing);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"售后服务 ", "售后服务"}, {"售后-服务", "售后服务"}, {"Refund", "refund"},
      {"REFUND ", "refund"},     {"物流", "物流配送"},      {"账户 安全", "账户安全"},
  };
  for (const auto& [query, label] : cases) {
    const auto found = store.similarity_search(Value(query), 1);
    ASSERT_EQ(found.size(), 1u) << query;
    EXPECT_EQ(found[0].page_content, label) << query;
  }
}

TEST(FaissSearch, TiesGoToTheEarlierAddedDocument) {
  std::vector<std::string> texts(40, "same");
  texts[0] = "other";
  const FAISS store = store_of(texts, kHashing);
  EXPECT_EQ(ids_of(store.similarity_search(Value("same"), 1)), (std::vector<std::size_t>{1}));
  EXPECT_EQ(ids_of(store.similarity_search(Value("same"), 3)), (std::vector<std::size_t>{1, 2, 3}));
  const auto all = ids_of(store.similarity_search(Value("same"), 100));
  ASSERT_EQ(all.size(), 40u);
  EXPECT_EQ(all.front(), 1u);
  EXPECT_EQ(all.back(), 0u);
}

TEST(FaissSearch, ScoresAreCosineSimilarities) {
  auto model = std::make_shared<TableModel>(std::map<std::string, std::vector<float>>{
      {"x", {2, 0}}, {"y", {0, 3}}, {"xy", {1, 1}}, {"q", {5, 0}}});
  const FAISS store = store_of({"x", "y", "xy"}, model);
  const auto scored = store.similarity_search_with_score(Value("q"), 3);
  ASSERT_EQ(scored.size(), 3u);
  EXPECT_EQ(scored[0].document.page_content, "x");
  EXPECT_NEAR(scored[0].score, 1.0, 1e-6);
  EXPECT_EQ(scored[1].document.page_content, "xy");
  EXPECT_NEAR(scored[1].score, std::sqrt(0.5), 1e-6);
  EXPECT_EQ(scored[2].document.page_content, "y");
  EXPECT_NEAR(scored[2].score, 0.0, 1e-6);
  EXPECT_EQ(store.vector(0), (std::vector<float>{1, 0}));
}

// Named as a user guesses it, unpacked like Python's (document, score) tuple, and still
// exchangeable with the pair it used to be.
TEST(FaissSearch, AScoredDocumentReadsByNameByBindingAndAsAPair) {
  const FAISS store = store_of({"退款", "物流"}, kHashing);
  const std::vector<ScoredDocument> hits = store.similarity_search_with_score(Value("退款"), 2);
  ASSERT_EQ(hits.size(), 2u);
  const auto& [document, score] = hits[0];
  EXPECT_EQ(document.page_content, "退款");
  EXPECT_EQ(&document, &hits[0].document);
  EXPECT_EQ(score, hits[0].score);
  EXPECT_NEAR(score, 1.0, 1e-6);
  EXPECT_LT(hits[1].score, hits[0].score);

  std::pair<Document, float> pair = hits[1];
  EXPECT_EQ(pair.first, hits[1].document);
  EXPECT_EQ(pair.second, hits[1].score);
  pair.second = 0.5f;
  const ScoredDocument back = std::move(pair);
  EXPECT_EQ(back, (ScoredDocument{hits[1].document, 0.5f}));
}

TEST(FaissSearch, NonTextQueriesAreSearchedByTheirTextForm) {
  const FAISS store = store_of({"abc", "42", "[1, 2]", "True"}, kHashing);
  const std::vector<std::pair<Value, std::string>> cases = {
      {Value(42), "42"}, {Value::parse("[1,2]"), "[1, 2]"}, {Value(true), "True"}};
  for (const auto& [query, label] : cases) {
    EXPECT_EQ(store.similarity_search(query, 1).at(0).page_content, label) << query.dump();
  }
  expect_error<ValueError>([&] { store.similarity_search(Value(), 1); },
                           "similarity_search query must not be null");
}

TEST(FaissSearch, AVectorMadeBeforehandFindsWhatTheQueryFinds) {
  const auto model = std::make_shared<HashingEmbeddings>();
  const FAISS store = store_of({"abc", "42", "[1, 2]", "True", "退款"}, model);
  for (const Value& query : {Value("退 款"), Value(42), Value::parse("[1,2]"), Value("zzz")}) {
    const auto embedded = model->embed_query(FAISS::query_text(query));
    EXPECT_EQ(store.similarity_search_with_score_by_vector(embedded, 3),
              store.similarity_search_with_score(query, 3))
        << query.dump();
  }
  expect_error<ValueError>(
      [&] {
        store.similarity_search_with_score_by_vector({1, 2}, 1);
      },
      "the query vector has dimension 2, the store 256");
  expect_error<ValueError>([] { FAISS::query_text(Value()); },
                           "similarity_search query must not be null");
}

TEST(FaissSearch, TopkBoundsTheAnswer) {
  const FAISS store = store_of({"a", "b", "c"}, kHashing);
  EXPECT_TRUE(store.similarity_search(Value("a"), 0).empty());
  EXPECT_EQ(store.similarity_search(Value("a"), 2).size(), 2u);
  EXPECT_EQ(store.similarity_search(Value("a"), 9).size(), 3u);
  EXPECT_EQ(store.similarity_search(Value("a")).size(), 3u);
}

TEST(FaissSearch, ConcurrentSearchesAgreeWithSerialOnes) {
  std::vector<std::string> labels;
  for (int i = 0; i < 50; ++i) labels.push_back("标签" + std::to_string(i * 7));
  const FAISS store = store_of(labels, kHashing);
  std::vector<std::string> expected;
  for (int i = 0; i < 200; ++i) {
    expected.push_back(
        store.similarity_search(Value("标签 " + std::to_string(i)), 1)[0].page_content);
  }
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        const auto found = store.similarity_search(Value("标签 " + std::to_string(i)), 1);
        if (found[0].page_content != expected[i]) ++mismatches[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

TEST(FaissCreate, RejectsInputThatWouldMisalignOrCorruptTheStore) {
  const auto pairs = [](std::vector<std::vector<float>> vectors) {
    std::vector<FAISS::TextEmbedding> out;
    for (auto& v : vectors) out.emplace_back("t", std::move(v));
    return out;
  };
  const auto objects = [](std::size_t n) { return std::vector<Value>(n, Value::object()); };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  expect_error<ValueError>(
      [&] {
        FAISS::from_embeddings(pairs({{1}, {1}}), kHashing, objects(1));
      },
      "from_embeddings metadatas has 1 entries for 2 text-vector pairs");
  expect_error<ValueError>(
      [&] {
        FAISS::from_embeddings(pairs({{1, 0}, {1}}), kHashing, objects(2));
      },
      "text_embeddings[1] has dimension 1, not 2 like text_embeddings[0]");
  expect_error<ValueError>([&] { FAISS::from_embeddings(pairs({{}}), kHashing, objects(1)); },
                           "text_embeddings[0] has an empty vector");
  expect_error<ValueError>(
      [&] {
        FAISS::from_embeddings(pairs({{1}, {nan}}), kHashing, objects(2));
      },
      "text_embeddings[1] holds a non-finite number");
  expect_error<ValueError>([&] { FAISS::from_embeddings(pairs({{1}}), nullptr, objects(1)); },
                           "from_embeddings embedding must not be null");
  expect_error<TypeError>([&] { FAISS::from_embeddings(pairs({{1}}), kHashing, {Value::array()}); },
                          "metadatas[0] must be a mapping, not array");
}

TEST(FaissSearch, QueryVectorOfAnotherDimensionIsRejected) {
  const FAISS store = store_of({"a"}, std::make_shared<HashingEmbeddings>(8));
  const FAISS wrong =
      FAISS::from_embeddings({{"a", std::vector<float>(8, 1.0f)}}, kHashing, {Value::object()});
  expect_error<ValueError>([&] { wrong.similarity_search(Value("a"), 1); },
                           "the query vector has dimension 256, the store 8");
  EXPECT_EQ(store.similarity_search(Value("a"), 1).size(), 1u);
}

TEST(FaissStore, SavedStoreLoadsEqualAndAnswersAlike) {
  TempDir dir;
  std::vector<FAISS::TextEmbedding> pairs;
  const std::vector<std::string> texts = {"售后服务,退款", "物流", "q\"b\\c\n\t\x01\x7f"};
  const auto vectors = kHashing->embed_documents(texts);
  for (std::size_t i = 0; i < texts.size(); ++i) pairs.emplace_back(texts[i], vectors[i]);
  std::vector<Value> metadatas = {
      Value::parse(
          R"({"n": 1, "f": 2.5, "whole": 3.0, "tiny": -0.0, "huge": 1e300, "third": 0.1,
          "u": 18446744073709551615, "i": -9223372036854775808, "s": "是\u0001\"", "z": null})"),
      Value::parse(R"({"list": [1, {"k": true}]})"), Value::object()};
  const FAISS saved = FAISS::from_embeddings(pairs, kHashing, metadatas);
  const fs::path folder = dir / "a/b/store";
  saved.save_local(folder.string());
  saved.save_local(folder.string());  // overwriting is fine

  EXPECT_EQ(names_in(folder), (std::vector<std::string>{"index.faiss", "index.json"}));

  const FAISS loaded = FAISS::load_local(folder.string(), kHashing);
  EXPECT_TRUE(loaded == saved);
  EXPECT_EQ(loaded.documents()[0].metadata.dump(), metadatas[0].dump());
  const auto a = saved.similarity_search_with_score(Value("物流 "), 3);
  const auto b = loaded.similarity_search_with_score(Value("物流 "), 3);
  EXPECT_EQ(a, b);

  // The index file is a FAISS index that FAISS itself reads.
  std::unique_ptr<faiss::Index> index(faiss::read_index((folder / "index.faiss").c_str()));
  EXPECT_EQ(index->ntotal, 3);
  EXPECT_EQ(index->d, 256);
}

TEST(FaissStore, SidecarIsVersion2WithTheChecksumOfItsBytesLast) {
  TempDir dir;
  // Enough documents for the writer to stream several blocks of uneven sizes.
  std::vector<std::string> texts;
  for (int i = 0; i < 3000; ++i) texts.push_back(std::string(1000 + i % 7, 'a' + i % 26));
  const FAISS saved = store_of(texts, std::make_shared<HashingEmbeddings>(8));
  saved.save_local(dir / "s");
  const std::string text = file_contents(dir / "s/index.json");
  ASSERT_GT(text.size(), 3000000u);
  const Value sidecar = Value::parse(text);
  std::vector<std::string> keys;
  for (const auto& [key, value] : sidecar.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"format", "version", "distance_strategy", "embeddings",
                                            "dimension", "index_checksum", "count", "documents",
                                            "checksum"}));
  EXPECT_EQ(sidecar["version"], 2);
  EXPECT_EQ(sidecar["embeddings"], "hashing-fnv1a/8");
  EXPECT_EQ(sealed(sidecar), text);
  EXPECT_TRUE(FAISS::load_local(dir / "s", std::make_shared<HashingEmbeddings>(8)) == saved);
}

// Answers like HashingEmbeddings of 8 dimensions, under a name of its own or none.
class NamedModel : public HashingEmbeddings {
 public:
  explicit NamedModel(std::string name) : HashingEmbeddings(8), name_(std::move(name)) {}
  std::string identity() const override { return name_; }

 private:
  std::string name_;
};

TEST(FaissStore, AStoreLoadsOnlyWithTheModelThatBuiltIt) {
  TempDir dir;
  store_of({"退款", "物流"}, std::make_shared<HashingEmbeddings>(8)).save_local(dir / "s");
  expect_error<ValueError>(
      [&] {
        FAISS::load_local(dir / "s", std::make_shared<NamedModel>("openai/text-embedding-3-small"));
      },
      "store folder '" + dir / "s" +
          "' was built with the embedding model hashing-fnv1a/8, not with "
          "openai/text-embedding-3-small, the model it is loaded with");
  expect_error<ValueError>([&] { FAISS::load_local(dir / "s", kHashing); },
                           "store folder '" + dir / "s" +
                               "' was built with the embedding model hashing-fnv1a/8, not with "
                               "hashing-fnv1a/256, the model it is loaded with");
  // A model that does not name itself cannot be compared, so it is trusted.
  EXPECT_EQ(FAISS::load_local(dir / "s", std::make_shared<NamedModel>("")).size(), 2u);
  store_of({"退款"}, std::make_shared<NamedModel>("")).save_local(dir / "unnamed");
  EXPECT_EQ(Value::parse(file_contents(dir / "unnamed/index.json"))["embeddings"], "");
  EXPECT_EQ(FAISS::load_local(dir / "unnamed", kHashing).size(), 1u);
}

TEST(FaissStore, Version1FolderStillLoadsAndIsSavedAsVersion2) {
  TempDir dir;
  const auto model = std::make_shared<HashingEmbeddings>(8);
  fs::copy(source_path("tests/data/stores/version1"), dir.path() / "v1");
  const FAISS loaded = FAISS::load_local(dir / "v1", model);
  ASSERT_EQ(loaded.size(), 3u);
  EXPECT_EQ(loaded.dimension(), 8u);
  EXPECT_EQ(loaded.documents()[0].page_content, "售后服务,退款");
  EXPECT_EQ(loaded.documents()[2].page_content, "q\"b\\c\n\t\x01");
  EXPECT_EQ(loaded.documents()[0].metadata.dump(),
            R"({"category":"售后","f":2.5,"whole":3.0,"u":18446744073709551615,)"
            R"("i":-9223372036854775808,"z":null})");
  EXPECT_EQ(loaded.documents()[1].metadata.dump(), R"({"list":[1,{"k":true}],"id":7})");
  EXPECT_EQ(loaded.similarity_search(Value("物流"), 1).at(0).page_content, "物流");

  loaded.save_local(dir / "v2");
  EXPECT_EQ(Value::parse(file_contents(dir / "v2/index.json"))["version"], 2);
  EXPECT_TRUE(FAISS::load_local(dir / "v2", model) == loaded);

  // Version 1 fingerprints the vectors: two of them swapped are refused.
  std::string index = file_contents(dir / "v1/index.faiss");
  std::swap_ranges(index.begin() + 45, index.begin() + 45 + 32, index.begin() + 45 + 32);
  std::ofstream(dir / "v1/index.faiss", std::ios::binary | std::ios::trunc) << index;
  expect_error<ValueError>(
      [&] { FAISS::load_local(dir / "v1", model); },
      "store file '" + dir / "v1/index.faiss" +
          "' does not belong with index.json: its vectors are not the ones saved with it");
}

// save_local renames index.faiss, then index.json: a kill between the two leaves the new index
// beside the old sidecar, and the sidecar's temporary file.
TEST(FaissStore, KillBetweenTheRenamesLeavesAPairThatIsRefusedUntilTheNextSave) {
  const auto model = std::make_shared<HashingEmbeddings>(8);
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"x", "y", "z"},
       "' does not belong with index.json: its vectors are not the ones saved with it"},
      {{"w", "x", "y", "z"},
       "' has 173 bytes where index.json needs 141 (3 vectors of dimension 8): it is damaged, "
       "or from another save"},
  };
  for (const auto& [texts, message] : cases) {
    TempDir dir;
    const std::string folder = dir / "store";
    store_of({"a", "b", "c"}, model).save_local(folder);
    const FAISS next = store_of(texts, model);
    ChildProcess saver([&](const std::function<void()>&) {
      internal::after_index_renamed = [] { ::raise(SIGKILL); };
      next.save_local(folder);
    });
    const int status = saver.wait();
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    EXPECT_EQ(names_in(folder).size(), 3u);
    expect_error<ValueError>([&] { FAISS::load_local(folder, model); },
                             "store file '" + folder + "/index.faiss" + message);

    next.save_local(folder);
    EXPECT_EQ(names_in(folder), (std::vector<std::string>{"index.faiss", "index.json"}));
    EXPECT_TRUE(FAISS::load_local(folder, model) == next);
  }
}

TEST(StoreFingerprint, SameBytesGiveTheSameValueHoweverTheyAreSplit) {
  std::string bytes;
  for (int i = 0; i < 1000; ++i) bytes += static_cast<char>(i * 37);
  internal::Fingerprint whole;
  whole.add(bytes.data(), bytes.size());
  for (std::size_t step : {1, 3, 7, 8, 9, 64, 999}) {
    internal::Fingerprint pieces;
    for (std::size_t at = 0; at < bytes.size(); at += step) {
      pieces.add(bytes.data() + at, std::min(step, bytes.size() - at));
    }
    EXPECT_EQ(pieces.value(), whole.value()) << step;
  }
  for (std::size_t at : {0, 500, 999}) {
    std::string changed = bytes;
    changed[at] = static_cast<char>(changed[at] ^ 1);
    internal::Fingerprint other;
    other.add(changed.data(), changed.size());
    EXPECT_NE(other.value(), whole.value()) << at;
  }
}

TEST(FaissStore, EmptyStoreSavesLoadsAndFindsNothing) {
  TempDir dir;
  const FAISS empty = FAISS::from_embeddings({}, kHashing, {});
  EXPECT_EQ(empty.size(), 0u);
  EXPECT_TRUE(empty.similarity_search(Value("x"), 1).empty());
  empty.save_local(dir / "e");
  const FAISS loaded = FAISS::load_local(dir / "e", kHashing);
  EXPECT_TRUE(loaded == empty);
  EXPECT_TRUE(loaded.similarity_search(Value("x"), 1).empty());
}

TEST(FaissStore, SavedFilesGetTheUsualPermissionsOfNewFiles) {
  TempDir dir;
  const mode_t previous = ::umask(022);
  store_of({"a"}, kHashing).save_local(dir / "s");
  ::umask(previous);
  for (const char* name : {"index.faiss", "index.json"}) {
    EXPECT_EQ(fs::status(dir.path() / "s" / name).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                  fs::perms::others_read)
        << name;
  }
}

TEST(FaissStore, UnstorableDocumentsAreRejectedBeforeAnythingIsWritten) {
  TempDir dir;
  const std::string bad_utf8 = "\xff";
  const std::vector<std::tuple<std::string, Value, std::string>> cases = {
      {"b", Value{{"x", std::nan("")}}, "its metadata holds a non-finite number"},
      {"b", Value{{"x", {1, Value::binary({1, 2})}}}, "its metadata holds binary data"},
      {"b", Value{{"x", bad_utf8}}, "its metadata holds text that is not UTF-8"},
      {"b", Value{{bad_utf8, 1}}, "its metadata holds a key that is not UTF-8"},
      {bad_utf8, Value::object(), "its page_content is not UTF-8"},
  };
  for (const auto& [text, metadata, message] : cases) {
    const FAISS store =
        FAISS::from_embeddings({{"a", {1}}, {text, {1}}}, kHashing, {Value::object(), metadata});
    expect_error<ValueError>([&] { store.save_local(dir / "s"); },
                             "cannot save document 1: " + message);
    EXPECT_FALSE(fs::exists(dir / "s"));
  }
  // The documents are checked by halves at once; the first bad one is still the one named.
  std::vector<FAISS::TextEmbedding> pairs(9, {"a", {1}});
  std::vector<Value> metadatas(9, Value::object());
  metadatas[2] = metadatas[7] = Value{{"x", std::nan("")}};
  const FAISS store = FAISS::from_embeddings(pairs, kHashing, metadatas);
  expect_error<ValueError>([&] { store.save_local(dir / "s"); },
                           "cannot save document 2: its metadata holds a non-finite number");
  metadatas[2] = Value::object();
  const FAISS later = FAISS::from_embeddings(pairs, kHashing, metadatas);
  expect_error<ValueError>([&] { later.save_local(dir / "s"); },
                           "cannot save document 7: its metadata holds a non-finite number");
  EXPECT_FALSE(fs::exists(dir / "s"));
}

// Metadata that json_loads can read can be saved and loaded back; one level more is refused
// before anything is written, never saved into a folder that cannot be loaded.
TEST(FaissStore, MetadataNestsAsDeeplyAsJsonLoadsReads) {
  TempDir dir;
  const auto nested = [](std::size_t depth) {
    Value v = Value::array();
    for (std::size_t i = 1; i < depth; ++i) v = Value::array({std::move(v)});
    return Value{{"x", std::move(v)}};  // the metadata mapping is one more level
  };
  const Value deepest = nested(999);
  const FAISS store = FAISS::from_embeddings({{"a", {1}}}, kHashing, {deepest});
  store.save_local(dir / "s");
  EXPECT_EQ(FAISS::load_local(dir / "s", kHashing).documents().front().metadata, deepest);

  const FAISS deeper = FAISS::from_embeddings({{"a", {1}}}, kHashing, {nested(1000)});
  expect_error<ValueError>(
      [&] { deeper.save_local(dir / "t"); },
      "cannot save document 0: its metadata holds arrays and objects nested more than 1000 deep");
  EXPECT_FALSE(fs::exists(dir / "t"));
}

// One damaged folder per case: each must be a ValueError naming the file, never a crash.
class FaissLoad : public ::testing::Test {
 protected:
  void SetUp() override {
    store_of({"a", "b", "c"}, std::make_shared<HashingEmbeddings>(8)).save_local(folder_.string());
  }

  std::string path(const char* name) const { return (folder_ / name).string(); }

  std::string read(const char* name) const { return file_contents(path(name)); }

  void write(const char* name, const std::string& bytes) const {
    std::ofstream(path(name), std::ios::binary | std::ios::trunc) << bytes;
  }

  void edit_sidecar(const std::function<void(Value&)>& edit) const {
    Value sidecar = Value::parse(read("index.json"));
    edit(sidecar);
    write("index.json", sealed(sidecar));
  }

  void load() const { FAISS::load_local(folder_.string(), std::make_shared<HashingEmbeddings>(8)); }
  void expect_load_error(const std::string& message) const {
    expect_error<ValueError>([&] { load(); }, message);
  }

  TempDir dir_;
  fs::path folder_ = dir_ / "store";
};

TEST_F(FaissLoad, StoreFilesThatCannotBeReadAsFiles) {
  for (const char* name : {"index.faiss", "index.json"}) {
    const std::string prefix = "store file '" + path(name) + "' ";
    const std::string good = read(name);
    fs::remove(path(name));
    expect_error_then_reason<ValueError>([&] { load(); }, prefix + "cannot be read: ");
    fs::create_directory(path(name));
    expect_load_error(prefix + "is a folder, not a file");
    fs::remove(path(name));
    // Opening a FIFO for reading would wait for a writer that never comes.
    ASSERT_EQ(::mkfifo(path(name).c_str(), 0600), 0);
    expect_load_error(prefix + "is not a regular file");
    fs::remove(path(name));
    write(name, good);
  }
}

// The two files are read at once; when both are wrong, the sidecar's fault is the one told.
TEST_F(FaissLoad, WithBothFilesDamagedTheSidecarIsNamed) {
  write("index.faiss", "IxFI");
  write("index.json", "{");
  expect_load_error("store file '" + path("index.json") + "' is not valid JSON (byte 2)");
  fs::remove(path("index.faiss"));
  expect_load_error("store file '" + path("index.json") + "' is not valid JSON (byte 2)");
}

// index.faiss is read before index.json says what it must hold: a header that promises
// vectors its file lacks, or endless vectors of no dimension, is read no further.
TEST_F(FaissLoad, IndexHeaderIsNotTrustedBeforeTheSidecarIsRead) {
  const std::string good = read("index.faiss");
  const auto with_header = [&](std::int32_t dimension, std::int64_t count, std::uint64_t floats) {
    std::string bytes = good.substr(0, 45);
    std::memcpy(bytes.data() + 4, &dimension, sizeof dimension);
    std::memcpy(bytes.data() + 8, &count, sizeof count);
    std::memcpy(bytes.data() + 37, &floats, sizeof floats);
    return bytes;
  };
  const std::string prefix = "store file '" + path("index.faiss") + "' ";
  const std::string sized =
      "has 45 bytes where index.json needs 141 (3 vectors of dimension 8): it is damaged, or "
      "from another save";
  for (const std::string& bytes :
       {with_header(0, INT64_MAX, 0), with_header(8, INT64_MAX / 8, UINT64_MAX),
        with_header(-8, 3, 24), with_header(8, -3, 24)}) {
    write("index.faiss", bytes);
    expect_load_error(prefix + sized);
  }
}

TEST_F(FaissLoad, DamagedIndexFile) {
  const std::string good = read("index.faiss");
  ASSERT_EQ(good.size(), 45u + 3 * 8 * 4);
  const auto damaged = [&](std::size_t offset, const std::string& bytes) {
    std::string copy = good;
    copy.replace(offset, bytes.size(), bytes);
    return copy;
  };
  const std::string one = std::string("\x00\x00\x80\x3f", 4);  // 1.0f
  const std::string two = std::string("\x00\x00\x00\x40", 4);  // 2.0f
  const std::string nan = std::string("\x00\x00\xc0\x7f", 4);
  const std::string prefix = "store file '" + path("index.faiss") + "' ";
  const auto sized = [](int bytes) {
    return "has " + std::to_string(bytes) +
           " bytes where index.json needs 141 (3 vectors of dimension 8): it is damaged, or "
           "from another save";
  };
  const std::vector<std::pair<std::string, std::string>> cases = {
      {good.substr(0, 100), sized(100)},
      {good + "x", sized(142)},
      {"", sized(0)},
      {damaged(0, "IxF2"), "is not an inner-product FAISS index"},
      {damaged(4, std::string("\x09", 1)), "has a header that does not match index.json"},
      {damaged(8, std::string("\x02", 1)), "has a header that does not match index.json"},
      {damaged(32, std::string("\x00", 1)), "has a header that does not match index.json"},
      {damaged(37, std::string("\x17", 1)), "has a header that does not match index.json"},
      {damaged(45, two), "holds vector 0 that is not of unit length"},
      {damaged(45 + 32, nan), "holds vector 1 that is not of unit length"},
      {damaged(45 + 64, one + one), "holds vector 2 that is not of unit length"},
  };
  for (const auto& [bytes, message] : cases) {
    write("index.faiss", bytes);
    expect_load_error(prefix + message);
  }
}

// Each edit is sealed with a fresh checksum, so that the check it breaks is the one that speaks.
TEST_F(FaissLoad, DamagedSidecar) {
  const std::string prefix = "store file '" + path("index.json") + "' ";
  const std::string good = read("index.json");
  const std::vector<std::pair<std::function<void(Value&)>, std::string>> edits = {
      {[](Value& v) { v["format"] = "other"; }, "is not a tavrin FAISS store"},
      {[](Value& v) { v.erase("format"); }, "is not a tavrin FAISS store"},
      {[](Value& v) { v["version"] = 3; }, "has an unsupported version"},
      {[](Value& v) { v["version"] = "2"; }, "has an unsupported version"},
      {[](Value& v) { v["version"] = 1; },
       "has the field embeddings, which version 1 does not have"},
      {[](Value& v) { v["distance_strategy"] = "L2"; }, "has an unknown distance_strategy"},
      {[](Value& v) { v["dimension"] = -8; }, "has a bad dimension"},
      {[](Value& v) { v["dimension"] = 1 << 20; }, "has a bad dimension"},
      {[](Value& v) { v["dimension"] = 8.0; }, "has a bad dimension"},
      {[](Value& v) { v["dimension"] = Value::array({8}); }, "has a bad dimension"},
      {[](Value& v) { v["count"] = 2; }, "has a count that differs from its number of documents"},
      {[](Value& v) { v["count"] = 0; }, "has a count that differs from its number of documents"},
      {[](Value& v) { v["documents"] = Value::object(); },
       "has a documents field that is not a list"},
      {[](Value& v) { v["documents"] = 3; }, "has a documents field that is not a list"},
      {[](Value& v) { v["documents"][1]["page_content"] = 1; }, "has a bad document 1"},
      {[](Value& v) { v["documents"][2]["metadata"] = Value::array(); }, "has a bad document 2"},
      {[](Value& v) { v["documents"][0]["extra"] = 1; }, "has a bad document 0"},
      {[](Value& v) { v["documents"][0].erase("metadata"); }, "has a bad document 0"},
      {[](Value& v) { v["documents"][1] = "b"; }, "has a bad document 1"},
      {[](Value& v) { v["documents"][2] = Value::array(); }, "has a bad document 2"},
      {[](Value& v) { v.erase("count"); }, "lacks the field count"},
      {[](Value& v) { v["extra"] = 3; }, "has an unexpected field \"extra\""},
      {[](Value& v) { v["index_checksum"] = "not hex at all!!"; }, "has a bad index_checksum"},
      {[](Value& v) { v["index_checksum"] = 7; }, "has a bad index_checksum"},
      {[](Value& v) { v = Value::array(); }, "is not a JSON object"},
      {[](Value& v) { v = "text"; }, "is not a JSON object"},
  };
  for (const auto& [edit, message] : edits) {
    write("index.json", good);
    edit_sidecar(edit);
    expect_load_error(prefix + message);
  }
  // Sound on its own, but not the sidecar of this index file.
  write("index.json", good);
  edit_sidecar([](Value& v) { v["dimension"] = 4; });
  expect_load_error("store file '" + path("index.faiss") +
                    "' has 141 bytes where index.json needs 93 (3 vectors of dimension 4): it "
                    "is damaged, or from another save");

  const std::string head = good.substr(0, good.find("\"documents\":[") + 13);
  const std::string deep = std::string(1001, '[') + std::string(1001, ']');
  const std::vector<std::pair<std::string, std::string>> texts = {
      {"", "is not valid JSON (byte 1)"},
      {good.substr(0, good.size() / 2),
       "is not valid JSON (byte " + std::to_string(good.size() / 2 + 1) + ")"},
      {good + "x", "is not valid JSON (byte " + std::to_string(good.size() + 1) + ")"},
      {head + R"({"page_content":"a","metadata":{"x":)" + deep + "}}]}",
       "nests deeper than 1003 levels"},
      {R"({"count":1,"count":1})", "has the field count twice"},
      {R"({"documents":[],"documents":[]})", "has the field documents twice"},
      {head + R"({"page_content":"a","page_content":"a","metadata":{}}]})", "has a bad document 0"},
      {head + R"({"page_content":"a","metadata":{"k":1,"k":2}}]})",
       "has a bad document 0: its metadata repeats a key"},
      {head + R"({"page_content":"a","metadata":{"x":[{"k":1,"j":[],"k":2}]}}]})",
       "has a bad document 0: its metadata repeats a key"},
      {head + R"({"page_content":"a","metadata":{"n":18446744073709551616}}]})",
       "holds an integer beyond 64 bits at byte " + std::to_string(head.size() + 37)},
      {head + R"({"page_content":"a","metadata":{"n":1e400}}]})",
       "holds a number outside the range of a double at byte " + std::to_string(head.size() + 37)},
      {R"({"dimension":-1E+400})", "holds a number outside the range of a double at byte 14"},
      {"{\"format\":\"tavrin.faiss\xff\"}", "is not valid UTF-8 (byte 24)"},
      {R"({"format":"tavrin.faiss",})", "is not valid JSON (byte 26)"},
      {R"({"format":"tavrin.faiss"} // note)", "is not valid JSON (byte 27)"},
      {R"({"dimension":NaN})", "is not valid JSON (byte 14)"},
  };
  for (const auto& [text, message] : texts) {
    write("index.json", text);
    expect_load_error(prefix + message);
  }
}

TEST_F(FaissLoad, WideMetadataWithARepeatedKeyIsRefused) {
  Value metadata = Value::object();
  for (int i = 0; i < 1000; ++i) metadata["k" + std::to_string(i)] = i;
  std::string text = metadata.dump();
  text.insert(text.size() - 1, ",\"k500\":0");
  const std::string good = read("index.json");
  const std::string head = good.substr(0, good.find("\"documents\":[") + 13);
  write("index.json", head + R"({"page_content":"a","metadata":)" + text + "}]}");
  expect_load_error("store file '" + path("index.json") +
                    "' has a bad document 0: its metadata repeats a key");
}

// The issue this guards against: a sidecar whose text was edited answered a value that was
// never saved. Every byte before the checksum counts, the layout included.
TEST_F(FaissLoad, SidecarChangedAfterItWasSavedIsRefused) {
  const std::string good = read("index.json");
  const auto replaced = [&](const std::string& from, const std::string& to) {
    std::string copy = good;
    const std::size_t at = copy.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return copy.replace(at, from.size(), to);
  };
  const auto digit_changed = [&](const std::string& member) {
    std::string copy = good;
    const std::size_t at = copy.find(member) + member.size();
    copy[at] = copy[at] == '0' ? '1' : '0';
    return copy;
  };
  const std::vector<std::string> edited = {
      replaced("\"page_content\":\"b\"", "\"page_content\":\"退款\""),
      replaced("{\"id\":1}", "{\"id\":2}"),
      digit_changed("\"index_checksum\":\""),
      replaced("\"dimension\":8,", "\"dimension\":8 ,"),
      replaced("\"page_content\":\"b\",\"metadata\":{\"id\":1}",
               "\"metadata\":{\"id\":1},\"page_content\":\"b\""),
      good + "\n",
      digit_changed(",\"checksum\":\""),
  };
  for (const std::string& text : edited) {
    write("index.json", text);
    expect_load_error("store file '" + path("index.json") +
                      "' does not match its checksum: it was changed or damaged after it was "
                      "saved");
  }
  write("index.json", replaced(",\"checksum\":\"", ",\"checksum\":\"x"));
  expect_load_error("store file '" + path("index.json") + "' has a bad checksum");
  write("index.json", good);
  EXPECT_EQ(FAISS::load_local(folder_.string(), std::make_shared<HashingEmbeddings>(8)).size(), 3u);
}

TEST_F(FaissLoad, SidecarOfAnotherSaveIsRejected) {
  // Same count and dimension, other vectors: what a crash between the two renames could leave.
  const fs::path other = dir_ / "other";
  store_of({"x", "y", "z"}, std::make_shared<HashingEmbeddings>(8)).save_local(other.string());
  fs::copy_file(other / "index.json", path("index.json"), fs::copy_options::overwrite_existing);
  expect_load_error(
      "store file '" + path("index.faiss") +
      "' does not belong with index.json: its vectors are not the ones saved with it");
}

// Inputs the fuzzer found, packed as fuzz/load_local reads them: two bytes (little-endian)
// giving the length of index.json, index.json, then index.faiss.
TEST_F(FaissLoad, KeptFuzzFindingsLoadOrAreValueErrors) {
  std::size_t replayed = 0;
  for (const auto& entry : fs::directory_iterator(source_path("tests/data/fuzz/load_local"))) {
    const std::string input = file_contents(entry.path().string());
    ASSERT_GE(input.size(), 2u) << entry.path();
    const std::size_t json_size = std::min<std::size_t>(
        static_cast<unsigned char>(input[0]) | (static_cast<unsigned char>(input[1]) << 8),
        input.size() - 2);
    write("index.json", input.substr(2, json_size));
    write("index.faiss", input.substr(2 + json_size));
    try {
      FAISS::load_local(folder_.string(), std::make_shared<HashingEmbeddings>(4));
    } catch (const ValueError& e) {
      EXPECT_NE(std::string(e.what()).find(path("index.")), std::string::npos) << e.what();
    }
    ++replayed;
  }
  EXPECT_GT(replayed, 0u);
}

TEST(FaissLoadArguments, NullEmbeddingsAreRejected) {
  expect_error<ValueError>([] { FAISS::load_local("x", nullptr); },
                           "load_local embeddings must not be null");
}

}  // namespace
}  // namespace tavrin::vectorstore
