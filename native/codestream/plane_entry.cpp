// PlaneEntry::from_codestream: a chunk index entry from a codestream's own
// packet index (its PLT segments).
#include <algorithm>
#include <limits>

#include "codestream/container.hpp"
#include "codestream/reader.hpp"

namespace varnel::codestream {

Result<PlaneEntry> PlaneEntry::from_codestream(const Codestream& codestream, std::uint64_t offset) {
  VARNEL_ASSIGN_OR_RETURN(auto packets, codestream.packet_index());
  // furthest[r]: the furthest packet end of resolution r.
  const std::size_t levels = codestream.cod.levels;
  std::vector<std::uint64_t> furthest(levels + 1, 0);
  for (const PacketRef& p : packets) {
    if (p.resolution > levels) continue;
    const std::uint64_t end = p.offset + p.length;  // both well below 2^63
    furthest[p.resolution] = std::max(furthest[p.resolution], end);
  }
  return from_resolution_ends(furthest, codestream.end, offset);
}

Result<PlaneEntry> PlaneEntry::from_resolution_ends(std::span<const std::uint64_t> furthest,
                                                    std::uint64_t length, std::uint64_t offset) {
  constexpr std::uint64_t kBound = std::numeric_limits<std::uint32_t>::max();
  const auto too_big = [] {
    return std::unexpected(unsupported("codestream exceeds the 4 GiB plane index bound"));
  };
  if (length > kBound) return too_big();
  // prefix[r]: the furthest packet end among resolutions <= r.
  PlaneEntry entry;
  entry.prefix_lengths.resize(furthest.size());
  std::uint64_t running = 0;
  for (std::size_t r = 0; r < furthest.size(); ++r) {
    running = std::max(running, furthest[r]);
    if (running > kBound) return too_big();
    entry.prefix_lengths[r] = static_cast<std::uint32_t>(running);
  }
  entry.offset = offset;
  entry.length = static_cast<std::uint32_t>(length);
  return entry;
}

}  // namespace varnel::codestream
