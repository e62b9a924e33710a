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

# The tree's stamp names the archive it was extracted from.
set(varnel_zfp_tree_id "${varnel_zfp_archive_sha256}")

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
  # The archive's own dates are older than any object built before: touched,
  # a tree extracted again is compiled again.
  file(GLOB_RECURSE varnel_zfp_files "${varnel_zfp_root}/*")
  file(TOUCH_NOCREATE ${varnel_zfp_files})
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

# The tuning of zfp's build (scheduling, alignment, profile feedback), in
# one file with its training program.
include("${CMAKE_CURRENT_LIST_DIR}/tuning.cmake")
add_library(zfp::zfp ALIAS varnel_zfp_c)
set(VARNEL_ZFP_LICENSE_FILES "${varnel_zfp_root}/LICENSE" "${varnel_zfp_root}/NOTICE")
