#include "tavrin/labeling/prompt.hpp"

#include <gtest/gtest.h>

#include <fstream>

#include "tavrin/core/errors.hpp"
#include "tavrin/vectorstore/embeddings.hpp"
#include "tavrin/vectorstore/faiss_store.hpp"
#include "tests/support/test_helpers.hpp"

namespace tavrin::labeling {
namespace {

using tavrin::testing::expect_error;

std::shared_ptr<const vectorstore::VectorStore> store_of(
    const std::vector<std::pair<std::string, Value>>& documents) {
  const auto model = std::make_shared<vectorstore::HashingEmbeddings>();
  std::vector<vectorstore::FAISS::TextEmbedding> pairs;
  std::vector<Value> metadatas;
  for (const auto& [text, metadata] : documents) {
    pairs.emplace_back(text, model->embed_query(text));
    metadatas.push_back(metadata);
  }
  return std::make_shared<vectorstore::FAISS>(
      vectorstore::FAISS::from_embeddings(pairs, model, metadatas));
}

TEST(PromptTemplate, FillsPlaceholdersAndKeepsOtherBraces) {
  const PromptTemplate prompt(
      "F={fields} L={labels} E={examples} R={record} again {record}; {{record}} "
      "{\"类别\": \"x\"} {} { record} {",
      "t.txt");
  EXPECT_EQ(prompt.render({"a, b", "la", "ex", "rec"}),
            "F=a, b L=la E=ex R=rec again rec; {record} {\"类别\": \"x\"} {} { record} {");
  expect_error<ValueError>([] { PromptTemplate("问题：{question}", "my.txt"); },
                           "prompt template my.txt has the unknown placeholder {question}; the "
                           "known ones are {fields}, {labels}, {label_lists}, {nearest_labels}, "
                           "{examples} and {record} (write {{ and }} for braces)");
  EXPECT_THROW(PromptTemplate("{记录}", "my.txt"), ValueError);
  for (const char* without_record : {"", "标注 {fields}: {labels}", "{{record}}"}) {
    expect_error<ValueError>(
        [&] { PromptTemplate(without_record, "my.txt"); },
        "prompt template my.txt has no {record} placeholder: every record would get the same "
        "prompt");
  }
}

TEST(PromptTemplate, IsReadFromARegularFileOfUtf8Text) {
  const tavrin::testing::TempDir dir;
  std::ofstream(dir / "t.txt", std::ios::binary) << "标注：{record}";
  EXPECT_EQ(read_prompt_template(dir / "t.txt").render({"", "", "", "记录"}), "标注：记录");
  expect_error<ValueError>(
      [&] { read_prompt_template(dir.path().string()); },
      "prompt template \"" + dir.path().string() + "\" is not a readable regular file");
  expect_error<ValueError>([] { PromptTemplate("标注\xff{record}", "t.txt"); },
                           "prompt template t.txt is not valid UTF-8 (byte 6)");
}

TEST(Prompter, ThePromptHoldsTheLabelsTheExamplesAndTheRecord) {
  const auto train = store_of({{"屏幕碎了能修吗", {{"类别", "售后服务"}, {"优先级", "高"}}},
                               {"什么时候发货", {{"类别", "物流配送"}, {"优先级", "中"}}},
                               {"屏幕碎了怎么修", {{"类别", "售后服务"}, {"优先级", "中"}}}});
  PromptSettings settings;
  settings.fields = {"类别", "优先级"};
  settings.labels = {{"类别", {"售后服务", "物流配送"}}, {"优先级", {"高", "中", 3}}};
  settings.examples = 1;
  const Prompter prompter(settings, train, {});
  EXPECT_EQ(prompter.prompt_for("屏幕碎了能修吗？", Value()),
            "你是数据标注助手。请阅读下面的记录，为每个字段从允许的标签中选出一个。\n"
            "需要标注的字段：类别, 优先级\n"
            "允许的标签：\n"
            "- 类别: 售后服务、物流配送\n"
            "- 优先级: 高、中、3\n"
            "参考示例：\n"
            "示例 1：屏幕碎了能修吗\n"
            "答案：{\"类别\":\"售后服务\",\"优先级\":\"高\"}\n"
            "待标注的记录：屏幕碎了能修吗？\n"
            "只输出一个 JSON 对象，键为 类别, 优先级，值为所选标签，不要输出其他内容。");
}

TEST(Prompter, ARecordIsNeverItsOwnExample) {
  const auto train = store_of({{"屏幕碎了能修吗", {{"类别", "售后服务"}}},
                               {"屏幕碎了怎么修", {{"类别", "售后服务"}}},
                               {"什么时候发货", {{"类别", "物流配送"}}}});
  PromptSettings settings;
  settings.fields = {"类别"};
  settings.labels = {{"类别", {"售后服务", "物流配送"}}};
  settings.examples = 2;
  const Prompter prompter(settings, train, {});
  const auto texts = [](const std::vector<Example>& examples) {
    std::vector<std::string> out;
    for (const Example& e : examples) out.push_back(e.text);
    return out;
  };
  using Texts = std::vector<std::string>;
  // The training record itself: left out, the next two come.
  EXPECT_EQ(texts(prompter.examples_for("屏幕碎了能修吗", Value{{"类别", "售后服务"}})),
            (Texts{"屏幕碎了怎么修", "什么时候发货"}));
  // Same text, other labels (or none known): another record, so it is an example.
  EXPECT_EQ(texts(prompter.examples_for("屏幕碎了能修吗", Value{{"类别", "物流配送"}})),
            (Texts{"屏幕碎了能修吗", "屏幕碎了怎么修"}));
  EXPECT_EQ(texts(prompter.examples_for("屏幕碎了能修吗", Value())),
            (Texts{"屏幕碎了能修吗", "屏幕碎了怎么修"}));
  EXPECT_EQ(prompter.examples_for("x", Value())[0].labels, (Value{{"类别", "售后服务"}}));
}

TEST(Prompter, ALongLabelListShowsTheLabelsNearestTheRecord) {
  PromptSettings settings;
  settings.fields = {"产品"};
  settings.labels = {{"产品", {"路由器", "手机", "蓝牙耳机", "平板电脑"}}};
  settings.examples = 0;
  settings.max_labels = 2;
  const StoreMap stores = {{"产品", store_of({{"路由器", Value::object()},
                                              {"手机", Value::object()},
                                              {"蓝牙耳机", Value::object()},
                                              {"平板电脑", Value::object()}})}};
  const Prompter prompter(settings, nullptr, stores);
  EXPECT_EQ(prompter.labels_for("产品", "我的蓝牙耳机连不上手机"),
            (std::vector<std::string>{"蓝牙耳机", "手机"}));
  settings.max_labels = 4;
  EXPECT_EQ(Prompter(settings, nullptr, {}).labels_for("产品", "耳机"),
            (std::vector<std::string>{"路由器", "手机", "蓝牙耳机", "平板电脑"}));
  EXPECT_NE(
      Prompter(settings, nullptr, {}).prompt_for("耳机", Value()).find("参考示例：\n（无）\n"),
      std::string::npos);
}

// Hashing, counting the texts it embeds as queries.
class CountingModel : public vectorstore::HashingEmbeddings {
 public:
  explicit CountingModel(std::string identity) : identity_(std::move(identity)) {}
  std::vector<float> embed_query(const std::string& text) override {
    ++queries;
    return HashingEmbeddings::embed_query(text);
  }
  std::string identity() const override { return identity_; }
  int queries = 0;

