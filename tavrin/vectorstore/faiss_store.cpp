#include "tavrin/vectorstore/faiss_store.hpp"

#include <faiss/IndexFlat.h>
#include <faiss/impl/io.h>
#include <faiss/index_io.h>
#include <malloc.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

#include "tavrin/core/check.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/append.hpp"
#include "tavrin/core/internal/atomic_file.hpp"
#include "tavrin/core/internal/utf8.hpp"
#include "tavrin/core/text.hpp"

namespace tavrin::vectorstore {

namespace fs = std::filesystem;
using idx_t = faiss::Index::idx_t;

namespace {

constexpr char kIndexFile[] = "index.faiss";
constexpr char kSidecarFile[] = "index.json";
constexpr char kFormatName[] = "tavrin.faiss";
constexpr std::int64_t kFormatVersion = 1;
constexpr std::int64_t kMaxDimension = 1 << 16;
constexpr int kMaxJsonDepth = 256;
constexpr double kUnitLengthTolerance = 1e-3;

// Layout of an exact inner-product index as FAISS writes it: fourcc "IxFI", int32 d,
// int64 ntotal, two int64 fields that FAISS fixes at 1 << 20, uint8 is_trained, int32
// metric (0: inner product), uint64 number of floats, then the floats.
constexpr std::size_t kIndexHeaderSize = 45;
constexpr std::int64_t kFaissUnusedField = 1 << 20;

std::string quoted(const fs::path& path) { return "'" + path.string() + "'"; }

// Sum of squares, in four partial sums so the compiler can vectorise; double keeps large
// components finite.
// A 64-bit fingerprint of the stored vectors. index.json records it, so that a sidecar is never
// paired with the index file of another save (the two files are renamed one after the other).
std::uint64_t fingerprint(const std::vector<std::uint8_t>& bytes) {
  constexpr std::uint64_t kPrime = 1099511628211u;
  std::uint64_t h = 14695981039346656037u;
  std::size_t i = 0;
  for (; i + sizeof(std::uint64_t) <= bytes.size(); i += sizeof(std::uint64_t)) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + i, sizeof word);
    h = (h ^ word) * kPrime;
    h ^= h >> 29;
  }
  for (; i < bytes.size(); ++i) h = (h ^ bytes[i]) * kPrime;
  return h;
}

std::string hex(std::uint64_t n) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(n));
  return text;
}

double squared_norm(const float* v, std::size_t n) {
  double partial[4] = {0, 0, 0, 0};
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    for (std::size_t lane = 0; lane < 4; ++lane) {
      partial[lane] += static_cast<double>(v[i + lane]) * v[i + lane];
    }
  }
  for (; i < n; ++i) partial[0] += static_cast<double>(v[i]) * v[i];
  return (partial[0] + partial[1]) + (partial[2] + partial[3]);
}

// Scales `v` to unit length in place (a zero vector stays zero); false when `v` holds a
// non-finite number.
bool scale_to_unit_length(float* v, std::size_t n) {
  const double squares = squared_norm(v, n);
  if (!std::isfinite(squares)) return false;
  if (squares == 0) return true;
  const double scale = 1.0 / std::sqrt(squares);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<float>(v[i] * scale);
  return true;
}

// Paces the filling of the index from the callers' vectors in steps of 64 MiB: before a step
// it prefaults that part of the index buffer in one call (far cheaper than a page fault per
// page), and after it gives the pages of the vectors freed meanwhile back to the system, so
// the vectors and their indexed copy are never both resident. Each trim walks the whole heap,
// hence the large step; the peak grows by at most one step.
class FillPacer {
 public:
  FillPacer(std::vector<std::uint8_t>& codes, std::size_t total_bytes)
      : codes_(codes), total_(total_bytes) {}

  // Call before appending to the buffer.
  void before_append() {
    if (codes_.size() < prefaulted_ || prefaulted_ >= total_) return;
    if (prefaulted_ > 0) release_freed_memory();
    const std::size_t length = std::min(kStep, total_ - prefaulted_);
    prefault(codes_.data() + prefaulted_, length);
    prefaulted_ += length;
  }

 private:
  static constexpr std::size_t kStep = 64 << 20;

  static void prefault(std::uint8_t* start, std::size_t length) {
#ifdef MADV_POPULATE_WRITE
    constexpr std::uintptr_t kPage = 4096;
    const auto begin = reinterpret_cast<std::uintptr_t>(start) & ~(kPage - 1);
    const auto end = reinterpret_cast<std::uintptr_t>(start + length);
    // Only a hint: an older kernel refuses it, and the pages then fault in one by one.
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#else
    (void)start;
    (void)length;
#endif
  }

