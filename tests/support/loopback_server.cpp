#include "tests/support/loopback_server.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

namespace tavrin::testing {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

constexpr std::string_view kEndOfHeader = "\r\n\r\n";

std::size_t content_length(std::string_view header) {
  std::string lower(header);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const auto at = lower.find("\r\ncontent-length:");
  if (at == std::string::npos) return 0;
  return std::stoul(lower.substr(at + 17));
}

}  // namespace

std::string reply_with(std::string_view status_line, std::string_view body,
                       std::string_view content_type) {
  return "HTTP/1.1 " + std::string(status_line) + "\r\nContent-Type: " + std::string(content_type) +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

std::string ok_json(std::string_view json) { return reply_with("200 OK", json); }

struct LoopbackServer::Impl {
  explicit Impl(Responder r) : responder(std::move(r)) {}

  asio::awaitable<void> accept_loop() {
    for (;;) {
      tcp::socket socket = co_await acceptor.async_accept(asio::use_awaitable);
      asio::co_spawn(context, serve(std::move(socket)), asio::detached);
    }
  }

  asio::awaitable<void> serve(tcp::socket socket) {
    std::string request;
    try {
      auto header_end = co_await asio::async_read_until(socket, asio::dynamic_buffer(request),
                                                        kEndOfHeader, asio::use_awaitable);
      const std::size_t total = header_end + content_length(request.substr(0, header_end));
      if (request.size() < total) {
        co_await asio::async_read(socket, asio::dynamic_buffer(request),
                                  asio::transfer_exactly(total - request.size()),
                                  asio::use_awaitable);
      }
    } catch (const boost::system::system_error&) {
      ++closed;  // the client went away before its request was complete
      co_return;
    }
    {
      std::lock_guard lock(mutex);
      received.push_back(request);
    }
    Reply reply = responder(request);
    boost::system::error_code ignored;
    try {
      co_await asio::async_write(socket, asio::buffer(reply.bytes), asio::use_awaitable);
      if (!reply.file.empty()) {
        std::ifstream file(reply.file, std::ios::binary);
        std::vector<char> piece(256 * 1024);
        while (file.read(piece.data(), static_cast<std::streamsize>(piece.size())) ||
               file.gcount() > 0) {
          co_await asio::async_write(
              socket, asio::buffer(piece.data(), static_cast<std::size_t>(file.gcount())),
              asio::use_awaitable);
        }
      }
    } catch (const boost::system::system_error&) {
      ++closed;
      co_return;
    }
    if (reply.then == Reply::Then::kClose) {
      socket.shutdown(tcp::socket::shutdown_both, ignored);
      co_return;
    }
    // Kept open: whatever the client sends more is ignored until it closes.
    char sink[512];
    for (;;) {
      try {
        co_await socket.async_read_some(asio::buffer(sink), asio::use_awaitable);
      } catch (const boost::system::system_error&) {
        ++closed;
        co_return;
      }
    }
  }

  Responder responder;
  asio::io_context context;
  tcp::acceptor acceptor{context, tcp::endpoint(asio::ip::address_v4::loopback(), 0)};
  mutable std::mutex mutex;
  std::vector<std::string> received;
  std::atomic<std::size_t> closed{0};
  std::thread thread;
};

LoopbackServer::LoopbackServer(Responder responder)
    : impl_(std::make_unique<Impl>(std::move(responder))) {
  asio::co_spawn(impl_->context, impl_->accept_loop(), asio::detached);
  impl_->thread = std::thread([impl = impl_.get()] { impl->context.run(); });
}

LoopbackServer::~LoopbackServer() {
  impl_->context.stop();
  impl_->thread.join();
}

unsigned short LoopbackServer::port() const { return impl_->acceptor.local_endpoint().port(); }

std::string LoopbackServer::url(std::string_view target) const {
  return "http://127.0.0.1:" + std::to_string(port()) + std::string(target);
}

std::vector<std::string> LoopbackServer::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->received;
}

std::size_t LoopbackServer::closed_by_client() const { return impl_->closed; }

bool LoopbackServer::wait_closed_by_client(std::size_t count) const {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (impl_->closed < count) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

unsigned short unused_port() {
  asio::io_context context;
  tcp::acceptor acceptor(context, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  return acceptor.local_endpoint().port();
}

}  // namespace tavrin::testing
