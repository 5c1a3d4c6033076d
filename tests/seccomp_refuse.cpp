// seccomp_refuse ERRNO CALL... -- COMMAND ARGUMENT...: runs the command with each named system
// call failing with the errno, as a sandbox's system call filter (a container's default profile,
// a service's SystemCallErrorNumber=) makes it fail. x86-64 only.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  const std::map<std::string, unsigned> numbers = {{"io_uring_setup", __NR_io_uring_setup},
                                                   {"io_uring_enter", __NR_io_uring_enter},
                                                   {"io_uring_register", __NR_io_uring_register},
                                                   {"preadv2", __NR_preadv2},
                                                   {"fadvise64", __NR_fadvise64},
                                                   {"ioctl", __NR_ioctl},
                                                   {"mincore", __NR_mincore},
                                                   {"prlimit64", __NR_prlimit64},
                                                   {"sysinfo", __NR_sysinfo}};
  int at = 2;
  if (argc < 4) return 2;
  const unsigned error = static_cast<unsigned>(std::atoi(argv[1]));
  std::vector<sock_filter> filter = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr))};
  for (; at < argc && std::strcmp(argv[at], "--") != 0; ++at) {
    const auto number = numbers.find(argv[at]);
    if (number == numbers.end()) return std::fprintf(stderr, "unknown call %s\n", argv[at]), 2;
    filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, number->second, 0, 1));
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (error & SECCOMP_RET_DATA)));
  }
  filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  const sock_fprog program = {static_cast<unsigned short>(filter.size()), filter.data()};
  if (at + 1 >= argc || ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    return 2;
  }
  ::execvp(argv[at + 1], argv + at + 1);
  return 127;
}
