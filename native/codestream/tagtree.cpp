#include "codestream/tagtree.hpp"

#include <algorithm>
#include <bit>
#include <limits>

namespace varnel::codestream {

namespace {

unsigned ceil_log2(std::uint64_t n) {
  return n <= 1 ? 0u : 64u - static_cast<unsigned>(std::countl_zero(n - 1));
}

std::uint64_t halved_up(std::uint64_t n, unsigned k) {
  if (k >= 64) return 1;
  const std::uint64_t q = n >> k;
  const bool rest = (n & ((std::uint64_t{1} << k) - 1)) != 0;
  return std::max<std::uint64_t>(q + (rest ? 1 : 0), 1);
}

}  // namespace

Result<TagTree> TagTree::make(std::uint64_t width, std::uint64_t height, std::uint8_t fill) {
  TagTree tree;
  VARNEL_TRY(tree.reset(width, height, fill));
  return tree;
}

Result<void> TagTree::reset(std::uint64_t width, std::uint64_t height, std::uint8_t fill) {
  // Levels 0 ... f, f = max(ceil(log2 w), ceil(log2 h)) + 1: level f - 1 is
  // the root, level f the constant 0 above it.
  const unsigned f = std::max(ceil_log2(width), ceil_log2(height)) + 1;
  std::size_t total = 0;
  for (unsigned k = 0; k <= f; ++k) {
    const std::uint64_t w = halved_up(width, k);
    const std::uint64_t h = halved_up(height, k);
    std::uint64_t n = 0;
    if (__builtin_mul_overflow(w, h, &n) || n > std::numeric_limits<std::size_t>::max() ||
        __builtin_add_overflow(total, static_cast<std::size_t>(n), &total)) {
      level_count_ = 0;
      return std::unexpected(invalid("tag tree too large"));
    }
    offsets_[k] = total - static_cast<std::size_t>(n);
    widths_[k] = w;
    heights_[k] = h;
  }
  level_count_ = f + 1;
  const std::size_t leaves = static_cast<std::size_t>(widths_[0] * heights_[0]);
  values_.assign(total, 0);
  std::fill_n(values_.begin(), leaves, fill);
  states_.assign(total, 0);
  return ok();
}

void TagTree::reduce() {
  if (level_count_ == 0) return;
  const std::size_t top = level_count_ - 1;
  for (std::size_t k = 1; k < top; ++k) {
    const std::uint64_t cw = widths_[k - 1];
    const std::uint64_t ch = heights_[k - 1];
    const std::uint8_t* child = values_.data() + offsets_[k - 1];
    std::uint8_t* node = values_.data() + offsets_[k];
    for (std::uint64_t y = 0; y < heights_[k]; ++y) {
      const std::uint64_t cy = 2 * y;
      const bool two_rows = cy + 1 < ch;
      for (std::uint64_t x = 0; x < widths_[k]; ++x) {
        const std::uint64_t cx = 2 * x;
        const bool two_cols = cx + 1 < cw;
        std::uint8_t m = child[cy * cw + cx];
        if (two_cols) m = std::min(m, child[cy * cw + cx + 1]);
        if (two_rows) {
          m = std::min(m, child[(cy + 1) * cw + cx]);
          if (two_cols) m = std::min(m, child[(cy + 1) * cw + cx + 1]);
        }
        node[y * widths_[k] + x] = m;
      }
    }
  }
  values_[offsets_[top]] = 0;
}

bool TagTree::encode_inclusion(HeaderBitWriter& bits, std::uint64_t x, std::uint64_t y) {
  if (level_count_ == 0) return false;
  // Threshold 1 (layer 0): a node below the threshold (value 0) is coded as
  // a 1; a node at or above it as a 0, and its whole subtree is then out.
  for (std::size_t k = level_count_ - 1; k-- > 0;) {
    const std::size_t i = index(k, x >> k, y >> k);
    const std::uint8_t parent = values_[index(k + 1, x >> (k + 1), y >> (k + 1))];
    if (states_[i] == 0) {
      bits.put_bit(values_[i] == parent ? 1 : 0);
      states_[i] = 1;
    }
    if (values_[i] != 0) return false;
  }
  return true;
}

void TagTree::encode_value(HeaderBitWriter& bits, std::uint64_t x, std::uint64_t y) {
  if (level_count_ == 0) return;
  for (std::size_t k = level_count_ - 1; k-- > 0;) {
    const std::size_t i = index(k, x >> k, y >> k);
    if (states_[i] != 0) continue;
    const std::uint8_t parent = values_[index(k + 1, x >> (k + 1), y >> (k + 1))];
    for (unsigned n = values_[i] - parent; n > 0; --n) bits.put_bit(0);
    bits.put_bit(1);
    states_[i] = 1;
  }
}

Result<bool> TagTree::decode_inclusion(HeaderBitReader& bits, std::uint64_t x, std::uint64_t y) {
  if (level_count_ == 0) return false;
  for (std::size_t k = level_count_ - 1; k-- > 0;) {
    const std::size_t i = index(k, x >> k, y >> k);
    if (values_[i] == 1) return false;
    if (states_[i] == 0) {
      VARNEL_ASSIGN_OR_RETURN(auto bit, bits.read_bit());
      values_[i] = bit ? 0 : 1;
      states_[i] = 1;
      if (!bit) return false;
    }
  }
  return true;
}

Result<std::uint64_t> TagTree::decode_inclusion_run(HeaderBitReader& bits, std::uint64_t x,
                                                   std::uint64_t y) {
  if (level_count_ == 0) return x + 1;
  for (std::size_t k = level_count_ - 1; k-- > 0;) {
    const std::size_t i = index(k, x >> k, y >> k);
    if (values_[i] != 1 && states_[i] == 0) {
      VARNEL_ASSIGN_OR_RETURN(auto bit, bits.read_bit());
      values_[i] = bit ? 0 : 1;
      states_[i] = 1;
    }
    if (values_[i] == 1) return ((x >> k) + 1) << k;
  }
  return std::uint64_t{0};
}

Result<std::uint8_t> TagTree::decode_value(HeaderBitReader& bits, std::uint64_t x,
                                           std::uint64_t y) {
  if (level_count_ == 0) return std::uint8_t{0};
  for (std::size_t k = level_count_ - 1; k-- > 0;) {
    const std::size_t i = index(k, x >> k, y >> k);
    if (states_[i] != 0) continue;
    unsigned v = values_[index(k + 1, x >> (k + 1), y >> (k + 1))];
    for (;;) {
      VARNEL_ASSIGN_OR_RETURN(auto bit, bits.read_bit());
      if (bit) break;
      if (v < 255) ++v;
    }
    values_[i] = static_cast<std::uint8_t>(v);
    states_[i] = 1;
  }
  return values_[index(0, x, y)];
}

Result<void> SparseTagTree::reset(std::uint64_t width, std::uint64_t height) {
  nodes_.clear();
  const unsigned f = std::max(ceil_log2(width), ceil_log2(height)) + 1;
  for (unsigned k = 0; k <= f; ++k) {
    const std::uint64_t w = halved_up(width, k);
    std::uint64_t n = 0;
    if (__builtin_mul_overflow(w, halved_up(height, k), &n) || n >= (std::uint64_t{1} << 56)) {
      level_count_ = 0;
      return std::unexpected(invalid("tag tree too large"));
    }
    widths_[k] = w;
  }
  level_count_ = f + 1;
  return ok();
}

Result<std::uint64_t> SparseTagTree::decode_inclusion_run(HeaderBitReader& bits, std::uint64_t x,
                                                         std::uint64_t y) {
  if (level_count_ == 0) return x + 1;
  for (std::size_t k = level_count_ - 1; k-- > 0;) {
    const std::uint64_t at = key(k, x, y);
    std::uint16_t n = node(at);
    if (n == 0) {  // not coded yet (a coded node is never 0)
      VARNEL_ASSIGN_OR_RETURN(auto bit, bits.read_bit());
      n = static_cast<std::uint16_t>(kCoded | (bit ? 0 : 1));
      nodes_[at] = n;
    }
    if ((n & 0xFF) == 1) return ((x >> k) + 1) << k;
  }
  return std::uint64_t{0};
}

Result<std::uint8_t> SparseTagTree::decode_value(HeaderBitReader& bits, std::uint64_t x,
                                                 std::uint64_t y) {
  if (level_count_ == 0) return std::uint8_t{0};
  // The top node is 0 and never stored; each coded node's value is at least
  // its parent's.
  unsigned parent = 0;
  for (std::size_t k = level_count_ - 1; k-- > 0;) {
    const std::uint64_t at = key(k, x, y);
    const std::uint16_t n = node(at);
    if (n & kCoded) {
      parent = n & 0xFF;
      continue;
    }
    unsigned v = parent;
    for (;;) {
      VARNEL_ASSIGN_OR_RETURN(auto bit, bits.read_bit());
      if (bit) break;
      if (v < 255) ++v;
    }
    nodes_[at] = static_cast<std::uint16_t>(kCoded | v);
    parent = v;
  }
  return static_cast<std::uint8_t>(parent);
}

}  // namespace varnel::codestream
