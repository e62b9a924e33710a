# The one change varnel makes to its extracted copy of zfp (never to the
# archive).
#
# zfp's bit-plane decoders deposit each decoded plane with
#     for (i = 0; x; i++, x >>= 1) data[i] += (UInt)(x & 1u) << k;
# where i is a 32-bit `uint`. GCC 12 cannot prove that this index never
# wraps, so it zero-extends it on every bit of the loop that takes most of a
# decode; GCC 14 (the compiler of zfpy's wheels) walks a pointer. The build
# writes both loops (decode_few_ints, decode_few_ints_prec in
# src/template/decode.c) with a pointer: the same additions in the same
# order, so the same values and streams, and decoding about 3 % faster
# (every type and mode, profile-guided build). A source that does not hold
# both loops exactly is refused.
#
# include()d by zfp.cmake; `cmake -DFILE=decode.c -P zfp_patch.cmake`
# patches one file (the tests use that).

set(varnel_zfp_patch_revision "deposit-pointer-1")
set(varnel_zfp_deposit_old "    for (i = 0; x; i++, x >>= 1)\n      data[i] += (UInt)(x & 1u) << k;\n")
set(varnel_zfp_deposit_new "    for (UInt* p = data; x; p++, x >>= 1)\n      *p += (UInt)(x & 1u) << k;\n")

function(varnel_zfp_patch_deposit file)
  file(READ "${file}" text)
  string(REPLACE "${varnel_zfp_deposit_old}" "" rest "${text}")
  string(LENGTH "${text}" text_length)
  string(LENGTH "${rest}" rest_length)
  string(LENGTH "${varnel_zfp_deposit_old}" old_length)
  math(EXPR found "(${text_length} - ${rest_length}) / ${old_length}")
  if(NOT found EQUAL 2)
    message(FATAL_ERROR "zfp: ${file} holds ${found} bit-plane deposit loops, expected 2")
  endif()
  string(REPLACE "${varnel_zfp_deposit_old}" "${varnel_zfp_deposit_new}" text "${text}")
  file(WRITE "${file}" "${text}")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE AND DEFINED FILE)
  varnel_zfp_patch_deposit("${FILE}")
endif()
