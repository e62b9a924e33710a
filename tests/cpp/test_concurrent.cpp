// Both codecs from many threads at once: mixed htj2k and zfp chunks (full,
// reduced and into-buffer decodes, and failing decodes among them) coded and
// decoded by 8 threads, started together, must give exactly the results of a
// serial run. Built under ThreadSanitizer in CI as well, where a data race
// anywhere below the chunk entry points (kernel selection, per-thread buffer
// caches, tables) fails the run.
#include <gtest/gtest.h>

#include <barrier>
#include <cstring>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "zarr/htj2k.hpp"
#include "zfp/chunk.hpp"

using namespace varnel;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Shape = std::vector<std::uint64_t>;

struct Htj2kJob {
  Shape shape;
  ElementType dtype;
  zarr::Htj2kConfig config;
  std::uint8_t reduce;  // also decoded at this reduction
};
struct ZfpJob {
  Shape shape;
  ElementType dtype;
  zfpc::ZfpChunkConfig config;
};
struct Job {
  std::variant<Htj2kJob, ZfpJob> kind;
  Bytes input;
  bool corrupt;  // decode a damaged copy too (its error text is part of the result)
};

// Every outcome of one job, compared as a whole.
struct Outcome {
  Bytes coded, decoded, reduced, into;
  std::string damaged;
  bool operator==(const Outcome&) const = default;
};

Bytes noise_bytes(std::size_t n, std::uint64_t seed, unsigned spread) {
  std::mt19937_64 rng(seed);
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((i / 7 + rng() % spread) & 0xff);
  return b;
}

std::uint64_t element_count(const Shape& s) {
  std::uint64_t n = 1;
  for (auto e : s) n *= e;
  return n;
}

template <class T>
std::string text_of(const Result<T>& r) {
  return r ? std::string("ok") : r.error().display();
}

Outcome run(const Job& job) {
  Outcome o;
  if (const auto* h = std::get_if<Htj2kJob>(&job.kind)) {
    auto coded = zarr::encode_chunk(job.input, h->shape, h->dtype, h->config);
    if (!coded) return {{}, {}, {}, {}, coded.error().display()};
    o.coded = *coded;
    o.decoded = zarr::decode_chunk(o.coded, h->shape, h->dtype).value_or(Bytes{});
    o.reduced = zarr::decode_chunk_reduced(o.coded, h->shape, h->dtype, h->reduce).value_or(Bytes{});
    o.into.assign(job.input.size(), 0xcd);
    if (!zarr::decode_chunk_into(o.coded, h->shape, h->dtype, o.into)) o.into.clear();
    if (job.corrupt) {
      Bytes bad = o.coded;
      bad.resize(bad.size() * 2 / 3);
      o.damaged = text_of(zarr::decode_chunk(bad, h->shape, h->dtype));
    }
  } else {
    const auto& z = std::get<ZfpJob>(job.kind);
    auto coded = zfpc::encode_chunk(job.input, z.shape, z.dtype, z.config);
    if (!coded) return {{}, {}, {}, {}, coded.error().display()};
    o.coded = *coded;
    o.decoded = zfpc::decode_chunk(o.coded, z.shape, z.dtype, z.config).value_or(Bytes{});
    o.into.assign(job.input.size(), 0xcd);
    if (!zfpc::decode_chunk_into(o.coded, z.shape, z.dtype, z.config, o.into)) o.into.clear();
    if (job.corrupt) {
      Bytes bad(o.coded.begin(), o.coded.begin() + static_cast<std::ptrdiff_t>(o.coded.size() / 2));
      o.damaged = text_of(zfpc::decode_chunk(bad, z.shape, z.dtype, z.config));
    }
  }
  return o;
}

