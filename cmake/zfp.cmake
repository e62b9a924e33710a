# zfp for varnel: the target zfp::zfp that everything linking zfp uses.
#
# By default it is zfp 1.0.1's C library (include/, src/) built here as a
# static library: 64-bit stream words (zfp's own default, and zfpy's), no
# OpenMP, symbols hidden, so the extension modules carry their codec with
# them. -DVARNEL_SYSTEM_ZFP=ON links the system's libzfp instead (for
# distributions that package zfp; Debian's is built with 8-bit stream words).
#
# zfp's source comes from PyPI, by package name through pip: the zfpy source
# distribution leaves out include/zfp/bitstream.inl, so the archive is the
# hdf5plugin source distribution, which carries the complete zfp 1.0.1 tree
# (src/zfp). Its SHA-256 is pinned below; nothing of zfp is kept in this
# repository. -DVARNEL_ZFP_ARCHIVE=/path/hdf5plugin-5.1.0.tar.gz builds from a
# local copy (offline builds); a downloaded archive is kept in
# VARNEL_ZFP_CACHE_DIR (default: the user's cache directory, varnel/) so a
# rebuild does not download it again.

option(VARNEL_SYSTEM_ZFP "Link the system's libzfp instead of building zfp 1.0.1 from source" OFF)
set(VARNEL_ZFP_ARCHIVE "" CACHE FILEPATH
    "Local copy of the zfp source archive (hdf5plugin-5.1.0.tar.gz); empty: download it with pip")

if(VARNEL_SYSTEM_ZFP)
  find_package(zfp CONFIG REQUIRED)
  return()
endif()

set(varnel_zfp_package hdf5plugin)
set(varnel_zfp_package_version 5.1.0)
set(varnel_zfp_archive_name hdf5plugin-5.1.0.tar.gz)
set(varnel_zfp_archive_sha256 cf78f1426b5868128b9ec6c498b70d6734e1dc8007a8ed1e7282954ab421b3fa)
set(varnel_zfp_tree hdf5plugin-5.1.0/src/zfp)

