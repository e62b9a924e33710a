// varnel codestream: the packets of a codestream in progression order
// (T.800 B.12), one at a time, without building the list. Its memory does
// not depend on the declared geometry, so a walk that stops at the first
// packet the data cannot hold costs no more than the data.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "codestream/reader.hpp"

namespace varnel::codestream {

class PacketOrder {
 public:
  // The sequence up to and including its last packet of resolution <=
  // `max_resolution` (the whole sequence when that is at least N_L). The
  // codestream must outlive the order.
  PacketOrder(const Codestream& cs, std::uint8_t max_resolution);

  // The next packet, or nothing after the last one.
  std::optional<PacketId> next();

 private:
  // One resolution's precinct grid and its cursor in raster order.
  struct Grid {
    std::uint64_t cols = 0, rows = 0;
    std::uint64_t px = 0, py = 0;  // next precinct
    unsigned sx = 0, sy = 0;       // precinct size on the reference grid: 2^sx x 2^sy
    bool done() const { return py >= rows; }
    void advance() {
      if (++px == cols) px = 0, ++py;
    }
  };

  std::optional<PacketId> next_resolution_major();
  std::optional<PacketId> next_position_major();
  // Puts the resolutions whose next precinct comes first by reference-grid
  // position into `group_` (false when every grid is done).
  bool next_group();

  std::uint8_t progression_ = 0;
  std::uint32_t comps_ = 0;
  unsigned top_ = 0;  // last resolution the order must reach
  std::vector<Grid> grids_;
  bool finished_ = false;
  // Resolution-major orders: the next packet's resolution and its three
  // counters within it, outermost first.
  unsigned r_ = 0;
  std::uint64_t i0_ = 0, i1_ = 0, i2_ = 0;
  // Position-major orders: the resolutions of the current position (in
  // order), the next of them and the component.
  std::vector<std::uint8_t> group_;
  std::size_t g_ = 0;
  std::uint32_t cc_ = 0;
  bool last_group_ = false;  // no packet of resolution <= top_ after this group
};

}  // namespace varnel::codestream
