# The build's instrumentation, in one place. Every library of the tree links build_instrumentation
# and every executable is made with add_program(); what is to stay uninstrumented (the preloaded
# failing allocator) links neither.
#   SANITIZE   (make check-sanitize) AddressSanitizer with leak detection and
#              UndefinedBehaviorSanitizer, every report fatal
#   COVERAGE   (make coverage) gcov counters in every object
#   BUILD_FUZZ (make fuzz, clang only) the libFuzzer targets in fuzz/, the code under test carrying
#              the fuzzer's coverage hooks and the checks of the sanitizer build
option(SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(COVERAGE "Build with gcov coverage counters" OFF)
option(BUILD_FUZZ "Build the libFuzzer targets (needs clang)" OFF)
if(BUILD_FUZZ AND NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "BUILD_FUZZ needs clang (-DCMAKE_CXX_COMPILER=clang++)")
endif()

add_library(build_instrumentation INTERFACE)

if(SANITIZE OR BUILD_FUZZ)
  set(sanitizer_flags -fsanitize=address,undefined -fno-sanitize-recover=all)
  # GCC's instrumentation misleads its uninitialised-use analysis into false reports (in the
  # standard library's <regex>, for one); the plain build keeps that warning.
  target_compile_options(build_instrumentation INTERFACE ${sanitizer_flags}
    -fno-omit-frame-pointer $<$<CXX_COMPILER_ID:GNU>:-Wno-maybe-uninitialized>)
  target_link_options(build_instrumentation INTERFACE ${sanitizer_flags})
endif()
if(BUILD_FUZZ)
  target_compile_options(build_instrumentation INTERFACE -fsanitize=fuzzer-no-link)
endif()
if(COVERAGE)
  target_compile_options(build_instrumentation INTERFACE --coverage -O0)
  target_link_options(build_instrumentation INTERFACE --coverage)
endif()

# Each program of a sanitizer build carries the run-time defaults, so that it behaves by hand as
# under the test suite; each of a coverage build writes its counters also when it ends through
# _exit or abort.
if(SANITIZE)
  add_library(sanitizer_options OBJECT ${CMAKE_CURRENT_LIST_DIR}/sanitizer_options.cpp)
endif()
if(COVERAGE)
  add_library(coverage_flush OBJECT ${CMAKE_CURRENT_LIST_DIR}/coverage_flush.cpp)
  target_link_options(coverage_flush INTERFACE -Wl,--wrap=_exit,--wrap=abort)
endif()

# add_program(NAME SOURCES...): an executable of the tree, with the build's instrumentation.
function(add_program name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE build_instrumentation)
  if(SANITIZE)
    target_link_libraries(${name} PRIVATE sanitizer_options)
  endif()
  if(COVERAGE)
    target_link_libraries(${name} PRIVATE coverage_flush)
  endif()
endfunction()
