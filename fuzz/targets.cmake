# The fuzz targets as a library, shared by the fuzz programs (fuzz/) and by
# the replay of saved inputs in the native tests (tests/regress).
add_library(glim_fuzz_targets STATIC
  ${CMAKE_SOURCE_DIR}/fuzz/fuzz_support.cpp
  ${CMAKE_SOURCE_DIR}/fuzz/payload_walk_fuzz.cpp
  ${CMAKE_SOURCE_DIR}/fuzz/decoder_fuzz.cpp
  ${CMAKE_SOURCE_DIR}/fuzz/differential_fuzz.cpp
  ${CMAKE_SOURCE_DIR}/fuzz/glimpack_fuzz.cpp
  ${CMAKE_SOURCE_DIR}/fuzz/installer_fuzz.cpp)
target_include_directories(glim_fuzz_targets PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(glim_fuzz_targets PUBLIC glimpack_lib glim_shell glim_fakes
  glim_reference_decoder)

# The names of the targets, as fuzz/run.sh and the replay know them.
set(GLIM_FUZZ_TARGETS payload_walk decoder differential glimpack installer)
