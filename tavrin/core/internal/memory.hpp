// Hints to the kernel for large buffers filled once: huge pages, and a paced fill that
// prefaults the buffer a step at a time while handing back the memory freed meanwhile.
//
//   std::vector<std::uint8_t> codes;  codes.reserve(total);
//   PacedFill pacing(codes.data(), total);
//   while (...) { pacing.before_writing(codes.size()); codes.insert(codes.end(), ...); }
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavrin::internal {

/// Asks for huge pages over the whole 2 MiB pages of [start, start + size). A hint only, for
/// memory not touched yet: fewer page faults while it is filled, fewer TLB misses when it is
/// read in scattered order.
void advise_huge_pages(const void* start, std::size_t size);

/// Paces the filling of `buffer` (room for `total` bytes, on huge pages) from memory that is
/// freed as it is copied, in steps of 64 MiB: before a step it prefaults that part of the
/// buffer in one call (far cheaper than a fault per page), and after one it gives the pages
/// freed meanwhile back to the system, so that the source and its copy are never both
/// resident. Each trim walks the whole heap, hence the large step; the peak grows by at most
/// one step.
class PacedFill {
 public:
  PacedFill(std::uint8_t* buffer, std::size_t total);

  /// Call before writing at `filled`, the bytes written so far.
  void before_writing(std::size_t filled);

 private:
  std::uint8_t* buffer_;
  std::size_t total_;
  std::size_t prefaulted_ = 0;
};

}  // namespace tavrin::internal