 private:
  std::string identity_;
};

std::shared_ptr<const vectorstore::FAISS> store_with(
    const std::vector<std::string>& texts, const std::shared_ptr<vectorstore::Embeddings>& model) {
  std::vector<vectorstore::FAISS::TextEmbedding> pairs;
  for (const std::string& text : texts) pairs.emplace_back(text, model->embed_query(text));
  return std::make_shared<vectorstore::FAISS>(vectorstore::FAISS::from_embeddings(
      pairs, model, std::vector<Value>(texts.size(), Value{{"产品", texts[0]}})));
}

TEST(Prompter, ARecordIsEmbeddedOncePerModelForAllItsSearches) {
  const auto shared = std::make_shared<CountingModel>("hashing-fnv1a/256");
  const auto twin = std::make_shared<CountingModel>("hashing-fnv1a/256");  // same vectors
  const auto other = std::make_shared<CountingModel>("");                  // unknown identity
  const std::vector<std::string> products = {"路由器", "手机", "蓝牙耳机", "平板电脑"};
  PromptSettings settings;
  settings.fields = {"产品", "配件", "型号"};
  settings.labels = {{"产品", products}, {"配件", products}, {"型号", products}};
  settings.examples = 2;
  settings.max_labels = 2;
  const StoreMap stores = {{"产品", store_with(products, shared)},
                           {"配件", store_with(products, twin)},
                           {"型号", store_with(products, other)}};
  const Prompter prompter(settings, store_with({"耳机没声音", "手机坏了"}, shared), stores);
  shared->queries = twin->queries = other->queries = 0;
  const std::string prompt = prompter.prompt_for("我的蓝牙耳机连不上手机", Value());
  EXPECT_EQ(shared->queries + twin->queries, 1);
  EXPECT_EQ(other->queries, 1);
  EXPECT_NE(prompt.find("- 配件: 蓝牙耳机、手机\n"), std::string::npos) << prompt;
}

// Forwards to a store, hiding that it is a FAISS store.
class OpaqueStore : public vectorstore::VectorStore {
 public:
  explicit OpaqueStore(std::shared_ptr<const VectorStore> store) : store_(std::move(store)) {}
  std::vector<vectorstore::ScoredDocument> similarity_search_with_score(
      const Value& query, std::size_t topk) const override {
    return store_->similarity_search_with_score(query, topk);
  }

