# zfp's build tuning: included by zfp.cmake once the target varnel_zfp_c
# exists. Three tweaks, kept because bench/bench_zfp.py shows them paying
# (README.md, "The wheel", gives the figures): the profile-guided build,
# and together the Skylake scheduling and the fixed alignment. zfp's source
# is compiled as it comes: a rewrite of its bit-plane deposit loops (a
# GCC 12 workaround) measured within the runs' spread and was dropped.

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
# a training program over it (profile_train.c beside this file: the calls varnel
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

  add_executable(varnel_zfp_profile_train "${CMAKE_CURRENT_LIST_DIR}/profile_train.c")
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
