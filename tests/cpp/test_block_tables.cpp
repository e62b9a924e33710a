// Encoder code tables: derived from the CxtVLC rows of T.814 and the U-VLC
// code; checked against the rows themselves and against the decoder's
// tables.
#include <gtest/gtest.h>

#include <bit>
#include <set>

#include "htj2k/block/cxtvlc_rows.hpp"
#include "htj2k/block/dec_tables.hpp"
#include "htj2k/block/enc_tables.hpp"

namespace varnel::htj2k {
namespace {

const EncVlcTable& table_of(unsigned t) { return t == 0 ? ENC_VLC_TBL0 : ENC_VLC_TBL1; }

TEST(BlockTables, RowCountsPerTable) {
  std::size_t n[2] = {0, 0};
  for (const CxtVlcRow& r : CXTVLC_ROWS) ++n[r.table];
  EXPECT_EQ(n[0], 444u);
  EXPECT_EQ(n[1], 358u);
}

TEST(BlockTables, EveryPossibleKeyHasACodeword) {
  for (unsigned t = 0; t < 2; ++t) {
    for (unsigned c = 0; c < 8; ++c) {
      for (unsigned rho = 0; rho < 16; ++rho) {
        for (unsigned emb = 0; emb < 16; ++emb) {
          const std::uint16_t e = table_of(t)[(c << 8) | (rho << 4) | emb];
          const bool possible = (emb & rho) == emb && !(c == 0 && rho == 0);
          if (!possible) {
            EXPECT_EQ(e, 0) << t << " " << c << " " << rho << " " << emb;
            continue;
          }
          const unsigned len = (e >> 4) & 0xF;
          EXPECT_GE(len, 1u) << t << " " << c << " " << rho << " " << emb;
          EXPECT_LE(len, 7u);
          // The implied bits are all of significant samples, and for
          // emb = 0 there are none.
          const unsigned e_k = e & 0xF;
          EXPECT_EQ(e_k & rho, e_k);
          if (emb == 0) {
            EXPECT_EQ(e_k, 0u);
          }
        }
      }
    }
  }
}

// Every entry is a row of the code table, and for emb != 0 it is the only
// admissible row with the most implied bits.
TEST(BlockTables, EntriesAreTheUniqueBestRows) {
  for (unsigned t = 0; t < 2; ++t) {
    for (unsigned c = 0; c < 8; ++c) {
      for (unsigned rho = 0; rho < 16; ++rho) {
        for (unsigned emb = 0; emb < 16; ++emb) {
          if ((emb & rho) != emb || (c == 0 && rho == 0)) continue;
          const std::uint16_t e = table_of(t)[(c << 8) | (rho << 4) | emb];
          int best_bits = -1;
          int at_best = 0;
          bool found = false;
          for (const CxtVlcRow& r : CXTVLC_ROWS) {
            if (r.table != t || r.c_q != c || r.rho != rho) continue;
            const bool admissible =
                emb == 0 ? r.u_off == 0 : (r.u_off == 1 && (emb & r.e_k) == r.e_1);
            if (!admissible) continue;
            const int bits = std::popcount(static_cast<unsigned>(r.e_k));
            if (bits > best_bits) {
              best_bits = bits;
              at_best = 1;
            } else if (bits == best_bits) {
              ++at_best;
            }
            if (e == ((r.cwd << 8) | (r.len << 4) | r.e_k) && bits == best_bits) found = true;
          }
          EXPECT_EQ(at_best, 1) << "ambiguous key " << t << " " << c << " " << rho << " " << emb;
          EXPECT_TRUE(found) << t << " " << c << " " << rho << " " << emb;
        }
      }
    }
  }
}

// Within one context no codeword is a prefix of another (sent least
// significant bit first), so the code is decodable.
TEST(BlockTables, CodewordsArePrefixFreePerContext) {
  for (unsigned t = 0; t < 2; ++t) {
    for (unsigned c = 0; c < 8; ++c) {
      std::vector<std::pair<unsigned, unsigned>> codes;
      for (const CxtVlcRow& r : CXTVLC_ROWS)
        if (r.table == t && r.c_q == c) codes.emplace_back(r.cwd, r.len);
      for (std::size_t i = 0; i < codes.size(); ++i)
        for (std::size_t j = 0; j < codes.size(); ++j) {
          if (i == j) continue;
          const unsigned l = std::min(codes[i].second, codes[j].second);
          EXPECT_NE(codes[i].first & ((1u << l) - 1), codes[j].first & ((1u << l) - 1))
              << t << " " << c << " " << i << " " << j;
        }
    }
  }
}

TEST(BlockTables, WorkedExampleKey) {
  // c_q = 0, rho = 1, emb = 0 in the initial row: codeword 0x6 of 4 bits.
  EXPECT_EQ(ENC_VLC_TBL0[0x010], (0x6 << 8) | (4 << 4));
}

TEST(BlockTables, UvlcCode) {
  // Transmission order: u=1 "1", u=2 "01", u=3,4 "001"+1 bit, u>=5 "000"+5 bits.
  EXPECT_EQ(ENC_UVLC[0].prefix_len + ENC_UVLC[0].suffix_len, 0);
  struct Want { unsigned u, prefix, prefix_len, suffix, suffix_len; };
  for (const Want w : {Want{1, 1, 1, 0, 0}, Want{2, 2, 2, 0, 0}, Want{3, 4, 3, 0, 1},
                       Want{4, 4, 3, 1, 1}, Want{5, 0, 3, 0, 5}, Want{20, 0, 3, 15, 5},
                       Want{32, 0, 3, 27, 5}}) {
    const UvlcCode& c = ENC_UVLC[w.u];
    EXPECT_EQ(c.prefix, w.prefix) << w.u;
    EXPECT_EQ(c.prefix_len, w.prefix_len) << w.u;
    EXPECT_EQ(c.suffix, w.suffix) << w.u;
    EXPECT_EQ(c.suffix_len, w.suffix_len) << w.u;
  }
  // Decoding the prefix (bit by bit, first 1 ends it; "000" is 5) and adding
  // the suffix gives back every u.
  for (unsigned u = 1; u <= UVLC_MAX; ++u) {
    const UvlcCode& c = ENC_UVLC[u];
    unsigned base = 0;
    if (c.prefix & 1) base = 1;
    else if (c.prefix & 2) base = 2;
    else if (c.prefix & 4) base = 3;
    else base = 5;
    EXPECT_EQ(base + c.suffix, u);
    EXPECT_EQ(c.prefix_len, base == 5 ? 3 : std::min(base, 3u));
  }
}

TEST(BlockTables, UvlcPairTableIsPrefixesThenSuffixes) {
  for (unsigned u0 = 0; u0 <= UVLC_MAX; ++u0) {
    for (unsigned u1 = 0; u1 <= UVLC_MAX; ++u1) {
      const UvlcCode& a = ENC_UVLC[u0];
      const UvlcCode& b = ENC_UVLC[u1];
      // Bit string in transmission order, built one field at a time.
      std::vector<int> want;
      auto push = [&](unsigned v, unsigned n) {
        for (unsigned i = 0; i < n; ++i) want.push_back(int((v >> i) & 1));
      };
      push(a.prefix, a.prefix_len);
      push(b.prefix, b.prefix_len);
      push(a.suffix, a.suffix_len);
      push(b.suffix, b.suffix_len);
      const std::uint32_t e = ENC_UVLC_PAIR[u0 * (UVLC_MAX + 1) + u1];
      ASSERT_EQ(e >> 24, want.size()) << u0 << " " << u1;
      for (std::size_t i = 0; i < want.size(); ++i) ASSERT_EQ(int((e >> i) & 1), want[i]);
      ASSERT_EQ(e & 0xFFFFFF, (e & 0xFFFFFF) & ((1u << want.size()) - 1));
    }
  }
}

TEST(BlockTables, EncoderEntriesDecodeBack) {
  for (unsigned t = 0; t < 2; ++t) {
    for (unsigned c = 0; c < 8; ++c) {
      for (unsigned rho = 0; rho < 16; ++rho) {
        for (unsigned emb = 0; emb < 16; ++emb) {
          const std::uint16_t e = table_of(t)[(c << 8) | (rho << 4) | emb];
          if (e == 0) continue;
          const unsigned cwd = e >> 8, len = (e >> 4) & 7, e_k = e & 0xF;
          // Any continuation bits after the codeword must not matter.
          for (unsigned tail = 0; tail < (1u << (7 - len)); ++tail) {
            const unsigned window = cwd | (tail << len);
            const std::uint16_t d =
                (t == 0 ? DEC_VLC_TBL0 : DEC_VLC_TBL1)[(c << 7) | window];
            EXPECT_EQ(d & 7u, len);
            EXPECT_EQ((d >> 4) & 0xFu, rho);
            EXPECT_EQ((d >> 3) & 1u, emb != 0 ? 1u : 0u);
            EXPECT_EQ(d >> 12, e_k);
            // The implied bit values are those of emb.
            EXPECT_EQ((d >> 8) & 0xFu, emb & e_k);
          }
        }
      }
    }
  }
}

// The decoder's U-VLC fields for non-initial rows split every pair the
// encoder writes, in each mode (only q0, only q1, both coded), back into its
// u values and its length.
TEST(BlockTables, UvlcFieldsSplitEveryEncodedPair) {
  for (unsigned mode = 1; mode <= 3; ++mode)
    for (unsigned u0 = 1; u0 <= UVLC_MAX; ++u0)
      for (unsigned u1 = 1; u1 <= UVLC_MAX; ++u1) {
        const unsigned a = (mode & 1u) ? u0 : 0u, b = (mode & 2u) ? u1 : 0u;
        const std::uint32_t e = ENC_UVLC_PAIR[a * (UVLC_MAX + 1) + b];
        const std::uint64_t bits = (e & 0xFFFFFFu) | (std::uint64_t{0x5A5A} << (e >> 24));
        const std::uint32_t f = UVLC_FIELDS1[(mode << 6) | (bits & 0x3Fu)];
        ASSERT_EQ(f & 31u, e >> 24) << mode << " " << a << " " << b;
        const auto sfx = static_cast<std::uint32_t>(bits >> ((f >> 5) & 7u));
        EXPECT_EQ(((f >> 21) & 7u) + (sfx & (f >> 11) & 31u), a) << mode << " " << a << " " << b;
        EXPECT_EQ(((f >> 24) & 7u) + ((sfx >> ((f >> 8) & 7u)) & (f >> 16) & 31u), b)
            << mode << " " << a << " " << b;
      }
}

}  // namespace
}  // namespace varnel::htj2k
