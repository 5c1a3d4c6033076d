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
#include <map>
#include <ranges>
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

// Each batch here is bound to 100 bytes.
TEST(PlanBatchTest, FilesWithDataAreAskedForByFirstExtentWithinTheByteBoundInPieces) {
  const struct {
    const char* name;
    std::vector<MappedFile> files;  // in walk order
    BatchPlan expected;
  } rows[] = {
      // clang-format off
      {"by first extent, not by walk order", {at(30, 1), at(10, 1), at(20, 1)}, {3, {1, 2, 0}}},
      {"nothing on the disk to read: empty, holes only, inline, not a file, refused",
       {with(Placement::noData, 0), at(5, 0), with(Placement::noData, 9), at(7, 1),
        with(Placement::refused, 4)}, {5, {3}}},
      {"data at no known place follows, in walk order",
       {with(Placement::unplaced, 1), at(9, 1), with(Placement::unplaced, 1), at(3, 1)},
       {4, {3, 1, 0, 2}}},
      {"the batch ends where its bytes would pass the bound", {at(3, 40), at(2, 60), at(1, 1)},
       {2, {1, 0}}},
      {"a first file larger than the bound is a batch of its own", {at(2, 500), at(1, 1)},
       {1, {0}}},
      {"no files", {}, {0, {}}},
      // clang-format on
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const BatchPlan plan = planBatch(row.files, 100);
    EXPECT_EQ(plan.files, row.expected.files);
    EXPECT_EQ(plan.readOrder, row.expected.readOrder);
  }
  // A whole file is asked for in pieces of the device's limit, the last one what is left.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> pieces;
  for (const Piece& piece : piecesOf(9, 4)) pieces.emplace_back(piece.offset, piece.length);
  EXPECT_EQ(pieces, (decltype(pieces){{0, 4}, {4, 4}, {8, 1}}));
  EXPECT_EQ(piecesOf(8, 4).size(), 2u);
  EXPECT_TRUE(piecesOf(0, 4).empty());
}

// A batch asks whether its files are cached without reading: a read that finds the page
// missing, even one that does not wait, starts the kernel reading it, out of the disk's order.
TEST(FirstPageResidentTest, AsksWithoutStartingARead) {
  TempDir dir;
  const std::string path = makeCold(dir.write("f", std::string(1 << 16, 'x')));
  const int fd = ::open(path.c_str(), O_RDONLY);
  struct stat st;
  ASSERT_EQ(::fstat(fd, &st), 0);
  EXPECT_FALSE(firstPageResident(SystemCalls(), fd));
  EXPECT_FALSE(becomesResident(path)) << "the probe read the file";
  EXPECT_EQ(firstByteCached(SystemCalls(), fd, st.st_dev), false);  // a read that does not wait
  EXPECT_TRUE(becomesResident(path)) << "a read that does not wait did not start one";
  EXPECT_TRUE(firstPageResident(SystemCalls(), fd));
  ::close(fd);
}

// A map the file system or a sandbox refuses turns the disk's order off; one that failed leaves
// the file's data at no known place.
TEST(FirstExtentTest, ARefusedMapIsToldFromAFailedOne) {
  TempDir dir;
  const int fd = ::open(dir.write("f", "f").c_str(), O_RDONLY);
  struct Refuse final : FaultInjector {
    int errorFor(SystemCall, std::string_view) override { return error; }
    int error = 0;
  } refuse;
  for (const int error : {EOPNOTSUPP, ENOTTY, EINVAL, ENOSYS, EBADR, EIO}) {
    refuse.error = error;
    EXPECT_EQ(firstExtent(SystemCalls(&refuse), fd).placement,
              error == EIO ? Placement::unplaced : Placement::refused)
        << error;
  }
  ::close(fd);
}

