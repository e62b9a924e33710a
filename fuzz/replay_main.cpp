// Replays saved inputs through a fuzz target without libFuzzer (CTest runs it
// over tests/data/fuzz-regressions/<target>/). Arguments: files or
// directories; fails when they hold no file. Built with AddressSanitizer, it
// aborts on any single allocation above 512 MiB, as the fuzzing runs do
// (-malloc_limit_mb, scripts/fuzz.sh), so an input that once made a decoder
// over-allocate fails here if it does again.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

// Under AddressSanitizer (the sanitizer CTest run), an allocation beyond the
// limit is a fatal error; ASAN_OPTIONS settings add to this.
extern "C" const char* __asan_default_options() { return "max_allocation_size_mb=512"; }

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