 private:
  std::shared_ptr<const VectorStore> store_;
};

TEST(Prompter, TheFastSearchOfAFaissStoreGivesTheStoresOwnPrompts) {
  std::vector<std::pair<std::string, Value>> documents;
  const std::vector<std::string> words = {"屏幕", "电池", "快递", "退款", "发票", "耳机", "坏了"};
  for (std::size_t i = 0; i < 300; ++i) {
    // Few distinct texts, so that many documents tie and only their position orders them.
    documents.push_back(
        {words[i % 7] + words[i * 3 % 7] + words[i / 50], {{"类别", words[i % 5]}, {"n", i}}});
  }
  const auto train = store_of(documents);
  PromptSettings settings;
  settings.fields = {"类别", "n"};
  settings.labels = {{"类别", words}, {"n", {0, 1}}};
  settings.examples = 6;
  const Prompter fast(settings, train, {});
  const Prompter plain(settings, std::make_shared<OpaqueStore>(train), {});
  std::vector<std::string> texts, prompts;
  std::vector<Value> golds;
  for (std::size_t i = 0; i < 50; ++i) {
    texts.push_back(words[i % 7] + words[(i + 2) % 7]);
    golds.push_back(Value{{"类别", words[i % 5]}});
    prompts.push_back(plain.prompt_for(texts.back(), golds.back()));
    EXPECT_EQ(fast.prompt_for(texts.back(), golds.back()), prompts.back());
  }
  // All at once: one scan for the lot, the same prompts.
  EXPECT_EQ(fast.prompts_for(texts, golds), prompts);
  EXPECT_EQ(plain.prompts_for(texts, golds), prompts);
  expect_error<ValueError>([&] { fast.prompts_for(texts, {}); },
                           "prompts_for has 50 texts and 0 gold values");
}

// The notes of a labels file as the prompt shows them: a described field one label a line, the
// rest compact, instructions and multi-label fields said in the template's language.
TEST(Prompter, LabelsShowTheirDescriptionsAndFieldsTheirInstructions) {
  const LabelFile file = parse_label_file(
      R"({"topic": {"labels": {"billing": "invoices and refunds", "login": ""},
                    "instruction": "the main subject"},
          "tags": {"labels": ["bug", "ui"], "multi_label": true},
          "size": ["S", "M"]})",
      "labels.json");
  struct Case {
    PromptLanguage language;
    std::string labels;
    std::string no_examples;
  };
  const Case cases[] = {
      {PromptLanguage::en,
       "- topic (the main subject):\n"
       "  - billing: invoices and refunds\n"
       "  - login\n"
       "- tags (several labels may apply: answer with a JSON array of labels): bug, ui\n"
       "- size: S, M\n",
       "(none)\n"},
      {PromptLanguage::zh,
       "- topic（the main subject）:\n"
       "  - billing: invoices and refunds\n"
       "  - login\n"
       "- tags（可多选，答案为所选标签的 JSON 数组）: bug、ui\n"
       "- size: S、M\n",
       "（无）\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(language_name(c.language));
    PromptSettings settings;
    settings.fields = {"topic", "tags", "size"};
    settings.labels = file.labels;
    settings.notes = file.notes;
    settings.examples = 0;
    settings.language = c.language;
    settings.prompt_template = PromptTemplate("{labels}|{examples}|{fields}|{record}", "t.txt");
    const Prompter prompter(settings, nullptr, {});
    EXPECT_EQ(prompter.prompt_for("r", Value()),
              c.labels + "|" + c.no_examples + "|topic, tags, size|r");
  }
}

