#include "tavrin/openai/embeddings.hpp"

#include <algorithm>
#include <exception>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <thread>
#include <utility>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/source_text.hpp"
#include "tavrin/core/internal/utf8.hpp"
#include "tavrin/openai/internal/embedding_reply.hpp"

namespace tavrin::openai {

namespace asio = boost::asio;
using Json = nlohmann::ordered_json;

namespace {

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
           return a == (b >= 'A' && b <= 'Z' ? static_cast<char>(b + 32) : b);
         });
}

// base_url + "/embeddings", the path's trailing slashes dropped and its query kept after it.
std::string embeddings_url(std::string_view base_url) {
  const std::size_t query = std::min(base_url.find('?'), base_url.size());
  std::string_view path = base_url.substr(0, query);
  while (path.ends_with('/')) path.remove_suffix(1);
  std::string url(path);
  if (!path.ends_with("/embeddings")) url += "/embeddings";
  return url.append(base_url.substr(query));
}

void check_options(std::string_view base_url, const std::string& model,
                   const OpenAIEmbeddingsOptions& options) {
  if (!starts_with_ignoring_case(base_url, "http://") &&
      !starts_with_ignoring_case(base_url, "https://")) {
    throw ValueError("OpenAIEmbeddings base_url must start with http:// or https://");
  }
  if (model.empty()) throw ValueError("OpenAIEmbeddings model must not be empty");
  for (const auto& [name, value] : {std::pair{"batch_size", options.batch_size},
                                    {"max_in_flight", options.max_in_flight},
                                    {"dimensions", options.dimensions.value_or(1)}}) {
    if (value == 0) {
      throw ValueError(std::string("OpenAIEmbeddings ") + name + " must be at least 1, not 0");
    }
  }
  if (options.encoding_format && *options.encoding_format != "float" &&
      *options.encoding_format != "base64") {
    const std::string& format = *options.encoding_format;
    throw ValueError("OpenAIEmbeddings encoding_format must be \"float\" or \"base64\", not " +
                     core::internal::quote(format, 0, format.size()));
  }
  if (!options.headers.is_object() ||
      !std::all_of(options.headers.begin(), options.headers.end(),
                   [](const Json& value) { return value.is_string(); })) {
    throw TypeError("OpenAIEmbeddings headers must be an object of text values");
  }
}

// The offset of the first byte of `text` that does not start a well-formed UTF-8 sequence.
std::optional<std::size_t> invalid_utf8_offset(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = tavrin::internal::well_formed_length(text.substr(at));
    if (length == 0) return at;
    at += length;
  }
  return std::nullopt;
}

// What every request of one model carries: where it goes, its headers and the body's fixed part.
struct Endpoint {
  Endpoint(std::string_view base_url, const std::string& api_key, std::string model_name,
           OpenAIEmbeddingsOptions opts)
      : url(embeddings_url(base_url)), model(std::move(model_name)), options(std::move(opts)) {
    headers["Content-Type"] = "application/json";
    if (!api_key.empty()) headers["Authorization"] = "Bearer " + api_key;
    for (const auto& [name, value] : options.headers.items()) headers[name] = value;
    add_secret(api_key);
    for (const auto& [name, value] : headers.items()) add_secret(value.get<std::string>());
    std::sort(secrets.begin(), secrets.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  }

  void add_secret(std::string value) {
    if (!value.empty()) secrets.push_back(std::move(value));
  }

  Json payload(std::span<const std::string> texts) const {
    Json body = {{"model", model}, {"input", Json::array()}};
    Json& input = body["input"];
    for (const std::string& text : texts) input.push_back(text);
    if (options.dimensions) body["dimensions"] = *options.dimensions;
    if (options.encoding_format) body["encoding_format"] = *options.encoding_format;
    return body;
  }

  std::string url;
  std::string model;
  OpenAIEmbeddingsOptions options;
  Json headers = Json::object();
  std::vector<std::string> secrets;  // header values and the key, the longest first
};

// One embed_documents call: its batches, taken in order by max_in_flight workers, on the
// model's own I/O thread.
class Call {
 public:
  Call(const Endpoint& model, quellin::Client& client, std::vector<std::string> texts)
      : model_(model),
        client_(client),
        texts_(std::move(texts)),
        batches_((texts_.size() + model.options.batch_size - 1) / model.options.batch_size),
        vectors_(texts_.size()),
        dimension_{model.options.dimensions.value_or(0), model.options.dimensions.has_value()},
        signals_(std::min(model.options.max_in_flight, batches_)) {}

