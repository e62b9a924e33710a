// Replays saved inputs through a fuzz target without libFuzzer (CTest runs it
// over tests/data/fuzz-regressions/<target>/). Arguments: files or
// directories; fails when they hold no file. As the fuzzing runs do
// (-malloc_limit_mb, scripts/fuzz.sh), it aborts on any single allocation
// above 512 MiB, so an input that once made a decoder over-allocate fails
// here if it does again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

void* operator new(std::size_t size) {
  if (size > (std::size_t{512} << 20)) {
    std::fprintf(stderr, "replay: allocation of %zu bytes exceeds the 512 MiB limit\n", size);
    std::abort();
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

int main(int argc, char** argv) {
  std::vector<fs::path> files;
  for (int i = 1; i < argc; ++i) {
    if (fs::is_directory(argv[i])) {
      for (const auto& entry : fs::recursive_directory_iterator(argv[i]))
        if (entry.is_regular_file()) files.push_back(entry.path());
    } else if (fs::is_regular_file(argv[i])) {
      files.emplace_back(argv[i]);
    }
  }
  for (const fs::path& path : files) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    std::printf("%s (%zu bytes)\n", path.c_str(), bytes.size());
    std::fflush(stdout);
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::printf("%zu inputs replayed\n", files.size());
  return files.empty() ? 1 : 0;
}
