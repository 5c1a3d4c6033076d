#include "platform/platform.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <csignal>
#include <cstring>
#include <iterator>

#include "platform/open_file.h"
#include "platform/system_calls.h"

namespace vorbit {
namespace {

// The signals that end a run from outside, what each one's action was before vorbit's, and the
// farewell text; process-wide, as signal actions are. The kernel fills in an earlier action
// before the handler can run.
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction earlierActions[std::size(kEndingSignals)];
char farewell[16];
volatile std::sig_atomic_t farewellLength = 0;
bool farewellHandlersInstalled = false;

// Only calls that are safe in a handler: write, sigaction and raise. The signal stays blocked
// until the handler returns, and then ends the process by its default action.
extern "C" void sayFarewellAndEnd(int signal) {
  for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
    if (kEndingSignals[i] == signal && earlierActions[i].sa_handler == SIG_IGN) return;
  }
  if (farewellLength > 0) {
    [[maybe_unused]] const ssize_t written = ::write(2, farewell, farewellLength);
  }
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  ::sigaction(signal, &byDefault, nullptr);
  ::raise(signal);
}

}  // namespace

void Platform::setSignalFarewell(std::string_view text) {
  if (!farewellHandlersInstalled && !text.empty()) {
    farewellHandlersInstalled = true;
    struct sigaction action {};
    action.sa_handler = sayFarewellAndEnd;
    action.sa_flags = SA_RESTART;
    for (const int signal : kEndingSignals) sigaddset(&action.sa_mask, signal);
    for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
      ::sigaction(kEndingSignals[i], &action, &earlierActions[i]);
      // One ignored by the parent (nohup) stays so.
      if (earlierActions[i].sa_handler == SIG_IGN) {
        ::sigaction(kEndingSignals[i], &earlierActions[i], nullptr);
      }
    }
  }
  // The handler reads the length, then the bytes: the bytes change only while it is 0.
  farewellLength = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  const std::size_t length = std::min(text.size(), sizeof farewell);
  text.copy(farewell, length);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  farewellLength = static_cast<std::sig_atomic_t>(length);
}

std::optional<std::string> Platform::currentDirectoryPath() {
  const SystemCalls calls(faults_);
  std::string buffer(PATH_MAX, '\0');
  for (;;) {
    if (calls.make(SystemCall::getcwd, [&] { return ::getcwd(buffer.data(), buffer.size()); })) {
      buffer.resize(std::strlen(buffer.c_str()));
      return buffer;
    }
    if (errno != ERANGE) return std::nullopt;
    buffer.resize(buffer.size() * 2);
  }
}

FileKind Platform::fileKind(const std::string& path, int& error) {
  struct stat st;
  const int result =
      SystemCalls(faults_).make(SystemCall::stat, path, [&] { return ::stat(path.c_str(), &st); });
  error = result == 0 ? 0 : errno;
  return result == 0 ? kindOf(st) : FileKind::unknown;
}

OpenResult Platform::open(const NamedFile& file) {
  const SystemCalls calls(faults_);
  // Only what was found to be a regular file is opened: opening a device runs its driver (a
  // watchdog arms, a tape rewinds), and a backup of a system's root holds device nodes.
  if (file.kind != FileKind::regularFile) return {nullptr, file.lookUpError};
  if (file.walk != nullptr) return {nullptr, ENOENT};  // opened through its walk alone
  const Descriptor opened =
      openForReading(calls, AT_FDCWD, file.given, Through::link, std::nullopt, LeaseWait::wait);
  if (opened.fd == kNoDescriptor) return {nullptr, opened.error};
  return adoptRegularFile(calls, opened.fd, std::nullopt, ReadReport{&bytesRead_});
}

std::optional<int> Platform::standardErrorTerminalWidth() {
  winsize size{};
  if (SystemCalls(faults_).make(SystemCall::ioctl, [&] { return ::ioctl(2, TIOCGWINSZ, &size); }) !=
      0) {
    return std::nullopt;
  }
  return size.ws_col > 0 ? size.ws_col : 80;
}

int Platform::writeStandardOutput(std::string_view text) { return writeAll(1, text); }

int Platform::writeStandardError(std::string_view text) { return writeAll(2, text); }

// Writes the whole text. A descriptor left non-blocking by the parent answers EAGAIN when full:
// wait until it takes more rather than lose the rest of the report.
int Platform::writeAll(int fd, std::string_view text) {
  const SystemCalls calls(faults_);
  while (!text.empty()) {
    const ssize_t n =
        calls.make(SystemCall::write, [&] { return ::write(fd, text.data(), text.size()); });
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd wanted{fd, POLLOUT, 0};
      if (calls.make(SystemCall::poll, [&] { return ::poll(&wanted, 1, -1); }) < 0) return errno;
      continue;
    }
    if (n < 0) return errno;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

}  // namespace vorbit
