/*
 * lighttpd.cpp: lighttpd on loopback for end-to-end tests (see lighttpd.h).
 *
 * The server is known to be up once its port accepts a connection; if the
 * process ends first, the port was taken by someone else between the pick
 * and the bind, and a new port is tried. There is no deadline for either
 * event (a loaded machine may take long to start it); the test's own
 * timeout bounds the wait.
 */
#include "lighttpd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace lmxtest {
namespace {

constexpr int kStartAttempts = 5;

sockaddr_in loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return addr;
}

int connect_loopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr = loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void send_all(int fd, const std::string &bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n =
        send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    /* A server refusing a request may close before reading all of it; the
     * answer it sent first is still there to read. */
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

}  // namespace

int free_loopback_port() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in addr = loopback(0);
  socklen_t len = sizeof addr;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  close(fd);
  return port;
}

HttpResponse http_request(int port, const std::string &method,
                          const std::string &target, const std::string &body,
                          const std::vector<std::string> &headers) {
  HttpResponse res;
  int fd = connect_loopback(port);
  if (fd < 0) return res;
  std::string req = method + " " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n";
  for (const std::string &h : headers) req += h + "\r\n";
  if (!body.empty() || method == "POST" || method == "PUT")
    req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  req += "\r\n" + body;
  send_all(fd, req);
  std::string raw;
  char buf[65536];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    raw.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  size_t end = raw.find("\r\n\r\n");
  if (end == std::string::npos || raw.compare(0, 5, "HTTP/") != 0) return res;
  res.headers = raw.substr(0, end);
  res.body = raw.substr(end + 4);
  res.status = std::atoi(raw.c_str() + raw.find(' ') + 1);
  return res;
}

LighttpdServer::LighttpdServer(const std::string &router,
                               const std::string &render,
                               const std::string &storage,
                               const std::map<std::string, std::string> &env)
    : router_(router), render_(render), storage_(storage), env_(env) {
  mkdir(storage_.c_str(), 0700);
  for (int attempt = 0; attempt < kStartAttempts && pid_ <= 0; attempt++)
    try_start();
}

LighttpdServer::~LighttpdServer() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
}

std::string LighttpdServer::error_log() const {
  return start_failure_ + read_file(dir_.sub("error.log")).value_or("");
}

void LighttpdServer::try_start() {
  port_ = free_loopback_port();
  ChildSpec job;
  job.inherit_env = true;
  for (const auto &kv : env_) job.env[kv.first] = kv.second;
  std::string conf_path = dir_.sub("lighttpd.conf");
  ChildResult conf =
      run_program(render_,
                  {"--router", router_, "--storage", storage_, "--port",
                   std::to_string(port_), "--errorlog", dir_.sub("error.log")},
                  job);
  if (conf.exit_code != 0 || !write_file(conf_path, conf.out)) {
    start_failure_ = "render-lighttpd-conf failed: " + conf.err + "\n";
    return;
  }
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) return;
  if (pid == 0) {
    for (const auto &kv : env_) setenv(kv.first.c_str(), kv.second.c_str(), 1);
    execlp("lighttpd", "lighttpd", "-D", "-f", conf_path.c_str(),
           static_cast<char *>(nullptr));
    execl("/usr/sbin/lighttpd", "lighttpd", "-D", "-f", conf_path.c_str(),
          static_cast<char *>(nullptr));
    _exit(127);
  }
  for (;;) {
    int fd = connect_loopback(port_);
    if (fd >= 0) {
      close(fd);
      pid_ = pid;
      return;
    }
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) return; /* port taken */
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace lmxtest
