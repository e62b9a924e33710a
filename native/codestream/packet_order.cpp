// Progression orders (T.800 B.12) as a cursor: resolution-major orders
// count through resolution, precinct and component; position-major orders
// (PCRL, CPRL) merge the resolutions' precinct grids by the reference-grid
// origin of their next precinct, resolutions of the same origin in order.
#include "codestream/packet_order.hpp"

#include <algorithm>
#include <tuple>
#include <utility>

namespace varnel::codestream {
namespace {

std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}

// Origin of precinct index i along one axis of a grid of 2^s-sample precincts.
std::uint64_t origin(std::uint64_t i, unsigned s) {
  return s >= 64 ? (i ? UINT64_MAX : 0) : sat_mul(i, std::uint64_t{1} << s);
}

// (PPx, PPy) of resolution r: its entry, the last entry, or 15/15.
std::pair<unsigned, unsigned> precinct_exponents(const Cod& cod, std::uint8_t r) {
  if (cod.precincts.empty()) return {15, 15};
  const PrecinctSize& p = r < cod.precincts.size() ? cod.precincts[r] : cod.precincts.back();
  return {std::min<unsigned>(p.ppx, 31), std::min<unsigned>(p.ppy, 31)};
}

}  // namespace

PacketOrder::PacketOrder(const Codestream& cs, std::uint8_t max_resolution)
    : progression_(cs.cod.progression),
      comps_(static_cast<std::uint32_t>(cs.siz.components.size())),
      top_(std::min<unsigned>(cs.cod.levels, max_resolution)) {
  const unsigned levels = cs.cod.levels;
  grids_.resize(levels + 1);
  bool any_low = false;
  for (unsigned r = 0; r <= levels; ++r) {
    Grid& g = grids_[r];
    std::tie(g.cols, g.rows) = cs.precinct_grid(static_cast<std::uint8_t>(r));
    if (g.cols == 0) g.rows = 0;
    const auto [ppx, ppy] = precinct_exponents(cs.cod, static_cast<std::uint8_t>(r));
    g.sx = ppx + (levels - r);
    g.sy = ppy + (levels - r);
    if (r <= top_ && !g.done()) any_low = true;
  }
  // Nothing of resolution <= top_: the order is empty.
  finished_ = !any_low || comps_ == 0;
}

std::optional<PacketId> PacketOrder::next() {
  if (finished_) return std::nullopt;
  return progression_ == 3 || progression_ == 4 ? next_position_major() : next_resolution_major();
}

std::optional<PacketId> PacketOrder::next_resolution_major() {
  // RPCL: precinct row, column, component within a resolution; LRCP, RLCP
  // (one layer) and any other value: component, precinct row, column.
  const bool rpcl = progression_ == 2;
  while (r_ <= top_) {
    const Grid& g = grids_[r_];
    const std::uint64_t n0 = rpcl ? g.rows : comps_;
    const std::uint64_t n1 = rpcl ? g.cols : g.rows;
    const std::uint64_t n2 = rpcl ? comps_ : g.cols;
    if (g.done() || i0_ >= n0) {
      ++r_;
      i0_ = i1_ = i2_ = 0;
      continue;
    }
    const auto r = static_cast<std::uint8_t>(r_);
    const PacketId id = rpcl ? PacketId{static_cast<std::uint32_t>(i2_), r, i1_, i0_}
                             : PacketId{static_cast<std::uint32_t>(i0_), r, i2_, i1_};
    if (++i2_ == n2) {
      i2_ = 0;
      if (++i1_ == n1) {
        i1_ = 0;
        ++i0_;
      }
    }
    return id;
  }
  finished_ = true;
  return std::nullopt;
}

bool PacketOrder::next_group() {
  group_.clear();
  g_ = 0;
  std::uint64_t best_y = 0, best_x = 0;
  for (unsigned r = 0; r < grids_.size(); ++r) {
    const Grid& g = grids_[r];
    if (g.done()) continue;
    const std::uint64_t y = origin(g.py, g.sy), x = origin(g.px, g.sx);
    if (group_.empty() || y < best_y || (y == best_y && x < best_x)) {
      group_.assign(1, static_cast<std::uint8_t>(r));
      best_y = y;
      best_x = x;
    } else if (y == best_y && x == best_x) {
      group_.push_back(static_cast<std::uint8_t>(r));
    }
  }
  if (group_.empty()) return false;
  // The last group holding packets of resolution <= top_: none of those
  // resolutions has a precinct left beyond this group's.
  last_group_ = true;
  for (unsigned r = 0; r <= top_ && last_group_; ++r) {
    const Grid& g = grids_[r];
    if (g.done()) continue;
    const bool in_group = std::find(group_.begin(), group_.end(), r) != group_.end();
    const bool at_last = g.py + 1 == g.rows && g.px + 1 == g.cols;
    if (!(in_group && at_last)) last_group_ = false;
  }
  return true;
}

std::optional<PacketId> PacketOrder::next_position_major() {
  const bool pcrl = progression_ == 3;
  for (;;) {
    if (g_ < group_.size()) {
      const std::uint8_t r = group_[g_];
      const PacketId id{cc_, r, grids_[r].px, grids_[r].py};
      ++g_;
      // PCRL visits every component at a position before the next one.
      if (pcrl && g_ == group_.size() && cc_ + 1 < comps_) {
        g_ = 0;
        ++cc_;
      }
      // The order ends after its last packet of resolution <= top_.
      if (last_group_ && cc_ + 1 == comps_ &&
          std::none_of(group_.begin() + static_cast<std::ptrdiff_t>(g_), group_.end(),
                       [&](std::uint8_t q) { return q <= top_; }))
        finished_ = true;
      return id;
    }
    for (std::uint8_t r : group_) grids_[r].advance();
    if (pcrl) cc_ = 0;
    if (!next_group()) {
      // CPRL: the next component runs through every position again.
      if (pcrl || cc_ + 1 >= comps_) {
        finished_ = true;
        return std::nullopt;
      }
      ++cc_;
      for (Grid& g : grids_) g.px = g.py = 0;
      if (!next_group()) {
        finished_ = true;
        return std::nullopt;
      }
    }
  }
}

}  // namespace varnel::codestream
