// Debian's nginx as a stub endpoint on 127.0.0.1 for the benchmarks: one process (no master),
// started with a configuration of the benchmark's and stopped when the stub goes, so that the
// endpoint is never the slower side of a comparison.
//
//   tavrin::bench::Nginx stub(folder, "", "location / { return 200 '{}'; }");
//   stub.url("/v1")        // -> "http://127.0.0.1:<port>/v1"
//   stub.cpu_seconds()     // what nginx has spent so far
#pragma once

#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>

extern char** environ;

namespace tavrin::bench {

inline constexpr char kNginx[] = "/usr/sbin/nginx";

/// `text` as an nginx single-quoted string, e.g. a fixed reply for `return 200`.
inline std::string nginx_quoted(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\\' || c == '\'') out += '\\';
    out += c;
  }
  return out + "'";
}

class Nginx {
 public:
  /// Starts nginx with `http` among the directives of its http block (maps, say) and `server` as
  /// the body of its one server block, which listens on port(); `main` goes before all else
  /// (load_module, say); its files go in `folder`. running() says whether it answers.
  Nginx(const std::filesystem::path& folder, const std::string& http, const std::string& server,
        const std::string& main = "")
      : port_(free_port()) {
    const auto conf = folder / "nginx.conf";
    const std::string dir = folder.string();
    std::ofstream(conf) << main << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
                        << "pid " << dir << "/nginx.pid;\nerror_log " << dir << "/error.log;\n"
                        << "events { worker_connections 1024; }\nhttp {\n  access_log off;\n"
                        << "  sendfile on;\n  tcp_nopush on;\n  tcp_nodelay on;\n"
                        << "  keepalive_requests 1000000;\n  keepalive_timeout 300s;\n"
                        << "  client_body_temp_path " << dir << "/body;\n"
                        << "  proxy_temp_path " << dir << "/proxy;\n"
                        << "  fastcgi_temp_path " << dir << "/fastcgi;\n"
                        << "  uwsgi_temp_path " << dir << "/uwsgi;\n"
                        << "  scgi_temp_path " << dir << "/scgi;\n"
                        << "  default_type application/json;\n"
                        << http << "\n  server {\n    listen 127.0.0.1:" << port_ << ";\n"
                        << server << "\n  }\n}\n";
    const std::string conf_path = conf.string();
    const std::string error_log = dir + "/error.log";
    const char* argv[] = {kNginx,      "-c", conf_path.c_str(), "-p",
                          dir.c_str(), "-e", error_log.c_str(), nullptr};
    if (::posix_spawn(&pid_, kNginx, nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
      pid_ = -1;
      return;
    }
    // Answering once it accepts connections; a few seconds at most.
    for (int i = 0; i < 500 && !accepts(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  ~Nginx() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }

  Nginx(const Nginx&) = delete;
  Nginx& operator=(const Nginx&) = delete;

  bool running() const { return pid_ > 0 && accepts(); }
  unsigned short port() const { return port_; }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

  /// User and system time nginx has used so far.
  double cpu_seconds() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto end_of_name = text.rfind(')');
    if (end_of_name == std::string::npos) return 0;
    std::istringstream fields(text.substr(end_of_name + 2));
    std::string skipped;
    for (int i = 3; i < 14; ++i) fields >> skipped;  // state ... cmajflt
    double user = 0, system = 0;
    fields >> user >> system;
    return (user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }

 private:
  static unsigned short free_port() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(s, reinterpret_cast<sockaddr*>(&address), size);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(s);
    return ntohs(address.sin_port);
  }

  bool accepts() const {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port_);
    const bool connected = ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(s);
    return connected;
  }

  unsigned short port_;
  pid_t pid_ = -1;
};

}  // namespace tavrin::bench