TEST(Prompter, ANarrowedListShowsTheDescriptionsOfTheLabelsItShows) {
  PromptSettings settings;
  settings.fields = {"product"};
  settings.labels = {{"product", {"router", "phone", "earbuds", "tablet"}}};
  settings.notes["product"].descriptions = {{"earbuds", "wireless in-ear audio"},
                                            {"router", "home network boxes"}};
  settings.examples = 0;
  settings.max_labels = 2;
  settings.language = PromptLanguage::en;
  const StoreMap stores = {{"product", store_of({{"router", Value::object()},
                                                 {"phone", Value::object()},
                                                 {"earbuds", Value::object()},
                                                 {"tablet", Value::object()}})}};
  const Prompter prompter(settings, nullptr, stores);
  const std::string prompt = prompter.prompt_for("my earbuds lost the phone", Value());
  EXPECT_NE(prompt.find("- product:\n  - earbuds: wireless in-ear audio\n  - phone\n"),
            std::string::npos)
      << prompt;
  EXPECT_EQ(prompt.find("router"), std::string::npos) << "a label not shown, nor its text";
}

// Endpoints cache a prompt's beginning: everything before the first thing that differs from
// record to record must be the same text for every record.
TEST(Prompter, TheDefaultPromptsShareEverythingBeforeWhatDiffersPerRecord) {
  PromptSettings settings;
  settings.fields = {"product", "priority"};
  settings.labels = {{"product", {"router", "phone", "earbuds", "tablet"}},
                     {"priority", {"high", "low"}}};
  settings.notes["product"].instruction = "what the customer owns";
  settings.notes["product"].descriptions = {{"earbuds", "in-ear audio"}};
  settings.max_labels = 2;
  settings.examples = 1;
  settings.language = PromptLanguage::en;
  const StoreMap stores = {{"product", store_of({{"router", Value::object()},
                                                 {"phone", Value::object()},
                                                 {"earbuds", Value::object()},
                                                 {"tablet", Value::object()}})}};
  const auto train = store_of({{"my router blinks", {{"product", "router"}, {"priority", "low"}}},
                               {"earbuds are silent", {{"product", "earbuds"}}}});
  const Prompter prompter(settings, train, stores);
  const std::vector<std::string> prompts =
      prompter.prompts_for({"my earbuds lost the phone", "the router reboots"}, {Value(), Value()});
  const std::string shared =
      "You are a data labelling assistant. Read the record below and, for each field, choose "
      "one of its allowed labels.\n"
      "Fields to label: product, priority\n"
      "Allowed labels:\n"
      "- product (what the customer owns): see \"Labels nearest this record\" below\n"
      "- priority: high, low\n"
      "Examples:\n";
  for (const std::string& prompt : prompts) EXPECT_EQ(prompt.substr(0, shared.size()), shared);
  EXPECT_NE(prompts[0].find("Labels nearest this record:\n- product:\n  - earbuds: in-ear audio\n"
                            "  - phone\nRecord to label: my earbuds lost the phone\n"),
            std::string::npos)
      << prompts[0];
  // {labels} in a template of the user's own is every field's list where it stands.
  settings.prompt_template = PromptTemplate("{labels}{record}", "t.txt");
  EXPECT_EQ(Prompter(settings, train, stores).prompt_for("my earbuds lost the phone", Value()),
            "- product (what the customer owns):\n  - earbuds: in-ear audio\n  - phone\n"
            "- priority: high, low\nmy earbuds lost the phone");
}