  static void release_freed_memory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
  }

  std::vector<std::uint8_t>& codes_;
  std::size_t total_;
  std::size_t prefaulted_ = 0;
};

const char* distance_strategy_name(DistanceStrategy strategy) {
  switch (strategy) {
    case DistanceStrategy::COSINE:
      return "COSINE";
  }
  throw ValueError("unknown distance strategy " + std::to_string(static_cast<int>(strategy)));
}

// Why `v` cannot be written as JSON and read back equal, or nullptr when it can.
const char* unstorable_reason(const Value& v) {
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
        if (const char* reason = unstorable_reason(item)) return reason;
      }
      return nullptr;
    case Value::value_t::array:
      for (const Value& item : v) {
        if (const char* reason = unstorable_reason(item)) return reason;
      }
      return nullptr;
    default:
      return nullptr;
  }
}

void check_storable(const std::vector<Document>& documents) {
  for (std::size_t i = 0; i < documents.size(); ++i) {
    const std::string prefix = "cannot save document " + std::to_string(i) + ": ";
    if (!tavrin::internal::is_valid_utf8(documents[i].page_content)) {
      throw ValueError(prefix + "its page_content is not UTF-8");
    }
    if (const char* reason = unstorable_reason(documents[i].metadata)) {
      throw ValueError(prefix + "its metadata holds " + reason);
    }
  }
}

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

// Hands what faiss writes to the file that will replace the index.
class AtomicFileWriter : public faiss::IOWriter {
 public:
  explicit AtomicFileWriter(tavrin::internal::AtomicFile& file) : file_(file) {}

  size_t operator()(const void* ptr, size_t size, size_t nitems) override {
    file_.write(std::string_view(static_cast<const char*>(ptr), size * nitems));
    return nitems;
  }

 private:
  tavrin::internal::AtomicFile& file_;
};

// Streams index.json: the header fields, then one document at a time, so the documents are
// never held twice in memory.
void write_sidecar(tavrin::internal::AtomicFile& file, DistanceStrategy strategy,
                   std::size_t dimension, std::uint64_t index_checksum,
                   const std::vector<Document>& documents) {
  constexpr std::size_t kChunk = 1 << 20;
  std::string out = std::string("{\"format\":\"") + kFormatName +
                    "\",\"version\":" + std::to_string(kFormatVersion) +
                    ",\"distance_strategy\":\"" + distance_strategy_name(strategy) +
                    "\",\"dimension\":" + std::to_string(dimension) + ",\"index_checksum\":\"" +
                    hex(index_checksum) + "\",\"count\":" + std::to_string(documents.size()) +
                    ",\"documents\":[";
  for (std::size_t i = 0; i < documents.size(); ++i) {
    out += i == 0 ? "{\"page_content\":" : ",{\"page_content\":";
    append_json_string(out, documents[i].page_content);
    out += ",\"metadata\":";
    append_json(out, documents[i].metadata);
    out += '}';
    if (out.size() >= kChunk) {
      file.write(out);
      out.clear();
    }
  }
  out += "]}";
  file.write(out);
}

std::string read_whole_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ValueError("cannot read store file " + quoted(path) + ": " + std::strerror(errno));
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw ValueError("cannot read store file " + quoted(path));
  return text;
}

Value parse_sidecar(const fs::path& path) {
  const std::string text = read_whole_file(path);
  const auto limit_depth = [&](int depth, Value::parse_event_t, Value&) {
    if (depth > kMaxJsonDepth) {
      throw ValueError("store file " + quoted(path) + " nests deeper than " +
                       std::to_string(kMaxJsonDepth) + " levels");
    }
    return true;
  };
  try {
    return Value::parse(text, limit_depth);
  } catch (const Value::parse_error& e) {
    throw ValueError("store file " + quoted(path) + " is not valid JSON (byte " +
                     std::to_string(e.byte) + ")");
  }
}

// The checked contents of index.json.
struct Sidecar {
  std::size_t dimension = 0;
  std::uint64_t index_checksum = 0;
  std::vector<Document> documents;
};

class SidecarReader {
 public:
  explicit SidecarReader(const fs::path& path) : path_(path) {}

