#include "tavrin/vectorstore/internal/sidecar.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <memory>
#include <span>
#include <string_view>
#include <utility>

#include "tavrin/core/check.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/append.hpp"
#include "tavrin/core/internal/source_text.hpp"
#include "tavrin/core/internal/utf8.hpp"
#include "tavrin/core/internal/value_limits.hpp"
#include "tavrin/vectorstore/internal/json_reader.hpp"

namespace tavrin::vectorstore::internal {

namespace fs = std::filesystem;

namespace {

constexpr char kFormatName[] = "tavrin.faiss";
constexpr std::int64_t kLatestVersion = 2;
constexpr std::int64_t kMaxDimension = 1 << 16;
// Metadata may nest as deeply as json_loads reads; the file adds three levels around it (the
// file's object, the documents array, the document).
constexpr std::size_t kMaxMetadataDepth = tavrin::core::internal::kMaxValueDepth;
constexpr int kMaxJsonDepth = static_cast<int>(kMaxMetadataDepth) + 3;
// The shortest document the writer can write: {"page_content":"","metadata":{}}.
constexpr std::size_t kShortestDocument = 33;

// The members of index.json, in the order the writer puts them, for each version. Version 2
// adds "checksum", which the writer puts last: the fingerprint of every byte before it.
constexpr std::array<std::string_view, 7> kVersion1Fields = {
    "format", "version", "distance_strategy", "dimension", "index_checksum", "count", "documents"};
constexpr std::array<std::string_view, 9> kVersion2Fields = {
    "format",         "version", "distance_strategy", "embeddings", "dimension",
    "index_checksum", "count",   "documents",         "checksum"};

std::span<const std::string_view> fields_of(std::int64_t version) {
  if (version == 1) return kVersion1Fields;
  return kVersion2Fields;
}

bool is_field_of_some_version(std::string_view name) {
  return std::find(kVersion1Fields.begin(), kVersion1Fields.end(), name) != kVersion1Fields.end() ||
         std::find(kVersion2Fields.begin(), kVersion2Fields.end(), name) != kVersion2Fields.end();
}

std::string json_fault_text(const JsonError& e) {
  const std::string byte = std::to_string(e.byte);
  switch (e.fault) {
    case JsonFault::kSyntax:
      return "is not valid JSON (byte " + byte + ")";
    case JsonFault::kNotUtf8:
      return "is not valid UTF-8 (byte " + byte + ")";
    case JsonFault::kIntegerBeyond64Bits:
      return "holds an integer beyond 64 bits at byte " + byte;
    case JsonFault::kNumberBeyondDouble:
      return "holds a number outside the range of a double at byte " + byte;
    case JsonFault::kTooDeep:
      break;
  }
  return "nests deeper than " + std::to_string(kMaxJsonDepth) + " levels";
}

// What follows the documents in a version 2 file, to its end.
std::string checksum_member(const std::string& hex) { return ",\"checksum\":\"" + hex + "\"}"; }

const char* distance_strategy_name(DistanceStrategy strategy) {
  switch (strategy) {
    case DistanceStrategy::COSINE:
      return "COSINE";
  }
  throw ValueError("unknown distance strategy " + std::to_string(static_cast<int>(strategy)));
}

// Why `v`, an array or object at nesting level `depth` when it is one, cannot be written as
// JSON and read back equal, or nullptr when it can.
const char* unstorable_reason(const Value& v, std::size_t depth = 1) {
  static const std::string too_deep =
      "arrays and objects nested more than " + std::to_string(kMaxMetadataDepth) + " deep";
  if (v.is_structured() && depth > kMaxMetadataDepth) return too_deep.c_str();
  switch (v.type()) {
    case Value::value_t::binary:
      return "binary data";
    case Value::value_t::number_float:
      return std::isfinite(v.get<double>()) ? nullptr : "a non-finite number";
    case Value::value_t::string:
      return tavrin::internal::is_valid_utf8(v.get_ref<const std::string&>())
                 ? nullptr
                 : "text that is not UTF-8";
    case Value::value_t::object:
      for (const auto& [key, item] : v.items()) {
        if (!tavrin::internal::is_valid_utf8(key)) return "a key that is not UTF-8";
        if (const char* reason = unstorable_reason(item, depth + 1)) return reason;
      }
      return nullptr;
    case Value::value_t::array:
      for (const Value& item : v) {
        if (const char* reason = unstorable_reason(item, depth + 1)) return reason;
      }
      return nullptr;
    default:
      return nullptr;
  }
}

// index.json is written by this writer, not by Value::dump(): on the 200,000 metadata mappings
// of bench/stores (14.7 MB of JSON), dump() per document takes 0.097 s against 0.057 s here
// (best of 7), 0.04 s more on a save of 0.2 s whose goal is 1.3 times the disk's time. The
// serialiser that dump() uses would be as fast, but it is not part of nlohmann's public API.

// Appends `s` (valid UTF-8) as a JSON string; runs that need no escape are copied whole.
void append_json_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  const auto plain = [](char c) {
    return c != '"' && c != '\\' && static_cast<unsigned char>(c) >= 0x20;
  };
  out += '"';
  std::size_t i = 0;
  while (i < s.size()) {
    std::size_t run = i;
    while (run < s.size() && plain(s[run])) ++run;
    out.append(s, i, run - i);
    if (run == s.size()) break;
    const auto byte = static_cast<unsigned char>(s[run]);
    if (byte == '"' || byte == '\\') {
      out += '\\';
      out += s[run];
    } else if (byte == '\n') {
      out += "\\n";
    } else {
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    }
    i = run + 1;
  }
  out += '"';
}

// Appends `v`, already checked by check_storable, as JSON that reads back equal: a float
// always shows a point or an exponent, so it stays a float.
void append_json(std::string& out, const Value& v) {
  switch (v.type()) {
    case Value::value_t::null:
      out += "null";
      return;
    case Value::value_t::boolean:
      out += v.get<bool>() ? "true" : "false";
      return;
    case Value::value_t::number_integer:
      tavrin::internal::append_chars(out, v.get<std::int64_t>());
      return;
    case Value::value_t::number_unsigned:
      tavrin::internal::append_chars(out, v.get<std::uint64_t>());
      return;
    case Value::value_t::number_float: {
      const std::size_t start = out.size();
      tavrin::internal::append_chars(out, v.get<double>());
      if (out.find_first_of(".e", start) == std::string::npos) out += ".0";
      return;
    }
    case Value::value_t::string:
      append_json_string(out, v.get_ref<const std::string&>());
      return;
    case Value::value_t::array: {
      out += '[';
      for (std::size_t i = 0; i < v.size(); ++i) {
        if (i > 0) out += ',';
        append_json(out, v[i]);
      }
      out += ']';
      return;
    }
    case Value::value_t::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, item] : v.items()) {
        if (!first) out += ',';
        first = false;
        append_json_string(out, key);
        out += ':';
        append_json(out, item);
      }
      out += '}';
      return;
    }
    case Value::value_t::binary:
    case Value::value_t::discarded:
      break;
  }
  throw ValueError("cannot save a value of kind " + std::string(kind_name(v)));
}

