// The block encoder's portable family: plain loops without conditionals or
// loop-carried state, which the compiler vectorises for the baseline
// (SSE2), and the encode_kernels choice.
#include <algorithm>
#include <bit>

#include "htj2k/block/enc_kernels.hpp"
#include "htj2k/block/enc_tables.hpp"

namespace varnel::htj2k {
namespace {

// v and E of a sample (enc_kernels.hpp). The bit length of 2 mu - 1, which
// is that of x = v | 1 for a significant sample (x = 0 otherwise), comes
// from the exponent of x as a float, so the loops vectorise; x & ~(x >> 1)
// has the same top bit as x and no two adjacent 1 bits, so its conversion
// cannot round up to the next power of 2.
inline void sample_terms(std::uint32_t mu, std::uint32_t sign, std::uint32_t& e, std::uint32_t& v) {
  const std::uint32_t sig = mu != 0;
  const std::uint32_t val = (2 * mu - 2 + sign) & (0u - sig);
  const std::uint32_t t = val | sig;
  const float f = static_cast<float>(static_cast<std::int32_t>(t & ~(t >> 1)));
  const std::int32_t exp = std::bit_cast<std::int32_t>(f) >> 23;  // 127 + bit length - 1
  v = val;
  e = static_cast<std::uint32_t>(exp - 126) & (0u - sig);
}

void load_words(const std::uint32_t* src, std::size_t width, unsigned p, std::uint32_t* e,
                std::uint32_t* v) {
  for (std::size_t x = 0; x < width; ++x)
    sample_terms((src[x] & 0x7FFFFFFFu) >> p, src[x] >> 31, e[x], v[x]);
}

std::uint32_t load_coefficients(const std::int32_t* src, std::size_t width, std::uint32_t* e,
                                std::uint32_t* v) {
  std::uint32_t any = 0;
  for (std::size_t x = 0; x < width; ++x) {
    const auto s = static_cast<std::uint32_t>(src[x] >> 31);  // 0 or all ones
    const std::uint32_t mu = (static_cast<std::uint32_t>(src[x]) ^ s) - s;
    any |= mu;
    sample_terms(mu, s & 1, e[x], v[x]);
  }
  return any;
}

// 1 when a != 0, for a < 2^31.
inline unsigned nonzero(unsigned a) { return (0u - a) >> 31; }
// 1 when a == b, for a, b < 2^31.
inline unsigned equal(unsigned a, unsigned b) { return ((a ^ b) - 1) >> 31; }

// Exponents, significance, E_max and the samples that reach E_max.
struct Quad {
  unsigned rho, e_max, at_max;
  static Quad load(const std::uint32_t* et, const std::uint32_t* eb, std::ptrdiff_t x) {
    const unsigned e0 = et[x], e1 = eb[x], e2 = et[x + 1], e3 = eb[x + 1];
    Quad q;
    q.rho = nonzero(e0) | nonzero(e1) << 1 | nonzero(e2) << 2 | nonzero(e3) << 3;
    q.e_max = std::max(std::max(e0, e1), std::max(e2, e3));
    q.at_max = equal(e0, q.e_max) | equal(e1, q.e_max) << 1 | equal(e2, q.e_max) << 2 |
               equal(e3, q.e_max) << 3;
    return q;
  }
};

// A quad's code and info (enc_kernels.hpp) from its context, rho, EMB,
// U_q and u_q.
inline void quad_outputs(const EncVlcTable& table, unsigned c, unsigned rho, unsigned emb,
                         unsigned big_u, unsigned u, std::uint32_t& code, std::uint32_t& info) {
  const unsigned entry = table[c << 8 | rho << 4 | emb];  // codeword << 8 | length << 4 | e_k
  const unsigned mel = c == 0 ? QUAD_MEL | (rho != 0 ? QUAD_MEL_EVENT : 0) : 0;
  code = (entry >> 8) | mel | ((entry >> 4) & 7) << 12 | u << 16;
  info = big_u | (entry & 0xF) << 8 | rho << 12;
}

// Initial quad row (T.814): kappa = 1; the context comes from the quad to
// the left: (rho & 1) | (rho >> 1) of that quad.
void plan_initial_row(std::size_t quads, const std::uint32_t* et, const std::uint32_t* eb,
                      std::uint32_t* code, std::uint32_t* info) {
  for (std::size_t j = 0; j < quads; ++j) {
    const auto x = static_cast<std::ptrdiff_t>(2 * j);  // signed: columns -2 and -1 are read
    const Quad q = Quad::load(et, eb, x);
    const unsigned c = nonzero(et[x - 2] | eb[x - 2]) | nonzero(et[x - 1]) << 1 |
                       nonzero(eb[x - 1]) << 2;
    const unsigned big_u = std::max(q.e_max, 1u);
    const unsigned u = big_u - 1;
    const unsigned emb = q.at_max & (0u - nonzero(u));
    quad_outputs(ENC_VLC_TBL0, c, q.rho, emb, big_u, u, code[j], info[j]);
  }
}

// Other quad rows (T.814): ep holds the exponents of the bottom sample row
// of the quad row above. The context combines the samples above (columns
// x - 1 .. x + 2) with the quad to the left; kappa is max(E of those
// samples above - 1, 1) when the quad has two or more significant samples,
// else 1.
void plan_row(std::size_t quads, const std::uint32_t* et, const std::uint32_t* eb,
              const std::uint32_t* ep, std::uint32_t* code, std::uint32_t* info) {
  for (std::size_t j = 0; j < quads; ++j) {
    const auto x = static_cast<std::ptrdiff_t>(2 * j);
    const Quad q = Quad::load(et, eb, x);
    const unsigned n0 = std::max(ep[x - 1], ep[x]);
    const unsigned n1 = std::max(ep[x + 1], ep[x + 2]);
    const unsigned c = nonzero(n0) | nonzero(et[x - 1] | eb[x - 1]) << 1 | nonzero(n1) << 2;
    const unsigned two_or_more = nonzero(q.rho & (q.rho - 1));
    const unsigned kappa = 1 + ((std::max(std::max(n0, n1), 2u) - 2) & (0u - two_or_more));
    const unsigned big_u = std::max(q.e_max, kappa);
    const unsigned u = big_u - kappa;
    const unsigned emb = q.at_max & (0u - nonzero(u));
    quad_outputs(ENC_VLC_TBL1, c, q.rho, emb, big_u, u, code[j], info[j]);
  }
}

void plan(std::size_t quads, const std::uint32_t* et, const std::uint32_t* eb,
          const std::uint32_t* ep, std::uint32_t* code, std::uint32_t* info) {
  if (ep == nullptr)
    plan_initial_row(quads, et, eb, code, info);
  else
    plan_row(quads, et, eb, ep, code, info);
}

void magsgn_words(std::size_t quads, const std::uint32_t* info, const std::uint32_t* vt,
                  const std::uint32_t* vb, std::uint64_t* words) {
  for (std::size_t j = 0; j < quads; ++j) {
    if ((info[j] & 0xFF) > 14) continue;
    const std::uint32_t v[4] = {vt[2 * j], vb[2 * j], vt[2 * j + 1], vb[2 * j + 1]};
    std::uint64_t word = 0;
    unsigned at = 0;
    for (unsigned n = 0; n < 4; ++n) {
      unsigned count = 0;
      std::uint32_t bits = 0;
      magsgn_sample(info[j], n, v[n], count, bits);
      word |= std::uint64_t{bits} << at;
      at += count;
    }
    words[j] = word | std::uint64_t{at} << 56;
  }
}

constexpr EncodeKernels kPortable{load_words, load_coefficients, plan, magsgn_words};

}  // namespace

const EncodeKernels& encode_portable_kernels() { return kPortable; }

const EncodeKernels& encode_kernels_for(Isa isa) {
  static constexpr Family<EncodeKernels> kFamilies[] = {
      {Isa::portable, encode_portable_kernels},
      {Isa::avx2, encode_avx2_kernels},
      {Isa::avx512, encode_avx512_kernels},
  };
  return pick_family(kFamilies, isa);
}

const EncodeKernels& encode_kernels() {
  static const EncodeKernels& chosen = encode_kernels_for(isa_selected());
  return chosen;
}

}  // namespace varnel::htj2k