std::vector<Job> mixed_jobs() {
  const Shape htj2k_shapes[] = {{1, 67, 45}, {3, 64, 64}, {2, 1, 300}, {129, 1}, {200, 150}};
  const ElementType htj2k_types[] = {ElementType::U8, ElementType::I16, ElementType::U16, ElementType::I32};
  const char* progressions[] = {"RPCL", "LRCP", "CPRL"};
  const Shape zfp_shapes[] = {{16, 16, 16}, {40, 30}, {1000}, {3, 5, 7, 9}};
  const ElementType zfp_types[] = {ElementType::F32, ElementType::F64, ElementType::U16,
                                      ElementType::I64};
  std::vector<Job> jobs;
  for (unsigned i = 0; i < 40; ++i) {
    Job job;
    job.corrupt = i % 3 == 0;
    if (i % 2 == 0) {
      Htj2kJob h{htj2k_shapes[i / 2 % 5], htj2k_types[i / 2 % 4], {}, static_cast<std::uint8_t>(i / 2 % 3)};
      h.config.xy_levels = static_cast<std::uint8_t>(2 + i % 4);
      h.config.progression = progressions[i % 3];
      const unsigned width = static_cast<unsigned>(element_size(h.dtype));
      job.input = noise_bytes(element_count(h.shape) * width, i, 1u + 40u * (i % 5));
      if (h.dtype == ElementType::I32)  // keep 32-bit samples within the coder's range
        for (std::size_t k = 3; k < job.input.size(); k += 4) job.input[k] = 0;
      job.kind = h;
    } else {
      ZfpJob z{zfp_shapes[i / 2 % 4], zfp_types[i / 2 % 4], {}};
      const char* modes[] = {"reversible", "fixed_rate", "fixed_accuracy", "fixed_precision"};
      z.config.mode = modes[i / 2 % 4];
      if (z.config.mode == "fixed_rate") z.config.rate = 12.0;
      if (z.config.mode == "fixed_accuracy") z.config.tolerance = 0.5;
      if (z.config.mode == "fixed_precision") z.config.precision = 20;
      // Floats built from small integers stay finite and ordinary.
      const std::size_t n = element_count(z.shape), w = element_size(z.dtype);
      const Bytes raw = noise_bytes(n, i, 17);
      job.input.assign(n * w, 0);
      for (std::size_t k = 0; k < n; ++k) {
        if (z.dtype == ElementType::F32) {
          const float v = static_cast<float>(raw[k]) * 0.25f;
          std::memcpy(&job.input[k * w], &v, w);
        } else if (z.dtype == ElementType::F64) {
          const double v = static_cast<double>(raw[k]) * -0.5;
          std::memcpy(&job.input[k * w], &v, w);
        } else {
          job.input[k * w] = raw[k];
        }
      }
      job.kind = z;
    }
    jobs.push_back(std::move(job));
  }
  return jobs;
}

TEST(Concurrent, MixedChunksFromEightThreadsGiveTheSerialResults) {
  const std::vector<Job> jobs = mixed_jobs();
  std::vector<Outcome> serial;
  for (const Job& j : jobs) serial.push_back(run(j));
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    ASSERT_FALSE(serial[i].coded.empty()) << "job " << i << ": " << serial[i].damaged;
    EXPECT_FALSE(serial[i].decoded.empty()) << "job " << i;
    EXPECT_EQ(serial[i].into, serial[i].decoded) << "job " << i;
    if (jobs[i].corrupt) {
      EXPECT_NE(serial[i].damaged, "ok") << "job " << i;
    }
  }

  constexpr unsigned kThreads = 8;
  std::vector<std::vector<Outcome>> got(kThreads, std::vector<Outcome>(jobs.size()));
  std::barrier start(kThreads);
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      // Each thread walks the jobs from its own starting point, so different
      // codecs and shapes overlap in time.
      for (std::size_t k = 0; k < jobs.size(); ++k) {
        const std::size_t i = (k + t * 5) % jobs.size();
        got[t][i] = run(jobs[i]);
      }
    });
  for (auto& th : threads) th.join();
  for (unsigned t = 0; t < kThreads; ++t)
    for (std::size_t i = 0; i < jobs.size(); ++i) EXPECT_EQ(got[t][i], serial[i]) << "thread " << t << " job " << i;
}

}  // namespace
