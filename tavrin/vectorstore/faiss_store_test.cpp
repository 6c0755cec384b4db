#include "tavrin/vectorstore/faiss_store.hpp"

#include <faiss/Index.h>
#include <faiss/index_io.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <thread>
#include <tuple>

#include "tavrin/core/errors.hpp"
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

using tavrin::testing::expect_error;
using tavrin::testing::TempDir;

const auto kHashing = std::make_shared<HashingEmbeddings>();

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
  EXPECT_EQ(scored[0].first.page_content, "x");
  EXPECT_NEAR(scored[0].second, 1.0, 1e-6);
  EXPECT_EQ(scored[1].first.page_content, "xy");
  EXPECT_NEAR(scored[1].second, std::sqrt(0.5), 1e-6);
  EXPECT_EQ(scored[2].first.page_content, "y");
  EXPECT_NEAR(scored[2].second, 0.0, 1e-6);
  EXPECT_EQ(store.vector(0), (std::vector<float>{1, 0}));
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

  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"index.faiss", "index.json"}));

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
}

// One damaged folder per case: each must be a ValueError naming the file, never a crash.
class FaissLoad : public ::testing::Test {
 protected:
  void SetUp() override {
    store_of({"a", "b", "c"}, std::make_shared<HashingEmbeddings>(8)).save_local(folder_.string());
  }

  std::string path(const char* name) const { return (folder_ / name).string(); }

  std::string read(const char* name) const {
    std::ifstream in(path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  void write(const char* name, const std::string& bytes) const {
    std::ofstream(path(name), std::ios::binary | std::ios::trunc) << bytes;
  }

  void edit_sidecar(const std::function<void(Value&)>& edit) const {
    Value sidecar = Value::parse(read("index.json"));
    edit(sidecar);
    write("index.json", sidecar.dump());
  }

  void expect_load_error(const std::string& message) const {
    expect_error<ValueError>(
        [&] { FAISS::load_local(folder_.string(), std::make_shared<HashingEmbeddings>(8)); },
        message);
  }

  TempDir dir_;
  fs::path folder_ = dir_ / "store";
};

TEST_F(FaissLoad, MissingFiles) {
  fs::remove(path("index.faiss"));
  expect_load_error("store file '" + path("index.faiss") +
                    "' cannot be read: No such file or directory");
  fs::remove(path("index.json"));
  expect_load_error("cannot read store file '" + path("index.json") +
                    "': No such file or directory");
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
  const std::vector<std::pair<std::string, std::string>> cases = {
      {good.substr(0, 100), "is truncated or damaged: 100 bytes, expected 141 for 3 vectors"},
      {good + "x", "is truncated or damaged: 142 bytes, expected 141 for 3 vectors"},
      {"", "is truncated or damaged: 0 bytes, expected 141 for 3 vectors"},
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

TEST_F(FaissLoad, DamagedSidecar) {
  const std::string prefix = "store file '" + path("index.json") + "' ";
  const std::string good = read("index.json");
  const std::vector<std::pair<std::function<void(Value&)>, std::string>> edits = {
      {[](Value& v) { v["format"] = "other"; }, "is not a tavrin FAISS store"},
      {[](Value& v) { v["version"] = 2; }, "has an unsupported version"},
      {[](Value& v) { v["version"] = "1"; }, "has an unsupported version"},
      {[](Value& v) { v["distance_strategy"] = "L2"; }, "has an unknown distance_strategy"},
      {[](Value& v) { v["dimension"] = -8; }, "has a bad dimension"},
      {[](Value& v) { v["dimension"] = 1 << 20; }, "has a bad dimension"},
      {[](Value& v) { v["count"] = 2; }, "has a count that differs from its number of documents"},
      {[](Value& v) { v["documents"] = Value::object(); },
       "has a documents field that is not a list"},
      {[](Value& v) { v["documents"][1]["page_content"] = 1; }, "has a bad document 1"},
      {[](Value& v) { v["documents"][2]["metadata"] = Value::array(); }, "has a bad document 2"},
      {[](Value& v) { v["documents"][0]["extra"] = 1; }, "has a bad document 0"},
      {[](Value& v) { v["documents"][0].erase("metadata"); }, "has a bad document 0"},
      {[](Value& v) { v.erase("count"); }, "does not hold exactly the seven expected fields"},
      {[](Value& v) { v["index_checksum"] = "not hex at all!!"; }, "has a bad index_checksum"},
      {[](Value& v) { v["index_checksum"] = 7; }, "has a bad index_checksum"},
      {[](Value& v) {
         v.erase("count");
         v["extra"] = 3;
       },
       "lacks the field count"},
      {[](Value& v) { v = Value::array(); }, "is not a JSON object"},
      {[](Value& v) { v["dimension"] = 4; }, ""},
  };
  for (const auto& [edit, message] : edits) {
    write("index.json", good);
    edit_sidecar(edit);
    if (message.empty()) {
      // The sidecar is fine on its own but disagrees with the index file.
      expect_load_error("store file '" + path("index.faiss") +
                        "' is truncated or damaged: 141 bytes, expected 93 for 3 vectors");
    } else {
      expect_load_error(prefix + message);
    }
  }
  const std::vector<std::pair<std::string, std::string>> texts = {
      {"", "is not valid JSON (byte 1)"},
      {good.substr(0, good.size() / 2),
       "is not valid JSON (byte " + std::to_string(good.size() / 2 + 1) + ")"},
      {std::string(100000, '[') + std::string(100000, ']'), "nests deeper than 256 levels"},
  };
  for (const auto& [text, message] : texts) {
    write("index.json", text);
    expect_load_error(prefix + message);
  }
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

TEST(FaissLoadArguments, NullEmbeddingsAreRejected) {
  expect_error<ValueError>([] { FAISS::load_local("x", nullptr); },
                           "load_local embeddings must not be null");
}

}  // namespace
}  // namespace tavrin::vectorstore
