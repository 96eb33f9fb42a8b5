// End-to-end tests of the headless program: the built mirelo-share started
// with its own HOME and XDG folders, talked to over loopback, stopped with a
// signal, and its files read back.
#include "QrDecode.h"
#include "support/TempFolder.h"

#include "network/TrackerServer.h"
#include "support/FakeRouters.h"
#include "support/LoopbackServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <thread>

namespace {

const std::string kProgram = std::string(MIRELO_BINARY_DIR) + "/mirelo-share";
constexpr int kWaitMs = 30000;  // a guard against hanging, not a speed goal

// One run of the program with its output collected.
class ProgramRun {
 public:
  // asNobody: run as the unprivileged user "nobody" (through setpriv when
  // the test runs as root), so that file permissions apply.
  ProgramRun(const TempFolder& env, std::vector<std::string> args, bool asNobody = false) {
    int out[2], err[2];
    EXPECT_EQ(0, ::pipe2(out, O_CLOEXEC));
    EXPECT_EQ(0, ::pipe2(err, O_CLOEXEC));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    args.insert(args.begin(), kProgram);
    std::string launcher = kProgram;
    if (asNobody && ::geteuid() == 0) {
      launcher = "/usr/bin/setpriv";
      args.insert(args.begin(),
                  {launcher, "--reuid=65534", "--regid=65534", "--clear-groups", "--"});
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envText = {"HOME=" + (env / "home"),
                                        "XDG_CONFIG_HOME=" + (env / "config"),
                                        "XDG_DATA_HOME=" + (env / "data"),
                                        "XDG_RUNTIME_DIR=" + env.Slash(),
                                        "LC_ALL=C",
                                        "PATH=/usr/bin:/bin",
                                        "MIRELO_LOOPBACK_ONLY=1"};
    std::vector<char*> envp;
    for (auto& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);
    EXPECT_EQ(0,
              ::posix_spawn(&pid_, launcher.c_str(), &actions, nullptr, argv.data(), envp.data()));
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    outFd_ = out[0];
    errFd_ = err[0];
  }
  ~ProgramRun() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
    ::close(outFd_);
    ::close(errFd_);
  }

  // Reads output until the pattern matches the standard output; the match, or
  // an empty result when the program ended or the guard time passed.
  std::smatch WaitForOutput(const std::regex& pattern) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    std::smatch m;
    while (std::chrono::steady_clock::now() < end) {
      if (std::regex_search(out_, m, pattern)) return m;
      if (!Pump(100)) break;
    }
    std::regex_search(out_, m, pattern);
    return m;
  }

  void Signal(int sig) { ::kill(pid_, sig); }

  // The exit code (128 + signal when killed).
  int Wait() {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    int status = 0;
    while (!exited_) {
      Pump(50);
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        exited_ = true;
        code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      } else if (std::chrono::steady_clock::now() > end) {
        ::kill(pid_, SIGKILL);
      }
    }
    while (Pump(0)) {
    }
    return code_;
  }

  const std::string& Out() const { return out_; }
  const std::string& Err() const { return err_; }

 private:
  // Reads what is there; false when both pipes are at their end.
  bool Pump(int ms) {
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    if (::poll(fds, 2, ms) <= 0) return !(outDone_ && errDone_);
    char buffer[4096];
    if (fds[0].revents) {
      const ssize_t n = ::read(outFd_, buffer, sizeof buffer);
      if (n > 0) out_.append(buffer, static_cast<size_t>(n));
      if (n == 0) outDone_ = true;
    }
    if (fds[1].revents) {
      const ssize_t n = ::read(errFd_, buffer, sizeof buffer);
      if (n > 0) err_.append(buffer, static_cast<size_t>(n));
      if (n == 0) errDone_ = true;
    }
    return !(outDone_ && errDone_);
  }

  pid_t pid_ = -1;
  int outFd_ = -1, errFd_ = -1;
  bool outDone_ = false, errDone_ = false, exited_ = false;
  int code_ = -1;
  std::string out_, err_;
};

// Decodes the half-block text with the system's decoder.
void WritePgmAndExpect(const TempFolder& env, const std::string& text, const std::string& address) {
  testing_qr::WritePgm(testing_qr::ParseHalfBlocks(text), env / "code.pgm");
  EXPECT_EQ(address, testing_qr::Decode(env / "code.pgm")) << text;
}

const std::regex kLocalAddress(R"(http://127\.0\.0\.1:(\d+)/)");
const std::regex kWebAddress(R"(Web address: http://([^:\s]*):(\d+))");

