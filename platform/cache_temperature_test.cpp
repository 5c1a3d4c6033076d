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
TEST(CacheTemperatureTest, ColdDiskIsReadAheadUntilAProbeFindsTheCacheWarm) {
  CacheTemperature temperature;
  const auto [readAhead, probes] = openFiles(temperature, 100, false);
  EXPECT_EQ(readAhead, 100);
  EXPECT_TRUE(probes > 0 && probes < 10) << probes;
  openFiles(temperature, 100, true);
  EXPECT_EQ(openFiles(temperature, 100, true), std::pair(0, 0));
}

TEST(CacheTemperatureTest, FirstReadsTellWarmFromCold) {
  // Each row: what the first reads found, in turn (cached, had been read ahead), and whether
  // files are then taken to come from the disk.
  const struct {
    const char* name;
    std::vector<std::pair<bool, bool>> reads;
    bool cold;
  } rows[] = {
      {"cached, not read ahead: warm", {{true, false}}, false},
      {"cached because read ahead: says nothing", {{true, true}}, true},
      {"warm, then one from the disk: cold again", {{true, false}, {false, false}}, true},
      {"warm, then one from the disk, read ahead: cold", {{true, false}, {false, true}}, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    CacheTemperature temperature;
    for (const auto& [cached, readAhead] : row.reads) temperature.firstRead(cached, readAhead);
    EXPECT_EQ(temperature.cold(), row.cold);
  }
}

}  // namespace
}  // namespace vorbit
