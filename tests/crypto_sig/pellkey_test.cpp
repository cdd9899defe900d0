// pellkey from the command line: key generation, signing, checking through the library,
// and clear failures with a non-zero exit.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"
#include "tests/support/files.h"
#include "tools/signing/signing.h"

namespace vl {
namespace {

struct Result {
  int status = -1;
  std::string out, err;
};

class Pellkey : public ::testing::Test {
 protected:
  // pellkey with the arguments; its standard error goes through a file.
  Result run(const std::vector<std::string>& args) {
    std::string command = PELLKEY_PATH;
    for (const std::string& a : args) command += " '" + a + "'";
    FILE* pipe = ::popen((command + " 2>" + errPath).c_str(), "r");
    Result r;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
      r.out.append(buffer, n);
    const int status = ::pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.err = testing::readFile(errPath);
    return r;
  }
  testing::TempDir work, errDir;
  const std::string dir = work.path(), errPath = errDir / "err";
  const std::string publicPath = work / "keys.provision", secretPath = work / "keys.secret";
};

TEST_F(Pellkey, KeygenSignAndCheckThroughTheLibrary) {
  const Result keygen =
      run({"keygen", "--public", publicPath, "--secret", secretPath, "--comment", "for the test"});
  ASSERT_EQ(keygen.status, 0) << keygen.err;
  struct stat st {};
  ASSERT_EQ(::stat(secretPath.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_NE(testing::readFile(publicPath).find("# for the test\n"), std::string::npos);
  EXPECT_EQ(testing::readFile(publicPath).find("s1-secret"), std::string::npos);

  std::string error;
  const std::optional<KeySet> keys = loadKeySet(publicPath, error);
  ASSERT_TRUE(keys.has_value()) << error;
  for (const char* digestHex :
       {"00112233445566778899aabbccddeeff00112233",
        "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"}) {
    for (const char* scheme : {"1", "both"}) {
      const Result sign =
          run({"sign", "--secret", secretPath, "--digest", digestHex, "--scheme", scheme});
      ASSERT_EQ(sign.status, 0) << sign.err;
      const std::vector<std::uint8_t> payload =
          testing::fromHex(sign.out.substr(0, sign.out.size() - 1));
      std::vector<std::uint8_t> digest = testing::fromHex(digestHex);
      digest.resize(32, 0);
      const std::uint8_t expected = std::strcmp(scheme, "1") == 0 ? 1 : 2;
      EXPECT_EQ(payload.size(), expected == 1 ? 68u : 132u);
      EXPECT_EQ(signatureLevel(*keys, digest.data(), payload.data(), payload.size()), expected);
      const Result verify = run({"verify", "--keys", publicPath, "--digest", digestHex,
                                 "--signature", sign.out.substr(0, sign.out.size() - 1)});
      EXPECT_EQ(verify.status, 0);
      EXPECT_EQ(verify.out, "level " + std::to_string(expected) + "\n");
    }
  }
}

TEST_F(Pellkey, FailuresExitNonZeroWithAMessage) {
  ASSERT_EQ(run({"keygen", "--public", publicPath, "--secret", secretPath}).status, 0);
  ASSERT_TRUE(std::filesystem::create_directory(dir + "/in-the-way"));
  const std::string secretBefore = testing::readFile(secretPath);
  const std::string digest = "00112233445566778899aabbccddeeff00112233";
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"keygen", "--public", publicPath, "--secret", secretPath}, "exists already"},
      {{"keygen", "--public", dir + "/new.provision", "--secret", secretPath}, "exists already"},
      // The public file cannot be placed: the old pair stays, nothing is left behind.
      {{"keygen", "--force", "--public", dir + "/in-the-way", "--secret", secretPath},
       "in-the-way"},
      {{"keygen", "--public", dir + "/new.provision", "--secret", dir + "/new.secret", "--comment",
        "two\nlines"},
       "must be one line"},
      {{"sign", "--secret", secretPath, "--digest", "0011"}, "--digest must be"},
      {{"sign", "--secret", secretPath, "--digest", digest, "--scheme", "2"}, "--scheme"},
      {{"sign", "--secret", publicPath, "--digest", digest}, "field 's1-secret' is missing"},
      {{"sign", "--secret", dir + "/none", "--digest", digest}, "/none"},
      {{"sign", "--digest", digest}, "--secret is required"},
      {{"verify", "--keys", publicPath, "--digest", digest, "--signature", "00"}, "--signature"},
      {{}, "A subcommand is required"},
  };
  for (const auto& c : cases) {
    const Result r = run(c.args);
    EXPECT_NE(r.status, 0) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_EQ(testing::readFile(secretPath), secretBefore);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 3);
  // A valid signature over another digest checks as level 0, exit status 1.
  const Result sign = run({"sign", "--secret", secretPath, "--digest", digest});
  const Result verify =
      run({"verify", "--keys", publicPath, "--digest", "10112233445566778899aabbccddeeff00112233",
           "--signature", sign.out.substr(0, sign.out.size() - 1)});
  EXPECT_EQ(verify.status, 1);
  EXPECT_EQ(verify.out, "level 0\n");
}

}  // namespace
}  // namespace vl
