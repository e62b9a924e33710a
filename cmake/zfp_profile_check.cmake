# cmake -DPROFILE_DIR=dir -DNAMES=a.gcda;b.gcda -DSTAMP=file -P zfp_profile_check.cmake
#
# After zfp's training run: every source must have left its profile under
# the name the profile-guided compile looks for, else that compile would
# silently go without it. Writes STAMP when all are there.
set(missing "")
foreach(name IN LISTS NAMES)
  if(NOT EXISTS "${PROFILE_DIR}/${name}")
    list(APPEND missing "${name}")
  endif()
endforeach()
if(missing)
  file(GLOB found RELATIVE "${PROFILE_DIR}" "${PROFILE_DIR}/*")
  message(FATAL_ERROR "zfp training run: no profile ${missing} in ${PROFILE_DIR} (found: ${found})")
endif()
file(WRITE "${STAMP}" "/* zfp training run done: the profiles below this directory are current. */\n")
