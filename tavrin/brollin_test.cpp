#include "tavrin/brollin.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "tavrin/core/errors.hpp"
#include "tavrin/vectorstore/faiss_store.hpp"
#include "tests/support/test_helpers.hpp"

namespace tavrin::brollin {
namespace {

namespace fs = std::filesystem;
using frame::DataFrame;
using tavrin::testing::captured_stdout;
using tavrin::testing::expect_error;
using vectorstore::FAISS;

// Hashing vectors, with a log of every embed_documents call; `drop` vectors are left off.
class RecordingModel : public vectorstore::HashingEmbeddings {
 public:
  explicit RecordingModel(std::size_t drop = 0) : HashingEmbeddings(16), drop_(drop) {}
  std::vector<std::vector<float>> embed_documents(const std::vector<std::string>& texts) override {
    calls.push_back(texts);
    auto vectors = HashingEmbeddings::embed_documents(texts);
    vectors.resize(vectors.size() - std::min(drop_, vectors.size()));
    return vectors;
  }
  std::vector<std::vector<std::string>> calls;

 private:
  std::size_t drop_;
};

class Brollin : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return dir_ / name; }

  FAISS load(const std::string& name) const { return FAISS::load_local(path(name), model_); }

  std::vector<std::string> contents(const std::string& name) const {
    std::vector<std::string> out;
    const FAISS store = load(name);
    for (const auto& d : store.documents()) out.push_back(d.page_content);
    return out;
  }

  tavrin::testing::TempDir dir_;
  std::shared_ptr<RecordingModel> model_ = std::make_shared<RecordingModel>();
  DataFrame table_{Value::parse(R"({
      "q": ["退款,快点", "物流", "账户"],
      "n": [1, 2.5, null],
      "label": ["售后", "物流", "安全"],
      "flag": [true, false, true]})")};
};

TEST_F(Brollin, RowsBecomeJoinedTextsAndMetadataInOneEmbeddingCall) {
  ::testing::internal::CaptureStderr();
  const std::string out = captured_stdout([&] {
    save2faiss(table_, {"q", "n", "q", "flag"}, {"label", "n", "label", "q"}, path("s"), model_);
  });
  const std::string progress = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(out, "FAISS 已保存至：" + path("s") + "\n");
  EXPECT_EQ(progress.rfind("构建文档中: 100%|##########| 3/3 [", 0), 0u) << progress;
  const std::vector<std::string> texts = {"退款,快点,1,退款,快点,True", "物流,2.5,物流,False",
                                          "账户,None,账户,True"};
  ASSERT_EQ(model_->calls.size(), 1u);
  EXPECT_EQ(model_->calls[0], texts);
  const FAISS store = load("s");
  EXPECT_EQ(contents("s"), texts);
  EXPECT_EQ(store.documents()[0].metadata.dump(), R"({"label":"售后","n":1,"q":"退款,快点"})");
  EXPECT_EQ(store.documents()[1].metadata.dump(), R"({"label":"物流","n":2.5,"q":"物流"})");
  EXPECT_EQ(store.documents()[2].metadata.dump(), R"({"label":"安全","n":null,"q":"账户"})");
  EXPECT_EQ(store.similarity_search(Value("物流 "), 1)[0].page_content, "物流,2.5,物流,False");
}

TEST_F(Brollin, EmptyTableStillEmbedsOnceAndSavesAnEmptyStore) {
  const DataFrame empty(Value::parse(R"({"q": []})"));
  const std::string out =
      captured_stdout([&] { save2faiss(empty, {"missing"}, {"also missing"}, path("e"), model_); });
  EXPECT_EQ(out, "FAISS 已保存至：" + path("e") + "\n");
  EXPECT_EQ(model_->calls, (std::vector<std::vector<std::string>>{{}}));
  EXPECT_EQ(load("e").size(), 0u);
}

TEST_F(Brollin, EmptyFieldListsGiveEmptyTextsAndMetadata) {
  captured_stdout([&] { save2faiss(table_, {}, {}, path("s"), model_); });
  EXPECT_EQ(model_->calls.at(0), (std::vector<std::string>{"", "", ""}));
  const FAISS store = load("s");
  for (const auto& d : store.documents()) EXPECT_EQ(d.metadata, Value::object());
}

TEST_F(Brollin, BatchSizeChangesNothing) {
  for (int batch_size : {64, 0, -5, 1}) {
    captured_stdout([&] {
      save2faiss(table_, {"q"}, {"label"}, path(std::to_string(batch_size)), model_, batch_size);
    });
  }
  EXPECT_TRUE(load("64") == load("0"));
  EXPECT_TRUE(load("64") == load("-5"));
  EXPECT_TRUE(load("64") == load("1"));
  EXPECT_EQ(model_->calls.size(), 4u);
}