// One request over loopback; the whole answer.
std::string Send(int port, const std::string& request, const char* address = "127.0.0.1") {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, address, &addr.sin_addr);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
      answer.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return answer;
}

std::string SettingsText(const std::string& adr, int port, const std::string& folder, bool uploads,
                         int width) {
  return "[Form]\r\nLeft=10\r\nTop=90\r\nWidth=720\r\nHeight=540\r\nTab=0\r\n\r\n"
         "[Internet]\r\nAdr=" +
         adr + "\r\nPort=" + std::to_string(port) +
         "\r\nspnTimeOut=12000\r\nradIntern=1\r\n\r\n"
         "[Share]\r\nFolder=" +
         folder + "\r\nchkAccUploads=" + (uploads ? "1" : "0") +
         "\r\n\r\n"
         "[Settings]\r\nchkAutoStart=1\r\nchkUseSkins=1\r\nedtedtResamplerQ=6\r\nspnWidth=" +
         std::to_string(width) +
         "\r\nspnHeight=96\r\n\r\n"
         "[Network]\r\nIpEchoHost=checkip.dyndns.org\r\nTrackerHost=www.novrix.example\r\n"
         "PortMapping=0\r\n";
}

// Counts the run separators of a log: two empty lines and a date-and-time line.
size_t Separators(const std::string& log) {
  const std::regex separator(
      R"((^|\r\n)\r\n\r\n\d{1,2}/\d{1,2}/\d{4} \d{1,2}:\d\d:\d\d [AP]M\r\n)");
  return static_cast<size_t>(std::distance(std::sregex_iterator(log.begin(), log.end(), separator),
                                           std::sregex_iterator()));
}

