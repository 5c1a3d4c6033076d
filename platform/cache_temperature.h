#pragma once

namespace vorbit {

// Whether a walk's files come from the disk or from the page cache, decided from what their
// reads find. Reading ahead is worth its cost only while they come from the disk: a file in the
// page cache gains nothing from it and pays a system call and a kernel worker's wake-up. A walk
// starts as if from the disk, the case reading ahead is for.
class CacheTemperature {
 public:
  // Whether to read ahead the file just opened. While files come from the disk, every so often
  // the probe is asked whether the file's first byte is already in the page cache; a probe that
  // finds it there stops the reading ahead.
  template <typename Probe>
  bool readAheadWanted(Probe probe) {
    if (!cold_) return false;
    if (++sinceProbe_ % kProbeEvery == 0 && probe()) cold_ = false;
    return cold_;
  }

  // What a file's first read found: whether its data was already in the page cache, and whether
  // it had been read ahead (then its being there says nothing of the cache). A file that had to
  // come from the disk starts the reading ahead again.
  void firstRead(bool cached, bool readAhead) {
    if (!cached) {
      cold_ = true;
    } else if (!readAhead) {
      cold_ = false;
    }
  }

  // Whether files are taken to come from the disk.
  bool cold() const { return cold_; }

  // Whether the kernel refuses a read of cached data only (an old kernel, a file system that
  // cannot tell, a sandbox that forbids it): then first reads are plain reads, and tell nothing.
  bool cachedReadsRefused() const { return cachedReadsRefused_; }
  void refuseCachedReads() { cachedReadsRefused_ = true; }

 private:
  // While files come from the disk, one in this many is first looked for in the page cache.
  static constexpr unsigned kProbeEvery = 32;

  bool cold_ = true;
  bool cachedReadsRefused_ = false;
  unsigned sinceProbe_ = 0;
};

}  // namespace vorbit
