#include "tests/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "cli/front_end.h"
#include "integrity/tag_store.h"
#include "platform/linux_platform.h"

namespace vorbit::testing {
namespace {

constexpr std::chrono::seconds kRunTimeLimit(60);

std::string makeTempDirectory() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vorbit-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  ::chmod(pattern.c_str(), 0755);  // reachable by an unprivileged user in permission tests
  return pattern;
}

}  // namespace

TempDir::TempDir() : path_(makeTempDirectory()) {}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string& relative, const std::string& contents) const {
  const std::string path = *this / relative;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  writeFile(path, contents);
  return path;
}

std::string TempDir::mkdir(const std::string& relative) const {
  const std::string path = *this / relative;
  std::filesystem::create_directories(path);
  return path;
}

std::optional<Bytes> storedTag(const std::string& path) {
  Bytes value(4096);
  const ssize_t n = ::getxattr(path.c_str(), kHashAttributeName, value.data(), value.size());
  if (n < 0) return std::nullopt;
  value.resize(static_cast<std::size_t>(n));
  return value;
}

void storeTag(const std::string& path, const Bytes& value) {
  if (::setxattr(path.c_str(), kHashAttributeName, value.data(), value.size(), 0) != 0) {
    throw std::runtime_error("setxattr failed on " + path);
  }
}

Bytes bytesOf(std::string_view text) {
  Bytes bytes(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) bytes[i] = static_cast<std::byte>(text[i]);
  return bytes;
}

std::string hexString(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (std::byte b : bytes) {
    hex.push_back(kDigits[std::to_integer<unsigned>(b) >> 4]);
    hex.push_back(kDigits[std::to_integer<unsigned>(b) & 0xF]);
  }
  return hex;
}

std::string tagSummary(const std::string& root, int total, int errors) {
  return "Tagged a total of " + std::to_string(total) + " files in " + root + " with " +
         std::to_string(errors) + " errors.\n";
}

Bytes sha256Of(const std::string& text) {
  Bytes digest(32);
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), reinterpret_cast<unsigned char*>(digest.data()), &length,
             EVP_sha256(), nullptr);
  return digest;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

void writeFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool supportsUserXattrs(const std::string& directory) {
  const std::string probe = directory + "/.xattr-probe";
  writeFile(probe, "");
  const bool supported = ::setxattr(probe.c_str(), "user.vorbit-probe", "1", 1, 0) == 0;
  ::unlink(probe.c_str());
  return supported;
}

namespace {

void appendAvailable(int fd, std::string& into, bool& open) {
  char buffer[65536];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n > 0) {
    into.append(buffer, static_cast<std::size_t>(n));
  } else if (n == 0 || errno != EINTR) {
    open = false;
  }
}

int spawn(const std::vector<std::string>& command, const std::string& cwd, int out, int err) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
  const int devNull = ::open("/dev/null", O_RDONLY);
  ::dup2(devNull, 0);
  ::dup2(out, 1);
  ::dup2(err, 2);
  std::vector<char*> argv;
  for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  ::execvp(argv[0], argv.data());
  ::_exit(127);
}

int statusOf(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  return 128 + WTERMSIG(raw);
}

}  // namespace

ProcessResult runVorbit(const std::vector<std::string>& arguments, const std::string& cwd,
                        const std::vector<std::string>& prefix) {
  std::vector<std::string> command = prefix;
  command.push_back(VORBIT_BINARY);
  command.insert(command.end(), arguments.begin(), arguments.end());

  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  const pid_t pid = spawn(command, cwd, out[1], err[1]);
  ::close(out[1]);
  ::close(err[1]);

  ProcessResult result;
  bool outOpen = true;
  bool errOpen = true;
  const auto deadline = std::chrono::steady_clock::now() + kRunTimeLimit;
  while (outOpen || errOpen) {
    pollfd fds[2] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const int ready = ::poll(fds, 2, static_cast<int>(std::max<long>(left.count(), 0)));
    if (ready == 0) {  // a hang: end it, and let the test see the status of a killed run
      ::kill(pid, SIGKILL);
      break;
    }
    if (ready < 0 && errno != EINTR) break;
    if (fds[0].revents != 0) appendAvailable(out[0], result.out, outOpen);
    if (fds[1].revents != 0) appendAvailable(err[0], result.err, errOpen);
  }
  ::close(out[0]);
  ::close(err[0]);
  int raw = 0;
  ::waitpid(pid, &raw, 0);
  result.status = statusOf(raw);
  return result;
}

std::vector<std::string> listedNames(const std::string& directory) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

namespace {

std::string contentsOf(std::FILE* file) {
  std::rewind(file);
  std::string text;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, file)) text.append(buffer, n);
  std::fclose(file);
  return text;
}

}  // namespace

ProcessResult runInProcess(const std::vector<std::string>& arguments, FaultInjector* faults) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  const int savedOut = ::dup(1);
  const int savedErr = ::dup(2);
  ::dup2(::fileno(out), 1);
  ::dup2(::fileno(err), 2);
  std::vector<const char*> argv = {"vorbit"};
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  LinuxPlatform platform(faults);
  ProcessResult run;
  run.status = runCommandLine(static_cast<int>(argv.size()), argv.data(), platform);
  ::dup2(savedOut, 1);
  ::dup2(savedErr, 2);
  ::close(savedOut);
  ::close(savedErr);
  run.out = contentsOf(out);
  run.err = contentsOf(err);
  return run;
}

bool runCommand(const std::vector<std::string>& command) {
  const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  const pid_t pid = spawn(command, "", devNull, devNull);
  ::close(devNull);
  int raw = 0;
  ::waitpid(pid, &raw, 0);
  return statusOf(raw) == 0;
}

}  // namespace vorbit::testing
