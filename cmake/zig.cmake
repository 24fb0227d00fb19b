# Building with zig's clang, which links its own libc++ statically and targets an old glibc, so
# that the module needs nothing but the C library of manylinux2014 (glibc 2.17). How the wheels are
# built (tools/build-wheels):
#   cmake -S . -B build/zig --toolchain cmake/zig.cmake \
#     -DDORVANE_ZIG=/path/to/zig -DDORVANE_ZIG_TARGET=aarch64-linux-gnu.2.17
# Both settings may come from the environment variables of the same names instead; zig on PATH and
# x86_64-linux-gnu.2.17 are the defaults. The target's CPU is zig's baseline for the architecture
# (x86-64 without extensions, plain armv8-a), as manylinux requires.
foreach(setting DORVANE_ZIG DORVANE_ZIG_TARGET)
  if(NOT ${setting} AND DEFINED ENV{${setting}})
    set(${setting} "$ENV{${setting}}")
  endif()
endforeach()
if(NOT DORVANE_ZIG)
  find_program(DORVANE_ZIG zig REQUIRED)
endif()
if(NOT DORVANE_ZIG_TARGET)
  set(DORVANE_ZIG_TARGET x86_64-linux-gnu.2.17)
endif()
# The checks of try_compile configure projects of their own, which read this file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DORVANE_ZIG DORVANE_ZIG_TARGET)

set(CMAKE_SYSTEM_NAME Linux)
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${DORVANE_ZIG_TARGET}")

# The compiler is zig with its mandatory arguments; the archiver is zig's too, since the machine's
# binutils may not know the target's object format.
set(CMAKE_CXX_COMPILER "${DORVANE_ZIG}" c++ -target ${DORVANE_ZIG_TARGET})
set(CMAKE_CXX_ARCHIVE_CREATE "\"${DORVANE_ZIG}\" ar qc <TARGET> <LINK_FLAGS> <OBJECTS>")
set(CMAKE_CXX_ARCHIVE_APPEND "\"${DORVANE_ZIG}\" ar q <TARGET> <LINK_FLAGS> <OBJECTS>")
set(CMAKE_CXX_ARCHIVE_FINISH "\"${DORVANE_ZIG}\" ranlib <TARGET>")

# zig keeps the frame pointer where GCC's -O3 drops it, and clang inlines less than GCC: the search
# loop's queue operations stayed calls, which cost 4% more instructions in the searches than the
# g++ build (callgrind, one thread, random and grid graphs). With these the wheel's module runs
# as few instructions as the g++ build, or fewer.
set(CMAKE_CXX_FLAGS_RELEASE_INIT "-O3 -DNDEBUG -fomit-frame-pointer -mllvm -inline-threshold=1000")
