#include "platform/cache_temperature.h"

#include <gtest/gtest.h>

#include <utility>

namespace vorbit {
namespace {

// Opens `files` files on a disk whose cache probes answer `cached`; returns how many were read
// ahead and how many probes were asked.
std::pair<int, int> openFiles(CacheTemperature& temperature, int files, bool cached) {
  int readAhead = 0, probes = 0;
  for (int i = 0; i < files; ++i)
    readAhead += temperature.readAheadWanted([&] { return ++probes, cached; });
  return {readAhead, probes};
}

// A few probes among the files of a cold disk, and none once one of them finds the cache warm.
// What first reads tell is tested on a real page cache, by the walk's tests.
TEST(CacheTemperatureTest, ColdDiskIsReadAheadUntilAProbeFindsTheCacheWarm) {
  CacheTemperature temperature;
  const auto [readAhead, probes] = openFiles(temperature, 100, false);
  EXPECT_EQ(readAhead, 100);
  EXPECT_TRUE(probes > 0 && probes < 10) << probes;
  openFiles(temperature, 100, true);
  EXPECT_EQ(openFiles(temperature, 100, true), std::pair(0, 0));
}

}  // namespace
}  // namespace vorbit