// Whether the object `v` holds a key twice. The writer never writes one, and a reader that kept
// either value would answer something that was not saved.
bool repeats_a_key(const Value& v) {
  constexpr std::size_t kPairwiseLimit = 16;
  const auto& members =
      static_cast<const Value::object_t::Container&>(v.get_ref<const Value::object_t&>());
  if (members.size() <= kPairwiseLimit) {
    for (std::size_t i = 0; i < members.size(); ++i) {
      for (std::size_t j = i + 1; j < members.size(); ++j) {
        if (members[i].first == members[j].first) return true;
      }
    }
    return false;
  }
  std::vector<std::string_view> keys;
  keys.reserve(members.size());
  for (const auto& member : members) keys.emplace_back(member.first);
  std::sort(keys.begin(), keys.end());
  return std::adjacent_find(keys.begin(), keys.end()) != keys.end();
}

// Builds one metadata mapping in place from the parser's events.
class MetadataBuilder {
 public:
  void start(Value& root) {
    // Value::object() would go through the initializer-list constructor, a few hundred
    // instructions a document.
    root = Value(Value::value_t::object);
    // The documents of a store mostly share one shape: room for as many members as the last
    // one had saves growing the members one at a time, which copies their keys.
    members_of(root).reserve(last_root_members_);
    open_.assign(1, &root);
  }
  bool done() const { return open_.empty(); }

