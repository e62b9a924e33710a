#include "codestream/packet.hpp"

#include <algorithm>
#include <bit>

#include "codestream/bitio.hpp"
#include "codestream/tagtree.hpp"

namespace varnel::codestream {

namespace {


// Bit length of v (0 for 0).
unsigned bit_length(std::uint32_t v) { return 32u - static_cast<unsigned>(std::countl_zero(v)); }

bool has_blocks(std::uint64_t across, std::uint64_t down) { return across != 0 && down != 0; }

// Segment lengths the parser accepts (T.814: the cleanup segment ends with the
// two Scup bytes and is shorter than 65535 bytes; the refinement segment is
// at most 2046 bytes).
constexpr std::uint32_t kMinLcup = 2;
constexpr std::uint32_t kMaxLcup = 65534;
constexpr std::uint32_t kMaxLref = 2046;

// The most code-blocks a band of one precinct can hold: a precinct is at most
// 2^15 x 2^15 and a code-block at least 4 x 4. The parser refuses larger
// descriptors rather than building tag trees for them (about 5 bytes each).
constexpr std::uint64_t kMaxParsedBlocks = std::uint64_t{1} << 26;
// Bands of up to this many blocks always get dense tag trees (about 350 KB).
constexpr std::uint64_t kDenseBlocks = std::uint64_t{1} << 16;

Result<void> check_bands(std::span<const BandBlocks> bands) {
  for (const BandBlocks& band : bands) {
    std::uint64_t count = 0;
    if (__builtin_mul_overflow(band.across, band.down, &count) || count != band.blocks.size()) {
      return std::unexpected(invalid("code-block list does not match the band's grid"));
    }
    for (const CodeBlock& block : band.blocks) {
      if (!block.data) continue;
      if (block.passes < 1 || block.passes > 3) {
        return std::unexpected(invalid("code-block passes must be 1 to 3"));
      }
      if (block.lcup < kMinLcup || block.lcup > kMaxLcup || block.lref > kMaxLref ||
          (block.passes == 1 && block.lref != 0)) {
        return std::unexpected(invalid("code-block segment length out of range"));
      }
      if (block.data->size() != std::uint64_t{block.lcup} + block.lref) {
        return std::unexpected(invalid("code-block data length differs from Lcup + Lref"));
      }
    }
  }
  return ok();
}

void write_block_lengths(HeaderBitWriter& bits, const CodeBlock& block) {
  // T.800 B.10.6: the number of coding passes.
  switch (block.passes) {
    case 1: bits.put_bits(0b0, 1); break;
    case 2: bits.put_bits(0b10, 2); break;
    default: bits.put_bits(0b1100, 4); break;
  }
  // T.800 B.10.7 with the HT segments of T.814: the cleanup segment holds one
  // pass (Lblock bits), a refinement segment one or two passes (Lblock or
  // Lblock + 1 bits). Lblock grows from 3 until every length fits.
  const unsigned ref_bits = bit_length(block.lref);
  unsigned needed = bit_length(block.lcup);
  if (block.passes == 2) needed = std::max(needed, ref_bits);
  if (block.passes == 3 && ref_bits > 0) needed = std::max(needed, ref_bits - 1);
  const unsigned lblock = std::max(needed, 3u);
  bits.put_ones_then_zero(lblock - 3);
  bits.put_bits(block.lcup, lblock);
  if (block.passes == 2) bits.put_bits(block.lref, lblock);
  if (block.passes == 3) bits.put_bits(block.lref, lblock + 1);
}

}  // namespace

Result<std::size_t> append_packet_header(std::span<const BandBlocks> bands,
                                         std::vector<std::uint8_t>& out) {
  VARNEL_TRY(check_bands(bands));
  const std::size_t start = out.size();

  const bool any = std::any_of(bands.begin(), bands.end(), [](const BandBlocks& b) {
    return std::any_of(b.blocks.begin(), b.blocks.end(),
                       [](const CodeBlock& c) { return c.data.has_value(); });
  });
  if (!any) {
    out.push_back(0x00);  // the empty-packet bit and seven padding bits
    return std::size_t{1};
  }

  HeaderBitWriter bits(out);
  bits.put_bit(1);
  TagTree inclusion;
  TagTree msbs;
  for (const BandBlocks& band : bands) {
    if (!has_blocks(band.across, band.down)) continue;
    VARNEL_TRY(inclusion.reset(band.across, band.down, 255));
    VARNEL_TRY(msbs.reset(band.across, band.down, 255));
    for (std::uint64_t y = 0, i = 0; y < band.down; ++y) {
      for (std::uint64_t x = 0; x < band.across; ++x, ++i) {
        const CodeBlock& block = band.blocks[i];
        inclusion.set_leaf(x, y, block.data ? 0 : 1);
        msbs.set_leaf(x, y, block.data ? block.missing_msbs : 0);
      }
    }
    inclusion.reduce();
    msbs.reduce();
    if (inclusion.value(inclusion.levels() - 2, 0, 0) != 0) {
      bits.put_bit(0);  // the root says: no block of this band is included
      continue;
    }
    for (std::uint64_t y = 0, i = 0; y < band.down; ++y) {
      for (std::uint64_t x = 0; x < band.across; ++x, ++i) {
        if (!inclusion.encode_inclusion(bits, x, y)) continue;
        msbs.encode_value(bits, x, y);
        write_block_lengths(bits, band.blocks[i]);
      }
    }
  }
  bits.flush();
  return out.size() - start;
}

Result<std::size_t> append_packet(std::span<const BandBlocks> bands,
                                  std::vector<std::uint8_t>& out) {
  const std::size_t start = out.size();
  VARNEL_TRY(append_packet_header(bands, out));
  for (const BandBlocks& band : bands) {
    for (const CodeBlock& block : band.blocks) {
      if (block.data) out.insert(out.end(), block.data->begin(), block.data->end());
    }
  }
  return out.size() - start;
}

Result<std::vector<std::uint8_t>> write_packet(std::span<const BandBlocks> bands) {
  std::vector<std::uint8_t> out;
  std::size_t body = 0;
  for (const BandBlocks& band : bands) {
    for (const CodeBlock& block : band.blocks) {
      if (block.data) body += block.data->size();
    }
  }
  out.reserve(body + 64);
  VARNEL_TRY(append_packet(bands, out));
  return out;
}

namespace {

// T.800 B.10.6: number of coding passes, 1 to 164.
Result<unsigned> read_pass_count(HeaderBitReader& bits) {
  VARNEL_ASSIGN_OR_RETURN(const auto first, bits.read_bit());
  if (first == 0) return 1u;
  VARNEL_ASSIGN_OR_RETURN(const auto second, bits.read_bit());
  if (second == 0) return 2u;
  VARNEL_ASSIGN_OR_RETURN(auto x, bits.read_bits(2));
  if (x < 3) return 3u + x;
  VARNEL_ASSIGN_OR_RETURN(auto y, bits.read_bits(5));
  if (y < 31) return 6u + y;
  VARNEL_ASSIGN_OR_RETURN(auto z, bits.read_bits(7));
  return 37u + z;
}

// floor(log2 n) for n >= 1.
unsigned floor_log2(unsigned n) { return 31u - static_cast<unsigned>(std::countl_zero(n)); }

// The code-blocks of one band of a packet, in raster order, after its
// inclusion root: inclusion, missing MSBs, passes and segment lengths
// (T.800 B.10 with the HT segments of T.814). A run of blocks that one
// excluded node covers is skipped at once.
template <class Tree>
Result<void> read_band(HeaderBitReader& bits, const BandDescriptor& band, std::size_t band_index,
                       std::uint64_t base, Tree& inclusion, Tree& msbs,
                       std::vector<BlockHeader>& blocks) {
  for (std::uint64_t y = 0; y < band.down; ++y) {
    for (std::uint64_t x = 0; x < band.across;) {
      VARNEL_ASSIGN_OR_RETURN(auto run, inclusion.decode_inclusion_run(bits, x, y));
      if (run != 0) {
        x = run;
        continue;
      }

      VARNEL_ASSIGN_OR_RETURN(auto zero_planes, msbs.decode_value(bits, x, y));
      VARNEL_ASSIGN_OR_RETURN(auto passes, read_pass_count(bits));

      // T.814: the passes come in HT sets of cleanup, SigProp and MagRef;
      // all sets but the last are placeholders, each of which stands for
      // one more missing bit-plane.
      const unsigned sets_skipped = (passes - 1) / 3;
      const unsigned missing = zero_planes + sets_skipped;
      if (missing > band.magb) {
        return std::unexpected(malformed(base, "missing MSBs exceed the QCD K_max bound"));
      }
      const unsigned last_set = passes - 3 * sets_skipped;

      unsigned lblock = 3;
      for (unsigned ones = 0;;) {
        VARNEL_ASSIGN_OR_RETURN(auto bit, bits.read_bit());
        if (bit == 0) break;
        ++lblock;
        if (++ones == 22) {
          return std::unexpected(malformed(base, "packet header Lblock exceeds the length bound"));
        }
      }

      // The cleanup segment also carries the placeholder passes.
      VARNEL_ASSIGN_OR_RETURN(auto lcup, bits.read_bits(lblock + floor_log2(3 * sets_skipped + 1)));
      if (lcup < kMinLcup || lcup > kMaxLcup) {
        return std::unexpected(malformed(base, "HT cleanup segment length out of range"));
      }
      std::uint32_t lref = 0;
      if (last_set >= 2) {
        VARNEL_ASSIGN_OR_RETURN(auto r, bits.read_bits(last_set == 2 ? lblock : lblock + 1));
        if (r > kMaxLref) {
          return std::unexpected(malformed(base, "HT refinement segment length out of range"));
        }
        lref = r;
      }
      blocks.push_back(BlockHeader{band_index, x, y, lcup, lref,
                                   static_cast<std::uint8_t>(missing),
                                   static_cast<std::uint8_t>(last_set)});
      ++x;
    }
  }
  return ok();
}

Result<std::size_t> parse_header(std::span<const std::uint8_t> data,
                                 std::span<const BandDescriptor> bands, bool sop, bool eph,
                                 std::uint64_t base, std::vector<BlockHeader>& blocks) {
  // A SOP marker segment (marker, Lsop, Nsop) may precede the header; its
  // fields carry nothing the decoder needs.
  std::size_t start = 0;
  if (sop && data.size() > 5 && data[0] == 0xFF && data[1] == 0x91) start = 6;

  HeaderBitReader bits(data, start, base);
  const bool any_band = std::any_of(bands.begin(), bands.end(), [](const BandDescriptor& b) {
    return has_blocks(b.across, b.down);
  });
  if (!any_band) {
    // A packet of a precinct without code-blocks still has its one-byte
    // header; its value says nothing.
    if (start < data.size()) (void)bits.read_bits(8);
  } else {
    VARNEL_ASSIGN_OR_RETURN(auto nonempty, bits.read_bit());
    if (nonempty) {
      TagTree inclusion;
      TagTree msbs;
      for (std::size_t band_index = 0; band_index < bands.size(); ++band_index) {
        const BandDescriptor& band = bands[band_index];
        if (!has_blocks(band.across, band.down)) continue;
        // The first bit of a band is its inclusion root. When it is 0 no
        // block of the band is included, and the trees are never needed:
        // read it on a copy of the reader before building them.
        HeaderBitReader peek = bits;
        VARNEL_ASSIGN_OR_RETURN(auto root, peek.read_bit());
        if (root == 0) {
          bits = peek;
          continue;
        }
        std::uint64_t count = 0;
        if (__builtin_mul_overflow(band.across, band.down, &count) || count > kMaxParsedBlocks) {
          return std::unexpected(unsupported("too many code-blocks in a packet band"));
        }
        // Dense trees cost about 5 bytes per block; for a grid beyond what
        // the rest of the data could code one bit per block (and beyond a
        // small floor), the trees keep only the nodes they read instead.
        const std::uint64_t rest = data.size() - std::min(bits.position(), data.size());
        Result<void> band_read;
        if (count <= kDenseBlocks || count / 8 <= rest) {
          VARNEL_TRY(inclusion.reset(band.across, band.down, 0));
          VARNEL_TRY(msbs.reset(band.across, band.down, 0));
          band_read = read_band(bits, band, band_index, base, inclusion, msbs, blocks);
        } else {
          SparseTagTree sparse_inclusion, sparse_msbs;
          VARNEL_TRY(sparse_inclusion.reset(band.across, band.down));
          VARNEL_TRY(sparse_msbs.reset(band.across, band.down));
          band_read = read_band(bits, band, band_index, base, sparse_inclusion, sparse_msbs, blocks);
        }
        VARNEL_TRY(std::move(band_read));
      }
    }
  }

  // The header ends at a byte boundary; after a final 0xFF the next byte is
  // its stuffing byte.
  std::size_t length = bits.position();
  if (bits.last_was_ff() && length < data.size()) ++length;
  if (eph) {
    VARNEL_ASSIGN_OR_RETURN(auto after, consume_eph(data, length, base));
    length = after;
  }
  return length;
}

}  // namespace

Result<std::size_t> parse_packet_header_into(std::span<const std::uint8_t> data,
                                             std::span<const BandDescriptor> bands, bool sop,
                                             bool eph, std::uint64_t base,
                                             std::vector<BlockHeader>& blocks) {
  blocks.clear();
  auto length = parse_header(data, bands, sop, eph, base, blocks);
  if (!length) blocks.clear();  // a failed parse yields no entries
  return length;
}

Result<PacketHeader> parse_packet_header(std::span<const std::uint8_t> data,
                                         std::span<const BandDescriptor> bands, bool sop,
                                         bool eph, std::uint64_t base) {
  PacketHeader header;
  VARNEL_ASSIGN_OR_RETURN(auto length, parse_packet_header_into(data, bands, sop, eph, base, header.blocks));
  header.length = length;
  return header;
}

Result<std::size_t> consume_eph(std::span<const std::uint8_t> data, std::size_t pos,
                                std::uint64_t base) {
  if (pos <= data.size() && data.size() - pos >= 2 && data[pos] == 0xFF && data[pos + 1] == 0x92) {
    return pos + 2;
  }
  return std::unexpected(malformed(base + pos, "expected EPH after packet header"));
}

}  // namespace varnel::codestream