  Sidecar read() const {
    Value root = parse_sidecar(path_);
    if (!root.is_object()) corrupt("is not a JSON object");
    if (root.size() != 7) corrupt("does not hold exactly the seven expected fields");
    expect(member(root, "format") == kFormatName, "is not a tavrin FAISS store");
    const Value& version = member(root, "version");
    expect(version.is_number_integer() && version.get<std::int64_t>() == kFormatVersion,
           "has an unsupported version");
    expect(member(root, "distance_strategy") == "COSINE", "has an unknown distance_strategy");
    Sidecar sidecar;
    sidecar.dimension = bounded_integer(member(root, "dimension"), "dimension", kMaxDimension);
    sidecar.index_checksum = checksum(member(root, "index_checksum"));
    Value& entries = member(root, "documents");
    expect(entries.is_array(), "has a documents field that is not a list");
    const std::size_t count = bounded_integer(member(root, "count"), "count", INT64_MAX);
    expect(count == entries.size(), "has a count that differs from its number of documents");
    expect(count == 0 || sidecar.dimension > 0, "has documents but dimension 0");
    sidecar.documents.reserve(count);
    for (std::size_t i = 0; i < count; ++i) sidecar.documents.push_back(document(entries[i], i));
    return sidecar;
  }

 private:
  [[noreturn]] void corrupt(const std::string& what) const {
    throw ValueError("store file " + quoted(path_) + " " + what);
  }
  void expect(bool ok, const std::string& what) const {
    if (!ok) corrupt(what);
  }

  Value& member(Value& object, const char* name) const {
    const auto found = object.find(name);
    if (found == object.end()) corrupt(std::string("lacks the field ") + name);
    return *found;
  }

  std::size_t bounded_integer(const Value& v, const char* name, std::int64_t max) const {
    const bool ok =
        v.is_number_integer() && v.get<std::int64_t>() >= 0 && v.get<std::int64_t>() <= max;
    expect(ok, std::string("has a bad ") + name);
    return static_cast<std::size_t>(v.get<std::int64_t>());
  }

  std::uint64_t checksum(const Value& v) const {
    const bool ok =
        v.is_string() && v.get_ref<const std::string&>().size() == 16 &&
        v.get_ref<const std::string&>().find_first_not_of("0123456789abcdef") == std::string::npos;
    expect(ok, "has a bad index_checksum");
    return std::stoull(v.get<std::string>(), nullptr, 16);
  }

  Document document(Value& entry, std::size_t i) const {
    const std::string where = "has a bad document " + std::to_string(i);
    expect(entry.is_object() && entry.size() == 2, where);
    Value& content = member(entry, "page_content");
    Value& metadata = member(entry, "metadata");
    expect(content.is_string() && metadata.is_object(), where);
    return Document{std::move(content.get_ref<std::string&>()), std::move(metadata)};
  }

  fs::path path_;
};

template <class T>
T read_field(const std::string& bytes, std::size_t offset) {
  T value;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

// Reads index.faiss, which must hold exactly `count` unit-length vectors of `dimension`.
std::unique_ptr<faiss::IndexFlatIP> read_index_file(const fs::path& path, std::size_t dimension,
                                                    std::size_t count) {
  const auto corrupt = [&](const std::string& what) {
    return ValueError("store file " + quoted(path) + " " + what);
  };
  std::error_code error;
  const std::uintmax_t size = fs::file_size(path, error);
  if (error) throw corrupt("cannot be read: " + error.message());
  const std::uintmax_t floats = static_cast<std::uintmax_t>(count) * dimension;
  const std::uintmax_t expected = kIndexHeaderSize + floats * sizeof(float);
  if (size != expected) {
    throw corrupt("is truncated or damaged: " + std::to_string(size) + " bytes, expected " +
                  std::to_string(expected) + " for " + std::to_string(count) + " vectors");
  }
  std::ifstream in(path, std::ios::binary);
  std::string header(kIndexHeaderSize, '\0');
  auto index = std::make_unique<faiss::IndexFlatIP>(static_cast<idx_t>(dimension));
  index->codes.resize(floats * sizeof(float));
  in.read(header.data(), static_cast<std::streamsize>(header.size()));
  in.read(reinterpret_cast<char*>(index->codes.data()),
          static_cast<std::streamsize>(index->codes.size()));
  if (!in || in.peek() != std::ifstream::traits_type::eof()) {
    throw corrupt("could not be read whole");
  }
  if (header.compare(0, 4, "IxFI") != 0) throw corrupt("is not an inner-product FAISS index");
  const bool header_ok =
      read_field<std::int32_t>(header, 4) == static_cast<std::int32_t>(dimension) &&
      read_field<std::int64_t>(header, 8) == static_cast<std::int64_t>(count) &&
      read_field<std::int64_t>(header, 16) == kFaissUnusedField &&
      read_field<std::int64_t>(header, 24) == kFaissUnusedField &&
      read_field<std::uint8_t>(header, 32) == 1 &&
      read_field<std::int32_t>(header, 33) == faiss::METRIC_INNER_PRODUCT &&
      read_field<std::uint64_t>(header, 37) == floats;
  if (!header_ok) throw corrupt("has a header that does not match index.json");

  index->ntotal = static_cast<idx_t>(count);
  for (std::size_t i = 0; i < count; ++i) {
    const double squares = squared_norm(index->get_xb() + i * dimension, dimension);
    if (!(squares == 0 || std::abs(squares - 1) < kUnitLengthTolerance)) {
      throw corrupt("holds vector " + std::to_string(i) + " that is not of unit length");
    }
  }
  return index;
}

}  // namespace