  void put(Value&& v) { place(std::move(v)); }
  void open(Value&& container) { open_.push_back(place(std::move(container))); }
  void key(std::string_view k) {
    auto& members = members_of(*open_.back());
    // Appended without a look-up, which would make a wide object quadratic; repeated keys are
    // found when it closes.
    members.emplace_back(std::string(k), nullptr);
    slot_ = &members.back().second;
  }
  /// Closes the innermost open container and answers it.
  const Value& close() {
    const Value* closed = open_.back();
    open_.pop_back();
    if (open_.empty()) last_root_members_ = closed->size();
    return *closed;
  }

 private:
  static Value::object_t::Container& members_of(Value& object) {
    return static_cast<Value::object_t::Container&>(object.get_ref<Value::object_t&>());
  }

  // Stores `v` where the innermost open container takes its next value. Pointers into a
  // container stay valid while it is open: only the innermost one grows.
  Value* place(Value&& v) {
    Value& container = *open_.back();
    if (container.is_array()) {
      auto& elements = container.get_ref<Value::array_t&>();
      elements.push_back(std::move(v));
      return &elements.back();
    }
    *slot_ = std::move(v);
    return slot_;
  }

  std::vector<Value*> open_;
  Value* slot_ = nullptr;  // in an object, where the value of the last key goes
  std::size_t last_root_members_ = 0;
};

// Reads index.json from read_json's events, filling the documents directly, so the file is
// never held as a generic tree and the time grows with its size alone. Header members are
// scalars; each document is an object of exactly page_content (text) and metadata (an object).
// Anything else is a ValueError naming the file, at the event that shows it.
class SidecarHandler {
 public:
  SidecarHandler(const fs::path& path, std::size_t text_size)
      : path_(path), text_size_(text_size) {}

  void null() { scalar(Value(nullptr)); }
  void boolean(bool b) { scalar(Value(b)); }
  void number_integer(std::int64_t n) { scalar(Value(n)); }
  void number_unsigned(std::uint64_t n) { scalar(Value(n)); }
  void number_float(double d) { scalar(Value(d)); }
  void string(std::string_view s) {
    if (state_ == State::kDocument && member_ == Member::kPageContent) {
      documents_.back().page_content = std::string(s);
    } else {
      scalar(Value(std::string(s)));
    }
  }

  void start_object() {
    switch (state_) {
      case State::kRoot:
        state_ = State::kMembers;
        break;
      case State::kMembers:
        bad_member();
      case State::kDocuments:
        documents_.emplace_back();
        state_ = State::kDocument;
        member_ = Member::kNone;
        has_content_ = has_metadata_ = false;
        break;
      case State::kDocument:
        if (member_ != Member::kMetadata) bad_document();
        metadata_.start(documents_.back().metadata);
        state_ = State::kMetadata;
        break;
      case State::kMetadata:
        metadata_.open(Value(Value::value_t::object));
        break;
    }
  }

  void start_array() {
    switch (state_) {
      case State::kRoot:
        corrupt("is not a JSON object");
      case State::kMembers:
        if (field_ != "documents") bad_member();
        reserve_documents();
        state_ = State::kDocuments;
        break;
      case State::kDocuments:
      case State::kDocument:
        bad_document();
      case State::kMetadata:
        metadata_.open(Value(Value::value_t::array));
        break;
    }
  }

  void end_object() {
    switch (state_) {
      case State::kMembers:
        state_ = State::kRoot;  // the parser refuses anything after the root
        break;
      case State::kDocument:
        if (!has_content_ || !has_metadata_) bad_document();
        state_ = State::kDocuments;
        break;
      case State::kMetadata:
        if (repeats_a_key(metadata_.close())) bad_document("its metadata repeats a key");
        if (metadata_.done()) state_ = State::kDocument;
        break;
      case State::kRoot:
      case State::kDocuments:
        break;  // the reader pairs every close with its open
    }
  }

  void end_array() {
    if (state_ == State::kDocuments) {
      state_ = State::kMembers;
    } else {
      metadata_.close();
    }
  }

