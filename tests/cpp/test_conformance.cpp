// Public HTJ2K codestreams: every one inside the supported subset decodes to
// exactly its reference samples; every one outside it is refused by name.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "codestream/reader.hpp"

using namespace varnel;
using namespace varnel::codestream;

namespace {

const std::string kDir = std::string(VARNEL_SOURCE_DIR) + "/tests/data/htj2k-conformance/";

std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(f), {});
}

std::vector<std::string> split(const std::string& line, char sep) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : line) {
    if (c == sep) { out.push_back(cur); cur.clear(); } else { cur.push_back(c); }
  }
  out.push_back(cur);
  return out;
}

std::vector<std::map<std::string, std::string>> read_tsv(const std::string& path) {
  std::ifstream f(path);
  std::string line;
  std::getline(f, line);
  const auto header = split(line, '\t');
  std::vector<std::map<std::string, std::string>> rows;
  while (std::getline(f, line)) {
    if (line.empty()) continue;
    const auto cells = split(line, '\t');
    std::map<std::string, std::string> row;
    for (std::size_t i = 0; i < header.size() && i < cells.size(); ++i) row[header[i]] = cells[i];
    rows.push_back(row);
  }
  return rows;
}

std::uint64_t fnv1a64(const std::vector<std::uint8_t>& b) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (std::uint8_t x : b) h = (h ^ x) * 0x100000001b3ull;
  return h;
}

// The decoded image as the reference stores it: little-endian samples of
// `bytes_per_sample`, components interleaved.
std::vector<std::uint8_t> interleave(const DecodedImage& img, int bytes_per_sample) {
  std::vector<std::uint8_t> out;
  const std::size_t n = img.width * img.height, comps = img.components.size();
  out.reserve(n * comps * bytes_per_sample);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t c = 0; c < comps; ++c) {
      const std::uint32_t v = static_cast<std::uint32_t>(img.components[c][i]);
      for (int k = 0; k < bytes_per_sample; ++k) out.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
    }
  return out;
}

}  // namespace

TEST(Conformance, in_subset_codestreams_decode_to_their_references) {
  const auto rows = read_tsv(kDir + "MANIFEST.tsv");
  ASSERT_EQ(rows.size(), 43u);
  std::map<std::string, std::pair<std::size_t, std::uint64_t>> digests;
  for (const auto& d : read_tsv(kDir + "references/DIGESTS.tsv"))
    digests[d.at("reference")] = {std::stoull(d.at("bytes")), std::stoull(d.at("fnv1a64"), nullptr, 16)};
  int checked = 0;
  for (const auto& row : rows) {
    if (row.at("in_subset") != "yes") continue;
    SCOPED_TRACE(row.at("file"));
    const auto bytes = read_file(kDir + row.at("file"));
    ASSERT_EQ(bytes.size(), std::stoull(row.at("bytes")));
    auto cs = Codestream::parse_impl(bytes);
    ASSERT_TRUE(cs.has_value()) << cs.error().display();
    ASSERT_TRUE(cs->check_supported().has_value()) << cs->check_supported().error().display();
    auto img = cs->decode_to_resolution(cs->cod.levels);
    ASSERT_TRUE(img.has_value()) << img.error().display();
    EXPECT_EQ(img->width, std::stoull(row.at("width")));
    EXPECT_EQ(img->height, std::stoull(row.at("height")));
    EXPECT_EQ(img->components.size(), std::stoull(row.at("components")));
    const std::string dtype = row.at("ref_dtype");
    const int bps = dtype.back() - '0';
    const auto got = interleave(*img, bps);
    const std::string ref = row.at("reference");
    if (digests.count(ref)) {
      EXPECT_EQ(got.size(), digests[ref].first);
      EXPECT_EQ(fnv1a64(got), digests[ref].second);
    } else {
      const auto want = read_file(kDir + ref);
      ASSERT_EQ(got.size(), want.size());
      EXPECT_TRUE(got == want);
    }
    ++checked;
  }
  EXPECT_EQ(checked, 20);
}

TEST(Conformance, out_of_subset_codestreams_are_refused) {
  const auto rows = read_tsv(kDir + "MANIFEST.tsv");
  int checked = 0;
  for (const auto& row : rows) {
    if (row.at("in_subset") == "yes") continue;
    SCOPED_TRACE(row.at("file") + ": " + row.at("reason"));
    const auto bytes = read_file(kDir + row.at("file"));
    ASSERT_EQ(bytes.size(), std::stoull(row.at("bytes")));
    auto cs = Codestream::parse_impl(bytes);
    Error e;
    if (!cs) {
      e = cs.error();
    } else {
      auto s = cs->check_supported();
      ASSERT_FALSE(s.has_value());
      e = s.error();
      // Decoding and indexing refuse it the same way.
      EXPECT_EQ(cs->decode_to_resolution(255).error(), e);
    }
    EXPECT_EQ(e.kind, ErrorKind::Unsupported) << e.display();
    ++checked;
  }
  EXPECT_EQ(checked, 23);
}
