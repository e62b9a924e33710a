// PlaneEntry: a chunk index entry from a codestream's own packet index (its
// PLT segments) or from what the writer knows, and its prefix checksums.
#include <algorithm>
#include <cstdio>
#include <limits>
#include <string>

#include "codestream/container.hpp"
#include "codestream/reader.hpp"
#include "core/crc32c.hpp"

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

Result<void> PlaneEntry::add_checksums(std::span<const std::uint8_t> codestream) {
  checksums.clear();
  checksums.reserve(prefix_lengths.size());
  std::uint32_t crc = 0;
  std::size_t done = 0;
  for (const std::uint32_t end : prefix_lengths) {
    if (end < done || end > codestream.size())
      return std::unexpected(invalid("plane prefix lengths do not fit the codestream they index"));
    crc = crc32c_extend(crc, codestream.subspan(done, end - done));
    done = end;
    checksums.push_back(crc);
  }
  return ok();
}

namespace {

std::string hex32(std::uint32_t v) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08x", v);
  return text;
}

}  // namespace

Result<void> PlaneEntry::verify_prefix(std::span<const std::uint8_t> bytes, std::size_t resolution,
                                       std::uint64_t plane) const {
  if (checksums.empty()) return ok();
  // The index parse has checked that the prefix lies within the bytes the
  // caller hands over; this is the defect check of a caller that did not.
  if (resolution >= checksums.size() || resolution >= prefix_lengths.size() ||
      prefix_lengths[resolution] > bytes.size())
    return std::unexpected(invalid("prefix checksum asked for beyond the plane's bytes"));
  const std::uint32_t stored = checksums[resolution];
  const std::uint32_t computed = crc32c(bytes.first(prefix_lengths[resolution]));
  if (stored == computed) return ok();
  return std::unexpected(malformed(offset, "plane " + std::to_string(plane) + ": resolution " +
                                               std::to_string(resolution) +
                                               " prefix checksum mismatch (stored " + hex32(stored) +
                                               ", computed " + hex32(computed) + ")"));
}

}  // namespace varnel::codestream
