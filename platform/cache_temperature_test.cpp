#include "platform/cache_temperature.h"

#include <gtest/gtest.h>

namespace vorbit {
namespace {

// Opens `files` files on a disk whose cache probes answer `cached`; returns how many were read
// ahead and how many probes were asked.
struct Opened {
  int readAhead = 0;
  int probes = 0;
};
Opened openFiles(CacheTemperature& temperature, int files, bool cached) {
  Opened opened;
  for (int i = 0; i < files; ++i) {
    opened.readAhead += temperature.readAheadWanted([&] {
      ++opened.probes;
      return cached;
    });
  }
  return opened;
}

// A few probes among the files of a cold disk, and none once one of them finds the cache warm.
TEST(CacheTemperatureTest, ColdDiskIsReadAheadUntilAProbeFindsTheCacheWarm) {
  CacheTemperature temperature;
  const Opened cold = openFiles(temperature, 100, false);
  EXPECT_EQ(cold.readAhead, 100);
  EXPECT_GT(cold.probes, 0);
  EXPECT_LT(cold.probes, 10);
  openFiles(temperature, 100, true);
  EXPECT_FALSE(temperature.cold());
  const Opened warm = openFiles(temperature, 100, true);
  EXPECT_EQ(warm.readAhead, 0);
  EXPECT_EQ(warm.probes, 0);
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
      {"warm, then one from the disk though read ahead: cold",
       {{true, false}, {false, true}},
       true},
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
