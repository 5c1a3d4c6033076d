#include "cli/front_end.h"
#include "platform/linux_platform.h"

int main(int argc, char** argv) {
  vorbit::LinuxPlatform platform;
  return vorbit::runCommandLine(argc, argv, platform);
}
