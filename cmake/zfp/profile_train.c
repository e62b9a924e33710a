/* varnel zfp: the training run for zfp's profile-guided build.
 *
 * Built against an instrumented copy of zfp and run once during the build;
 * the branch and call counts it leaves behind steer the optimisation of the
 * zfp that varnel links (cmake/zfp/zfp.cmake). It codes what varnel codes, in
 * the proportions a chunk store meets: 3-D fields first, all four scalar
 * types, every mode, whole and edge blocks, through the calls varnel makes
 * (zfp's strided block functions, whole and partial, and its contiguous
 * int32 block functions for narrow integers). Profiles change speed only:
 * the streams are zfp's, bit for bit, whatever the training did.
 */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <zfp.h>

enum { kModes = 4 };

/* A smooth field plus a little noise (a simulation or a microscope stack),
 * as doubles in [-1.5, 1.5]. */
static void smooth_field(double* v, const size_t* n, unsigned seed) {
  uint64_t state = 0x9e3779b97f4a7c15u * (seed + 1);
  size_t i = 0;
  for (size_t w = 0; w < n[3]; w++)
    for (size_t z = 0; z < n[2]; z++)
      for (size_t y = 0; y < n[1]; y++)
        for (size_t x = 0; x < n[0]; x++, i++) {
          state = state * 6364136223846793005u + 1442695040888963407u;
          const double noise = (double)(state >> 11) / 9007199254740992.0 - 0.5;
          v[i] = sin(0.19 * x) * cos(0.13 * y) + 0.3 * sin(0.07 * z + 0.11 * w) + 0.02 * noise;
        }
}

static void set_mode(zfp_stream* zs, zfp_type type, unsigned dims, int mode) {
  switch (mode) {
    case 0: zfp_stream_set_reversible(zs); break;
    case 1: zfp_stream_set_rate(zs, type == zfp_type_float || type == zfp_type_int32 ? 8.0 : 16.0,
                                type, dims, zfp_false); break;
    case 2:
      if (type == zfp_type_float || type == zfp_type_double) zfp_stream_set_accuracy(zs, 1e-3);
      else zfp_stream_set_precision(zs, 14);
      break;
    default: zfp_stream_set_precision(zs, 20); break;
  }
}

static void set_size(zfp_field* f, unsigned dims, const size_t* n) {
  switch (dims) {
    case 1: zfp_field_set_size_1d(f, n[0]); break;
    case 2: zfp_field_set_size_2d(f, n[0], n[1]); break;
    case 3: zfp_field_set_size_3d(f, n[0], n[1], n[2]); break;
    default: zfp_field_set_size_4d(f, n[0], n[1], n[2], n[3]); break;
  }
}

/* Encodes and decodes `data` (type, extents n) in `mode`; `rounds` times. */
static int code_field(void* data, zfp_type type, unsigned dims, const size_t* n, int mode, int rounds) {
  const size_t count = n[0] * n[1] * n[2] * n[3];
  const size_t width = zfp_type_size(type);
  zfp_field* field = zfp_field_alloc();
  zfp_stream* zs = zfp_stream_open(NULL);
  zfp_field_set_type(field, type);
  set_size(field, dims, n);
  set_mode(zs, type, dims, mode);
  const size_t capacity = zfp_stream_maximum_size(zs, field);
  void* buffer = malloc(capacity);
  void* out = malloc(count * width);
  int ok = buffer != NULL && out != NULL;
  for (int r = 0; ok && r < rounds; r++) {
    bitstream* bs = stream_open(buffer, capacity);
    zfp_stream_set_bit_stream(zs, bs);
    zfp_stream_rewind(zs);
    zfp_field_set_pointer(field, data);
    ok = zfp_compress(zs, field) != 0;
    zfp_stream_rewind(zs);
    zfp_field_set_pointer(field, out);
    ok = ok && zfp_decompress(zs, field) != 0;
    stream_close(bs);
  }
  free(buffer);
  free(out);
  zfp_stream_close(zs);
  zfp_field_free(field);
  return ok;
}