TEST(Prompter, TheEnglishDefaultTemplateWritesItsExamplesInEnglish) {
  const auto train = store_of({{"the screen cracked", {{"category", "repair"}}},
                               {"when will it ship", {{"category", "shipping"}}}});
  PromptSettings settings;
  settings.fields = {"category"};
  settings.labels = {{"category", {"repair", "shipping"}}};
  settings.examples = 1;
  settings.language = PromptLanguage::en;
  EXPECT_EQ(Prompter(settings, train, {}).prompt_for("my screen cracked", Value()),
            "You are a data labelling assistant. Read the record below and, for each field, "
            "choose one of its allowed labels.\n"
            "Fields to label: category\n"
            "Allowed labels:\n"
            "- category: repair, shipping\n"
            "Examples:\n"
            "Example 1: the screen cracked\n"
            "Answer: {\"category\":\"repair\"}\n"
            "Record to label: my screen cracked\n"
            "Output only one JSON object whose keys are category and whose values are the "
            "chosen labels, and nothing else.");
  // A template of the user's own is kept whatever the language.
  settings.prompt_template = PromptTemplate("{record}", "t.txt");
  EXPECT_EQ(Prompter(settings, train, {}).prompt_for("x", Value()), "x");
  EXPECT_EQ(PromptTemplate::default_for(PromptLanguage::zh).text(), PromptTemplate().text());
}

TEST(PromptLanguage, ChineseWhenTheLabelsOrTheFirstTextsHoldHanCharacters) {
  const LabelFile english = parse_label_file(R"({"c": {"billing": "refunds"}})", "l");
  const LabelFile described_in_chinese = parse_label_file(R"({"c": {"billing": "退款"}})", "l");
  const LabelFile instructed_in_chinese =
      parse_label_file(R"({"c": {"labels": ["a"], "instruction": "选一个"}})", "l");
  const LabelFile chinese_labels = parse_label_file(R"({"c": ["售后", "物流"]})", "l");
  struct Case {
    const LabelFile& labels;
    std::vector<std::string> texts;
    PromptLanguage expected;
  };
  const Case cases[] = {
      {english, {}, PromptLanguage::en},
      {english, {"my phone broke", "refund please"}, PromptLanguage::en},
      {english, {"my phone broke", "手机坏了"}, PromptLanguage::zh},
      {english, {"\xF0\xA0\x80\x80"}, PromptLanguage::zh},          // U+20000, extension B
      {english, {"こんにちは", "안녕하세요"}, PromptLanguage::en},  // kana and hangul: no Han
      {english, {"caf\xC3\xA9 \xE2\x80\x94 na\xC3\xAFve"}, PromptLanguage::en},
      {english, {"bad \xE4\xB8", "\xFF"}, PromptLanguage::en},  // cut or bad UTF-8
      {described_in_chinese, {"hello"}, PromptLanguage::zh},
      {instructed_in_chinese, {}, PromptLanguage::zh},
      {chinese_labels, {"hello"}, PromptLanguage::zh},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(detect_prompt_language(cases[i].labels, cases[i].texts), cases[i].expected);
  }
  // From the first records of a table: the text cells of the text fields it has.
  const frame::DataFrame records(
      Value{{"id", {1, 2}}, {"subject", {"hello", Value()}}, {"note", {"手机坏了", "x"}}});
  EXPECT_EQ(detect_prompt_language(english, records, {"subject", "missing"}), PromptLanguage::en);
  EXPECT_EQ(detect_prompt_language(english, records, {"subject", "note"}), PromptLanguage::zh);
  EXPECT_EQ(parse_prompt_language("en", "--prompt-language"), PromptLanguage::en);
  EXPECT_EQ(parse_prompt_language("zh", "--prompt-language"), PromptLanguage::zh);
  expect_error<ValueError>([] { parse_prompt_language("EN", "--prompt-language"); },
                           "--prompt-language must be zh or en, not 'EN'");
}

TEST(Prompter, SettingsThatCannotWorkAreRefusedBeforeAnyPrompt) {
  PromptSettings settings;
  settings.fields = {"类别"};
  settings.labels = {{"类别", "售后服务"}};
  settings.examples = 0;
  expect_error<ValueError>([&] { Prompter(settings, nullptr, {}); },
                           "labels has no list of allowed labels for field '类别'");
  settings.labels = {{"类别", {"a", "b"}}};
  settings.max_labels = 1;
  expect_error<ValueError>(
      [&] { Prompter(settings, nullptr, {}); },
      "field '类别' has more than 1 labels and no store to pick the nearest of them");
  settings.max_labels = 2;
  settings.examples = 1;
  expect_error<ValueError>([&] { Prompter(settings, nullptr, {}); },
                           "examples are asked for but there is no training store");
}

}  // namespace
}  // namespace tavrin::labeling