if(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
  set(varnel_zfp_cache_default "$ENV{XDG_CACHE_HOME}/varnel")
elseif(DEFINED ENV{HOME} AND NOT "$ENV{HOME}" STREQUAL "")
  set(varnel_zfp_cache_default "$ENV{HOME}/.cache/varnel")
else()
  set(varnel_zfp_cache_default "${CMAKE_BINARY_DIR}/_deps")
endif()
set(VARNEL_ZFP_CACHE_DIR "${varnel_zfp_cache_default}" CACHE PATH
    "Where a downloaded zfp source archive is kept between builds")

# Fails the configuration unless `file` has the pinned SHA-256.
function(varnel_zfp_check_archive file)
  file(SHA256 "${file}" digest)
  if(NOT digest STREQUAL varnel_zfp_archive_sha256)
    message(FATAL_ERROR "zfp source archive ${file}: SHA-256 ${digest}, expected "
                        "${varnel_zfp_archive_sha256} (${varnel_zfp_archive_name})")
  endif()
endfunction()

# Sets `out` to a verified archive: the given local copy, the cached one, or
# a fresh download into the cache.
function(varnel_zfp_find_archive out)
  if(VARNEL_ZFP_ARCHIVE)
    if(NOT EXISTS "${VARNEL_ZFP_ARCHIVE}")
      message(FATAL_ERROR "VARNEL_ZFP_ARCHIVE: no file ${VARNEL_ZFP_ARCHIVE}")
    endif()
    varnel_zfp_check_archive("${VARNEL_ZFP_ARCHIVE}")
    set(${out} "${VARNEL_ZFP_ARCHIVE}" PARENT_SCOPE)
    return()
  endif()
  set(cached "${VARNEL_ZFP_CACHE_DIR}/${varnel_zfp_archive_name}")
  if(EXISTS "${cached}")
    file(SHA256 "${cached}" digest)
    if(digest STREQUAL varnel_zfp_archive_sha256)
      set(${out} "${cached}" PARENT_SCOPE)
      return()
    endif()
    file(REMOVE "${cached}")
  endif()
  # pip fetches the source distribution by name. Reading its metadata needs
  # the package's build requirements: wheels only, never a build of them.
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  set(incoming "${CMAKE_BINARY_DIR}/_deps/zfp-download")
  file(REMOVE_RECURSE "${incoming}")
  message(STATUS "zfp: downloading ${varnel_zfp_package}==${varnel_zfp_package_version} "
                 "(source of zfp 1.0.1) with pip")
  execute_process(
    COMMAND "${Python3_EXECUTABLE}" -m pip download --quiet --no-deps --disable-pip-version-check
            --only-binary :all: --no-binary ${varnel_zfp_package}
            -d "${incoming}" ${varnel_zfp_package}==${varnel_zfp_package_version}
    RESULT_VARIABLE status)
  set(fetched "${incoming}/${varnel_zfp_archive_name}")
  if(NOT status EQUAL 0 OR NOT EXISTS "${fetched}")
    message(FATAL_ERROR "zfp: `pip download ${varnel_zfp_package}==${varnel_zfp_package_version}` "
                        "failed; build offline with -DVARNEL_ZFP_ARCHIVE=/path/${varnel_zfp_archive_name} "
                        "or link the system's libzfp with -DVARNEL_SYSTEM_ZFP=ON")
  endif()
  varnel_zfp_check_archive("${fetched}")
  file(MAKE_DIRECTORY "${VARNEL_ZFP_CACHE_DIR}")
  file(COPY_FILE "${fetched}" "${cached}.part" RESULT copied)
  if(copied EQUAL 0)
    file(RENAME "${cached}.part" "${cached}")
    file(REMOVE_RECURSE "${incoming}")
    set(${out} "${cached}" PARENT_SCOPE)
  else()  # an unwritable cache: keep it in the build tree
    set(${out} "${fetched}" PARENT_SCOPE)
  endif()
endfunction()

# The extracted copy gets one change (cmake/zfp_patch.cmake): zfp's bit-plane
# deposit loops walk a pointer. The tree's stamp names the archive and the
# revision of that change.
include("${CMAKE_CURRENT_LIST_DIR}/zfp_patch.cmake")
set(varnel_zfp_tree_id "${varnel_zfp_archive_sha256} ${varnel_zfp_patch_revision}")

# zfp's include/ and src/ (and its licence), extracted once per build tree.
set(varnel_zfp_root "${CMAKE_BINARY_DIR}/_deps/zfp-1.0.1")
set(varnel_zfp_stamp "${varnel_zfp_root}/.sha256")
set(varnel_zfp_extracted "")
if(EXISTS "${varnel_zfp_stamp}")
  file(READ "${varnel_zfp_stamp}" varnel_zfp_extracted)
endif()
if(NOT varnel_zfp_extracted STREQUAL varnel_zfp_tree_id)
  varnel_zfp_find_archive(varnel_zfp_archive)
  set(unpack "${CMAKE_BINARY_DIR}/_deps/zfp-unpack")
  file(REMOVE_RECURSE "${unpack}" "${varnel_zfp_root}")
  file(ARCHIVE_EXTRACT INPUT "${varnel_zfp_archive}" DESTINATION "${unpack}"
       PATTERNS "${varnel_zfp_tree}/include" "${varnel_zfp_tree}/src"
                "${varnel_zfp_tree}/LICENSE" "${varnel_zfp_tree}/NOTICE")
  file(RENAME "${unpack}/${varnel_zfp_tree}" "${varnel_zfp_root}")
  file(REMOVE_RECURSE "${unpack}")
  file(STRINGS "${varnel_zfp_root}/include/zfp/version.h" zfp_version_lines REGEX "define ZFP_VERSION_(MAJOR|MINOR|PATCH) ")
  if(NOT zfp_version_lines MATCHES "MAJOR 1.*MINOR 0.*PATCH 1")
    message(FATAL_ERROR "zfp: ${varnel_zfp_archive} does not hold zfp 1.0.1")
  endif()
  varnel_zfp_patch_deposit("${varnel_zfp_root}/src/template/decode.c")
  file(WRITE "${varnel_zfp_stamp}" "${varnel_zfp_tree_id}")
endif()

# The library's sources, as zfp's own src/CMakeLists.txt lists them (the
# OpenMP and CUDA back ends are left out).
set(varnel_zfp_sources "${varnel_zfp_root}/src/zfp.c" "${varnel_zfp_root}/src/bitstream.c")
foreach(dim 1 2 3 4)
  foreach(type f d i l)
    list(APPEND varnel_zfp_sources "${varnel_zfp_root}/src/encode${dim}${type}.c"
                                   "${varnel_zfp_root}/src/decode${dim}${type}.c")
  endforeach()
endforeach()

# zfp's default configuration (ZFP_BIT_STREAM_WORD_SIZE 64, ZFP_ROUND_NEVER,
# no strided streams, no DAZ or tight error: none of them defines anything)
# in its default Release build, C99, without -fopenmp (so _OPENMP stays
# undefined and the OpenMP execution policy is refused). Third-party code:
# its own warnings are silenced for this target only.
add_library(varnel_zfp_c STATIC ${varnel_zfp_sources})
set_target_properties(varnel_zfp_c PROPERTIES
  C_STANDARD 99
  C_STANDARD_REQUIRED ON
  C_VISIBILITY_PRESET hidden
  POSITION_INDEPENDENT_CODE ON)
target_compile_options(varnel_zfp_c PRIVATE -w)
if(VARNEL_SANITIZE)
  # zfp's integer transforms count on two's-complement wrap-around (signed
  # overflow, shifts of negative values) by design: UBSan would stop on
  # those. Its memory accesses stay under AddressSanitizer.
  target_compile_options(varnel_zfp_c PRIVATE -fno-sanitize=undefined)
endif()
target_include_directories(varnel_zfp_c SYSTEM PUBLIC "${varnel_zfp_root}/include")
target_link_libraries(varnel_zfp_c PRIVATE m)

# Instruction scheduling for Skylake-class cores. Tuning only: the
# instructions stay x86-64's baseline, so the library runs on every x86-64
# CPU. With GCC 12's generic tuning zfp's bit-plane decoders ran 3-8 %
# slower than with this one on the machines measured (AMD Zen 3 and Intel
# hosts). Empty: GCC's generic tuning.
set(varnel_zfp_tune_default "")
if(CMAKE_C_COMPILER_ID STREQUAL "GNU" AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(varnel_zfp_tune_default "-mtune=skylake")
endif()
set(VARNEL_ZFP_TUNE "${varnel_zfp_tune_default}" CACHE STRING
    "Tuning flags for zfp's code (default -mtune=skylake with GCC on x86-64)")
target_compile_options(varnel_zfp_c PRIVATE ${VARNEL_ZFP_TUNE})

# zfp's hot loops start on fixed boundaries, so their speed does not move
# with where the linker happens to place them: with GCC's default 16-byte
# function alignment, changes elsewhere in the module shifted the bit-plane
# decoder by up to 8 % (measured by linking the same objects in another
# order).
set(varnel_zfp_align "")
if(CMAKE_C_COMPILER_ID STREQUAL "GNU")
  set(varnel_zfp_align -falign-functions=64 -falign-loops=32)
  target_compile_options(varnel_zfp_c PRIVATE ${varnel_zfp_align})
endif()

# Profile-guided build (GCC). zfp's bit-plane coder is a few branchy loops
# that read and write one bit at a time; how fast they run depends on how
# the compiler lays out their branches far more than on anything varnel
# does around them. So the build compiles an instrumented copy of zfp, runs
# a training program over it (native/zfp/profile_train.c: the calls varnel
# makes, every type, dimensionality and mode) and compiles zfp again with
# the counts it left. Same source, same streams. Off by default where it
# cannot run: other compilers, cross builds, sanitizers.
set(varnel_zfp_pgo_default OFF)
# (GCC 11 brought -dumpdir its present meaning.)
set(varnel_zfp_gcc11 OFF)
if(CMAKE_C_COMPILER_ID STREQUAL "GNU" AND CMAKE_C_COMPILER_VERSION VERSION_GREATER_EQUAL 11)
  set(varnel_zfp_gcc11 ON)
endif()
if(varnel_zfp_gcc11 AND NOT CMAKE_CROSSCOMPILING AND NOT VARNEL_SANITIZE AND NOT VARNEL_SANITIZE_THREAD)
  set(varnel_zfp_pgo_default ON)
endif()
option(VARNEL_ZFP_PGO "Optimise zfp with GCC profile feedback from a training run" ${varnel_zfp_pgo_default})
if(VARNEL_ZFP_PGO AND NOT varnel_zfp_gcc11)
  message(FATAL_ERROR "VARNEL_ZFP_PGO needs GCC 11 or later (the C compiler is "
                      "${CMAKE_C_COMPILER_ID} ${CMAKE_C_COMPILER_VERSION})")
endif()

if(VARNEL_ZFP_PGO)
  # The instrumented copy compiles the same files (GCC checks a profile
  # against the source locations it was taken from) into another object
  # directory. GCC names a profile, and identifies each static function in
  # it, by the compile's auxiliary output name, which defaults to the
  # object's path: left so, the final compile would find the file but none
  # of zfp's static functions in it (its whole block coder), and silently
  # go without their counts. Both compiles therefore take the same
  # -dumpdir, so their auxiliary names (<dumpdir>/decode3f.c) agree;
  # -Werror=missing-profile on the final compile holds them to it.
  set(varnel_zfp_profile "${CMAKE_CURRENT_BINARY_DIR}/zfp-profile")
  set(varnel_zfp_dumpdir "${CMAKE_CURRENT_BINARY_DIR}/zfp-objects")
  add_library(varnel_zfp_instrumented STATIC ${varnel_zfp_sources})
  # Compiled as the final copy is (same properties, same options but the
  # profile's): a profile only fits the code it was taken from.
  set_target_properties(varnel_zfp_instrumented PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON
                        C_VISIBILITY_PRESET hidden POSITION_INDEPENDENT_CODE ON)
  target_compile_options(varnel_zfp_instrumented PRIVATE -w ${varnel_zfp_align} ${VARNEL_ZFP_TUNE}
    -dumpdir "${varnel_zfp_dumpdir}/"
    "-fprofile-generate=${varnel_zfp_profile}" -fprofile-update=single)
  target_include_directories(varnel_zfp_instrumented SYSTEM PUBLIC "${varnel_zfp_root}/include")
  target_link_libraries(varnel_zfp_instrumented PUBLIC m)
  target_link_options(varnel_zfp_instrumented INTERFACE -fprofile-generate)

  add_executable(varnel_zfp_profile_train "${PROJECT_SOURCE_DIR}/native/zfp/profile_train.c")
  set_target_properties(varnel_zfp_profile_train PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON)
  target_link_libraries(varnel_zfp_profile_train PRIVATE varnel_zfp_instrumented)

  # Fresh counts on every run. The stamp (an empty header) is written after
  # the run; a profile the final compile cannot find, or that lacks a
  # function, fails that compile (-Werror=missing-profile below).
  set(varnel_zfp_profile_stamp "${varnel_zfp_profile}/trained.h")
  add_custom_command(OUTPUT "${varnel_zfp_profile_stamp}"
    COMMAND "${CMAKE_COMMAND}" -E rm -rf "${varnel_zfp_profile}"
    COMMAND varnel_zfp_profile_train
    COMMAND "${CMAKE_COMMAND}" -E touch "${varnel_zfp_profile_stamp}"
    DEPENDS varnel_zfp_profile_train
    COMMENT "zfp: training run for the profile-guided build"
    VERBATIM)
  add_custom_target(varnel_zfp_profile DEPENDS "${varnel_zfp_profile_stamp}")
  add_dependencies(varnel_zfp_c varnel_zfp_profile)
  # The final objects include the stamp, so the compiler's dependency files
  # make them follow a new profile; the instrumented objects, built from the
  # same files, do not.
  # -fprofile-partial-training: code the training never ran (expert modes,
  # strided fields) is still optimised for speed, not size. zfp compiles
  # without a warning under GCC's defaults, so this target drops -w to let
  # the missing-profile error through.
  get_target_property(varnel_zfp_c_options varnel_zfp_c COMPILE_OPTIONS)
  list(REMOVE_ITEM varnel_zfp_c_options -w)
  set_target_properties(varnel_zfp_c PROPERTIES COMPILE_OPTIONS "${varnel_zfp_c_options}")
  target_compile_options(varnel_zfp_c PRIVATE
    -include "${varnel_zfp_profile_stamp}" -dumpdir "${varnel_zfp_dumpdir}/"
    "-fprofile-use=${varnel_zfp_profile}" -fprofile-partial-training -Werror=missing-profile)
endif()
add_library(zfp::zfp ALIAS varnel_zfp_c)
set(VARNEL_ZFP_LICENSE_FILES "${varnel_zfp_root}/LICENSE" "${varnel_zfp_root}/NOTICE")
