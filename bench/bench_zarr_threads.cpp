// Native counterpart of bench_htj2k_threads.py: many distinct 512 x 512
// uint16 chunks coded by the htj2k chunk drivers from 1 thread and from T
// threads (default 2), runs alternated, median pairwise speed-up. It also
// prints the CPU time each thread spends per chunk, which separates a lack
// of parallelism (CPU per chunk flat, wall time not halved) from contention
// for shared resources (CPU per chunk rising with the thread count), and the
// speed-up of T separate processes doing the same work: what the machine
// itself gives at that moment, since processes share no address space,
// allocator or lock with one another. A third line does the same with a
// register-only compute loop of about a chunk's duration (no memory traffic
// at all): where even that falls short of T, the cores themselves are shared
// (for instance two vCPUs placed on one physical core's hardware threads).
//
//     bench_zarr_threads [chunks] [threads] [rounds]
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <random>
#include <thread>
#include <vector>

#include "zarr/htj2k.hpp"

using namespace varnel;

namespace {

constexpr std::size_t kSide = 512;
std::atomic<std::uint64_t> sink_{0};

std::vector<std::uint8_t> microscopy_chunk(unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<double> img(kSide * kSide);
  for (std::size_t y = 0; y < kSide; ++y)
    for (std::size_t x = 0; x < kSide; ++x)
      img[y * kSide + x] = 180.0 + 60.0 * std::sin(double(x) / 97.0 + seed) * std::cos(double(y) / 131.0);
  for (int b = 0; b < 40; ++b) {
    const double cx = u(rng) * kSide, cy = u(rng) * kSide, r = 3 + 9 * u(rng), a = 300 + 2700 * u(rng);
    for (std::size_t y = 0; y < kSide; ++y)
      for (std::size_t x = 0; x < kSide; ++x)
        img[y * kSide + x] += a * std::exp(-((x - cx) * (x - cx) + (y - cy) * (y - cy)) / (2 * r * r));
  }
  std::vector<std::uint8_t> out(kSide * kSide * 2);
  for (std::size_t i = 0; i < img.size(); ++i) {
    std::poisson_distribution<int> shot(std::clamp(img[i], 1.0, 4095.0));
    const auto v = static_cast<std::uint16_t>(std::clamp(shot(rng), 0, 4095));
    std::memcpy(&out[2 * i], &v, 2);
  }
  return out;
}

double thread_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

struct Run {
  double wall = 0;
  double cpu_per_chunk = 0;  // mean over threads
};

// A fixed set of worker threads kept for the whole benchmark, as a thread
// pool in an application would be: in each run the workers take the next
// chunk index from a shared counter until none is left, so a worker that
// falls behind (a busier core) takes fewer chunks instead of holding up the
// end of the run.
class Pool {
 public:
  explicit Pool(unsigned threads) : start_(threads + 1), done_(threads + 1) {
    cpu_.resize(threads);
    for (unsigned t = 0; t < threads; ++t)
      workers_.emplace_back([this, t] {
        for (;;) {
          start_.arrive_and_wait();
          if (stop_) return;
          const double c0 = thread_cpu_seconds();
          for (std::size_t i; (i = next_.fetch_add(1, std::memory_order_relaxed)) < n_;) (*fn_)(i);
          cpu_[t] = thread_cpu_seconds() - c0;
          done_.arrive_and_wait();
        }
      });
  }
  ~Pool() {
    stop_ = true;
    start_.arrive_and_wait();
    for (auto& w : workers_) w.join();
  }

  Run run(std::size_t n, const std::function<void(std::size_t)>& fn) {
    n_ = n;
    fn_ = &fn;
    next_.store(0, std::memory_order_relaxed);
    const auto a = std::chrono::steady_clock::now();
    start_.arrive_and_wait();
    done_.arrive_and_wait();
    Run r;
    r.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count();
    double total = 0;
    for (double c : cpu_) total += c;
    r.cpu_per_chunk = total / double(n);
    return r;
  }

 private:
  std::barrier<> start_, done_;
  std::vector<double> cpu_;
  std::vector<std::thread> workers_;
  std::size_t n_ = 0;
  std::atomic<std::size_t> next_{0};
  const std::function<void(std::size_t)>* fn_ = nullptr;
  bool stop_ = false;
};

// T worker processes forked once, each with its own copy of the data, woken
// per run through process-shared semaphores; like the pool they take chunk
// indices from a shared counter.
class ProcessPool {
 public:
  ProcessPool(unsigned procs, const std::vector<std::function<void(std::size_t)>>& ops)
      : procs_(procs) {
    void* p = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) std::abort();
    shared_ = new (p) Shared;
    sem_init(&shared_->start, 1, 0);
    sem_init(&shared_->done, 1, 0);
    for (unsigned k = 0; k < procs; ++k) {
      const pid_t pid = fork();
      if (pid < 0) std::abort();
      if (pid == 0) {
        for (;;) {
          sem_wait(&shared_->start);
          if (shared_->op < 0) _exit(0);
          const auto& fn = ops[std::size_t(shared_->op)];
          for (std::size_t i; (i = shared_->next.fetch_add(1)) < shared_->n;) fn(i);
          sem_post(&shared_->done);
        }
      }
      children_.push_back(pid);
    }
  }
  ~ProcessPool() {
    shared_->op = -1;
    for (unsigned k = 0; k < procs_; ++k) sem_post(&shared_->start);
    for (pid_t c : children_) waitpid(c, nullptr, 0);
    munmap(shared_, sizeof(Shared));
  }

