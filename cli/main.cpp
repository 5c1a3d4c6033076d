#include "cli/front_end.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  vorbit::Platform platform;
  return vorbit::runCommandLine(argc, argv, platform);
}
