// Reading in the disk's order: the plan of a batch over a made-up extent map, the disk's queue
// from a made-up sysfs, and the built vorbit over ext4 on a loop device marked as turning or not,
// its requests to the kernel seen by strace.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <numeric>
#include <regex>
#include <string>
#include <vector>

#include "cli/physical_order.h"
#include "platform/open_file.h"
#include "platform/rotational.h"
#include "tests/page_cache.h"
#include "tests/test_support.h"

namespace vorbit {
namespace {

using namespace vorbit::testing;

MappedFile at(std::uint64_t physical, std::uint64_t bytes) {
  return {{Placement::placed, physical}, bytes};
}
MappedFile with(Placement placement, std::uint64_t bytes) { return {{placement, 0}, bytes}; }

TEST(PlanBatchTest, FilesWithDataAreAskedForByFirstExtentWithinTheByteBound) {
  const struct {
    const char* name;
    std::vector<MappedFile> files;  // in walk order
    std::uint64_t byteBound;
    BatchPlan expected;
  } rows[] = {
      {"by first extent, not by walk order",
       {at(30, 1), at(10, 1), at(20, 1)},
       100,
       {3, {1, 2, 0}}},
      {"nothing on the disk to read: empty, holes only, inline, not a file, refused",
       {with(Placement::noData, 0), at(5, 0), with(Placement::noData, 9), at(7, 1),
        with(Placement::refused, 4)},
       100,
       {5, {3}}},
      {"data at no known place follows, in walk order",
       {with(Placement::unplaced, 1), at(9, 1), with(Placement::unplaced, 1), at(3, 1)},
       100,
       {4, {3, 1, 0, 2}}},
      {"the batch ends where its bytes would pass the bound",
       {at(3, 40), at(2, 60), at(1, 1)},
       100,
       {2, {1, 0}}},
      {"a first file larger than the bound is a batch of its own",
       {at(2, 500), at(1, 1)},
       100,
       {1, {0}}},
      {"no files", {}, 100, {0, {}}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const BatchPlan plan = planBatch(row.files, row.byteBound);
    EXPECT_EQ(plan.files, row.expected.files);
    EXPECT_EQ(plan.readOrder, row.expected.readOrder);
  }
}

TEST(PlanBatchTest, AWholeFileIsAskedForInPiecesOfTheDevicesLimit) {
  const std::uint64_t mib = 1 << 20;
  EXPECT_EQ(piecesOf(0, mib).size(), 0u);
  ASSERT_EQ(piecesOf(mib, mib).size(), 1u);
  const std::vector<Piece> pieces = piecesOf(2 * mib + 1, mib);
  ASSERT_EQ(pieces.size(), 3u);
  EXPECT_EQ(pieces[1].offset, mib);
  EXPECT_EQ(pieces[2].offset, 2 * mib);
  EXPECT_EQ(pieces[2].length, 1u);
}

// A batch asks whether its files are cached without reading: a read that finds the page
// missing, even one that does not wait, starts the kernel reading it, out of the disk's order.
TEST(FirstPageResidentTest, AsksWithoutStartingARead) {
  TempDir dir;
  const std::string path = writeCold(dir / "f", std::string(1 << 16, 'x'));
  const int fd = ::open(path.c_str(), O_RDONLY);
  struct stat st;
  ASSERT_EQ(::fstat(fd, &st), 0);
  EXPECT_FALSE(firstPageResident(SystemCalls(), fd));
  EXPECT_FALSE(becomesResident(path)) << "the probe read the file";
  EXPECT_FALSE(firstByteCached(SystemCalls(), fd, st.st_dev));  // a read that does not wait
  EXPECT_TRUE(becomesResident(path)) << "a read that does not wait did not start one";
  EXPECT_TRUE(firstPageResident(SystemCalls(), fd));
  ::close(fd);
}

// A sysfs of its own: /dev/block/MAJ:MIN links to the device's directory, with its queue, the
// devices below it in slaves/, and partitions as subdirectories of their disk.
class DiskQueueTest : public ::testing::Test {
 protected:
  void disk(const std::string& name, int rotational, int readAheadKb = 128,
            int maxSectorsKb = 512) {
    std::filesystem::create_directories(sys_ / ("devices/" + name + "/queue"));
    writeFile(sys_ / ("devices/" + name + "/queue/rotational"), std::to_string(rotational) + "\n");
    writeFile(sys_ / ("devices/" + name + "/queue/read_ahead_kb"), std::to_string(readAheadKb));
    writeFile(sys_ / ("devices/" + name + "/queue/max_sectors_kb"), std::to_string(maxSectorsKb));
  }
  void below(const std::string& name, const std::string& slave) {
    std::filesystem::create_directories(sys_ / ("devices/" + name + "/slaves"));
    std::filesystem::create_directory_symlink(
        "../../" + slave, sys_ / ("devices/" + name + "/slaves/" + base(slave)));
  }
  void number(const std::string& name, int minor) {
    std::filesystem::create_directories(sys_ / "dev/block");
    std::filesystem::create_directory_symlink("../../devices/" + name,
                                              sys_ / ("dev/block/8:" + std::to_string(minor)));
  }
  static std::string base(const std::string& name) { return name.substr(name.rfind('/') + 1); }
  DiskQueue queueOf(int minor) {
    return diskQueueOf(SystemCalls(), makedev(8, minor), sys_.path());
  }

  TempDir sys_;
};

TEST_F(DiskQueueTest, ADeviceTurnsWhereADiskBelowItTurns) {
  disk("hdd", 1, 2560, 1280);
  std::filesystem::create_directory(sys_ / "devices/hdd/hdd1");  // a partition: its disk's queue
  disk("ssd", 0);
  disk("dm-0", 0);  // device-mapper says what it likes; the disks below decide
  below("dm-0", "hdd/hdd1");
  disk("md0", 0);
  below("md0", "ssd");
  below("md0", "dm-0");
  disk("dm-1", 1);
  below("dm-1", "ssd");
  disk("loop0", 1);  // a loop device marked as turning
  disk("vda", 1);    // a virtio disk says it turns, whatever the host's storage is
  std::filesystem::create_directories(sys_ / "devices/vda/device");
  writeFile(sys_ / "devices/vda/device/modalias", "virtio:d00000002v00001AF4\n");
  std::filesystem::create_directory(sys_ / "devices/vda/vda1");
  const struct {
    const char* name;
    int minor;
    DiskQueue expected;
  } rows[] = {
      {"a disk that turns, its request limit the larger of its two", 1, {true, 2560 << 10}},
      {"a partition of it", 2, {true, 2560 << 10}},
      {"a solid-state disk", 3, {false, 0}},
      {"device-mapper over a partition of a turning disk", 4, {true, 512 << 10}},
      {"md over a solid-state disk and that", 5, {true, 512 << 10}},
      {"device-mapper marked as turning over a solid-state disk", 6, {false, 0}},
      {"a loop device marked as turning", 7, {true, 512 << 10}},
      {"a virtio disk", 8, {false, 0}},
      {"a partition of it", 10, {false, 0}},
      {"a device sysfs does not know", 9, {false, 0}},
  };
  const char* names[] = {"hdd", "hdd/hdd1", "ssd", "dm-0", "md0", "dm-1", "loop0", "vda"};
  for (int minor = 1; minor <= 8; ++minor) number(names[minor - 1], minor);
  number("vda/vda1", 10);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const DiskQueue queue = queueOf(row.minor);
    EXPECT_EQ(queue.rotational, row.expected.rotational);
    EXPECT_EQ(queue.requestBytes, row.expected.requestBytes);
  }
}

// ext4 on a loop device, as root: files written in an order of their own, so that where their
// data lies differs from the order the walk lists them in.
class DiskOrderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0 || !runCommand({"strace", "-V"}) || !runCommand({"mkfs.ext4", "-V"}))
      GTEST_SKIP() << "needs root, strace and mkfs.ext4";
    const std::string image = dir_ / "image";
    ASSERT_TRUE(runCommand({"truncate", "-s", "64M", image}));
    ASSERT_TRUE(runCommand({"mkfs.ext4", "-q", "-O", "^inline_data", image}));
    const ProcessResult loop = runProgram({"losetup", "-f", "--show", image});
    if (loop.status != 0) GTEST_SKIP() << "no loop device: " << loop.err;
    loop_ = loop.out.substr(0, loop.out.find('\n'));
    ASSERT_TRUE(runCommand({"mount", loop_, dir_.mkdir("mnt")}));
    mounted_ = true;
    root_ = dir_.mkdir("mnt/tree");
    for (const char* sub : {"a", "b", "c"}) dir_.mkdir(std::string("mnt/tree/") + sub);
    // Written in a shuffled order, each synced, so that each lands where the last one ended.
    std::vector<int> order(36);
    for (int i = 0; i < 36; ++i) order[i] = (i * 7) % 36;
    for (const int i : order) {
      const std::string path = root_ + "/" + "abc"[i % 3] + "/f" + std::to_string(i);
      writeFile(path, std::string(i < 3 ? (2 << 20) + 7 : 4096 * (1 + i % 4), char('a' + i % 26)));
      ASSERT_TRUE(runCommand({"sync", path}));
    }
    writeFile(root_ + "/a/empty", "");
    ASSERT_TRUE(runCommand({"truncate", "-s", "1M", root_ + "/b/holes"}));
    ASSERT_EQ(runVorbit({"-t", root_}).status, 0);
    warmReport_ = runVorbit({"-c", root_}).out;
  }
  void TearDown() override {
    if (mounted_) runCommand({"umount", dir_ / "mnt"});
    if (!loop_.empty()) runCommand({"losetup", "-d", loop_});
  }

  void markRotational(bool turns) {
    writeFile("/sys/block/" + loop_.substr(loop_.rfind('/') + 1) + "/queue/rotational",
              turns ? "1" : "0");
  }
  // The tree's files out of the page cache, and nothing else's: a global drop would make
  // another test's warm tree cold while the suite runs its tests side by side.
  void dropCaches() const {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root_)) {
      if (entry.is_regular_file()) makeCold(entry.path());
    }
  }

  // A check of the tree under strace: its report, the files asked to be read ahead in the
  // order first asked for, each with the pieces asked for, and whether any file was mapped.
  struct Traced {
    std::string report;
    std::vector<std::string> asked;
    std::map<std::string, std::vector<std::uint64_t>> pieces;
    bool mapped = false;
  };
  Traced check() {
    const std::string trace = dir_ / "trace";
    Traced traced;
    traced.report =
        runVorbit({"-c", root_}, "", {"strace", "-y", "-o", trace, "-e", "trace=fadvise64,ioctl"})
            .out;
    std::ifstream lines(trace);
    const std::regex fadvise(R"(fadvise64\(\d+<([^>]*)>, \d+, (\d+), POSIX_FADV_WILLNEED)");
    std::smatch match;
    for (std::string line; std::getline(lines, line);) {
      traced.mapped |= line.find("FS_IOC_FIEMAP") != std::string::npos;
      if (!std::regex_search(line, match, fadvise)) continue;
      const std::string path = match[1];
      if (traced.pieces.count(path) == 0) traced.asked.push_back(path);
      traced.pieces[path].push_back(std::stoull(match[2]));
    }
    return traced;
  }

  // The files with data, in the order of their first extent.
  std::vector<std::string> physicalOrder() const {
    std::vector<std::pair<std::uint64_t, std::string>> placed;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root_)) {
      if (!entry.is_regular_file()) continue;
      const int fd = ::open(entry.path().c_str(), O_RDONLY);
      const FirstExtent first = firstExtent(SystemCalls(), fd);
      ::close(fd);
      if (first.placement == Placement::placed) placed.emplace_back(first.physical, entry.path());
    }
    std::sort(placed.begin(), placed.end());
    std::vector<std::string> order;
    for (const auto& [physical, path] : placed) order.push_back(path);
    return order;
  }

  TempDir dir_;
  std::string loop_, root_, warmReport_;
  bool mounted_ = false;
};