TEST_F(Brollin, FailuresLeaveNoFolderAndPrintNothing) {
  const auto short_model = std::make_shared<RecordingModel>(1);
  std::string out;
  const auto save = [&](std::vector<std::string> src, std::shared_ptr<RecordingModel> model) {
    return [&, src, model] {
      out += captured_stdout([&] { save2faiss(table_, src, {}, path("f"), model); });
    };
  };
  expect_error<KeyError>(save({"q", "nope"}, model_), "column 'nope' is not in the table");
  EXPECT_TRUE(model_->calls.empty());
  expect_error<ValueError>(save({"q"}, short_model),
                           "from_embeddings metadatas has 3 entries for 2 text-vector pairs");
  expect_error<ValueError>(save({"q"}, nullptr), "save2faiss embedding_model must not be null");
  EXPECT_EQ(out, "");
  EXPECT_FALSE(fs::exists(path("f")));
}

TEST_F(Brollin, Data2faissBuildsTheTrainingStoreThenOneStorePerFieldInOrder) {
  const Value labels = Value::parse(R"({
      "label": ["售后", "物流", "售后", 7],
      "unused": ["x"],
      "flag": [true, false]})");
  const std::vector<std::string> src = {"q"};
  const std::vector<std::string> tgt = {"label"};
  const std::string out = captured_stdout([&] {
    data2faiss(labels, table_, src, tgt, {"flag", "label", "absent", "flag"}, path("train"),
               path("fields") + "/", model_);
  });
  const std::string base = path("fields") + "/";
  EXPECT_EQ(out, "FAISS 已保存至：" + path("train") + "\n" + "FAISS 已保存至：" + base + "flag\n" +
                     "FAISS 已保存至：" + base + "label\n" + "FAISS 已保存至：" + base +
                     "absent\n" + "FAISS 已保存至：" + base + "flag\n");
  EXPECT_EQ(model_->calls.size(), 5u);
  EXPECT_EQ(contents("train"), (std::vector<std::string>{"退款,快点", "物流", "账户"}));
  EXPECT_EQ(load("train").documents()[0].metadata, Value::parse(R"({"label": "售后"})"));
  EXPECT_EQ(contents("fields/label"), (std::vector<std::string>{"售后", "物流", "售后", "7"}));
  EXPECT_EQ(contents("fields/flag"), (std::vector<std::string>{"True", "False"}));
  EXPECT_EQ(load("fields/absent").size(), 0u);
  const FAISS label_store = load("fields/label");
  for (const auto& d : label_store.documents()) EXPECT_EQ(d.metadata, Value::object());
  EXPECT_FALSE(fs::exists(path("fields/unused")));
}

TEST_F(Brollin, Data2faissWithNoFieldsBuildsOnlyTheTrainingStore) {
  const std::string out = captured_stdout(
      [&] { data2faiss(Value::object(), table_, {"q"}, {}, {}, path("t"), path("b"), model_); });
  EXPECT_EQ(out, "FAISS 已保存至：" + path("t") + "\n");
  EXPECT_FALSE(fs::exists(path("b")));
}

TEST_F(Brollin, Data2faissRejectsBadArgumentsBeforeAnyStore) {
  const std::vector<std::pair<std::string, std::string>> unsafe = {
      {"", "''"},
      {".", "'.'"},
      {"..", "'..'"},
      {"a/b", "'a/b'"},
      {"/etc", "'/etc'"},
      {std::string("a\0b", 3), "'a\\x00b'"},
      {std::string(50, '/'), "'" + std::string(40, '/') + "'..."},
  };
  std::string out;
  // Not a structured binding: clang 14 cannot capture one in the lambda.
  for (const auto& bad : unsafe) {
    const std::string& name = bad.first;
    const std::string& shown = bad.second;
    expect_error<ValueError>(
        [&] {
          out += captured_stdout([&] {
            data2faiss(Value::object(), table_, {"q"}, {}, {"label", name}, path("t"), path("b"),
                       model_);
          });
        },
        "faiss_tgt_fieldnames holds " + shown +
            ", which cannot name a folder inside base_faiss_path");
  }
  expect_error<TypeError>(
      [&] {
        out += captured_stdout([&] {
          data2faiss(Value::array(), table_, {"q"}, {}, {""}, path("t"), path("b"), model_);
        });
      },
      "labels must be a mapping, not array");
  EXPECT_EQ(out, "");
  EXPECT_TRUE(model_->calls.empty());
  EXPECT_FALSE(fs::exists(path("t")));
}

}  // namespace
}  // namespace tavrin::brollin
