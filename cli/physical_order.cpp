#include "cli/physical_order.h"

#include <algorithm>

namespace vorbit {

BatchPlan planBatch(std::span<const MappedFile> files, std::uint64_t byteBound) {
  BatchPlan plan;
  std::uint64_t bytes = 0;
  while (plan.files < files.size() &&
         (plan.files == 0 || bytes + files[plan.files].bytes <= byteBound)) {
    bytes += files[plan.files++].bytes;
  }
  const auto with = [&](Placement placement) {
    for (std::size_t i = 0; i < plan.files; ++i) {
      if (files[i].extent.placement == placement && files[i].bytes > 0) plan.readOrder.push_back(i);
    }
  };
  with(Placement::placed);
  std::stable_sort(plan.readOrder.begin(), plan.readOrder.end(), [&](std::size_t a, std::size_t b) {
    return files[a].extent.physical < files[b].extent.physical;
  });
  with(Placement::unplaced);
  return plan;
}

std::vector<Piece> piecesOf(std::uint64_t bytes, std::uint64_t pieceBytes) {
  std::vector<Piece> pieces;
  for (std::uint64_t offset = 0; offset < bytes; offset += pieceBytes) {
    pieces.push_back({offset, std::min(pieceBytes, bytes - offset)});
  }
  return pieces;
}

bool BatchDirectories::hold(const WalkDirectory& directory) {
  if (held_.count(&directory) != 0) return true;
  const int fd = duplicateDescriptor(calls_, directory.fd());
  if (fd == kNoDescriptor) return false;
  held_.emplace(&directory, fd);
  return true;
}

int BatchDirectories::find(const WalkDirectory& directory) const {
  const auto held = held_.find(&directory);
  return held == held_.end() ? kNoDescriptor : held->second;
}

void BatchDirectories::closeAll() {
  for (const auto& [directory, fd] : held_) calls_.close(fd);
  held_.clear();
}

}  // namespace vorbit
