// The settings that shape the lines of a results file, recorded beside it (its name plus
// ".run.json"), so that a job resumed with other settings is refused instead of mixing two
// kinds of lines in one file.
//
//   Value run = run_settings(prompter, field_stores, settings);
//   // {"target_fields":["类别"],"text_fields":["question"],"id_column":"id","model":{...},
//   //  "template":"…","template_sha256":"…","labels_sha256":"…","min_score":null,...}
//   require_same_run_settings("results.jsonl", run);  // ValueError naming each difference
//   write_run_settings("results.jsonl", run);         // results.jsonl.run.json
#pragma once

#include <string>

#include "tavrin/core/value.hpp"
#include "tavrin/labeling/job.hpp"
#include "tavrin/labeling/prompt.hpp"

namespace tavrin::labeling {

/// Where the settings of the results file `out_path` are recorded: `out_path` + ".run.json".
std::string run_settings_path(const std::string& out_path);

/// The settings of a job that shape its result lines: the target and text fields (and the
/// characters a text is cut to), the id
/// column, `settings.model` (what answers), the template with its SHA-256, the SHA-256 of the
/// allowed labels, the examples and label counts of a prompt, the identities of the embedding
/// models of the stores searched, `min_score` and the shard.
Value run_settings(const Prompter& prompter, const StoreMap& field_stores,
                   const JobSettings& settings);

/// Throws unless the results file `out_path` may take lines made with the settings `run`: when
/// it holds lines and a record of its settings is beside it, each setting recorded in both must
/// be equal. ValueError naming the files and each difference ("min_score: 0.3 in
/// 'r.jsonl.run.json', null now"), or saying that the record is no JSON object;
/// filesystem_error when it cannot be read. A results file without a record (written before
/// records were kept) may take any.
void require_same_run_settings(const std::string& out_path, const Value& run);

/// Records `run` beside the results file `out_path`, atomically; filesystem_error on failure.
void write_run_settings(const std::string& out_path, const Value& run);

/// Adds `name`: `value` to the record beside the results file `out_path`, atomically: a note
/// about how the run went, which require_same_run_settings does not compare (run_settings holds
/// no such key). Nothing when there is no record that is a JSON object; filesystem_error when
/// it cannot be read or written.
void add_run_note(const std::string& out_path, const std::string& name, const Value& value);

/// The value of `name` in the record beside the results file `out_path`; null when there is no
/// record, it is no JSON object or lacks the name. filesystem_error when it cannot be read.
Value run_note(const std::string& out_path, const std::string& name);

}  // namespace tavrin::labeling
