#include "tavrin/labeling/run_settings.hpp"

#include <gtest/gtest.h>

#include <fstream>

#include "tavrin/core/errors.hpp"
#include "tests/support/test_helpers.hpp"

namespace tavrin::labeling {
namespace {

using tavrin::testing::expect_error;
using tavrin::testing::TempDir;

TEST(RunSettings, TheTemplateAndLabelsAreKeptByTheirHashAndTheModelAsGiven) {
  PromptSettings prompt;
  prompt.fields = {"类别"};
  prompt.labels = {{"类别", {"退款", "物流"}}};
  prompt.examples = 0;
  prompt.prompt_template = PromptTemplate("{record}", "t");
  JobSettings job;
  job.text_fields = {"text"};
  job.model = {{"model", "m"}};
  job.shard = {1, 4};
  const Value run = run_settings(Prompter(prompt, nullptr, {}), {}, job);
  EXPECT_EQ(run["template"], "{record}");
  // sha256("{record}")
  EXPECT_EQ(run["template_sha256"],
            "83322846b64b16fbc19cb442b8b073fbae92f88b37f547f044026739f19cec73");
  EXPECT_EQ(run["labels_sha256"].get<std::string>().size(), 64u);
  EXPECT_EQ(run["model"], job.model);
  EXPECT_EQ(run["shard"], "1/4");
  EXPECT_TRUE(run["min_score"].is_null());
}

TEST(RunSettings, TheLanguageAndTheLabelNotesAreRecorded) {
  PromptSettings prompt;
  prompt.fields = {"c"};
  prompt.labels = {{"c", {"a", "b"}}};
  prompt.examples = 0;
  const auto settings_of = [](const PromptSettings& p) {
    return run_settings(Prompter(p, nullptr, {}), {}, JobSettings());
  };
  const Value plain = settings_of(prompt);
  EXPECT_EQ(plain["prompt_language"], "zh");
  prompt.language = PromptLanguage::en;
  const Value english = settings_of(prompt);
  EXPECT_EQ(english["prompt_language"], "en");
  EXPECT_NE(english["template"], plain["template"]) << "the default template follows";
  EXPECT_EQ(english["label_notes_sha256"], plain["label_notes_sha256"]);
  prompt.notes["c"].descriptions = {{"a", "the first"}};
  const Value described = settings_of(prompt);
  EXPECT_NE(described["label_notes_sha256"], english["label_notes_sha256"]);
  EXPECT_EQ(described["labels_sha256"], english["labels_sha256"]);
}

TEST(RunSettings, OnlyAFileHoldingLinesIsHeldToItsRecordAndOnlyToWhatBothRecord) {
  const TempDir dir;
  const std::string out = dir / "r.jsonl";
  const Value run = {{"min_score", 0.3}, {"shard", "0/1"}};
  write_run_settings(out, run);
  // No lines: nothing to mix.
  require_same_run_settings(out, {{"min_score", 0.5}});
  std::ofstream(out) << "{\"id\": 1}\n";
  require_same_run_settings(out, {{"min_score", 0.3}, {"added_later", 1}});
  expect_error<ValueError>(
      [&] {
        require_same_run_settings(out, {{"min_score", nullptr}, {"shard", "1/2"}});
      },
      "results file '" + out +
          "' was written with other settings, which a resume would mix into it: min_score: 0.3 "
          "in '" +
          out + ".run.json', null now; shard: \"0/1\" in '" + out +
          ".run.json', \"1/2\" now (use another results file)");
  std::ofstream(out + ".run.json") << "[1]";
  expect_error<ValueError>([&] { require_same_run_settings(out, run); },
                           "run settings '" + out + ".run.json' are no JSON object");
}

}  // namespace
}  // namespace tavrin::labeling