// A sysfs of its own, a device a row: /dev/block/8:ROW links to the device's directory, with its
// queue and the devices below it in slaves/; a partition is a subdirectory of its disk, with no
// queue of its own. Each device is asked for as soon as it is made.
TEST(DiskQueueTest, ADeviceTurnsWhereADiskBelowItTurns) {
  const struct {
    const char* what;
    std::string device;  // below devices/; empty for a device sysfs does not know
    int rotational;      // -1 for a partition
    std::vector<std::string> below;
    DiskQueue expected;
    std::string modalias = "";
    int readAheadKb = 128, maxSectorsKb = 512;
  } rows[] = {
      // clang-format off
      {"a disk that turns, its request limit the larger of its two", "hdd", 1, {},
       {true, 2560 << 10}, "", 2560, 1280},
      {"a partition of it", "hdd/hdd1", -1, {}, {true, 2560 << 10}},
      {"a solid-state disk", "ssd", 0, {}, {false, 0}},
      // Device-mapper says what it likes; the disks below decide, its own queue the limit.
      {"device-mapper over a partition of a turning disk", "dm-0", 0, {"hdd/hdd1"},
       {true, 512 << 10}},
      {"md over a solid-state disk and that", "md0", 0, {"ssd", "dm-0"}, {true, 512 << 10}},
      {"device-mapper marked as turning over a solid-state disk", "dm-1", 1, {"ssd"}, {false, 0}},
      {"a loop device marked as turning", "loop0", 1, {}, {true, 512 << 10}},
      // It says it turns, whatever the host's storage is.
      {"a virtio disk", "vda", 1, {}, {false, 0}, "virtio:d00000002v00001AF4\n"},
      {"a partition of it", "vda/vda1", -1, {}, {false, 0}},
      {"a device sysfs does not know", "", -1, {}, {false, 0}},
      // No kernel makes a loop of devices; one is followed eight levels down, and no further:
      // eight steps through a loop of two end on the one it started from.
      {"device-mapper below itself", "dm-2", 1, {"dm-2"}, {true, 512 << 10}},
      {"device-mapper below one not made yet", "dm-3", 1, {"dm-4"}, {false, 0}},
      {"that one, below it", "dm-4", 0, {"dm-3"}, {false, 0}},
      // clang-format on
  };
  TempDir sys;
  const auto link = [&](const std::string& target, const std::string& at) {
    sys.mkdir(at.substr(0, at.rfind('/')));
    std::filesystem::create_directory_symlink(target, sys / at);
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string device = "devices/" + row.device, minor = std::to_string(&row - rows + 1);
    for (const auto& [name, value] : {std::pair{"rotational", row.rotational},
                                      {"read_ahead_kb", row.readAheadKb},
                                      {"max_sectors_kb", row.maxSectorsKb}})
      if (row.rotational >= 0) sys.write(device + "/queue/" + name, std::to_string(value) + "\n");
    if (!row.modalias.empty()) sys.write(device + "/device/modalias", row.modalias);
    for (const std::string& below : row.below)
      link("../../" + below, device + "/slaves/" + below.substr(below.rfind('/') + 1));
    sys.mkdir(device);
    if (!row.device.empty()) link("../../" + device, "dev/block/8:" + minor);
    const DiskQueue queue = diskQueueOf(SystemCalls(), makedev(8, std::stoi(minor)), sys.path());
    EXPECT_EQ(queue.rotational, row.expected.rotational);
    EXPECT_EQ(queue.requestBytes, row.expected.requestBytes);
  }
}

// ext4 on a loop device, as root, whose directories list their entries in the order they were
// made: files made in the order of their names, then written in an order of their own, so that
// where their data lies differs from the order the walk lists them in.
class DiskOrderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0 || !runCommand({"strace", "-V"}) || !runCommand({"mkfs.ext4", "-V"}))
      GTEST_SKIP() << "needs root, strace and mkfs.ext4";
    const std::string image = dir_ / "image";
    ASSERT_TRUE(runCommand({"truncate", "-s", "64M", image}));
    ASSERT_TRUE(runCommand({"mkfs.ext4", "-q", "-O", "^inline_data,^dir_index", image}));
    const ProcessResult mount = runProgram({"mount", "-o", "loop", image, dir_.mkdir("mnt")});
    if (mount.status != 0) GTEST_SKIP() << "no loop device: " << mount.err;
    mounted_ = true;
    const std::string loop = runProgram({"findmnt", "-n", "-o", "SOURCE", dir_ / "mnt"}).out;
    queue_ = "/sys/block/" + loop.substr(5, loop.size() - 6) + "/queue/";  // from /dev/loopN\n
    root_ = dir_.mkdir("mnt/tree");
    for (const char* sub : {"a", "b", "c"}) dir_.mkdir(std::string("mnt/tree/") + sub);
    // The walk's first files have no data on the disk, so neither tells whether the tree is
    // cold: one empty, which no read waits for, and one of holes, whose pages stay cached.
    writeFile(root_ + "/a/empty", "");
    ASSERT_TRUE(runCommand({"truncate", "-s", "1M", root_ + "/a/holes"}));
    const auto path = [&](int i) { return root_ + "/" + "abc"[i % 3] + "/f" + std::to_string(i); };
    for (int i = 0; i < 36; ++i) writeFile(path(i), "");
    // Written in a shuffled order, each synced, so that each lands where the last one ended.
    for (int step = 0; step < 36; ++step) {
      const int i = (step * 7) % 36;
      writeFile(path(i),
                std::string(i < 3 ? (2 << 20) + 7 : 4096 * (1 + i % 4), char('a' + i % 26)));
      ASSERT_TRUE(runCommand({"sync", path(i)}));
      const int fd = ::open(path(i).c_str(), O_RDONLY);
      const FirstExtent first = firstExtent(SystemCalls(), fd);
      ::close(fd);
      if (first.placement == Placement::placed) placed_.emplace(first.physical, path(i));
    }
    ASSERT_EQ(runVorbit({"-t", root_}).status, 0);
    warmReport_ = runVorbit({"-c", root_}).out;
  }
  void TearDown() override {
    if (mounted_) runCommand({"umount", dir_ / "mnt"});  // which frees the loop device
  }

  TempDir dir_;
  std::string queue_, root_, warmReport_;
  std::map<std::uint64_t, std::string> placed_;  // the files with data, by their first extent
  bool mounted_ = false;
};