  void key(std::string_view k) {
    switch (state_) {
      case State::kMembers:
        if (!is_field_of_some_version(k)) {
          corrupt("has an unexpected field " + core::internal::quote(k, 0, k.size()));
        }
        if (has_field(k)) corrupt("has the field " + std::string(k) + " twice");
        field_ = k;
        if (k == "documents") has_documents_ = true;
        break;
      case State::kDocument:
        if (k == "page_content" && !has_content_) {
          member_ = Member::kPageContent;
          has_content_ = true;
        } else if (k == "metadata" && !has_metadata_) {
          member_ = Member::kMetadata;
          has_metadata_ = true;
        } else {
          bad_document();
        }
        break;
      case State::kMetadata:
        metadata_.key(k);
        break;
      case State::kRoot:
      case State::kDocuments:
        break;  // the reader gives keys inside objects only
    }
  }

  /// The checked contents, once the parser has read all of `text` (the whole file).
  Sidecar finish(std::string_view text) {
    expect(field("format") == kFormatName, "is not a tavrin FAISS store");
    const Value& version = field("version");
    expect(version.is_number_integer() && version.get<std::int64_t>() >= 1 &&
               version.get<std::int64_t>() <= kLatestVersion,
           "has an unsupported version");
    Sidecar sidecar;
    sidecar.header.version = version.get<std::int64_t>();
    const auto expected = fields_of(sidecar.header.version);
    for (std::string_view name : expected) {
      expect(has_field(name), "lacks the field " + std::string(name));
    }
    for (const auto& [name, value] : fields_.items()) {
      expect(std::find(expected.begin(), expected.end(), name) != expected.end(),
             "has the field " + name + ", which version " + std::to_string(sidecar.header.version) +
                 " does not have");
    }
    expect(field("distance_strategy") == "COSINE", "has an unknown distance_strategy");
    sidecar.header.distance_strategy = DistanceStrategy::COSINE;
    sidecar.header.dimension = bounded_integer("dimension", kMaxDimension);
    sidecar.header.index_checksum = checksum("index_checksum");
    const std::size_t count = bounded_integer("count", INT64_MAX);
    expect(count == documents_.size(), "has a count that differs from its number of documents");
    expect(count == 0 || sidecar.header.dimension > 0, "has documents but dimension 0");
    if (sidecar.header.version >= 2) {
      const Value& identity = field("embeddings");
      expect(identity.is_string(), "has an embeddings field that is not text");
      sidecar.header.embeddings = identity.get<std::string>();
      const std::string recorded = fingerprint_hex(checksum("checksum"));
      const std::string tail = checksum_member(recorded);
      bool intact = text.ends_with(tail);
      if (intact) {
        Fingerprint fingerprint;
        fingerprint.add(text.data(), text.size() - tail.size());
        intact = fingerprint.hex() == recorded;
      }
      expect(intact, "does not match its checksum: it was changed or damaged after it was saved");
    }
    sidecar.documents = std::move(documents_);
    return sidecar;
  }

  [[noreturn]] void corrupt(const std::string& what) const { fail_store_file(path_, what); }

 private:
  enum class State { kRoot, kMembers, kDocuments, kDocument, kMetadata };
  enum class Member { kNone, kPageContent, kMetadata };

  void expect(bool ok, const std::string& what) const {
    if (!ok) corrupt(what);
  }

  [[noreturn]] void bad_member() const {
    if (field_ == "documents") corrupt("has a documents field that is not a list");
    corrupt("has a bad " + field_);
  }

  [[noreturn]] void bad_document(const std::string& detail = "") const {
    const std::size_t i = state_ == State::kDocuments ? documents_.size() : documents_.size() - 1;
    corrupt("has a bad document " + std::to_string(i) + (detail.empty() ? "" : ": " + detail));
  }

  void scalar(Value&& v) {
    switch (state_) {
      case State::kRoot:
        corrupt("is not a JSON object");
      case State::kMembers:
        if (field_ == "documents") bad_member();
        fields_.emplace(field_, std::move(v));
        break;
      case State::kDocuments:
      case State::kDocument:
        bad_document();
      case State::kMetadata:
        metadata_.put(std::move(v));
        break;
    }
  }

  // Room for the documents a count promises, within what a file of this size can hold.
  void reserve_documents() {
    const Value& count = field("count");
    if (count.is_number_unsigned()) {
      documents_.reserve(
          std::min<std::uint64_t>(count.get<std::uint64_t>(), text_size_ / kShortestDocument));
    }
  }

  bool has_field(std::string_view name) const {
    return name == "documents" ? has_documents_ : fields_.contains(name);
  }

