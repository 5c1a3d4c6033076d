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

TEST(CacheTemperatureTest, ColdDiskIsReadAheadWithOneProbeInEveryThirtyTwoFiles) {
  CacheTemperature temperature;
  const Opened opened = openFiles(temperature, 96, false);
  EXPECT_EQ(opened.readAhead, 96);
  EXPECT_EQ(opened.probes, 3);
  EXPECT_TRUE(temperature.cold());
}

TEST(CacheTemperatureTest, ProbeThatFindsTheCacheWarmStopsReadingAheadWithoutMoreProbes) {
  CacheTemperature temperature;
  const Opened first = openFiles(temperature, 32, true);
  EXPECT_EQ(first.readAhead, 31);  // the probed file itself is not read ahead
  EXPECT_FALSE(temperature.cold());
  const Opened later = openFiles(temperature, 100, true);
  EXPECT_EQ(later.readAhead, 0);
  EXPECT_EQ(later.probes, 0);
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
      {"from the disk: cold", {{false, false}}, true},
      {"from the disk though read ahead: cold", {{false, true}}, true},
      {"warm, then one from the disk: cold again", {{true, false}, {false, false}}, true},
      {"cold, then cached unasked: warm", {{false, false}, {true, false}}, false},
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
