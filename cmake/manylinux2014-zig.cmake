# Builds binaries that run on any x86_64 Linux with glibc 2.17 or newer (the manylinux2014
# platform), with zig's clang: zig links against its own glibc 2.17 symbol stubs, whatever glibc
# the build machine has, and links its own libc++ statically, so nothing of the build machine's
# C++ runtime is needed where the binaries run.
#
# TYVO_ZIG names the zig executable (the `ziglang` package from PyPI ships one). CMake takes no
# arguments with a compiler path, so the target goes into two small wrapper scripts made here.
if(NOT DEFINED ENV{TYVO_ZIG})
  message(FATAL_ERROR "Set TYVO_ZIG to the zig executable (python -m pip install ziglang)")
endif()
set(tyvo_zig_target x86_64-linux-gnu.2.17)
set(tyvo_zig_wrappers ${CMAKE_CURRENT_LIST_DIR}/../build/zig-wrappers)
foreach(tool IN ITEMS c++ ar ranlib)
  set(subcommand ${tool})
  set(target_flag "")
  if(tool STREQUAL "c++")
    set(target_flag "-target ${tyvo_zig_target}")
  endif()
  file(CONFIGURE OUTPUT ${tyvo_zig_wrappers}/${tool} CONTENT
    "#!/bin/sh\nexec \"$ENV{TYVO_ZIG}\" ${subcommand} ${target_flag} \"$@\"\n" @ONLY)
  file(CHMOD ${tyvo_zig_wrappers}/${tool}
       PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_CXX_COMPILER ${tyvo_zig_wrappers}/c++)

# Debian's Python headers keep pyconfig.h in the multiarch directory
# (/usr/include/x86_64-linux-gnu/python3.X), which zig, compiling against its own glibc headers,
# never searches. A directory holding only a link to it resolves that one include, last of all,
# without putting the build machine's other headers in reach.
if(IS_DIRECTORY /usr/include/x86_64-linux-gnu)
  file(MAKE_DIRECTORY ${tyvo_zig_wrappers}/multiarch)
  file(CREATE_LINK /usr/include/x86_64-linux-gnu ${tyvo_zig_wrappers}/multiarch/x86_64-linux-gnu SYMBOLIC)
  string(APPEND CMAKE_CXX_FLAGS_INIT " -idirafter ${tyvo_zig_wrappers}/multiarch")
endif()
set(CMAKE_AR ${tyvo_zig_wrappers}/ar CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB ${tyvo_zig_wrappers}/ranlib CACHE FILEPATH "" FORCE)

# Unwinding goes through the platform's libgcc_s, not through the copy of LLVM's unwinder zig would
# link in: pthread_exit() unwinds a thread with libgcc_s, which then calls our personality routine,
# and that must read libgcc_s's frames with libgcc_s's own functions or the process crashes. Linked
# against this machine's copy, only its oldest symbol versions (GCC_3.0 to GCC_4.2.0) are needed;
# the undefined references in the copy itself are its business where it runs.
find_file(TYVO_LIBGCC_S libgcc_s.so.1 PATHS /lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu /lib64 /usr/lib64
          NO_DEFAULT_PATH REQUIRED)
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "${TYVO_LIBGCC_S}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--allow-shlib-undefined")

# Each extension module carries its own copy of libc++. Exporting only the module's init function
# keeps those copies private: two modules loaded into one process (even with RTLD_GLOBAL) never
# bind to each other's C++ runtime, whatever versions of it they were built with.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/python-module.map")
