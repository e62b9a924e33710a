// The reversible 5/3 wavelet on 64-bit coefficients (dwt_wide.hpp): T.800
// F.4.8.2 (forward) and F.3.8.2 (inverse) lifting with the whole-sample
// symmetric extension, columns first and then rows at every level.
#include "htj2k/dwt/dwt_wide.hpp"

#include <algorithm>
#include <memory>
#include <vector>

namespace varnel::htj2k {
namespace {

// Wrapping arithmetic; floor division by 2^s of a wrapped sum.
std::int64_t add(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}
std::int64_t sub(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}
std::int64_t predict(std::int64_t a, std::int64_t b) { return add(a, b) >> 1; }
std::int64_t update(std::int64_t a, std::int64_t b) { return add(add(a, b), 2) >> 2; }

// One signal of n samples, `step` apart, lifted through `tmp` (n samples):
// low-pass coefficients first, high-pass after them (same step).
void forward_1d(std::int64_t* x, std::size_t n, std::size_t step, std::int64_t* tmp) {
  if (n < 2) return;  // a single sample is left unchanged
  const std::size_t nl = n - n / 2, nh = n / 2;
  std::int64_t* low = tmp;
  std::int64_t* high = tmp + nl;
  auto at = [&](std::size_t i) { return x[i * step]; };
  for (std::size_t k = 0; k < nh; ++k) {
    const std::int64_t right = 2 * k + 2 < n ? at(2 * k + 2) : at(2 * k);
    high[k] = sub(at(2 * k + 1), predict(at(2 * k), right));
  }
  for (std::size_t k = 0; k < nl; ++k) {
    const std::int64_t dl = high[k > 0 ? k - 1 : 0], dr = high[std::min(k, nh - 1)];
    low[k] = add(at(2 * k), update(dl, dr));
  }
  for (std::size_t i = 0; i < n; ++i) x[i * step] = tmp[i];
}

void inverse_1d(std::int64_t* x, std::size_t n, std::size_t step, std::int64_t* tmp) {
  if (n < 2) return;
  const std::size_t nl = n - n / 2, nh = n / 2;
  auto low = [&](std::size_t k) { return x[k * step]; };
  auto high = [&](std::size_t k) { return x[(nl + k) * step]; };
  for (std::size_t k = 0; k < nl; ++k)
    tmp[2 * k] = sub(low(k), update(high(k > 0 ? k - 1 : 0), high(std::min(k, nh - 1))));
  for (std::size_t k = 0; k < nh; ++k) {
    const std::int64_t right = 2 * k + 2 < n ? tmp[2 * k + 2] : tmp[2 * k];
    tmp[2 * k + 1] = add(high(k), predict(tmp[2 * k], right));
  }
  for (std::size_t i = 0; i < n; ++i) x[i * step] = tmp[i];
}

Result<void> check_plane(std::span<std::int64_t> plane, std::size_t width, std::size_t height) {
  std::size_t area = 0;
  if (width == 0 || height == 0 || __builtin_mul_overflow(width, height, &area) ||
      plane.size() < area)
    return std::unexpected(invalid("plane buffer smaller than width * height"));
  return ok();
}

// The regions of the levels that do something: level k works on ws[k] x hs[k].
struct Regions {
  std::vector<std::size_t> ws, hs;
  Regions(std::size_t width, std::size_t height, std::uint8_t levels) {
    for (std::size_t w = width, h = height; ws.size() < levels && (w > 1 || h > 1);
         w -= w / 2, h -= h / 2) {
      ws.push_back(w);
      hs.push_back(h);
    }
  }
};

// One row of a level, horizontally: low-pass `low` (w - w / 2) and
// high-pass `high` (w / 2) coefficients into w samples at `out`
// (inverse_1d with step 1, from two halves).
void inverse_row(const std::int64_t* low, const std::int64_t* high, std::int64_t* out,
                 std::size_t w) {
  if (w < 2) {
    out[0] = low[0];
    return;
  }
  const std::size_t nl = w - w / 2, nh = w / 2;
  for (std::size_t k = 0; k < nl; ++k)
    out[2 * k] = sub(low[k], update(high[k > 0 ? k - 1 : 0], high[std::min(k, nh - 1)]));
  for (std::size_t k = 0; k < nh; ++k) {
    const std::int64_t right = 2 * k + 2 < w ? out[2 * k + 2] : out[2 * k];
    out[2 * k + 1] = add(high[k], predict(out[2 * k], right));
  }
}

// One level undone as a stream of its W_k x H_k region's rows. Step j
// takes low-pass row j and high-pass row j (each undone horizontally) and
// gives the even row 2j (e_j = l_j - update(h_{j-1}, h_j)) and, before it,
// the odd row 2j - 1 (o_{j-1} = h_{j-1} + predict(e_{j-1}, e_j)); the
// symmetric extension repeats h_0 above and the last h and e below.
class WideLevelStream {
 public:
  WideLevelStream(WideLevelRows bands, unsigned level, std::size_t w, std::size_t h,
                  WideLevelStream* coarser)
      : bands_(bands), level_(level), w_(w), nl_(h - h / 2), nh_(h / 2), coarser_(coarser),
        rows_(4 * w) {
    e_prev_ = rows_.data();
    e_cur_ = e_prev_ + w;
    h_prev_ = e_cur_ + w;
    h_cur_ = h_prev_ + w;
  }

