// Uploads from a real client: curl against the headless program on loopback.
#include "network/e2e/ChildProcess.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

namespace {

const std::string kProgram = std::string(MIRELO_BINARY_DIR) + "/mirelo-share";
const std::string kCurl = "/usr/bin/curl";
constexpr int kWaitMs = 30000;  // a guard against hanging, not a speed goal

std::string Bytes(std::size_t size, unsigned seed) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 2654435761u + seed) >> 7);
  return s;
}

// The headless program sharing env/"share" with uploads accepted.
class UploadWithCurl : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kCurl)) GTEST_SKIP() << "curl is not installed";
    std::filesystem::create_directories(env / "share");
    std::filesystem::create_directories(env / "files");
    program = std::make_unique<TChildProcess>(
        kProgram,
        std::vector<std::string>{"--workdir", env / "work", "--internal", "--no-port-mapping",
                                 "--port", "0", "--uploads", "on", "--folder", env / "share"},
        std::vector<std::string>{"HOME=" + (env / "home"), "XDG_CONFIG_HOME=" + (env / "config"),
                                 "XDG_DATA_HOME=" + (env / "data"),
                                 "XDG_RUNTIME_DIR=" + env.Slash(), "LC_ALL=C"});
    const std::string line = program->WaitForLine("http://127.0.0.1:", kWaitMs);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(line, m, std::regex(R"(http://127\.0\.0\.1:(\d+))")))
        << program->Output();
    url = "http://127.0.0.1:" + m[1].str() + "/upload";
  }

  // Starts curl with the given form fields; -w prints the status code. The
  // time limit is below the server's 12 s wait for more input, so a reply
  // that waited for it fails.
  std::unique_ptr<TChildProcess> StartCurl(const std::vector<std::string>& fields) {
    std::vector<std::string> args = {"-sS",       "--max-time", "6",           "-o",
                                     "/dev/null", "-w",         "%{http_code}"};
    for (const auto& f : fields) {
      args.push_back("-F");
      args.push_back(f);
    }
    args.push_back(url);
    return std::make_unique<TChildProcess>(kCurl, args);
  }

  // Runs curl; its output (the status code, or its error).
  std::string Curl(const std::vector<std::string>& fields) {
    auto curl = StartCurl(fields);
    const int code = curl->WaitExit(kWaitMs);
    return std::to_string(code) + ":" + curl->Output();
  }

  TempFolder env;
  std::unique_ptr<TChildProcess> program;
  std::string url;
};

TEST_F(UploadWithCurl, FormsWithAndWithoutThePathFieldAreStoredAndAnswered) {
  struct Case {
    const char* name;
    std::vector<std::string> fields;
  };
  const Case cases[] = {
      {"file then path", {"file=@FILE", "path=/"}},
      {"file only", {"file=@FILE"}},
      {"path then file", {"path=/sub/", "file=@FILE"}},
      {"other fields around the file", {"a=1", "b=<FILE", "file=@FILE", "c=3"}},
  };
  int i = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = "f" + std::to_string(++i) + ".bin";
    const std::string content = Bytes(200000 + i, i);
    env.Write("files/" + name, content);
    std::vector<std::string> fields;
    for (std::string f : c.fields) {
      const auto at = f.find("FILE");
      if (at != std::string::npos) f.replace(at, 4, env / ("files/" + name));
      fields.push_back(f);
    }
    EXPECT_EQ("0:200", Curl(fields));
    EXPECT_TRUE(env.Read("share/" + name) == content);
  }
  // Only the uploaded files: no junk file from another field, no temporary file.
  std::size_t count = 0;
  for (const auto& e : std::filesystem::directory_iterator(env / "share")) {
    (void)e;
    ++count;
  }
  EXPECT_EQ(std::size(cases), count);
}

TEST_F(UploadWithCurl, AnExistingFileIsNeverReplaced) {
  env.Write("share/photo.jpg", "the owner's photo");
  env.Write("files/photo.jpg", "a visitor's photo");
  EXPECT_EQ("0:200", Curl({"file=@" + (env / "files/photo.jpg")}));
  EXPECT_EQ("the owner's photo", env.Read("share/photo.jpg"));
  EXPECT_EQ("a visitor's photo", env.Read("share/photo (2).jpg"));
  // The log names the file as stored.
  program->WaitForLine("photo (2).jpg", kWaitMs);
  EXPECT_NE(std::string::npos, program->Output().find("File: " + (env / "share/photo (2).jpg")))
      << program->Output();
}

TEST_F(UploadWithCurl, TwoUploadsOfOneNameAtOnceAreBothKept) {
  const std::string first = Bytes(3000000, 1), second = Bytes(3000000, 2);
  env.Write("files/one", first);
  env.Write("files/two", second);
  auto a = StartCurl({"file=@" + (env / "files/one") + ";filename=same.bin"});
  auto b = StartCurl({"file=@" + (env / "files/two") + ";filename=same.bin"});
  EXPECT_EQ(0, a->WaitExit(kWaitMs));
  EXPECT_EQ(0, b->WaitExit(kWaitMs));
  EXPECT_EQ("200", a->Output());
  EXPECT_EQ("200", b->Output());
  const std::string x = env.Read("share/same.bin"), y = env.Read("share/same (2).bin");
  EXPECT_TRUE((x == first && y == second) || (x == second && y == first));
}

}  // namespace