  asio::awaitable<std::vector<std::vector<float>>> run() {
    const auto executor = co_await asio::this_coro::executor;
    asio::steady_timer all_done(executor, asio::steady_timer::time_point::max());
    running_ = signals_.size();
    for (auto& signal : signals_) {
      asio::co_spawn(executor, work(),
                     asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e) {
                       if (e && !failure_) fail(e);
                       if (--running_ == 0) all_done.cancel();
                     }));
    }
    // Workers never finish inside co_spawn (it posts them), so none has ended yet.
    boost::system::error_code ignored;
    co_await all_done.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    if (running_ > 0) {
      // The awaiting coroutine was cancelled: so are the requests, which are waited for, as
      // they use this frame.
      if (!failure_) {
        fail(std::make_exception_ptr(quellin::TransportError(asio::error::operation_aborted,
                                                             "OpenAIEmbeddings call cancelled")));
      }
      while (running_ > 0) {
        co_await all_done.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
      }
    }
    if (failure_) std::rethrow_exception(failure_);
    co_return std::move(vectors_);
  }

 private:
  // The first failure ends the call: the other workers' requests are cancelled.
  void fail(std::exception_ptr e) {
    failure_ = e;
    for (auto& signal : signals_) signal.emit(asio::cancellation_type::terminal);
  }

  asio::awaitable<void> work() {
    while (!failure_ && next_ < batches_) co_await embed_batch(next_++);
  }

  asio::awaitable<void> embed_batch(std::size_t batch) {
    const std::size_t size = model_.options.batch_size;
    const std::size_t first = batch * size;
    const std::size_t count = std::min(size, texts_.size() - first);
    const std::span<const std::string> texts(texts_.data() + first, count);
    const std::string body =
        co_await client_.post_text(model_.url, model_.headers, model_.payload(texts));
    if (failure_) co_return;  // another batch failed while this one was being answered
    try {
      internal::read_embedding_reply(body, std::span(vectors_).subspan(first, count), dimension_,
                                     model_.secrets);
    } catch (const ValueError& e) {
      throw ValueError("OpenAIEmbeddings batch " + std::to_string(batch + 1) + " of " +
                       std::to_string(batches_) + " (texts " + std::to_string(first) + " to " +
                       std::to_string(first + count - 1) + "): " + e.what());
    }
  }

  const Endpoint& model_;
  quellin::Client& client_;
  std::vector<std::string> texts_;
  std::size_t batches_;
  std::size_t next_ = 0;
  std::vector<std::vector<float>> vectors_;
  internal::Dimension dimension_;
  std::vector<asio::cancellation_signal> signals_;
  std::size_t running_ = 0;
  std::exception_ptr failure_;
};

// An error of the model's thread, carried to the caller's thread as plain values and thrown
// there as a new exception of the same type: an exception object shared between threads
// through an exception_ptr has a reference count that ThreadSanitizer cannot see.
struct CarriedError {
  enum class Kind { http, timeout, transport, type, value, other } kind = Kind::other;
  std::string what;
  unsigned status = 0;
  std::string reason, body;
  boost::system::error_code code;
  std::string note;  // of an HttpError
};

CarriedError carried(std::exception_ptr error) {
  using Kind = CarriedError::Kind;
  try {
    std::rethrow_exception(std::move(error));
  } catch (const quellin::HttpError& e) {
    return {Kind::http, e.what(), e.status(), e.reason(), e.body(), {}, e.note()};
  } catch (const quellin::TimeoutError& e) {
    return {Kind::timeout, e.what(), 0, {}, {}, e.code(), {}};
  } catch (const quellin::TransportError& e) {
    return {Kind::transport, e.what(), 0, {}, {}, e.code(), {}};
  } catch (const boost::system::system_error& e) {
    return {Kind::transport, e.what(), 0, {}, {}, e.code(), {}};
  } catch (const TypeError& e) {
    return {Kind::type, e.what(), 0, {}, {}, {}, {}};
  } catch (const ValueError& e) {
    return {Kind::value, e.what(), 0, {}, {}, {}, {}};
  } catch (const std::exception& e) {
    return {Kind::other, e.what(), 0, {}, {}, {}, {}};
  }
}

