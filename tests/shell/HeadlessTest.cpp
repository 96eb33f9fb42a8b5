// The headless program as a user runs it: address line, status lines, signal
// stop, and its command-line errors.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The program running with its standard output and error on pipes.
class TProgram {
 public:
  explicit TProgram(std::vector<std::string> args) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
    args.insert(args.begin(), std::string(MIRELO_BINARY_DIR) + "/mirelo-share");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~TProgram() {
    if (pid_ > 0 && !waited_) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
    if (out_ >= 0) ::close(out_);
    if (err_ >= 0) ::close(err_);
  }

  // The next line of standard output ("" after 10 s or at its end).
  std::string ReadLine() {
    for (;;) {
      const std::size_t nl = outText_.find('\n');
      if (nl != std::string::npos) {
        std::string line = outText_.substr(0, nl);
        outText_.erase(0, nl + 1);
        return line;
      }
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, 10000) <= 0) return {};
      char buf[4096];
      const ssize_t n = ::read(out_, buf, sizeof buf);
      if (n <= 0) return {};
      outText_.append(buf, static_cast<std::size_t>(n));
    }
  }

  std::string ReadAllErrors() {
    std::string all;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(err_, buf, sizeof buf)) > 0) all.append(buf, static_cast<std::size_t>(n));
    return all;
  }

  std::string ReadRestOfOutput() {
    std::string all = outText_;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(out_, buf, sizeof buf)) > 0) all.append(buf, static_cast<std::size_t>(n));
    return all;
  }

  void Signal(int sig) { ::kill(pid_, sig); }

  // The exit code, or -1 when it did not exit normally.
  int Wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    waited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  bool waited_ = false;
  std::string outText_;
};

struct TTempDir {
  TTempDir() {
    std::string p = (fs::temp_directory_path() / "mirelo-headless-XXXXXX").string();
    path = ::mkdtemp(p.data());
  }
  ~TTempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  fs::path path;
};

std::string Request(int port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return reply;
}

TEST(Headless, ServesPrintsReportsAndStopsOnSignal) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    TTempDir folder;
    TProgram program({"--headless", "--folder", folder.path.string(), "--port", "0", "--uploads",
                      "--timeout", "2000"});
    std::smatch m;
    const std::string address = program.ReadLine();
    ASSERT_TRUE(std::regex_match(address, m, std::regex(R"(http://[0-9.]+:([0-9]+)/)"))) << address;
    const int port = std::stoi(m[1]);
    ASSERT_GT(port, 0);

    EXPECT_EQ(0u, Request(port, "GET / HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 200\r\n", 0));
    EXPECT_EQ("IP: 127.0.0.1\t Op: Connecting...", program.ReadLine());
    EXPECT_EQ("IP: 127.0.0.1\t Op: -1", program.ReadLine());

    const std::string body =
        "--b\r\nContent-Disposition: form-data; name=\"file\"; filename=\"x.txt\"\r\n"
        "Content-Type: text/plain\r\n\r\nhello\r\n--b\r\nContent-Disposition: form-data; "
        "name=\"path\"\r\n\r\n/\r\n--b--\r\n";
    Request(port,
            "POST /upload HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=b\r\n"
            "Content-Length: " +
                std::to_string(body.size()) + "\r\n\r\n" + body);
    EXPECT_EQ("IP: 127.0.0.1\t Op: Connecting...", program.ReadLine());
    EXPECT_EQ("IP: 127.0.0.1\t Op: Uploading...\t File: x.txt", program.ReadLine());
    EXPECT_EQ("IP: 127.0.0.1\t Op: -1\t File: x.txt", program.ReadLine());
    std::ifstream stored(folder.path / "x.txt");
    std::string content;
    std::getline(stored, content);
    EXPECT_EQ("hello", content);

    program.Signal(sig);
    EXPECT_EQ(0, program.Wait());
  }
}

TEST(Headless, CommandLineErrors) {
  struct Case {
    std::vector<std::string> args;
    int code;
    const char* inError;
  };
  const Case cases[] = {
      {{"--headless", "--folder", "/nonexistent/mirelo/folder"}, 2, "/nonexistent/mirelo/folder"},
      {{"--headless"}, 2, "--folder"},
      {{"--headless", "--folder", "/tmp", "--port", "70000"}, 2, "--port"},
      {{"--headless", "--folder", "/tmp", "--timeout", "50"}, 2, "--timeout"},
      {{"--headless", "--folder", "/tmp", "--bogus"}, 2, "--bogus"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    TProgram program(c.args);
    EXPECT_NE(std::string::npos, program.ReadAllErrors().find(c.inError));
    EXPECT_EQ(c.code, program.Wait());
  }
}

TEST(Headless, HelpListsTheOptions) {
  TProgram program({"--help"});
  const std::string text = program.ReadRestOfOutput();
  EXPECT_EQ(0, program.Wait());
  for (const char* option : {"--headless", "--folder", "--port", "--uploads", "--timeout"})
    EXPECT_NE(std::string::npos, text.find(option)) << option;
}

}  // namespace
