#include "tavrin/labeling/query_embedder.hpp"

#include <exception>
#include <map>
#include <sstream>
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

// One caller's wait for the vectors of its texts.
struct Waiter {
  explicit Waiter(const asio::any_io_executor& executor)
      : wake(executor, asio::steady_timer::time_point::max()) {}

  Vectors vectors;
  std::size_t outstanding = 0;  // texts whose vectors have not come
  std::exception_ptr error;
  asio::steady_timer wake;  // cancelled when nothing is outstanding
};

// Where a text's vector goes when it comes.
struct Subscriber {
  std::shared_ptr<Waiter> waiter;
  std::size_t position;
};

// A text asked for and not answered yet: who waits for it, and whether to keep its vector.
struct Awaited {
  std::vector<Subscriber> subscribers;
  bool keep = false;
};

// The texts waiting to be sent to one model.
struct Queue {
  std::shared_ptr<vectorstore::Embeddings> model;
  std::string name;  // for messages
  std::vector<std::string> pending;
  bool window_armed = false;
};

std::string model_key(const vectorstore::Embeddings& model) {
  const std::string identity = model.identity();
  if (!identity.empty()) return "identity " + identity;
  std::ostringstream address;
  address << "object " << static_cast<const void*>(&model);
  return address.str();
}

}  // namespace

struct QueryEmbedder::State : std::enable_shared_from_this<State> {
  State(asio::any_io_executor ex, QueryEmbedderSettings s) : executor(std::move(ex)), settings(s) {}

  Queue& queue_of(const std::string& key, const std::shared_ptr<vectorstore::Embeddings>& model) {
    Queue& queue = queues[key];
    if (!queue.model) {
      queue.model = model;
      queue.name = vectorstore::model_name(*model);
    }
    return queue;
  }

  static std::string text_key(const std::string& key, const std::string& text) {
    return key + '\0' + text;
  }

  void keep(const std::string& text_key, const std::vector<float>& vector) {
    if (cache_floats + vector.size() > settings.cached_floats) {
      cache.clear();
      cache_floats = 0;
    }
    if (cache.emplace(text_key, vector).second) cache_floats += vector.size();
  }

  // Fills what the cache holds, subscribes `waiter` to the other texts, and queues those that
  // nobody has asked for yet.
  void ask(const std::string& key, const std::shared_ptr<vectorstore::Embeddings>& model,
           std::vector<std::string>& texts, bool keep, const std::shared_ptr<Waiter>& waiter) {
    for (std::size_t i = 0; i < texts.size(); ++i) {
      std::string wanted = text_key(key, texts[i]);
      if (const auto hit = cache.find(wanted); hit != cache.end()) {
        waiter->vectors[i] = hit->second;
        continue;
      }
      ++waiter->outstanding;
      auto [entry, first] = awaited.try_emplace(std::move(wanted));
      entry->second.subscribers.push_back({waiter, i});
      entry->second.keep = entry->second.keep || keep;
      if (first) queue_of(key, model).pending.push_back(std::move(texts[i]));
    }
    Queue& queue = queue_of(key, model);
    if (queue.pending.size() >= settings.batch) {
      send(key);
    } else if (!queue.pending.empty() && !queue.window_armed) {
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

  void send(const std::string& key) {
    Queue& queue = queues[key];
    std::vector<std::string> texts = std::move(queue.pending);
    queue.pending.clear();
    ++requests;
    texts_sent += texts.size();
    asio::co_spawn(executor,
                   call(shared_from_this(), key, queue.model, queue.name, std::move(texts)),
                   asio::detached);
  }

  static asio::awaitable<void> call(std::shared_ptr<State> self, std::string key,
                                    std::shared_ptr<vectorstore::Embeddings> model,
                                    std::string name, std::vector<std::string> texts) {
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
    for (std::size_t i = 0; i < texts.size(); ++i) {
      auto entry = self->awaited.extract(text_key(key, texts[i]));
      if (!error && entry.mapped().keep) self->keep(entry.key(), vectors[i]);
      for (const Subscriber& subscriber : entry.mapped().subscribers) {
        Waiter& waiter = *subscriber.waiter;
        if (error) {
          waiter.error = error;
        } else {
          waiter.vectors[subscriber.position] = vectors[i];
        }
        if (--waiter.outstanding == 0) waiter.wake.cancel();
      }
    }
  }

  asio::any_io_executor executor;
  QueryEmbedderSettings settings;
  std::map<std::string, Queue> queues;                        // by model_key
  std::unordered_map<std::string, std::vector<float>> cache;  // by text_key
  std::size_t cache_floats = 0;
  // Texts asked for and not answered yet, by text_key.
  std::unordered_map<std::string, Awaited> awaited;
  std::size_t requests = 0;
  std::size_t texts_sent = 0;
};

QueryEmbedder::QueryEmbedder(asio::any_io_executor executor, QueryEmbedderSettings settings)
    : state_(std::make_shared<State>(std::move(executor), settings)) {}

QueryEmbedder::~QueryEmbedder() = default;

asio::awaitable<Vectors> QueryEmbedder::embed(std::shared_ptr<vectorstore::Embeddings> model,
                                              std::vector<std::string> texts, bool keep) {
  // A local model answers at once: gathering and keeping would cost more than asking it.
  if (!model->blocking()) co_return co_await model->async_embed_queries(std::move(texts));
  const std::shared_ptr<State> state = state_;  // the embedder may go while this waits
  auto waiter = std::make_shared<Waiter>(state->executor);
  waiter->vectors.resize(texts.size());
  state->ask(model_key(*model), model, texts, keep, waiter);
  if (waiter->outstanding > 0) {
    boost::system::error_code ignored;
    co_await waiter->wake.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    // Only the vectors or the awaiting coroutine's cancellation end the wait.
    if (waiter->outstanding > 0) throw boost::system::system_error(asio::error::operation_aborted);
  }
  if (waiter->error) std::rethrow_exception(waiter->error);
  co_return std::move(waiter->vectors);
}

std::size_t QueryEmbedder::requests() const noexcept { return state_->requests; }
std::size_t QueryEmbedder::texts_sent() const noexcept { return state_->texts_sent; }

}  // namespace tavrin::labeling
