#include "tavrin/labeling/query_embedder.hpp"

#include <exception>
#include <map>
#include <sstream>
#include <string_view>
#include <unordered_map>
#include <utility>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "tavrin/core/errors.hpp"

namespace tavrin::labeling {
namespace {

namespace asio = boost::asio;
using Vectors = std::vector<std::vector<float>>;

// One caller's texts that were not cached, and where their vectors go.
struct Waiter {
  explicit Waiter(const asio::any_io_executor& executor)
      : wake(executor, asio::steady_timer::time_point::max()) {}

  std::vector<std::string> texts;
  std::vector<std::size_t> positions;  // of each text in `vectors`
  Vectors vectors;
  std::exception_ptr error;
  bool done = false;
  asio::steady_timer wake;  // cancelled when done
};

// The texts waiting for one model.
struct Queue {
  std::shared_ptr<vectorstore::Embeddings> model;
  std::string name;  // for messages
  std::vector<std::shared_ptr<Waiter>> pending;
  std::size_t pending_texts = 0;
  bool window_armed = false;
};

std::string model_key(const vectorstore::Embeddings& model) {
  const std::string identity = model.identity();
  if (!identity.empty()) return "identity " + identity;
  std::ostringstream address;
  address << "object " << static_cast<const void*>(&model);
  return address.str();
}

std::string model_name(const vectorstore::Embeddings& model) {
  const std::string endpoint = model.endpoint();
  if (!endpoint.empty()) return "embedding endpoint " + endpoint;
  const std::string identity = model.identity();
  return identity.empty() ? std::string("the embedding model") : "embedding model " + identity;
}

}  // namespace

struct QueryEmbedder::State : std::enable_shared_from_this<State> {
  State(asio::any_io_executor ex, QueryEmbedderSettings s)
      : executor(std::move(ex)), settings(s) {}

  Queue& queue_of(const std::string& key, const std::shared_ptr<vectorstore::Embeddings>& model) {
    Queue& queue = queues[key];
    if (!queue.model) {
      queue.model = model;
      queue.name = model_name(*model);
    }
    return queue;
  }

  const std::vector<float>* cached(const std::string& key, const std::string& text) const {
    const auto found = cache.find(key + '\0' + text);
    return found == cache.end() ? nullptr : &found->second;
  }

  void keep(const std::string& key, const std::string& text, const std::vector<float>& vector) {
    if (cache_floats + vector.size() > settings.cached_floats) {
      cache.clear();
      cache_floats = 0;
    }
    if (cache.emplace(key + '\0' + text, vector).second) cache_floats += vector.size();
  }

  void enqueue(const std::string& key, const std::shared_ptr<vectorstore::Embeddings>& model,
               std::shared_ptr<Waiter> waiter) {
    Queue& queue = queue_of(key, model);
    queue.pending_texts += waiter->texts.size();
    queue.pending.push_back(std::move(waiter));
    if (queue.pending_texts >= settings.batch) {
      send(key);
    } else if (!queue.window_armed) {
      queue.window_armed = true;
      asio::co_spawn(executor, after_window(shared_from_this(), key), asio::detached);
    }
  }

  static asio::awaitable<void> after_window(std::shared_ptr<State> self, std::string key) {
    asio::steady_timer timer(self->executor, self->settings.window);
    boost::system::error_code ignored;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    Queue& queue = self->queues[key];
    queue.window_armed = false;
    if (!queue.pending.empty()) self->send(key);
  }

  // Sends what waits for the model of `key`, each distinct text once.
  void send(const std::string& key) {
    Queue& queue = queues[key];
    std::vector<std::shared_ptr<Waiter>> waiters = std::move(queue.pending);
    queue.pending.clear();
    queue.pending_texts = 0;
    std::vector<std::string> texts;
    std::unordered_map<std::string_view, std::size_t> seen;
    for (const auto& waiter : waiters) {
      for (const std::string& text : waiter->texts) {
        if (seen.count(text) == 0) {
          seen.emplace(text, texts.size());
          texts.push_back(text);
        }
      }
    }
    ++requests;
    texts_sent += texts.size();
    asio::co_spawn(executor,
                   call(shared_from_this(), key, queue.model, queue.name, std::move(texts),
                        std::move(waiters)),
                   asio::detached);
  }

  static asio::awaitable<void> call(std::shared_ptr<State> self, std::string key,
                                    std::shared_ptr<vectorstore::Embeddings> model,
                                    std::string name, std::vector<std::string> texts,
                                    std::vector<std::shared_ptr<Waiter>> waiters) {
    Vectors vectors;
    std::exception_ptr error;
    try {
      vectors = co_await model->async_embed_queries(texts);
      if (vectors.size() != texts.size()) {
        throw ValueError("async_embed_queries answered " + std::to_string(vectors.size()) +
                         " vectors for " + std::to_string(texts.size()) + " texts");
      }
    } catch (const std::exception& e) {
      error = std::make_exception_ptr(EmbeddingError(name + ": " + e.what()));
    }
    std::unordered_map<std::string_view, std::size_t> at;
    for (std::size_t i = 0; i < texts.size(); ++i) {
      at.emplace(texts[i], i);
      if (!error) self->keep(key, texts[i], vectors[i]);
    }
    for (const auto& waiter : waiters) {
      waiter->error = error;
      for (std::size_t j = 0; !error && j < waiter->texts.size(); ++j) {
        waiter->vectors[waiter->positions[j]] = vectors[at.at(waiter->texts[j])];
      }
      waiter->done = true;
      waiter->wake.cancel();
    }
  }

  asio::any_io_executor executor;
  QueryEmbedderSettings settings;
  std::map<std::string, Queue> queues;  // by model_key
  std::unordered_map<std::string, std::vector<float>> cache;  // model_key, NUL, text
  std::size_t cache_floats = 0;
  std::size_t requests = 0;
  std::size_t texts_sent = 0;
};

QueryEmbedder::QueryEmbedder(asio::any_io_executor executor, QueryEmbedderSettings settings)
    : state_(std::make_shared<State>(std::move(executor), settings)) {}

QueryEmbedder::~QueryEmbedder() = default;

asio::awaitable<Vectors> QueryEmbedder::embed(std::shared_ptr<vectorstore::Embeddings> model,
                                              std::vector<std::string> texts) {
  const std::shared_ptr<State> state = state_;  // the embedder may go while this waits
  const std::string key = model_key(*model);
  auto waiter = std::make_shared<Waiter>(state->executor);
  waiter->vectors.resize(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (const std::vector<float>* vector = state->cached(key, texts[i])) {
      waiter->vectors[i] = *vector;
    } else {
      waiter->positions.push_back(i);
      waiter->texts.push_back(std::move(texts[i]));
    }
  }
  if (waiter->texts.empty()) co_return std::move(waiter->vectors);
  state->enqueue(key, model, waiter);
  boost::system::error_code ignored;
  co_await waiter->wake.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
  // Only the answer or the awaiting coroutine's cancellation ends the wait.
  if (!waiter->done) throw boost::system::system_error(asio::error::operation_aborted);
  if (waiter->error) std::rethrow_exception(waiter->error);
  co_return std::move(waiter->vectors);
}

std::size_t QueryEmbedder::requests() const noexcept { return state_->requests; }
std::size_t QueryEmbedder::texts_sent() const noexcept { return state_->texts_sent; }

}  // namespace tavrin::labeling