/* zfp's contiguous int32 block coders, by dimensionality. */
static const struct {
  size_t (*encode)(zfp_stream*, const int32_t*);
  size_t (*decode)(zfp_stream*, int32_t*);
} kInt32Blocks[4] = {
    {zfp_encode_block_int32_1, zfp_decode_block_int32_1},
    {zfp_encode_block_int32_2, zfp_decode_block_int32_2},
    {zfp_encode_block_int32_3, zfp_decode_block_int32_3},
    {zfp_encode_block_int32_4, zfp_decode_block_int32_4},
};

/* Whole blocks of narrow integers as varnel codes them: contiguous int32
 * blocks with the value in the top bits. */
static int code_int32_blocks(const double* v, unsigned dims, int mode, size_t blocks) {
  const size_t size = (size_t)1 << (2 * dims);
  zfp_stream* zs = zfp_stream_open(NULL);
  set_mode(zs, zfp_type_int32, dims, mode);
  const size_t capacity = blocks * (ZFP_MAX_BITS / 8 + 8) + 64;
  void* buffer = malloc(capacity);
  int32_t block[256];
  if (buffer == NULL) {
    zfp_stream_close(zs);
    return 0;
  }
  bitstream* bs = stream_open(buffer, capacity);
  zfp_stream_set_bit_stream(zs, bs);
  zfp_stream_rewind(zs);
  for (size_t b = 0; b < blocks; b++) {
    for (size_t i = 0; i < size; i++) block[i] = (int32_t)(v[b * size + i] * 20000.0) * 32768;
    kInt32Blocks[dims - 1].encode(zs, block);
  }
  zfp_stream_flush(zs);
  zfp_stream_rewind(zs);
  for (size_t b = 0; b < blocks; b++) kInt32Blocks[dims - 1].decode(zs, block);
  stream_close(bs);
  free(buffer);
  zfp_stream_close(zs);
  return 1;
}

int main(void) {
  /* Extents with edge blocks on every axis; the 3-D field is coded most. */
  static const size_t extents[4][4] = {
      {40001, 1, 1, 1}, {203, 197, 1, 1}, {45, 43, 41, 1}, {15, 14, 13, 11}};
  static const int rounds[4] = {1, 1, 4, 1};
  static const zfp_type types[4] = {zfp_type_int32, zfp_type_int64, zfp_type_float, zfp_type_double};
  const size_t most = 45 * 43 * 41;
  double* v = malloc(most * sizeof(double));
  void* data = malloc(most * sizeof(double));
  if (v == NULL || data == NULL) return 1;
  int ok = 1;
  for (unsigned d = 1; d <= 4; d++) {
    const size_t* n = extents[d - 1];
    const size_t count = n[0] * n[1] * n[2] * n[3];
    smooth_field(v, n, d);
    for (int t = 0; t < 4; t++) {
      for (size_t i = 0; i < count; i++) switch (types[t]) {
          case zfp_type_int32: ((int32_t*)data)[i] = (int32_t)(v[i] * 20000.0) * 32768; break;
          case zfp_type_int64: ((int64_t*)data)[i] = (int64_t)(v[i] * 1e12); break;
          case zfp_type_float: ((float*)data)[i] = (float)v[i]; break;
          default: ((double*)data)[i] = v[i]; break;
        }
      for (int mode = 0; mode < kModes; mode++)
        ok = ok && code_field(data, types[t], d, n, mode, rounds[d - 1]);
    }
    for (int mode = 0; mode < kModes; mode++)
      ok = ok && code_int32_blocks(v, d, mode, count >> (2 * d));
  }
  free(v);
  free(data);
  if (!ok) fputs("zfp training run failed\n", stderr);
  return ok ? 0 : 1;
}