  double run(std::size_t n, int op) {
    shared_->n = n;
    shared_->op = op;
    shared_->next.store(0);
    const auto a = std::chrono::steady_clock::now();
    for (unsigned k = 0; k < procs_; ++k) sem_post(&shared_->start);
    for (unsigned k = 0; k < procs_; ++k) sem_wait(&shared_->done);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count();
  }

 private:
  struct Shared {
    sem_t start, done;
    std::atomic<std::size_t> next{0};
    std::size_t n = 0;
    int op = 0;
  };
  unsigned procs_;
  Shared* shared_ = nullptr;
  std::vector<pid_t> children_;
};

// Register-only work with a high instruction rate: eight independent
// add/xor/rotate chains, `iters` steps each.
std::uint64_t compute_only(long iters) {
  std::uint64_t a[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  for (long i = 0; i < iters; ++i) {
#pragma GCC unroll 8
    for (int k = 0; k < 8; ++k) {
      a[k] += 0x9E3779B97F4A7C15ull;
      a[k] ^= (a[k] << 7) | (a[k] >> 57);
    }
  }
  std::uint64_t s = 0;
  for (std::uint64_t x : a) s += x;
  return s;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
  const unsigned threads = argc > 2 ? unsigned(std::strtoul(argv[2], nullptr, 10)) : 2;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 7;
  const std::vector<std::uint64_t> shape = {kSide, kSide};

  std::vector<std::vector<std::uint8_t>> raw, coded;
  for (std::size_t i = 0; i < n; ++i) {
    raw.push_back(microscopy_chunk(unsigned(i)));
    coded.push_back(*zarr::encode_chunk(raw.back(), shape, ElementType::U16, {}));
  }
  const double mb = double(n * kSide * kSide * 2) / 1e6;
  std::printf("%zu chunks of %zux%zu uint16 (%.1f MB), %u threads, median of %d alternated runs\n", n,
              kSide, kSide, mb, threads, rounds);

  auto encode = [&](std::size_t i) {
    auto r = zarr::encode_chunk(raw[i], shape, ElementType::U16, {});
    if (!r || r->size() != coded[i].size()) std::abort();
  };
  auto decode = [&](std::size_t i) {
    auto r = zarr::decode_chunk(coded[i], shape, ElementType::U16);
    if (!r || r->size() != raw[i].size()) std::abort();
  };
  // Steps of compute_only that take about as long as decoding one chunk.
  long steps = 1 << 16;
  for (;;) {
    const double c0 = thread_cpu_seconds();
    sink_ += compute_only(steps);
    if (thread_cpu_seconds() - c0 > 2e-3 || steps > (1L << 30)) break;
    steps *= 2;
  }
  auto reference = [steps](std::size_t) { sink_ += compute_only(steps); };
  const std::vector<std::function<void(std::size_t)>> ops = {encode, decode, reference};
  ProcessPool procs(threads, ops);  // forked before any thread exists
  Pool single(1), pool(threads);
  // Rounds are the outer loop, so the codec and the reference are measured
  // side by side in time on a machine whose speed drifts.
  struct Series {
    std::vector<double> ratio, pratio, w1, wn, c1, cn;
  } series[3];
  for (int k = 0; k < rounds; ++k)
    for (int op = 0; op < 3; ++op) {
      Series& s = series[op];
      const Run one = single.run(n, ops[op]), many = pool.run(n, ops[op]);
      const double by_procs = procs.run(n, op);
      s.ratio.push_back(one.wall / many.wall);
      s.pratio.push_back(one.wall / by_procs);
      s.w1.push_back(one.wall);
      s.wn.push_back(many.wall);
      s.c1.push_back(one.cpu_per_chunk);
      s.cn.push_back(many.cpu_per_chunk);
    }
  for (int op = 0; op < 3; ++op) {
    const Series& s = series[op];
    if (op == 2) {
      std::printf("  compute-only reference (%.1f ms of register work per item): %u threads speed-up "
                  "%.2f, CPU per item x%.2f   %u processes: speed-up %.2f\n",
                  1e3 * median(s.c1), threads, median(s.ratio), median(s.cn) / median(s.c1), threads,
                  median(s.pratio));
      continue;
    }
    std::printf("  %s: 1 thread %7.1f MB/s  %u threads %7.1f MB/s  speed-up %.2f   "
                "CPU per chunk %.2f ms vs %.2f ms (x%.2f)   %u processes: speed-up %.2f\n",
                op == 0 ? "encode" : "decode", mb / median(s.w1), threads, mb / median(s.wn),
                median(s.ratio), 1e3 * median(s.c1), 1e3 * median(s.cn),
                median(s.cn) / median(s.c1), threads, median(s.pratio));
  }
  return 0;
}