  // The next restored row (valid until the next call), or nullptr when the
  // bands stopped the transform.
  const std::int64_t* next() {
    if (head_ == queued_ && !step()) return nullptr;
    return queue_[head_++];
  }

 private:
  bool step() {
    const std::size_t j = step_++;
    if (j == nl_) {  // an even height ends with o_{nl-1}, the last h below
      if (nh_ != nl_) return false;
      for (std::size_t x = 0; x < w_; ++x) h_prev_[x] = add(h_prev_[x], predict(e_prev_[x], e_prev_[x]));
      push(h_prev_, nullptr);
      return true;
    }
    if (j > nl_ || !bands_.ready(bands_.context, level_, j)) return false;
    const std::int64_t *low = nullptr, *high = nullptr, *unused = nullptr;
    if (coarser_ != nullptr && (low = coarser_->next()) == nullptr) return false;
    bands_.row(bands_.context, level_, j, coarser_ != nullptr ? &unused : &low, &high);
    inverse_row(low, high, e_cur_, w_);
    if (j < nh_) {
      bands_.row(bands_.context, level_, nl_ + j, &low, &high);
      inverse_row(low, high, h_cur_, w_);
    }
    if (nh_ == 0) {  // a single row: nothing to lift
      push(e_cur_, nullptr);
      return true;
    }
    const std::int64_t* above = j == 0 ? h_cur_ : h_prev_;
    const std::int64_t* below = j < nh_ ? h_cur_ : h_prev_;
    for (std::size_t x = 0; x < w_; ++x) e_cur_[x] = sub(e_cur_[x], update(above[x], below[x]));
    if (j == 0) {
      push(e_cur_, nullptr);
    } else {
      for (std::size_t x = 0; x < w_; ++x) h_prev_[x] = add(h_prev_[x], predict(e_prev_[x], e_cur_[x]));
      push(h_prev_, e_cur_);
    }
    // e_j and h_j become the previous rows; the old ones, handed out, are
    // overwritten by the next step only.
    std::swap(e_prev_, e_cur_);
    std::swap(h_prev_, h_cur_);
    return true;
  }

  void push(const std::int64_t* first, const std::int64_t* second) {
    queue_[0] = first;
    queue_[1] = second;
    head_ = 0;
    queued_ = second != nullptr ? 2 : 1;
  }

  WideLevelRows bands_;
  unsigned level_;
  std::size_t w_, nl_, nh_;
  WideLevelStream* coarser_;
  std::vector<std::int64_t> rows_;
  std::int64_t *e_prev_, *e_cur_, *h_prev_, *h_cur_;
  const std::int64_t* queue_[2] = {};
  unsigned head_ = 0, queued_ = 0;
  std::size_t step_ = 0;
};

}  // namespace

Result<void> forward_53_wide(std::span<std::int64_t> plane, std::size_t width,
                             std::size_t height, std::uint8_t levels) {
  VARNEL_TRY(check_plane(plane, width, height));
  const Regions regions(width, height, levels);
  std::vector<std::int64_t> tmp(std::max(width, height));
  for (std::size_t k = 0; k < regions.ws.size(); ++k) {
    const std::size_t w = regions.ws[k], h = regions.hs[k];
    for (std::size_t x = 0; x < w; ++x) forward_1d(plane.data() + x, h, width, tmp.data());
    for (std::size_t y = 0; y < h; ++y) forward_1d(plane.data() + y * width, w, 1, tmp.data());
  }
  return ok();
}

Result<void> inverse_53_wide(std::span<std::int64_t> plane, std::size_t width,
                             std::size_t height, std::uint8_t levels) {
  VARNEL_TRY(check_plane(plane, width, height));
  const Regions regions(width, height, levels);
  std::vector<std::int64_t> tmp(std::max(width, height));
  for (std::size_t k = regions.ws.size(); k-- > 0;) {
    const std::size_t w = regions.ws[k], h = regions.hs[k];
    for (std::size_t y = 0; y < h; ++y) inverse_1d(plane.data() + y * width, w, 1, tmp.data());
    for (std::size_t x = 0; x < w; ++x) inverse_1d(plane.data() + x, h, width, tmp.data());
  }
  return ok();
}

Result<void> inverse_53_wide_levels_rows(std::size_t width, std::size_t height,
                                         std::uint8_t levels, WideLevelRows bands,
                                         WideRowSink sink) {
  std::size_t area = 0;
  if (width == 0 || height == 0 || __builtin_mul_overflow(width, height, &area))
    return std::unexpected(invalid("plane of no samples"));
  const Regions regions(width, height, levels);
  const std::size_t count = regions.ws.size();
  if (count == 0) {
    for (std::size_t y = 0; y < height; ++y) {
      const std::int64_t *low = nullptr, *high = nullptr;
      if (!bands.ready(bands.context, 0, y)) break;
      bands.row(bands.context, 0, y, &low, &high);
      if (!sink.take(sink.context, y, low)) break;
    }
    return ok();
  }
  std::vector<std::unique_ptr<WideLevelStream>> streams(count);
  for (std::size_t k = count; k-- > 0;)
    streams[k] = std::make_unique<WideLevelStream>(
        bands, static_cast<unsigned>(k), regions.ws[k], regions.hs[k],
        k + 1 < count ? streams[k + 1].get() : nullptr);
  for (std::size_t y = 0; y < height; ++y) {
    const std::int64_t* row = streams[0]->next();
    if (row == nullptr || !sink.take(sink.context, y, row)) break;
  }
  return ok();
}

}  // namespace varnel::htj2k
