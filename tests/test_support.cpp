#include "tests/test_support.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "cli/front_end.h"
#include "integrity/tag_store.h"
#include "platform/platform.h"

namespace vorbit::testing {
namespace {

// Everything written to the temporary file, which it closes.
std::string contentsOf(std::FILE* file) {
  std::rewind(file);
  std::string text;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, file)) text.append(buffer, n);
  std::fclose(file);
  return text;
}

// What a test mounts lives in a mount namespace of the test process's own, with nothing shared
// back: however the process ends, killed midway too, its mounts end with it, and a loop device
// mounted with them is freed. Where this cannot be had (not root), neither can the mounts.
const bool kMountsEndWithTheProcess = [] {
  return ::unshare(CLONE_NEWNS) == 0 &&
         ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}();

}  // namespace

TempDir::TempDir() : path_(std::filesystem::temp_directory_path() / "vorbit-XXXXXX") {
  if (::mkdtemp(path_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  ::chmod(path_.c_str(), 0755);  // reachable by an unprivileged user in permission tests
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string& relative, const std::string& contents) const {
  std::filesystem::create_directories(std::filesystem::path(*this / relative).parent_path());
  writeFile(*this / relative, contents);
  return *this / relative;
}

std::string TempDir::mkdir(const std::string& relative) const {
  std::filesystem::create_directories(*this / relative);
  return *this / relative;
}

std::optional<Bytes> storedTag(const std::string& path) {
  Bytes value(4096);
  const ssize_t n = ::getxattr(path.c_str(), kHashAttributeName, value.data(), value.size());
  if (n < 0) return std::nullopt;
  value.resize(static_cast<std::size_t>(n));
  return value;
}

void storeTag(const std::string& path, const Bytes& value) {
  ASSERT_EQ(::setxattr(path.c_str(), kHashAttributeName, value.data(), value.size(), 0), 0) << path;
}

Bytes bytesOf(const std::string& text) {
  const auto* begin = reinterpret_cast<const std::byte*>(text.data());
  return Bytes(begin, begin + text.size());
}

std::string hexString(const Bytes& bytes) {
  const char* digits = "0123456789abcdef";
  std::string hex;
  for (std::byte b : bytes) hex += {digits[unsigned(b) >> 4], digits[unsigned(b) & 15]};
  return hex;
}

Bytes sha256Of(const std::string& text) {
  Bytes digest(32);
  EVP_Digest(text.data(), text.size(), reinterpret_cast<unsigned char*>(digest.data()), nullptr,
             EVP_sha256(), nullptr);
  return digest;
}

std::string readFile(const std::string& path) {
  std::stringstream contents;
  contents << std::ifstream(path, std::ios::binary).rdbuf();
  return contents.str();
}

void writeFile(const std::string& path, const std::string& contents) {
  ASSERT_TRUE(std::ofstream(path, std::ios::binary) << contents) << path;
}

std::string tagSummary(const std::string& root, int total, int errors) {
  return "Tagged a total of " + std::to_string(total) + " files in " + root + " with " +
         std::to_string(errors) + " errors.\n";
}

std::string checkSummary(const std::string& root, int total, int matched, int mismatched,
                         int none) {
  return "Checked a total of " + std::to_string(total) + " files in " + root + "\n\t" +
         std::to_string(matched) + " matched digest correctly\n\t" + std::to_string(mismatched) +
         " didn't match their digest\n\t" + std::to_string(none) + " had no digest.\n";
}

std::string retagSummary(const std::string& root, int total, int matched, int retagged, int fresh) {
  return "Retagged a total of " + std::to_string(total) + " files in " + root + "\n\t" +
         std::to_string(matched) + " matched digest correctly\n\t" + std::to_string(retagged) +
         " were retagged\n\t" + std::to_string(fresh) + " were tagged for the first time.\n";
}

ProcessResult runProgram(const std::vector<std::string>& command, const std::string& cwd,
                         const std::string& output) {
  std::FILE *out = std::tmpfile(), *err = std::tmpfile();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);  // a group of its own, so that what it leaves behind can be ended with it
    // One name at a time, so that a working directory longer than PATH_MAX can be entered.
    for (const std::filesystem::path& step : std::filesystem::path(cwd))
      if (!step.empty() && ::chdir(step.c_str()) != 0) ::_exit(126);
    ::alarm(60);  // kept across exec: a hang ends with SIGALRM
    ::dup2(::open("/dev/null", O_RDONLY), 0);
    ::dup2(output.empty() ? ::fileno(out) : ::open(output.c_str(), O_WRONLY), 1);
    ::dup2(::fileno(err), 2);
    ::closefrom(3);
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  int raw = 0;
  ::waitpid(pid, &raw, 0);
  ::kill(-pid, SIGKILL);  // a child of a prefix command (strace, say) that outlived it
  return {contentsOf(out), contentsOf(err),
          WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw)};
}

void PrintTo(const ProcessResult& result, std::ostream* os) {
  *os << "status " << result.status << ", standard output " << ::testing::PrintToString(result.out)
      << ", standard error " << ::testing::PrintToString(result.err);
}

ProcessResult runVorbit(const std::vector<std::string>& arguments, const std::string& cwd,
                        std::vector<std::string> prefix, const std::string& output) {
  prefix.push_back(VORBIT_BINARY);
  prefix.insert(prefix.end(), arguments.begin(), arguments.end());
  return runProgram(prefix, cwd, output);
}

ProcessResult runInProcess(const std::vector<std::string>& arguments, FaultInjector* faults) {
  std::fflush(nullptr);
  std::FILE *out = std::tmpfile(), *err = std::tmpfile();
  const int saved[] = {::dup(1), ::dup(2)};
  ::dup2(::fileno(out), 1);
  ::dup2(::fileno(err), 2);
  std::vector<const char*> argv = {"vorbit"};
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  Platform platform(faults);
  const int status = runCommandLine(static_cast<int>(argv.size()), argv.data(), platform);
  for (int fd : {1, 2}) {
    ::dup2(saved[fd - 1], fd);
    ::close(saved[fd - 1]);
  }
  return {contentsOf(out), contentsOf(err), status};
}

}  // namespace vorbit::testing