TEST_F(DiskOrderTest, ColdTreeOnATurningDiskIsAskedForInTheDisksOrderAndReportedInTheWalks) {
  markRotational(true);
  dropCaches();
  const Traced traced = check();
  EXPECT_EQ(traced.report, warmReport_);
  // The walk's first file is read ahead before the disk is known to turn (through the ring, or
  // a request of its own): the batch's requests follow it.
  std::vector<std::string> asked = traced.asked, expected = physicalOrder();
  if (!asked.empty() && asked.size() == expected.size()) asked.erase(asked.begin());
  EXPECT_EQ(std::erase_if(expected,
                          [&](const std::string& path) {
                            return std::find(asked.begin(), asked.end(), path) == asked.end();
                          }),
            1u);
  EXPECT_EQ(asked, expected);
  // Whole files, in pieces of at most 1 MiB; nothing asked of a file with no data on the disk.
  int large = 0;
  for (const auto& [path, pieces] : traced.pieces) {
    SCOPED_TRACE(path);
    EXPECT_LE(*std::max_element(pieces.begin(), pieces.end()), 1u << 20);
    large += pieces.size() > 1;
    EXPECT_EQ(std::accumulate(pieces.begin(), pieces.end(), std::uint64_t{0}),
              std::filesystem::file_size(path));
  }
  EXPECT_GE(large, 2);
}

TEST_F(DiskOrderTest, DiskThatDoesNotTurnOrWarmTreeKeepsTheWindowAndItsReport) {
  for (const bool turns : {false, true}) {
    SCOPED_TRACE(turns ? "warm, on a disk that turns" : "cold, on a disk that does not turn");
    markRotational(turns);
    if (!turns) dropCaches();
    const Traced traced = check();
    EXPECT_EQ(traced.report, warmReport_);
    EXPECT_FALSE(traced.mapped);
  }
}

}  // namespace
}  // namespace vorbit
