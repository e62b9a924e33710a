# The peer HTJ2K codecs of bench/bench_htj2k_peers.cpp: OpenJPH 0.31.0 and
# OpenHTJ2K 0.19.0, built here from their unmodified release archives as
# static Release libraries with their default SIMD (OpenHTJ2K's default
# ENABLE_AVX2=ON compiles it with -march=native), and linked into that
# benchmark only, never into the product. Nothing of them is kept in this
# repository: the archives are read from VARNEL_PEERS_DIR, checked against
# the SHA-256 pinned below, and extracted and built under the build tree
# (peers/). Both peers are used through their public headers only.
#
# Off by default (CI does not build them): configure with
#   -DVARNEL_BENCH=ON -DVARNEL_PEERS=ON [-DVARNEL_PEERS_DIR=/path/to/archives]
# When the archives are missing, the benchmark is left out with a message.
#
# Defines `varnel_peers_found` (TRUE when the peers are set up) and the
# function varnel_link_peers(target).

option(VARNEL_PEERS "Build OpenJPH and OpenHTJ2K from release archives for bench_htj2k_peers" OFF)
set(VARNEL_PEERS_DIR "${CMAKE_CURRENT_SOURCE_DIR}/../shared/peers" CACHE PATH
    "Directory holding OpenJPH-0.31.0.tar.gz and OpenHTJ2K-0.19.0.tar.gz")
set(VARNEL_PEERS_JOBS 2 CACHE STRING "Parallel jobs of each peer's build")

set(varnel_peers_found FALSE)
if(NOT VARNEL_PEERS)
  message(STATUS "bench_htj2k_peers: skipped (configure with -DVARNEL_PEERS=ON to build "
                 "OpenJPH 0.31.0 and OpenHTJ2K 0.19.0 from VARNEL_PEERS_DIR)")
  return()
endif()

set(varnel_openjph_archive OpenJPH-0.31.0.tar.gz)
set(varnel_openjph_sha256 30aacdb769f44ddb1db1466f3e69cf94669335354a683ceb95f8696e0a8e8caf)
set(varnel_openhtj2k_archive OpenHTJ2K-0.19.0.tar.gz)
set(varnel_openhtj2k_sha256 5e4eeca2c7b33bc59c6710312bd9a312e08952ec5c66fed1b384a802909b2cd9)

get_filename_component(varnel_peers_dir "${VARNEL_PEERS_DIR}" ABSOLUTE)
foreach(archive IN ITEMS ${varnel_openjph_archive} ${varnel_openhtj2k_archive})
  if(NOT EXISTS "${varnel_peers_dir}/${archive}")
    message(WARNING "bench_htj2k_peers: skipped, no ${archive} in ${varnel_peers_dir} "
                    "(set VARNEL_PEERS_DIR to the directory of the peer archives)")
    return()
  endif()
endforeach()

include(ExternalProject)
find_package(Threads REQUIRED)

# Both builds use this project's compilers and run in the console pool, one
# after the other, each with VARNEL_PEERS_JOBS jobs.
set(varnel_peer_cmake_args
    -DCMAKE_BUILD_TYPE=Release
    -DBUILD_SHARED_LIBS=OFF
    -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER}
    -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER}
    -DCMAKE_POSITION_INDEPENDENT_CODE=ON)

set(varnel_openjph_root "${CMAKE_BINARY_DIR}/peers/openjph")
set(varnel_openjph_lib "${varnel_openjph_root}/build/src/core/${CMAKE_STATIC_LIBRARY_PREFIX}openjph${CMAKE_STATIC_LIBRARY_SUFFIX}")
ExternalProject_Add(peer_openjph
  URL "${varnel_peers_dir}/${varnel_openjph_archive}"
  URL_HASH SHA256=${varnel_openjph_sha256}
  DOWNLOAD_EXTRACT_TIMESTAMP TRUE
  PREFIX "${varnel_openjph_root}"
  SOURCE_DIR "${varnel_openjph_root}/source"
  BINARY_DIR "${varnel_openjph_root}/build"
  CMAKE_ARGS ${varnel_peer_cmake_args}
             -DOJPH_ENABLE_TIFF_SUPPORT=OFF
             -DOJPH_BUILD_EXECUTABLES=OFF
             -DOJPH_BUILD_TESTS=OFF
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target openjph -j ${VARNEL_PEERS_JOBS}
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS "${varnel_openjph_lib}"
  USES_TERMINAL_BUILD TRUE)

set(varnel_openhtj2k_root "${CMAKE_BINARY_DIR}/peers/openhtj2k")
set(varnel_openhtj2k_lib "${varnel_openhtj2k_root}/build/${CMAKE_STATIC_LIBRARY_PREFIX}openhtj2k${CMAKE_STATIC_LIBRARY_SUFFIX}")
ExternalProject_Add(peer_openhtj2k
  URL "${varnel_peers_dir}/${varnel_openhtj2k_archive}"
  URL_HASH SHA256=${varnel_openhtj2k_sha256}
  DOWNLOAD_EXTRACT_TIMESTAMP TRUE
  PREFIX "${varnel_openhtj2k_root}"
  SOURCE_DIR "${varnel_openhtj2k_root}/source"
  BINARY_DIR "${varnel_openhtj2k_root}/build"
  # Without libtiff its library needs nothing beyond threads.
  CMAKE_ARGS ${varnel_peer_cmake_args}
             -DCMAKE_DISABLE_FIND_PACKAGE_TIFF=ON
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target open_htj2k -j ${VARNEL_PEERS_JOBS}
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS "${varnel_openhtj2k_lib}"
  USES_TERMINAL_BUILD TRUE)
# One peer build at a time.
add_dependencies(peer_openhtj2k peer_openjph)

# Links both peers into `target`; their public headers come first on the
# include path (before a system-wide OpenJPH's) and as system headers.
function(varnel_link_peers target)
  add_dependencies(${target} peer_openjph peer_openhtj2k)
  target_include_directories(${target} SYSTEM BEFORE PRIVATE
    "${varnel_openjph_root}/source/src/core"
    "${varnel_openhtj2k_root}/source/source/core/interface"
    "${varnel_openhtj2k_root}/source/source/core/common")
  target_link_libraries(${target} PRIVATE "${varnel_openjph_lib}" "${varnel_openhtj2k_lib}" Threads::Threads)
endfunction()

set(varnel_peers_found TRUE)
message(STATUS "bench_htj2k_peers: OpenJPH 0.31.0 and OpenHTJ2K 0.19.0 from ${varnel_peers_dir}")
