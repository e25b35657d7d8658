# Toolchain for release wheels that run on any x86_64 Linux with glibc 2.17 or
# later (manylinux2014): Zig's bundled clang, targeting glibc 2.17, with its own
# libc++ linked statically into the module, so the wheel needs no libstdc++.
# Zig comes from PyPI (`pip install ziglang`); scripts/build-wheels.sh uses this
# file, an ordinary `pip install .` does not.
#
# The zig executable is found, in this order, from -DVASKEL_ZIG=/path/to/zig,
# the environment variable VASKEL_ZIG, or the ziglang package of the Python
# that builds the module (Python_EXECUTABLE, set by scikit-build-core).

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VASKEL_ZIG_TARGET x86_64-linux-gnu.2.17)

if(NOT VASKEL_ZIG AND DEFINED ENV{VASKEL_ZIG})
  set(VASKEL_ZIG "$ENV{VASKEL_ZIG}")
endif()
if(NOT VASKEL_ZIG)
  foreach(python IN ITEMS "${Python_EXECUTABLE}" "${Python3_EXECUTABLE}")
    if(python)
      execute_process(
        COMMAND "${python}" -c "import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), 'zig'))"
        OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
      if(NOT failed AND EXISTS "${found}")
        set(VASKEL_ZIG "${found}")
        break()
      endif()
    endif()
  endforeach()
endif()
if(NOT VASKEL_ZIG OR NOT EXISTS "${VASKEL_ZIG}")
  message(FATAL_ERROR "zig not found: pip install ziglang into the building Python, or pass -DVASKEL_ZIG=/path/to/zig")
endif()
set(VASKEL_ZIG "${VASKEL_ZIG}" CACHE FILEPATH "The zig executable used as C++ compiler" FORCE)
# Try-compile projects read this file again; hand them the same zig.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VASKEL_ZIG)

# CMake wants one executable as compiler: a two-line wrapper in the build tree
# runs `zig c++ -target ...` with the arguments it is given.
set(wrapper "${CMAKE_BINARY_DIR}/zig-c++")
file(CONFIGURE OUTPUT "${wrapper}"
     CONTENT "#!/bin/sh\nexec \"${VASKEL_ZIG}\" c++ -target ${VASKEL_ZIG_TARGET} \"$@\"\n" @ONLY)
file(CHMOD "${wrapper}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
     WORLD_READ WORLD_EXECUTE)
set(CMAKE_CXX_COMPILER "${wrapper}")

# The libc++ linked in stays private to each module (see python-module.map).
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/python-module.map")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/python-module.map")
