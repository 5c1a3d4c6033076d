#pragma once

#include <string>
#include <vector>

namespace vorbit::testing {

// Drops the file's pages from the page cache, so that the next read of it comes from the disk:
// the case reading ahead is for, reached without root. Returns the path.
std::string makeCold(const std::string& path);

// Whether the start of the file reaches the page cache within a few seconds, as a read asked of
// the kernel brings it there without anyone reading the file. A read asked ahead of time is a
// hint the kernel may take in part, so the file's start is what shows that it was asked.
bool becomesResident(const std::string& path);

// The files in the tables of registered files of this process's io_uring instances, sorted, as
// the kernel shows them in /proc: what a ring holds open, whoever closed its descriptor.
std::vector<std::string> filesInRingTables();

}  // namespace vorbit::testing