struct FAISS::Impl {
  DistanceStrategy strategy = DistanceStrategy::COSINE;
  std::size_t dimension = 0;
  std::vector<Document> documents;
  std::unique_ptr<faiss::IndexFlatIP> index;
  std::shared_ptr<Embeddings> embedding;

  // Positions of the `topk` best documents for the unit-length query `q`, best first, ties
  // by position. FAISS's own order among equal scores is not specified, so when equal scores
  // straddle the cut every document is ranked.
  std::vector<std::pair<float, idx_t>> rank(const float* q, std::size_t topk) const {
    const std::size_t n = documents.size();
    const std::size_t k = std::min(topk, n);
    std::size_t asked = std::min(k + 1, n);
    std::vector<std::pair<float, idx_t>> hits = search(q, asked);
    if (asked > k && hits[k].first == hits[k - 1].first && asked < n) hits = search(q, n);
    std::sort(hits.begin(), hits.end(), [](const auto& a, const auto& b) {
      return a.first > b.first || (a.first == b.first && a.second < b.second);
    });
    hits.resize(k);
    return hits;
  }

  std::vector<std::pair<float, idx_t>> search(const float* q, std::size_t k) const {
    std::vector<float> scores(k);
    std::vector<idx_t> ids(k);
    index->search(1, q, static_cast<idx_t>(k), scores.data(), ids.data());
    std::vector<std::pair<float, idx_t>> hits(k);
    for (std::size_t i = 0; i < k; ++i) hits[i] = {scores[i], ids[i]};
    return hits;
  }
};

FAISS::FAISS(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
FAISS::FAISS(FAISS&&) noexcept = default;
FAISS& FAISS::operator=(FAISS&&) noexcept = default;
FAISS::~FAISS() = default;

FAISS FAISS::from_embeddings(std::vector<TextEmbedding> text_embeddings,
                             std::shared_ptr<Embeddings> embedding, std::vector<Value> metadatas,
                             DistanceStrategy distance_strategy) {
  if (!embedding) throw ValueError("from_embeddings embedding must not be null");
  const std::size_t n = text_embeddings.size();
  if (metadatas.size() != n) {
    throw ValueError("from_embeddings metadatas has " + std::to_string(metadatas.size()) +
                     " entries for " + std::to_string(n) + " text-vector pairs");
  }
  const std::size_t dimension = n == 0 ? 0 : text_embeddings.front().second.size();
  if (n > 0 && dimension == 0) throw ValueError("text_embeddings[0] has an empty vector");
  for (std::size_t i = 0; i < n; ++i) {
    require_object(metadatas[i], "metadatas[" + std::to_string(i) + "]");
    if (text_embeddings[i].second.size() != dimension) {
      throw ValueError("text_embeddings[" + std::to_string(i) + "] has dimension " +
                       std::to_string(text_embeddings[i].second.size()) + ", not " +
                       std::to_string(dimension) + " like text_embeddings[0]");
    }
  }

  auto impl = std::make_unique<Impl>();
  impl->strategy = distance_strategy;
  impl->dimension = dimension;
  impl->embedding = std::move(embedding);
  impl->index = std::make_unique<faiss::IndexFlatIP>(static_cast<idx_t>(dimension));
  impl->documents.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    impl->documents.push_back(
        Document{std::move(text_embeddings[i].first), std::move(metadatas[i])});
  }
  std::vector<std::uint8_t>& codes = impl->index->codes;
  const std::size_t row_bytes = dimension * sizeof(float);
  codes.reserve(n * row_bytes);
  FillPacer pacer(codes, n * row_bytes);
  for (std::size_t i = 0; i < n; ++i) {
    pacer.before_append();
    std::vector<float>& vector = text_embeddings[i].second;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(vector.data());
    codes.insert(codes.end(), bytes, bytes + row_bytes);
    std::vector<float>().swap(vector);
    if (!scale_to_unit_length(impl->index->get_xb() + i * dimension, dimension)) {
      throw ValueError("text_embeddings[" + std::to_string(i) + "] holds a non-finite number");
    }
  }
  impl->index->ntotal = static_cast<idx_t>(n);
  return FAISS(std::move(impl));
}

