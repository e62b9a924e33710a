// The zfp library varnel links: zfp 1.0.1 built with 64-bit stream words
// and without OpenMP (the bundled build; a system libzfp, VARNEL_SYSTEM_ZFP,
// may differ and is only checked for its version).
#include <gtest/gtest.h>

#include <zfp.h>

#include <cstring>
#include <string>
#include <vector>

TEST(ZfpLibrary, IsVersion101) {
  EXPECT_EQ(std::string(zfp_version_string).find("zfp version 1.0."), 0u) << zfp_version_string;
  EXPECT_EQ(zfp_library_version, ZFP_VERSION);
}

#if VARNEL_BUNDLED_ZFP
TEST(ZfpLibrary, BundledBuildHas64BitWordsAndNoOpenMp) {
  EXPECT_EQ(zfp_library_version, 0x1010u);
  EXPECT_EQ(stream_word_bits, 64u);
  zfp_stream* zs = zfp_stream_open(nullptr);
  ASSERT_NE(zs, nullptr);
  EXPECT_FALSE(zfp_stream_set_execution(zs, zfp_exec_omp));
  EXPECT_EQ(zfp_stream_execution(zs), zfp_exec_serial);
  zfp_stream_close(zs);
}

// A stream is flushed to whole words: every compressed size is a multiple of
// 8 bytes, whatever the data, mode and shape.
TEST(ZfpLibrary, StreamsEndOnWholeWords) {
  struct Case {
    unsigned nx, ny;
    double tolerance;  // 0: reversible
  };
  const Case cases[] = {{1, 1, 0}, {3, 1, 0}, {5, 7, 0}, {16, 16, 1e-3}, {9, 2, 0.5}, {33, 4, 1e-9}};
  for (const Case& c : cases) {
    std::vector<float> v(static_cast<std::size_t>(c.nx) * c.ny);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>(i % 7) * 0.37f - 1.0f;
    zfp_field* field = c.ny == 1 ? zfp_field_1d(v.data(), zfp_type_float, c.nx)
                                 : zfp_field_2d(v.data(), zfp_type_float, c.nx, c.ny);
    zfp_stream* zs = zfp_stream_open(nullptr);
    if (c.tolerance == 0) {
      zfp_stream_set_reversible(zs);
    } else {
      zfp_stream_set_accuracy(zs, c.tolerance);
    }
    std::vector<unsigned char> buffer(zfp_stream_maximum_size(zs, field));
    bitstream* bs = stream_open(buffer.data(), buffer.size());
    zfp_stream_set_bit_stream(zs, bs);
    ASSERT_NE(zfp_write_header(zs, field, ZFP_HEADER_FULL), 0u);
    const std::size_t size = zfp_compress(zs, field);
    EXPECT_GT(size, 0u);
    EXPECT_EQ(size % 8, 0u) << c.nx << "x" << c.ny << " tolerance " << c.tolerance;
    stream_close(bs);
    zfp_stream_close(zs);
    zfp_field_free(field);
  }
}
#endif