// Only a cold tree on a disk that turns is mapped and asked for in the disk's order, whole files
// in pieces of the device's request limit; every run reports in the walk's.
TEST_F(DiskOrderTest, ColdTreeOnATurningDiskIsAskedForInTheDisksOrderAndReportedInTheWalks) {
  const std::string trace = dir_ / "trace";
  // Under a soft descriptor limit too low for a batch, which vorbit raises to the hard one: the
  // fewest a batch may have.
  const std::vector<std::string> strace = {
      "prlimit", "--nofile=700:768",     "--", "strace", "-y", "-o", trace,
      "-e",      "trace=fadvise64,ioctl"};
  // A request limit below 1 MiB, the larger of the two.
  writeFile(queue_ + "read_ahead_kb", "384");
  writeFile(queue_ + "max_sectors_kb", "128");
  for (const auto& [what, turns, cold] : {std::tuple{"cold, on a disk that turns", true, true},
                                          {"cold, on a disk that does not turn", false, true},
                                          {"warm, on a disk that turns", true, false}}) {
    SCOPED_TRACE(what);
    writeFile(queue_ + "rotational", turns ? "1" : "0");
    // The tree's files alone: a global drop would make another test's warm tree cold while the
    // suite runs its tests side by side.
    if (cold) std::ranges::for_each(placed_ | std::views::values, makeCold);
    EXPECT_EQ(runVorbit({"-c", root_}, "", strace).out, warmReport_);
    const std::string calls = readFile(trace);
    EXPECT_EQ(calls.find("FS_IOC_FIEMAP") != std::string::npos, turns && cold) << "mapped";
    if (!turns || !cold) continue;
    // The files asked to be read ahead, in the order first asked for, and the lengths asked.
    std::vector<std::string> asked;
    std::map<std::string, std::vector<std::uint64_t>> lengths;
    const std::regex fadvise(R"(fadvise64\(\d+<([^>]*)>, \d+, (\d+), POSIX_FADV_WILLNEED)");
    for (std::sregex_iterator it(calls.begin(), calls.end(), fadvise), end; it != end; ++it) {
      if (!lengths.contains((*it)[1])) asked.push_back((*it)[1]);
      lengths[(*it)[1]].push_back(std::stoull((*it)[2]));
    }
    // The walk's first file with data is read ahead before the disk is known to turn (through
    // the ring, or a request of its own): the batch's requests, of all the others, follow it.
    if (!asked.empty() && asked.size() == placed_.size()) asked.erase(asked.begin());
    std::vector<std::string> expected;
    for (const std::string& path : placed_ | std::views::values)
      if (std::ranges::count(asked, path) != 0) expected.push_back(path);
    EXPECT_EQ(expected.size() + 1, placed_.size());
    EXPECT_EQ(asked, expected);
    // Nothing asked of a file with no data on the disk (above), and the rest whole, in pieces of
    // the device's limit.
    for (const auto& [path, pieces] : lengths) {
      const std::uint64_t size = std::filesystem::file_size(path), limit = 384 << 10;
      std::vector<std::uint64_t> whole(size / limit, limit);
      if (size % limit != 0) whole.push_back(size % limit);
      EXPECT_EQ(pieces, whole) << path;
    }
  }
}

// A file of the batch whose descriptor was given back to make room, when another found none, is
// opened again at its turn, and read if it is still the inode mapped: f5 is refused a descriptor
// as its batch opens it, and again at its turn, when the newest file of the window gives its up.
// The queue's request limits cannot be read here either: pieces are then of the largest size.
TEST_F(DiskOrderTest, AFileThatGaveItsDescriptorBackIsReadAtItsTurn) {
  writeFile(queue_ + "rotational", "1");
  std::ranges::for_each(placed_ | std::views::values, makeCold);
  struct NoRoom final : FaultInjector {
    int errorFor(SystemCall call, std::string_view name) override {
      maps += call == SystemCall::ioctl;
      if (name.ends_with("_kb")) return EACCES;
      return call == SystemCall::openat && name == "f5" && ++refused <= 2 ? EMFILE : 0;
    }
    int refused = 0;
    int maps = 0;  // a batch maps each of its files
  } noRoom;
  EXPECT_EQ(runInProcess({"-c", root_}, &noRoom), (ProcessResult{warmReport_, "", 0}));
  EXPECT_EQ(noRoom.refused, 3);
  EXPECT_GE(noRoom.maps, int(placed_.size()));
}

}  // namespace
}  // namespace vorbit
