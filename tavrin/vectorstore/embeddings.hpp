// Embedding models: the caller's model behind one small interface, and HashingEmbeddings, an
// offline default that needs no weights and gives the same vectors everywhere.
//
//   HashingEmbeddings model(8);
//   model.embed_query("Refund").size()   // -> 8, unit length
//   model.identity()                     // -> "hashing-fnv1a/8"
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

namespace tavrin::vectorstore {

/// The caller's embedding model.
class Embeddings {
 public:
  virtual ~Embeddings() = default;

  /// One vector per text, in text order, all of one dimension.
  virtual std::vector<std::vector<float>> embed_documents(
      const std::vector<std::string>& texts) = 0;

  /// The vector of one query text. By default embed_documents({text})[0]; ValueError when
  /// the model answers with no vector.
  virtual std::vector<float> embed_query(const std::string& text);

  /// Names the model and the settings that change its vectors, e.g. "hashing-fnv1a/256" or
  /// "openai/text-embedding-3-small": two models of one identity give the same vectors, so a
  /// store built with one may be searched with the other. Empty (the default) means unknown,
  /// which nothing can be checked against.
  virtual std::string identity() const;

  /// Where the model's requests go, for messages: an address without its query or any key,
  /// e.g. "https://api.openai.com/v1/embeddings". Empty (the default) for a local model.
  virtual std::string endpoint() const;

  /// Whether embed_query and embed_documents wait on something outside the process (a model
  /// over the network, an interpreter's lock). Default false: the call is local and quick.
  virtual bool blocking() const;

  /// The vectors embed_query gives each of `texts`, in text order, awaited on the caller's
  /// executor. By default each embed_query runs inline, or, for a blocking() model, on
  /// tavrin's one helper thread (one call at a time there, in the order they came), so that
  /// the caller's executor goes on meanwhile. A model over the network overrides it to send
  /// the texts as requests that never block a thread. Errors are embed_query's.
  virtual boost::asio::awaitable<std::vector<std::vector<float>>> async_embed_queries(
      std::vector<std::string> texts);
};

/// How messages name `model`: "embedding endpoint <endpoint()>", else "embedding model
/// <identity()>", else "the embedding model".
std::string model_name(const Embeddings& model);

/// Hashed character n-grams, `dim` components. For a text: decode UTF-8 into code points
/// (each invalid byte becomes U+FFFD) and map ASCII A-Z to a-z; put U+0002 before and U+0003
/// after; for n = 1, 2, 3 and every run of n consecutive code points, let h be the 64-bit
/// FNV-1a hash of the byte n followed by the run's UTF-8 bytes, and add +1 to component
/// h mod dim when bit 63 of h is 0, else -1; finally scale to unit length (a zero vector
/// stays zero). Stateless, so one instance may serve several threads.
class HashingEmbeddings : public Embeddings {
 public:
  /// ValueError when `dim` is 0.
  explicit HashingEmbeddings(std::size_t dim = 256);

  std::size_t dim() const noexcept { return dim_; }

  std::vector<std::vector<float>> embed_documents(const std::vector<std::string>& texts) override;
  std::vector<float> embed_query(const std::string& text) override;

  /// "hashing-fnv1a/<dim>".
  std::string identity() const override;

 private:
  std::size_t dim_;
};

}  // namespace tavrin::vectorstore