void FAISS::save_local(const std::string& folder) const {
  check_storable(impl_->documents);
  const fs::path dir(folder);
  fs::create_directories(dir);

  // The disk writes the index while the sidecar is being built; neither file replaces its
  // target until both are complete on disk.
  tavrin::internal::AtomicFile index_file((dir / kIndexFile).string());
  AtomicFileWriter index_writer(index_file);
  faiss::write_index(impl_->index.get(), &index_writer);
  tavrin::internal::AtomicFile sidecar_file((dir / kSidecarFile).string());
  write_sidecar(sidecar_file, impl_->strategy, impl_->dimension, fingerprint(impl_->index->codes),
                impl_->documents);
  index_file.flush();
  sidecar_file.flush();

  index_file.commit();
  sidecar_file.commit();
}

FAISS FAISS::load_local(const std::string& folder, std::shared_ptr<Embeddings> embeddings) {
  if (!embeddings) throw ValueError("load_local embeddings must not be null");
  const fs::path dir(folder);
  Sidecar sidecar = SidecarReader(dir / kSidecarFile).read();
  auto impl = std::make_unique<Impl>();
  impl->index = read_index_file(dir / kIndexFile, sidecar.dimension, sidecar.documents.size());
  if (fingerprint(impl->index->codes) != sidecar.index_checksum) {
    throw ValueError(
        "store file " + quoted(dir / kIndexFile) +
        " does not belong with index.json: its vectors are not the ones saved with it");
  }
  impl->dimension = sidecar.dimension;
  impl->documents = std::move(sidecar.documents);
  impl->embedding = std::move(embeddings);
  return FAISS(std::move(impl));
}

std::vector<ScoredDocument> FAISS::similarity_search_with_score(const Value& query,
                                                                std::size_t topk) const {
  if (query.is_null()) throw ValueError("similarity_search query must not be null");
  if (impl_->documents.empty() || topk == 0) return {};
  std::vector<float> q = impl_->embedding->embed_query(
      query.is_string() ? query.get_ref<const std::string&>() : str(query));
  if (q.size() != impl_->dimension) {
    throw ValueError("the query vector has dimension " + std::to_string(q.size()) + ", the store " +
                     std::to_string(impl_->dimension));
  }
  if (!scale_to_unit_length(q.data(), q.size())) {
    throw ValueError("the query vector holds a non-finite number");
  }
  std::vector<ScoredDocument> results;
  for (const auto& [score, id] : impl_->rank(q.data(), topk)) {
    results.emplace_back(impl_->documents[static_cast<std::size_t>(id)], score);
  }
  return results;
}

std::size_t FAISS::size() const noexcept { return impl_->documents.size(); }
std::size_t FAISS::dimension() const noexcept { return impl_->dimension; }
DistanceStrategy FAISS::distance_strategy() const noexcept { return impl_->strategy; }
const std::vector<Document>& FAISS::documents() const noexcept { return impl_->documents; }

std::vector<float> FAISS::vector(std::size_t i) const {
  if (i >= size()) {
    throw IndexError("vector position " + std::to_string(i) + " is out of range for " +
                     std::to_string(size()) + " documents");
  }
  const float* row = impl_->index->get_xb() + i * impl_->dimension;
  return std::vector<float>(row, row + impl_->dimension);
}

bool operator==(const FAISS& a, const FAISS& b) {
  return a.impl_->strategy == b.impl_->strategy && a.impl_->dimension == b.impl_->dimension &&
         a.impl_->documents == b.impl_->documents && a.impl_->index->codes == b.impl_->index->codes;
}

}  // namespace tavrin::vectorstore