  // The header member `name`, or null when absent.
  const Value& field(std::string_view name) const {
    static const Value kAbsent;
    const auto found = fields_.find(name);
    return found == fields_.end() ? kAbsent : *found;
  }

  std::size_t bounded_integer(const char* name, std::int64_t max) const {
    const Value& v = field(name);
    const bool ok =
        v.is_number_integer() && v.get<std::int64_t>() >= 0 && v.get<std::int64_t>() <= max;
    expect(ok, std::string("has a bad ") + name);
    return static_cast<std::size_t>(v.get<std::int64_t>());
  }

  std::uint64_t checksum(const char* name) const {
    const Value& v = field(name);
    std::uint64_t n = 0;
    const std::string* text = v.is_string() ? &v.get_ref<const std::string&>() : nullptr;
    const bool ok =
        text != nullptr && text->size() == 16 &&
        text->find_first_not_of("0123456789abcdef") == std::string::npos &&
        std::from_chars(text->data(), text->data() + text->size(), n, 16).ec == std::errc();
    expect(ok, std::string("has a bad ") + name);
    return n;
  }

  const fs::path& path_;
  std::size_t text_size_;
  State state_ = State::kRoot;
  Value fields_ = Value::object();  // the header members read so far
  std::string field_;               // the header member being read
  bool has_documents_ = false;
  std::vector<Document> documents_;
  Member member_ = Member::kNone;  // the member of the document being read
  bool has_content_ = false;
  bool has_metadata_ = false;
  MetadataBuilder metadata_;
};

}  // namespace

void check_storable(std::span<const Document> documents, std::size_t first) {
  for (std::size_t i = 0; i < documents.size(); ++i) {
    const auto fail = [&](const std::string& what) {
      throw ValueError("cannot save document " + std::to_string(first + i) + ": " + what);
    };
    if (!tavrin::internal::is_valid_utf8(documents[i].page_content)) {
      fail("its page_content is not UTF-8");
    }
    if (const char* reason = unstorable_reason(documents[i].metadata)) {
      fail(std::string("its metadata holds ") + reason);
    }
  }
}

void write_sidecar(tavrin::internal::AtomicFile& file, const SidecarHeader& header,
                   const std::vector<Document>& documents) {
  Fingerprint fingerprint;
  std::string out;
  const auto write_out = [&] {
    fingerprint.add(out.data(), out.size());
    file.write(out);
    out.clear();
  };
  const auto member = [&](const char* name) {
    out += out.empty() ? "{\"" : ",\"";
    out += name;
    out += "\":";
  };
  // In the order of kVersion2Fields.
  member("format");
  append_json_string(out, kFormatName);
  member("version");
  tavrin::internal::append_chars(out, kLatestVersion);
  member("distance_strategy");
  append_json_string(out, distance_strategy_name(header.distance_strategy));
  member("embeddings");
  append_json_string(out, header.embeddings);
  member("dimension");
  tavrin::internal::append_chars(out, header.dimension);
  member("index_checksum");
  append_json_string(out, fingerprint_hex(header.index_checksum));
  member("count");
  tavrin::internal::append_chars(out, documents.size());
  member("documents");
  out += '[';
  // One document at a time, so that the documents are never held twice in memory.
  for (std::size_t i = 0; i < documents.size(); ++i) {
    out += i == 0 ? "{\"page_content\":" : ",{\"page_content\":";
    append_json_string(out, documents[i].page_content);
    out += ",\"metadata\":";
    append_json(out, documents[i].metadata);
    out += '}';
    if (out.size() >= kWriteBlock) write_out();
  }
  out += ']';
  write_out();
  file.write(checksum_member(fingerprint.hex()));
}

Sidecar read_sidecar(const fs::path& path) {
  StoreFile file(path);
  const auto size = static_cast<std::size_t>(file.size());
  const auto text = std::make_unique_for_overwrite<char[]>(size);
  file.read(text.get(), size);
  const std::string_view view(text.get(), size);
  SidecarHandler handler(path, size);
  try {
    read_json(view, handler, kMaxJsonDepth);
  } catch (const JsonError& e) {
    handler.corrupt(json_fault_text(e));
  }
  return handler.finish(view);
}

}  // namespace tavrin::vectorstore::internal
