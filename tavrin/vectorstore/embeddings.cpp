#include "tavrin/vectorstore/embeddings.hpp"

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/utf8.hpp"

namespace tavrin::vectorstore {
namespace {

namespace asio = boost::asio;

std::vector<std::vector<float>> embed_each(Embeddings& model,
                                           const std::vector<std::string>& texts) {
  std::vector<std::vector<float>> vectors;
  vectors.reserve(texts.size());
  for (const std::string& text : texts) vectors.push_back(model.embed_query(text));
  return vectors;
}

// One thread: a model that blocks is rarely safe to call from two threads at once.
asio::thread_pool& helper_thread() {
  static asio::thread_pool pool(1);
  return pool;
}

// The vectors, or the error as a kind and its words: the error is thrown anew on the caller's
// thread, since an exception object shared between threads through an exception_ptr has a
// reference count that ThreadSanitizer cannot see.
struct Outcome {
  std::vector<std::vector<float>> vectors;
  enum class Kind { none, type, value, key, index, other } kind = Kind::none;
  std::string what;

  std::vector<std::vector<float>> get() && {
    switch (kind) {
      case Kind::none:
        return std::move(vectors);
      case Kind::type:
        throw TypeError(what);
      case Kind::value:
        throw ValueError(what);
      case Kind::key:
        throw KeyError(what);
      case Kind::index:
        throw IndexError(what);
      case Kind::other:
        break;
    }
    throw std::runtime_error(what);
  }
};

asio::awaitable<Outcome> embed_each_off_thread(Embeddings* model, std::vector<std::string> texts) {
  Outcome outcome;
  try {
    outcome.vectors = embed_each(*model, texts);
  } catch (const TypeError& e) {
    outcome = {{}, Outcome::Kind::type, e.what()};
  } catch (const ValueError& e) {
    outcome = {{}, Outcome::Kind::value, e.what()};
  } catch (const KeyError& e) {
    outcome = {{}, Outcome::Kind::key, e.what()};
  } catch (const IndexError& e) {
    outcome = {{}, Outcome::Kind::index, e.what()};
  } catch (const std::exception& e) {
    outcome = {{}, Outcome::Kind::other, e.what()};
  }
  co_return outcome;
}

}  // namespace

std::vector<float> Embeddings::embed_query(const std::string& text) {
  std::vector<std::vector<float>> vectors = embed_documents({text});
  if (vectors.empty()) {
    throw ValueError("embed_documents answered no vector for the query");
  }
  return std::move(vectors.front());
}

std::string Embeddings::identity() const { return {}; }

std::string Embeddings::endpoint() const { return {}; }

bool Embeddings::blocking() const { return false; }

std::string model_name(const Embeddings& model) {
  const std::string endpoint = model.endpoint();
  if (!endpoint.empty()) return "embedding endpoint " + endpoint;
  const std::string identity = model.identity();
  return identity.empty() ? std::string("the embedding model") : "embedding model " + identity;
}

asio::awaitable<std::vector<std::vector<float>>> Embeddings::async_embed_queries(
    std::vector<std::string> texts) {
  if (!blocking()) co_return embed_each(*this, texts);
  // The answer comes back on the caller's executor: co_spawn hands it to the awaiting
  // coroutine through that coroutine's own executor.
  Outcome outcome = co_await asio::co_spawn(
      helper_thread(), embed_each_off_thread(this, std::move(texts)), asio::use_awaitable);
  co_return std::move(outcome).get();
}

namespace {

constexpr std::uint64_t kFnvOffsetBasis = 14695981039346656037ULL;
constexpr std::uint64_t kFnvPrime = 1099511628211ULL;
constexpr char kReplacementCharacter[] = "\xEF\xBF\xBD";

// Turns texts into vectors, reusing its buffers from one text to the next so that hashing
// allocates nothing per n-gram.
class NgramHasher {
 public:
  explicit NgramHasher(std::size_t dim) : dim_(dim) {}

  std::vector<float> embed(std::string_view text) {
    normalise(text);
    std::vector<float> vector(dim_, 0.0f);
    const std::size_t code_points = starts_.size() - 1;
    for (std::size_t n = 1; n <= 3; ++n) {
      for (std::size_t first = 0; first + n <= code_points; ++first) {
        add_ngram(vector, n, starts_[first], starts_[first + n]);
      }
    }
    scale_to_unit_length(vector);
    return vector;
  }

 private:
  // Fills bytes_ with U+0002, the text's code points (ASCII lower-cased, invalid bytes as
  // U+FFFD) and U+0003, and starts_ with the offset of each code point plus the end offset.
  void normalise(std::string_view text) {
    bytes_.clear();
    starts_.clear();
    push_code_point("\x02");
    while (!text.empty()) {
      const std::size_t length = tavrin::internal::well_formed_length(text);
      if (length == 0) {
        push_code_point(kReplacementCharacter);
        text.remove_prefix(1);
        continue;
      }
      starts_.push_back(bytes_.size());
      for (std::size_t i = 0; i < length; ++i) bytes_.push_back(lower_ascii(text[i]));
      text.remove_prefix(length);
    }
    push_code_point("\x03");
    starts_.push_back(bytes_.size());
  }

  void push_code_point(std::string_view utf8) {
    starts_.push_back(bytes_.size());
    bytes_.append(utf8);
  }

  static char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

  void add_ngram(std::vector<float>& vector, std::size_t n, std::size_t begin,
                 std::size_t end) const {
    std::uint64_t h = (kFnvOffsetBasis ^ n) * kFnvPrime;
    for (std::size_t i = begin; i < end; ++i) {
      h = (h ^ static_cast<unsigned char>(bytes_[i])) * kFnvPrime;
    }
    vector[h % dim_] += (h >> 63) == 0 ? 1.0f : -1.0f;
  }

  static void scale_to_unit_length(std::vector<float>& vector) {
    double squares = 0;
    for (float x : vector) squares += static_cast<double>(x) * x;
    if (squares == 0) return;
    const double scale = 1.0 / std::sqrt(squares);
    for (float& x : vector) x = static_cast<float>(x * scale);
  }

  std::size_t dim_;
  std::string bytes_;
  std::vector<std::size_t> starts_;
};

}  // namespace

HashingEmbeddings::HashingEmbeddings(std::size_t dim) : dim_(dim) {
  if (dim == 0) throw ValueError("HashingEmbeddings dim must be at least 1, not 0");
}

std::vector<std::vector<float>> HashingEmbeddings::embed_documents(
    const std::vector<std::string>& texts) {
  NgramHasher hasher(dim_);
  std::vector<std::vector<float>> vectors;
  vectors.reserve(texts.size());
  for (const std::string& text : texts) vectors.push_back(hasher.embed(text));
  return vectors;
}

std::vector<float> HashingEmbeddings::embed_query(const std::string& text) {
  return NgramHasher(dim_).embed(text);
}

std::string HashingEmbeddings::identity() const { return "hashing-fnv1a/" + std::to_string(dim_); }

}  // namespace tavrin::vectorstore
