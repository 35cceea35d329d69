# The code under test that the harnesses link, shared by the libFuzzer build
# (fuzz/CMakeLists.txt) and the replay build (tests/regress/CMakeLists.txt).

# The switch without its main program.
set(HARNESS_SWITCH_SOURCES
  ${CMAKE_SOURCE_DIR}/switch/ctl.cpp
  ${CMAKE_SOURCE_DIR}/switch/fdb.cpp
  ${CMAKE_SOURCE_DIR}/switch/log.cpp
  ${CMAKE_SOURCE_DIR}/switch/port.cpp
  ${CMAKE_SOURCE_DIR}/switch/tap_linux.cpp)
set(HARNESS_SWITCH_INCLUDE ${CMAKE_SOURCE_DIR}/switch)

# The plug library, linked in statically so that the harness calls it.
set(HARNESS_PLUG_SOURCES ${CMAKE_SOURCE_DIR}/krixplug/krixplug.c)
set(HARNESS_PLUG_INCLUDE ${CMAKE_SOURCE_DIR}/krixplug)
