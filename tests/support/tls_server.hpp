// A real TLS server for tests (cpp-httplib over OpenSSL) with the certificates of
// tests/data/tls, and a scope that makes OpenSSL trust one of them.
//
//   TlsServer server("localhost");   TrustOnly trust(tls_file("localhost.crt"));
//   co_await quellin::async_call_api(server.url("localhost"), ...)   // -> {"tls":true}
#pragma once

#include <stdlib.h>

#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include <httplib.h>

namespace tavrin::testing {

/// The path of tests/data/tls/<name>. The repository root comes from CTest; run by hand, from
/// this file's place in the tree.
inline std::string tls_file(const std::string& name) {
  const char* root = std::getenv("TAVRIN_SOURCE_DIR");
  const std::filesystem::path base =
      root != nullptr ? std::filesystem::path(root)
                      : std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
  return (base / "tests/data/tls" / name).string();
}

/// Answers every POST to / with {"tls":true}, keeping connections alive, with the certificate
/// <name>.crt (for localhost and 127.0.0.1).
class TlsServer {
 public:
  explicit TlsServer(const std::string& name)
      : server_(tls_file(name + ".crt").c_str(), tls_file(name + ".key").c_str()) {
    server_.Post("/", [this](const httplib::Request& req, httplib::Response& res) {
      {
        std::lock_guard lock(mutex_);
        client_ports_.insert(req.remote_port);
      }
      res.set_content(R"({"tls":true})", "application/json");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~TlsServer() {
    server_.stop();
    thread_.join();
  }
  TlsServer(const TlsServer&) = delete;
  TlsServer& operator=(const TlsServer&) = delete;

  std::string url(const std::string& host) const {
    return "https://" + host + ":" + std::to_string(port_) + "/";
  }
  /// Connections that carried a request so far (told apart by the client's port).
  std::size_t connections() const {
    std::lock_guard lock(mutex_);
    return client_ports_.size();
  }

 private:
  httplib::SSLServer server_;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::set<int> client_ports_;
  std::thread thread_;
};

/// Points OpenSSL's default trust store at one certificate for the life of the object.
class TrustOnly {
 public:
  explicit TrustOnly(const std::string& crt) { ::setenv("SSL_CERT_FILE", crt.c_str(), 1); }
  ~TrustOnly() { ::unsetenv("SSL_CERT_FILE"); }
  TrustOnly(const TrustOnly&) = delete;
  TrustOnly& operator=(const TrustOnly&) = delete;
};

}  // namespace tavrin::testing