TEST(HeadlessProgram, FirstRunThenSecondRunReadsBack) {
  TempFolder env;
  const std::string work = env / "work";
  {
    ProgramRun run(env, {"--workdir", work, "--internal", "--no-port-mapping", "--port", "0",
                         "--uploads", "on", "--thumb-width", "200", "--user", "Tester"});
    auto local = run.WaitForOutput(kLocalAddress);
    ASSERT_FALSE(local.empty()) << run.Out() << run.Err();
    const int port = std::stoi(local[1]);
    // The default shared folder was made, and the user is told where and how to choose another.
    const std::string shared = work + "/Shared folder";
    EXPECT_TRUE(env.Exists("work/Shared folder"));
    EXPECT_NE(std::string::npos, run.Err().find(shared)) << run.Err();
    EXPECT_NE(std::string::npos, run.Err().find("--folder")) << run.Err();
    const std::string page = Send(port, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(0u, page.find("HTTP/1.0 200")) << page;
    run.WaitForOutput(std::regex("IP: 127\\.0\\.0\\.1\t Op: Connecting\\.\\.\\."));
    // An upload shows on the board and lands in the shared folder.
    const std::string body =
        "--b\r\nContent-Disposition: form-data; name=\"file\"; filename=\"x.txt\"\r\n"
        "Content-Type: text/plain\r\n\r\nhello\r\n--b\r\nContent-Disposition: form-data; "
        "name=\"path\"\r\n\r\n/\r\n--b--\r\n";
    Send(port,
         "POST /upload HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=b\r\n"
         "Content-Length: " +
             std::to_string(body.size()) + "\r\n\r\n" + body);
    EXPECT_FALSE(
        run.WaitForOutput(
               std::regex("IP: 127\\.0\\.0\\.1\t Op: Uploading\\.\\.\\.\t File: x\\.txt\n"))
            .empty())
        << run.Out();
    EXPECT_EQ("hello", env.Read("work/Shared folder/x.txt"));
    auto web = run.WaitForOutput(kWebAddress);
    ASSERT_FALSE(web.empty()) << run.Out();
    run.Signal(SIGTERM);
    EXPECT_EQ(0, run.Wait()) << run.Err();

    EXPECT_EQ(SettingsText(web[1], 0, shared, true, 200), env.Read("work/system/Mirelo.INI"));
    const std::string log = env.Read("work/Log.txt");
    EXPECT_EQ(1u, Separators(log)) << log;
    EXPECT_EQ(0u, log.find("\r\n\r\n")) << log;
    EXPECT_NE(std::string::npos, log.find("IP: 127.0.0.1\t Op: Connecting...\r\n"
                                          "IP: 127.0.0.1\t Op: Uploading...\t File: x.txt\r\n"))
        << log;
    EXPECT_EQ("[Software\\Orvel\\Mirelo]\r\nUserName=Tester0\r\n",
              env.Read("config/Orvel/Mirelo.conf"));
    // The cache got the thumbnail size and saved its database on the way out.
    EXPECT_NE(std::string::npos, env.Read("work/MireloCache/CacheSettings").find("ThumbWidth=200"));
    EXPECT_TRUE(env.Exists("work/MireloCache/CacheDBInput"));
  }
  {
    // No options: the stored settings come back, nothing is asked or made again.
    ProgramRun run(env, {"--workdir", work});
    auto local = run.WaitForOutput(kLocalAddress);
    ASSERT_FALSE(local.empty()) << run.Out() << run.Err();
    EXPECT_EQ(std::string::npos, run.Err().find("--folder")) << run.Err();
    EXPECT_NE(std::string::npos, run.Out().find("Your user name: Tester0")) << run.Out();
    auto web = run.WaitForOutput(kWebAddress);
    run.Signal(SIGINT);
    EXPECT_EQ(0, run.Wait()) << run.Err();
    EXPECT_EQ(SettingsText(web[1], 0, work + "/Shared folder", true, 200),
              env.Read("work/system/Mirelo.INI"));
    EXPECT_EQ(2u, Separators(env.Read("work/Log.txt")));
  }
}

TEST(HeadlessProgram, SecondStartOnTheSameWorkingFolderIsRefused) {
  TempFolder env;
  const std::string work = env / "work";
  env.Mkdir("pics");
  ProgramRun first(env, {"--workdir", work, "--internal", "--no-port-mapping", "--port", "0",
                         "--folder", env / "pics"});
  ASSERT_FALSE(first.WaitForOutput(kLocalAddress).empty()) << first.Out() << first.Err();
  ProgramRun second(env, {"--workdir", work, "--internal", "--no-port-mapping", "--port", "0",
                          "--folder", env / "pics"});
  EXPECT_EQ(3, second.Wait());
  EXPECT_NE(std::string::npos, second.Err().find(work)) << second.Err();
  // The first one is unharmed and still ends cleanly.
  first.Signal(SIGTERM);
  EXPECT_EQ(0, first.Wait()) << first.Err();
}

TEST(HeadlessProgram, ShareOffStartsWithoutSharingAndStillSaves) {
  TempFolder env;
  env.Mkdir("pics");
  ProgramRun run(env, {"shareoff", "--workdir", env / "work", "--internal", "--no-port-mapping",
                       "--port", "0", "--folder", env / "pics", "--user", "Somebody Else"});
  ASSERT_FALSE(run.WaitForOutput(std::regex("Your user name: Somebody Else")).empty())
      << run.Out() << run.Err();
  run.Signal(SIGTERM);
  EXPECT_EQ(0, run.Wait()) << run.Err();
  EXPECT_EQ(std::string::npos, run.Out().find("http://127.0.0.1:"));
  EXPECT_NE(std::string::npos, env.Read("work/system/Mirelo.INI").find("Folder=" + (env / "pics")));
  EXPECT_EQ(1u, Separators(env.Read("work/Log.txt")));
}

TEST(HeadlessProgram, BadArgumentsAndHelp) {
  TempFolder env;
  ProgramRun bad(env, {"--port", "99999"});
  EXPECT_EQ(2, bad.Wait());
  EXPECT_NE(std::string::npos, bad.Err().find("--port")) << bad.Err();
  ProgramRun help(env, {"--help"});
  EXPECT_EQ(0, help.Wait());
  EXPECT_NE(std::string::npos, help.Out().find("--workdir"));
}

TEST(HeadlessProgram, ListUsersIsRefusedForTheInternalServerType) {
  TempFolder env;
  env.Mkdir("pics");
  ProgramRun run(
      env, {"--workdir", env / "work", "--internal", "--list-users", "--folder", env / "pics"});
  EXPECT_EQ(1, run.Wait());
  EXPECT_EQ(std::string::npos, run.Out().find("On this computer"));  // nothing was shared
  EXPECT_EQ(1u, Separators(env.Read("work/Log.txt")));
}

TEST(HeadlessProgram, PortInUseSaysWhatTheErrorMeans) {
  TempFolder env;
  // A listener on every interface holds a port.
  const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(holder, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  ASSERT_EQ(0, ::bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  ASSERT_EQ(0, ::listen(holder, 1));
  socklen_t size = sizeof addr;
  ASSERT_EQ(0, ::getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &size));
  const std::string port = std::to_string(ntohs(addr.sin_port));
  ProgramRun run(env,
                 {"--workdir", env / "work", "--internal", "--no-port-mapping", "--port", port});
  run.Wait();
  ::close(holder);
  EXPECT_NE(std::string::npos, run.Err().find("Cannot listen on port " + port +
                                              ": the port is already in use (socket error 10048)"))
      << run.Err();
}

// Whether a user other than the owner may run the program (every folder on
// its way searchable, the file executable).
bool OthersMayRun(const std::string& program) {
  struct stat st {};
  if (::stat(program.c_str(), &st) != 0 || !(st.st_mode & S_IXOTH)) return false;
  for (std::string folder = program; folder.rfind('/') > 0;) {
    folder.resize(folder.rfind('/'));
    if (::stat(folder.c_str(), &st) != 0 || !(st.st_mode & S_IXOTH)) return false;
  }
  return true;
}

// A folder named with --folder that cannot be shared is said exactly, and the
// program ends with the usage error's code; the setting is kept all the same.
TEST(HeadlessProgram, AFolderThatCannotBeSharedIsNamedAndEndsTheRun) {
  enum class Kind { Missing, File, Unreadable };
  const struct {
    const char* name;
    Kind kind;
    const char* message;
  } cases[] = {
      {"gone", Kind::Missing, "The folder to share does not exist: "},
      {"notes.txt", Kind::File, "The folder to share is not a folder: "},
      // Run as an unprivileged user, for whom the folder's permissions count.
      {"locked", Kind::Unreadable, "The folder to share cannot be read: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.kind == Kind::Unreadable && ::geteuid() == 0 && !OthersMayRun(kProgram)) {
      ADD_FAILURE() << "the unprivileged user cannot run " << kProgram;
      continue;
    }
    TempFolder env;
    if (c.kind == Kind::File) env.Write(c.name, "text");
    if (c.kind == Kind::Unreadable) {
      ::chmod(env.Slash().c_str(), 0777);  // the user makes its working folder here
      env.Mkdir(c.name);
      ::chmod((env / c.name).c_str(), 0);
    }
    ProgramRun run(env,
                   {"--workdir", env / "work", "--internal", "--no-port-mapping", "--port", "0",
                    "--folder", env / c.name},
                   c.kind == Kind::Unreadable);
    EXPECT_EQ(2, run.Wait());
    EXPECT_NE(std::string::npos, run.Err().find(c.message + (env / c.name))) << run.Err();
    EXPECT_EQ(std::string::npos, run.Out().find("Web address")) << run.Out();
    EXPECT_NE(std::string::npos,
              env.Read("work/system/Mirelo.INI").find("Folder=" + (env / c.name)));
  }
}

// A stored folder that has gone is asked for, as the window asks.
TEST(HeadlessProgram, MissingStoredFolderIsReported) {
  TempFolder env;
  env.Write("work/system/Mirelo.INI", "[Share]\r\nFolder=" + (env / "gone") + "\r\n");
  ProgramRun run(env, {"--workdir", env / "work", "--internal", "--port", "0"});
  EXPECT_EQ(1, run.Wait());
  EXPECT_NE(std::string::npos, run.Err().find("Please choose the folder you want to share"))
      << run.Err();
  EXPECT_NE(std::string::npos, env.Read("work/system/Mirelo.INI").find("Folder=" + (env / "gone")));
}

// Runs a client program (found on PATH) with its output discarded; its exit
// code, or -1 when it could not be started.
int RunClient(std::vector<std::string> args) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  // Loopback only, whatever proxy the environment names.
  std::vector<std::string> envText = {"PATH=/usr/bin:/bin", "LC_ALL=C", "HOME=/nonexistent"};
  std::vector<char*> envp;
  for (auto& e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The body bytes of a download cut off by its client after about want bytes.
std::string CutDownload(int port, const std::string& uri, size_t want) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    const std::string request = "GET " + uri + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char buffer[4096];
    ssize_t n;
    while ((answer.find("\r\n\r\n") == std::string::npos ||
            answer.size() - answer.find("\r\n\r\n") - 4 < want) &&
           (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
      answer.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  const size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

// Real clients resume a download that was cut off: they ask for the rest with
// Range and end up with the file, byte for byte. One that already has it all
// is told so and keeps it.
TEST(HeadlessProgram, CurlAndWgetResumeACutDownload) {
  TempFolder env;
  std::string content(5u << 20, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 131 + (i >> 13));
  env.Write("share/movie.bin", content);
  ProgramRun run(env, {"--workdir", env / "work", "--internal", "--no-port-mapping", "--port", "0",
                       "--folder", env / "share"});
  auto local = run.WaitForOutput(kLocalAddress);
  ASSERT_FALSE(local.empty()) << run.Out() << run.Err();
  const int port = std::stoi(local[1]);
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/download?movie.bin";

  for (const char* client : {"curl", "wget"}) {
    SCOPED_TRACE(client);
    const std::string cut = CutDownload(port, "/download?movie.bin", 1500000);
    ASSERT_GE(cut.size(), 1500000u);
    ASSERT_LT(cut.size(), content.size());
    ASSERT_TRUE(content.compare(0, cut.size(), cut) == 0);
    const std::string part = std::string(client) + ".part";
    env.Write(part, cut);
    std::vector<std::string> resume =
        std::string(client) == "curl"
            ? std::vector<std::string>{"curl", "-s", "-f", "--noproxy", "*",        "--max-time",
                                       "60",   "-C", "-",  "-o",        env / part, url}
            : std::vector<std::string>{
                  "wget",         "-q", "--no-config", "--no-proxy", "--tries=1",
                  "--timeout=60", "-c", "-O",          env / part,   url};
    ASSERT_EQ(0, RunClient(resume));
    EXPECT_EQ(content.size(), env.Read(part).size());
    EXPECT_TRUE(env.Read(part) == content);
  }
  // Asked again for a file it has whole, wget is told there is nothing more.
  EXPECT_EQ(0, RunClient({"wget", "-q", "--no-config", "--no-proxy", "--tries=1", "--timeout=60",
                          "-c", "-O", env / "wget.part", url}));
  EXPECT_TRUE(env.Read("wget.part") == content);
  const std::string refused = Send(port, "GET /download?movie.bin HTTP/1.1\r\nRange: bytes=" +
                                             std::to_string(content.size()) + "-\r\n\r\n");
  EXPECT_EQ(0u, refused.find("HTTP/1.0 416\r\n")) << refused;
  EXPECT_NE(std::string::npos,
            refused.find("Content-Range: bytes */" + std::to_string(content.size())));
}

TEST(HeadlessProgram, PrivateSharingPrintsTheAddressWithTheKeyAndItsQrCode) {
  TempFolder env;
  const std::string work = env / "work";
  const std::regex withKey(R"(Web address: (http://\S*:\d+/\?key=([A-Za-z0-9_-]+))\n)");
  std::string firstKey;
  {
    ProgramRun run(env, {"--workdir", work, "--internal", "--no-port-mapping", "--port", "0",
                         "--private", "--qr"});
    auto local = run.WaitForOutput(kLocalAddress);
    ASSERT_FALSE(local.empty()) << run.Out() << run.Err();
    const int port = std::stoi(local[1]);
    const auto address = run.WaitForOutput(withKey);
    ASSERT_FALSE(address.empty()) << run.Out();
    firstKey = address[2];
    EXPECT_GE(firstKey.size() * 6, 128u);
    // The QR code between the address and the local line encodes the address exactly.
    const std::string out = run.Out();
    const std::size_t from = out.find('\n', out.find("Web address: ")) + 1;
    const std::string code = out.substr(from, out.find("On this computer") - from);
    WritePgmAndExpect(env, code, address[1]);

    EXPECT_EQ(0u, Send(port, "GET / HTTP/1.0\r\n\r\n").find("HTTP/1.0 403"));
    const std::string visit = Send(port, "GET /?key=" + firstKey + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(0u, visit.find("HTTP/1.0 303")) << visit;
    run.Signal(SIGTERM);
    EXPECT_EQ(0, run.Wait());
  }
  // The key is kept: the next run shares privately with the same key, and
  // --new-key replaces it.
  {
    ProgramRun run(env, {"--workdir", work, "--port", "0", "--new-key"});
    auto local = run.WaitForOutput(kLocalAddress);
    ASSERT_FALSE(local.empty()) << run.Out() << run.Err();
    const int port = std::stoi(local[1]);
    const auto address = run.WaitForOutput(withKey);
    ASSERT_FALSE(address.empty()) << run.Out();
    const std::string newKey = address[2];
    EXPECT_NE(firstKey, newKey);
    EXPECT_EQ(0u, Send(port, "GET /?key=" + firstKey + " HTTP/1.0\r\n\r\n").find("HTTP/1.0 403"));
    EXPECT_EQ(0u, Send(port, "GET / HTTP/1.0\r\nCookie: mirelo_key=" + newKey + "\r\n\r\n")
                      .find("HTTP/1.0 200"));
    // Without a terminal and without --qr no code is printed.
    EXPECT_EQ(std::string::npos, run.Out().find("\u2588"));
    run.Signal(SIGTERM);
    EXPECT_EQ(0, run.Wait());
  }
}

// ---- Sharing over the Internet ----

// A pattern that matches exactly the text.
std::regex Literal(const std::string& text) {
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex(std::regex_replace(text, special, R"(\$&)"));
}

// A tracker on loopback (the reachability check's other end), a port on which
// nothing listens, and the settings file that points the program at them.
class HeadlessInternet : public ::testing::Test {
 protected:
  void SetUp() override {
    TTrackerOptions options;
    options.BindAddress = "127.0.0.1";
    options.Port = "0";
    tracker = std::make_unique<TTrackerServer>(options);
    std::string error;
    ASSERT_TRUE(tracker->Start(error)) << error;
    trackerHost = "127.0.0.1:" + std::to_string(tracker->Port());
    TTcpBlockingSocket gone;
    gone.Bind("127.0.0.1", "0");
    closedPort = std::to_string(gone.LocalPort());
    env.Mkdir("pics");
    // The IP-echo host does not answer: the address is "<unknown>".
    WriteNetwork(trackerHost);
  }
  void WriteNetwork(const std::string& trackerAt) {
    env.Write("work/system/Mirelo.INI", "[Network]\r\nIpEchoHost=127.0.0.1:" + closedPort +
                                            "\r\nTrackerHost=" + trackerAt + "\r\n");
  }
  std::vector<std::string> Args(std::vector<std::string> extra) {
    std::vector<std::string> args = {"--workdir", env / "work", "--external", "--port",    "0",
                                     "--folder",  env / "pics", "--user",     "Net Tester"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  TempFolder env;
  std::unique_ptr<TTrackerServer> tracker;
  std::string trackerHost;
  std::string closedPort;
};

TEST_F(HeadlessInternet, RouterForwardsThePortFriendsReachItAndSigtermRemovesIt) {
  TFakeUpnpRouter router;
  ProgramRun run(env, Args({"--gateway", router.RootUrl()}));
  auto local = run.WaitForOutput(kLocalAddress);
  ASSERT_FALSE(local.empty()) << run.Out() << run.Err();
  const std::string port = local[1];
  EXPECT_FALSE(run.WaitForOutput(std::regex("Port mapping: the router forwards port " + port +
                                            " to this computer \\(UPnP\\)\\.\n"))
                   .empty())
      << run.Out();
  // The IP-echo host was unreachable: the router's address stands in.
  EXPECT_NE(std::string::npos, run.Out().find("Web address: http://<unknown>:" + port + "\n"));
  EXPECT_FALSE(
      run.WaitForOutput(std::regex("Web address: http://203\\.0\\.113\\.7:" + port + "\n")).empty())
      << run.Out();
  EXPECT_FALSE(run.WaitForOutput(std::regex("Friends can reach this address\\.\n")).empty())
      << run.Out();
  run.Signal(SIGTERM);
  EXPECT_EQ(0, run.Wait()) << run.Err();
  const std::string removed =
      "Port mapping: the router no longer forwards port " + port + " (UPnP).";
  EXPECT_NE(std::string::npos, run.Out().find(removed + "\n")) << run.Out();

  const std::vector<TSoapCall> calls = router.Calls();
  ASSERT_EQ(3u, calls.size());
  EXPECT_EQ("GetExternalIPAddress", calls[0].Action);
  EXPECT_EQ("AddPortMapping", calls[1].Action);
  EXPECT_EQ(port, calls[1].Args[1].second);
  EXPECT_EQ(port, calls[1].Args[3].second);
  EXPECT_EQ("Mirelo File Share", calls[1].Args[6].second);
  EXPECT_EQ("3600", calls[1].Args[7].second);
  EXPECT_EQ("DeletePortMapping", calls[2].Action);
  EXPECT_EQ(port, calls[2].Args[1].second);
  const std::string log = env.Read("work/Log.txt");
  EXPECT_NE(std::string::npos, log.find("Friends can reach this address.\r\n")) << log;
  EXPECT_NE(std::string::npos, log.find(removed + "\r\n")) << log;
  // The gateway given is kept with the settings.
  EXPECT_NE(std::string::npos,
            env.Read("work/system/Mirelo.INI").find("\r\nGateway=" + router.RootUrl() + "\r\n"));
}

TEST_F(HeadlessInternet, SilentRouterNeitherHoldsSharingNorTheExit) {
  // Accepts connections (the kernel does) and never answers.
  TTcpBlockingSocket silent;
  silent.Bind("127.0.0.1", "0");
  silent.Listen();
  TFakeNatPmpGateway gateway;
  gateway.SetScript([](const std::vector<std::uint8_t>&) {
    TFakeNatPmpGateway::TAnswer a;
    a.Silent = true;
    return a;
  });
  ProgramRun run(env, Args({"--gateway",
                            "http://127.0.0.1:" + std::to_string(silent.LocalPort()) + "/desc.xml",
                            "--natpmp-gateway", gateway.Address()}));
  auto local = run.WaitForOutput(kLocalAddress);
  ASSERT_FALSE(local.empty()) << run.Out() << run.Err();
  const std::string port = local[1];
  // Shared at once, whatever the router does.
  EXPECT_EQ(0u, Send(std::stoi(port), "GET / HTTP/1.0\r\n\r\n").find("HTTP/1.0 200"));
  EXPECT_FALSE(
      run.WaitForOutput(std::regex("Port mapping: no router answered \\(UPnP, NAT-PMP\\)\\. "
                                   "Forward port " +
                                   port + " to .* in your router by hand\\.\n"))
          .empty())
      << run.Out();
  EXPECT_FALSE(gateway.Requests().empty());
  run.Signal(SIGTERM);
  EXPECT_EQ(0, run.Wait()) << run.Err();
}

TEST_F(HeadlessInternet, WithoutMappingOnAnotherAddressTheCheckSaysWhatFailed) {
  TFakeUpnpRouter router;
  // Listening on 127.0.0.2 only: the tracker, which sees the program come
  // from 127.0.0.1, finds nothing there.
  ProgramRun run(env,
                 Args({"--no-port-mapping", "--gateway", router.RootUrl(), "--bind", "127.0.0.2"}));
  auto local = run.WaitForOutput(std::regex(R"(On this computer: http://127\.0\.0\.2:(\d+)/)"));
  ASSERT_FALSE(local.empty()) << run.Out() << run.Err();
  const std::string port = local[1];
  EXPECT_EQ(0u, Send(std::stoi(port), "GET / HTTP/1.0\r\n\r\n", "127.0.0.2").find("HTTP/1.0 200"));
  EXPECT_EQ("", Send(std::stoi(port), "GET / HTTP/1.0\r\n\r\n", "127.0.0.1"));
  const std::string line =
      "Friends cannot reach this address from the Internet yet: the tracker at " + trackerHost +
      " tried port " + port + " of 127.0.0.1 (connection refused); port mapping is off.\n";
  EXPECT_FALSE(run.WaitForOutput(Literal(line)).empty()) << run.Out();
  run.Signal(SIGTERM);
  EXPECT_EQ(0, run.Wait()) << run.Err();
  EXPECT_EQ(std::string::npos, run.Out().find("Port mapping:")) << run.Out();
  EXPECT_TRUE(router.Requests().empty());
  const std::string ini = env.Read("work/system/Mirelo.INI");
  EXPECT_NE(std::string::npos, ini.find("\r\nPortMapping=0\r\n")) << ini;
  EXPECT_NE(std::string::npos, ini.find("\r\nBindAddress=127.0.0.2\r\n")) << ini;
}

TEST_F(HeadlessInternet, NoTrackerMeansNoCheckAndTheLocalNetworkAsksNobody) {
  WriteNetwork("127.0.0.1:" + closedPort);
  {
    ProgramRun run(env, Args({"--no-port-mapping"}));
    EXPECT_FALSE(run.WaitForOutput(std::regex("The reachability check could not be made: no "
                                              "tracker answered at 127\\.0\\.0\\.1:" +
                                              closedPort + "\\.\n"))
                     .empty())
        << run.Out() << run.Err();
    run.Signal(SIGTERM);
    EXPECT_EQ(0, run.Wait()) << run.Err();
  }
  {
    // Sharing in the local network: no router, no check.
    TFakeUpnpRouter router;
    WriteNetwork(trackerHost);
    ProgramRun run(env, Args({"--internal", "--port-mapping", "--gateway", router.RootUrl()}));
    ASSERT_FALSE(run.WaitForOutput(kLocalAddress).empty()) << run.Out() << run.Err();
    run.Signal(SIGTERM);
    EXPECT_EQ(0, run.Wait()) << run.Err();
    EXPECT_EQ(std::string::npos, run.Out().find("Port mapping")) << run.Out();
    EXPECT_EQ(std::string::npos, run.Out().find("reach")) << run.Out();
    EXPECT_TRUE(router.Requests().empty());
  }
}

// What a private share tells the tracker (the reachability check while it
// shares, the presence record of --send-ip) never carries its key.
TEST_F(HeadlessInternet, APrivateShareNeverGivesItsKeyToTheTracker) {
  TLoopbackServer spy([](const TServedRequest&, TTcpBlockingSocket& conn) {
    SendRaw(conn, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nOK\r\n");
  });
  WriteNetwork(spy.HostPort());
  std::string key;
  {
    ProgramRun run(env, Args({"--no-port-mapping", "--private"}));
    const auto address = run.WaitForOutput(std::regex(R"(Web address: \S*/\?key=([\w-]+)\n)"));
    ASSERT_FALSE(address.empty()) << run.Out() << run.Err();
    key = address[1];
    EXPECT_FALSE(run.WaitForOutput(std::regex("reachability check|Friends c")).empty())
        << run.Out();
    run.Signal(SIGTERM);
    EXPECT_EQ(0, run.Wait()) << run.Err();
  }
  {
    ProgramRun run(env, Args({"--private", "--send-ip"}));
    EXPECT_EQ(0, run.Wait()) << run.Out() << run.Err();
  }
  // Still the same key: the second run shared privately with it.
  EXPECT_NE(std::string::npos, env.Read("work/system/Mirelo.INI").find("\r\nKey=" + key + "\r\n"));
  bool reach = false, presence = false;
  for (const TServedRequest& r : spy.Requests()) {
    SCOPED_TRACE(r.RequestLine);
    reach = reach || r.RequestLine.find("/.mirelo/reach?port=") != std::string::npos;
    if (r.RequestLine.find("receiver.php") != std::string::npos) {
      presence = true;
      EXPECT_NE(std::string::npos, r.Body.find("*http://<unknown>:0*")) << r.Body;
    }
    for (const std::string* part : {&r.Head, &r.Body}) {
      EXPECT_EQ(std::string::npos, part->find(key)) << *part;
      EXPECT_EQ(std::string::npos, part->find("key=")) << *part;
    }
  }
  EXPECT_TRUE(reach);
  EXPECT_TRUE(presence);
}

// The key gate stands before an IPv6 listener as before an IPv4 one.
TEST_F(HeadlessInternet, APrivateShareOnIPv6WantsTheKeyToo) {
  ProgramRun run(env, Args({"--internal", "--no-port-mapping", "--bind", "::1", "--private"}));
  auto local = run.WaitForOutput(std::regex(R"(On this computer: http://\[::1\]:(\d+)/)"));
  ASSERT_FALSE(local.empty()) << run.Out() << run.Err();
  const auto address = run.WaitForOutput(std::regex(R"(Web address: \S*/\?key=([\w-]+)\n)"));
  ASSERT_FALSE(address.empty()) << run.Out();
  const std::string key = address[1];
  const auto status = [&](const std::string& request) {
    TTcpBlockingSocket client;
    client.Connect("::1", local[1]);
    client.SendText(request);
    return client.ReceiveLine(5000);
  };
  EXPECT_EQ("HTTP/1.0 403", status("GET / HTTP/1.0\r\n\r\n"));
  EXPECT_EQ("HTTP/1.0 403",
            status("GET /?key=" + std::string(key.size(), 'A') + " HTTP/1.0\r\n\r\n"));
  EXPECT_EQ("HTTP/1.0 303", status("GET /?key=" + key + " HTTP/1.0\r\n\r\n"));
  EXPECT_EQ("HTTP/1.0 200", status("GET / HTTP/1.0\r\nCookie: mirelo_key=" + key + "\r\n\r\n"));
  run.Signal(SIGTERM);
  EXPECT_EQ(0, run.Wait()) << run.Err();
}

TEST_F(HeadlessInternet, BindToAnIPv6AddressListensThereAlone) {
  ProgramRun run(env, Args({"--internal", "--no-port-mapping", "--bind", "::1"}));
  auto local = run.WaitForOutput(std::regex(R"(On this computer: http://\[::1\]:(\d+)/)"));
  ASSERT_FALSE(local.empty()) << run.Out() << run.Err();
  TTcpBlockingSocket client;
  client.Connect("::1", local[1]);
  ASSERT_EQ(0, client.LastErrorCode());
  client.SendText("GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ("HTTP/1.0 200", client.ReceiveLine(5000));
  EXPECT_EQ("", Send(std::stoi(local[1]), "GET / HTTP/1.0\r\n\r\n"));  // not on IPv4
  run.Signal(SIGTERM);
  EXPECT_EQ(0, run.Wait()) << run.Err();
}

}  // namespace
