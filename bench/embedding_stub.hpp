// An OpenAI-compatible /embeddings stand-in for the benchmarks: keep-alive HTTP/1.1 on
// 127.0.0.1, each request answered after a fixed delay with the HashingEmbeddings vectors of
// its texts (little-endian float32 in base64 when "encoding_format" asks for it), so that a
// job that embeds through it checks exactly what the same job with the local model checks.
// The delay is a timer, not a sleep: one thread serves every connection meanwhile.
//
//   EmbeddingStub stub(std::chrono::milliseconds(20));
//   OpenAIEmbeddings model(stub.url(), "", "hashing");   // -> HashingEmbeddings' vectors
//   stub.requests()                                       // -> requests answered so far
#pragma once

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <nlohmann/json.hpp>

#include "tavrin/vectorstore/embeddings.hpp"

namespace tavrin::bench {

class EmbeddingStub {
 public:
  explicit EmbeddingStub(std::chrono::milliseconds delay) : delay_(delay) {
    boost::asio::co_spawn(context_, accept_loop(), boost::asio::detached);
    thread_ = std::thread([this] { context_.run(); });
  }
  ~EmbeddingStub() {
    context_.stop();
    thread_.join();
  }
  EmbeddingStub(const EmbeddingStub&) = delete;
  EmbeddingStub& operator=(const EmbeddingStub&) = delete;

  /// The API root: "http://127.0.0.1:<port>/v1".
  std::string url() const {
    return "http://127.0.0.1:" + std::to_string(acceptor_.local_endpoint().port()) + "/v1";
  }
  std::size_t requests() const { return requests_; }
  std::size_t texts() const { return texts_; }

 private:
  using tcp = boost::asio::ip::tcp;
  using Json = nlohmann::json;

  boost::asio::awaitable<void> accept_loop() {
    for (;;) {
      tcp::socket socket = co_await acceptor_.async_accept(boost::asio::use_awaitable);
      socket.set_option(tcp::no_delay(true));
      boost::asio::co_spawn(context_, serve(std::move(socket)), boost::asio::detached);
    }
  }

  static std::size_t content_length(const std::string& head) {
    for (const char* name : {"Content-Length:", "content-length:"}) {
      const auto at = head.find(name);
      if (at != std::string::npos) return std::stoul(head.substr(at + std::strlen(name)));
    }
    return 0;
  }

  static std::string base64(const std::vector<float>& vector) {
    static constexpr char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes(vector.size() * sizeof(float), '\0');
    std::memcpy(bytes.data(), vector.data(), bytes.size());  // little-endian here
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
      const auto byte = [&](std::size_t k) {
        return k < bytes.size() ? static_cast<unsigned char>(bytes[k]) : 0u;
      };
      const unsigned triple = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
      out += kDigits[triple >> 18 & 63];
      out += kDigits[triple >> 12 & 63];
      out += i + 1 < bytes.size() ? kDigits[triple >> 6 & 63] : '=';
      out += i + 2 < bytes.size() ? kDigits[triple & 63] : '=';
    }
    return out;
  }

  std::string reply_to(const std::string& body) {
    const Json request = Json::parse(body);
    const auto texts = request.at("input").get<std::vector<std::string>>();
    const bool in_base64 = request.value("encoding_format", "float") == "base64";
    Json data = Json::array();
    const auto vectors = model_.embed_documents(texts);
    for (std::size_t i = 0; i < vectors.size(); ++i) {
      Json item = {{"object", "embedding"}, {"index", i}};
      if (in_base64) {
        item["embedding"] = base64(vectors[i]);
      } else {
        item["embedding"] = vectors[i];
      }
      data.push_back(std::move(item));
    }
    ++requests_;
    texts_ += texts.size();
    const std::string json = Json{{"object", "list"}, {"data", data}, {"model", "hashing"}}.dump();
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(json.size()) + "\r\n\r\n" + json;
  }

  boost::asio::awaitable<void> serve(tcp::socket socket) {
    std::string buffer;
    try {
      for (;;) {
        const std::size_t head_end = co_await boost::asio::async_read_until(
            socket, boost::asio::dynamic_buffer(buffer), "\r\n\r\n", boost::asio::use_awaitable);
        const std::size_t total = head_end + content_length(buffer.substr(0, head_end));
        if (buffer.size() < total) {
          co_await boost::asio::async_read(socket, boost::asio::dynamic_buffer(buffer),
                                           boost::asio::transfer_exactly(total - buffer.size()),
                                           boost::asio::use_awaitable);
        }
        boost::asio::steady_timer answer_at(context_, delay_);
        const std::string reply = reply_to(buffer.substr(head_end, total - head_end));
        buffer.erase(0, total);
        co_await answer_at.async_wait(boost::asio::use_awaitable);
        co_await boost::asio::async_write(socket, boost::asio::buffer(reply),
                                          boost::asio::use_awaitable);
      }
    } catch (const std::exception&) {
      // The client closed the connection.
    }
  }

  std::chrono::milliseconds delay_;
  vectorstore::HashingEmbeddings model_;
  boost::asio::io_context context_;
  tcp::acceptor acceptor_{context_, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0)};
  std::atomic<std::size_t> requests_{0};
  std::atomic<std::size_t> texts_{0};
  std::thread thread_;
};

}  // namespace tavrin::bench