[[noreturn]] void rethrow(const CarriedError& error) {
  using Kind = CarriedError::Kind;
  // A transport error's message is its prefix, ": " and its code's own words, which the
  // constructor adds again.
  std::string prefix = error.what;
  const std::string suffix = ": " + error.code.what();
  if (prefix.ends_with(suffix)) prefix.resize(prefix.size() - suffix.size());
  switch (error.kind) {
    case Kind::http:
      throw quellin::HttpError(error.status, error.reason, error.body, error.note);
    case Kind::timeout:
      throw quellin::TimeoutError(error.code, prefix);
    case Kind::transport:
      throw quellin::TransportError(error.code, prefix);
    case Kind::type:
      throw TypeError(error.what);
    case Kind::value:
      throw ValueError(error.what);
    case Kind::other:
      break;
  }
  throw std::runtime_error(error.what);
}

// What a call on the model's thread ends with: the vectors, or its error.
struct Outcome {
  std::vector<std::vector<float>> vectors;
  std::optional<CarriedError> error;

  std::vector<std::vector<float>> get() && {
    if (error) rethrow(*error);
    return std::move(vectors);
  }
};

void require_utf8(const std::vector<std::string>& texts) {
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (const auto offset = invalid_utf8_offset(texts[i])) {
      throw ValueError("OpenAIEmbeddings text " + std::to_string(i) +
                       " is not valid UTF-8 at its byte " + std::to_string(*offset));
    }
  }
}

}  // namespace

// The model's connections live on an I/O thread of its own, started at the first call: the
// pool then outlives any caller's executor, and serves synchronous and awaiting callers alike.
struct OpenAIEmbeddings::Impl {
  Impl(std::string_view base_url, const std::string& api_key, std::string model,
       OpenAIEmbeddingsOptions options)
      : endpoint(base_url, api_key, std::move(model), std::move(options)) {}

  ~Impl() {
    if (!thread.joinable()) return;
    // The client is used on its thread only, so it is closed there.
    asio::post(context, [this] {
      client.reset();
      guard.reset();
    });
    thread.join();
  }

  asio::io_context& started() {
    std::call_once(start, [this] {
      guard.emplace(context.get_executor());
      client.emplace(context.get_executor(), endpoint.options.client);
      thread = std::thread([this] { context.run(); });
    });
    return context;
  }

  // Never throws: the outcome is read on the caller's thread.
  asio::awaitable<Outcome> embed(std::vector<std::string> texts) {
    Outcome outcome;
    try {
      outcome.vectors = co_await Call(endpoint, *client, std::move(texts)).run();
    } catch (...) {
      outcome.error = carried(std::current_exception());
    }
    co_return outcome;
  }

  Endpoint endpoint;
  asio::io_context context;
  std::once_flag start;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> guard;
  std::optional<quellin::Client> client;
  std::thread thread;
};

OpenAIEmbeddings::OpenAIEmbeddings(std::string base_url, std::string api_key, std::string model,
                                   OpenAIEmbeddingsOptions options) {
  check_options(base_url, model, options);
  impl_ = std::make_unique<Impl>(base_url, api_key, std::move(model), std::move(options));
}

OpenAIEmbeddings::~OpenAIEmbeddings() = default;

std::vector<std::vector<float>> OpenAIEmbeddings::embed_documents(
    const std::vector<std::string>& texts) {
  require_utf8(texts);
  if (texts.empty()) return {};
  return asio::co_spawn(impl_->started(), impl_->embed(texts), asio::use_future).get().get();
}

asio::awaitable<std::vector<std::vector<float>>> OpenAIEmbeddings::async_embed_queries(
    std::vector<std::string> texts) {
  require_utf8(texts);
  if (texts.empty()) co_return std::vector<std::vector<float>>{};
  // Sent from the model's thread; the answer resumes this coroutine on its own executor.
  Outcome outcome = co_await asio::co_spawn(impl_->started(), impl_->embed(std::move(texts)),
                                            asio::use_awaitable);
  co_return std::move(outcome).get();
}

std::string OpenAIEmbeddings::endpoint() const {
  return quellin::endpoint_name(impl_->endpoint.url);
}

bool OpenAIEmbeddings::blocking() const { return true; }

std::string OpenAIEmbeddings::identity() const {
  const Endpoint& endpoint = impl_->endpoint;
  std::string identity = "openai/";  // appended to, not prefixed: g++ 12 -O3 sees a false overlap
  identity += endpoint.model;
  if (endpoint.options.dimensions) {
    identity += '/';
    identity += std::to_string(*endpoint.options.dimensions);
  }
  return identity;
}

const std::string& OpenAIEmbeddings::url() const noexcept { return impl_->endpoint.url; }
const std::string& OpenAIEmbeddings::model() const noexcept { return impl_->endpoint.model; }
const OpenAIEmbeddingsOptions& OpenAIEmbeddings::options() const noexcept {
  return impl_->endpoint.options;
}

}  // namespace tavrin::openai
