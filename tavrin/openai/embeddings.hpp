// OpenAIEmbeddings: an embedding model behind an OpenAI-compatible /embeddings endpoint
// (OpenAI, Azure-style gateways, vLLM, Ollama, text-embeddings-inference, llama.cpp's server,
// DashScope's compatible mode), over kept-alive connections with retries.
//
//   auto model = std::make_shared<tavrin::openai::OpenAIEmbeddings>(
//       "https://api.openai.com/v1", key, "text-embedding-3-small");
//   model->embed_query("退款").size()   // -> 1536
//   model->identity()                  // -> "openai/text-embedding-3-small"
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "quellin/client.hpp"
#include "tavrin/vectorstore/embeddings.hpp"

namespace tavrin::openai {

struct OpenAIEmbeddingsOptions {
  /// Texts per request. Endpoints differ: OpenAI takes up to 2048, DashScope's 10.
  std::size_t batch_size = 64;
  /// Requests sent at once by one embed_documents call.
  std::size_t max_in_flight = 8;
  /// Sent as "dimensions": shorter vectors from a model that can give them
  /// (text-embedding-3-*). Unset: the model's own size, and nothing is sent.
  std::optional<std::size_t> dimensions;
  /// Sent as "encoding_format": "float" or "base64" (little-endian float32, a quarter of the
  /// bytes of decimal digits). Unset: nothing is sent (the endpoint answers floats). A reply is
  /// read in whichever form it comes.
  std::optional<std::string> encoding_format;
  /// Further headers, sent after Content-Type and Authorization, e.g. {"api-key": key} for an
  /// Azure-style gateway; one of the same name replaces either. Their values are kept out of
  /// messages as the key is.
  nlohmann::ordered_json headers = nlohmann::ordered_json::object();
  /// Limits of each attempt, retries (by default 2, on 408, 409, 429, 5xx and broken
  /// connections, after Retry-After when the endpoint says), connections per host.
  quellin::ClientOptions client;
};

/// Embeds texts by POSTing {"model", "input": [texts], "dimensions"?, "encoding_format"?} to
/// `base_url` + "/embeddings" with "Authorization: Bearer <api_key>" (none when the key is
/// empty, as a local server needs). The requests are made on an I/O thread of the model's own,
/// started by the first call, over connections kept between calls; calls from several threads
/// or executors share them.
class OpenAIEmbeddings : public vectorstore::Embeddings {
 public:
  /// `base_url` is the API root ("https://api.openai.com/v1", "http://localhost:11434/v1"); a
  /// trailing slash is dropped, a query (an Azure-style "?api-version=...") stays after the
  /// path, and a url that already ends in /embeddings is the endpoint itself. ValueError when
  /// base_url is not http(s), model is empty, batch_size, max_in_flight or dimensions is 0,
  /// or encoding_format is neither "float" nor "base64"; TypeError when headers is not an
  /// object of text values. Nothing is sent before the first call.
  OpenAIEmbeddings(std::string base_url, std::string api_key, std::string model,
                   OpenAIEmbeddingsOptions options = {});
  ~OpenAIEmbeddings() override;
  OpenAIEmbeddings(const OpenAIEmbeddings&) = delete;
  OpenAIEmbeddings& operator=(const OpenAIEmbeddings&) = delete;

  /// One vector per text, in text order: batches of batch_size texts, up to max_in_flight of
  /// them at once, each answer placed by its "index" (in reply order when it has none). An
  /// empty list sends nothing. ValueError, naming the batch and its texts, when a text is not
  /// UTF-8 or a reply does not answer each text of its batch with one vector of finite
  /// numbers, all of one size across the call (the size asked for, when dimensions is set).
  /// A batch that still fails after its retries ends the call with its error (HttpError,
  /// TransportError, TimeoutError, as quellin::Client throws it): the batches in flight are
  /// cancelled and nothing is returned. No message holds the key or a header value.
  std::vector<std::vector<float>> embed_documents(const std::vector<std::string>& texts) override;

  /// embed_documents of `texts`, awaited without blocking the caller's executor: the requests
  /// go out from the model's thread and the answer resumes the caller on its own executor.
  /// The same batching, checks and errors. Cancelling the awaiting coroutine cancels the
  /// requests.
  boost::asio::awaitable<std::vector<std::vector<float>>> async_embed_queries(
      std::vector<std::string> texts) override;

  /// "openai/<model>", and "/<dimensions>" when set.
  std::string identity() const override;

  /// url() without user information and query.
  std::string endpoint() const override;

  /// True: the synchronous calls wait on the network.
  bool blocking() const override;

  /// The endpoint the requests go to.
  const std::string& url() const noexcept;
  const std::string& model() const noexcept;
  const OpenAIEmbeddingsOptions& options() const noexcept;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tavrin::openai
