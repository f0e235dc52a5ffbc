# Builds binaries that run on any x86_64 or aarch64 Linux with glibc 2.17 or newer (the
# manylinux2014 platform), with zig's clang: zig links against its own glibc 2.17 symbol stubs, whatever glibc
# the build machine has, and links its own libc++ statically, so nothing of the build machine's
# C++ runtime is needed where the binaries run.
#
# TYVO_ZIG names the zig executable (the `ziglang` package from PyPI ships one). CMake takes no
# arguments with a compiler path, so the target goes into two small wrapper scripts made here.
#
# TYVO_TARGET_ARCH=aarch64 cross-builds for aarch64; TYVO_TARGET_ROOT then names an arm64 Debian
# root (scripts/arm64-pythons.sh) whose pyconfig.h and libgcc_s the binaries are built against,
# since the build machine's are x86_64 ones.
if(NOT DEFINED ENV{TYVO_ZIG})
  message(FATAL_ERROR "Set TYVO_ZIG to the zig executable (python -m pip install ziglang)")
endif()
set(tyvo_arch x86_64)
set(tyvo_root "")
if(DEFINED ENV{TYVO_TARGET_ARCH} AND NOT "$ENV{TYVO_TARGET_ARCH}" STREQUAL "x86_64")
  set(tyvo_arch $ENV{TYVO_TARGET_ARCH})
  if(NOT tyvo_arch STREQUAL "aarch64" OR NOT IS_DIRECTORY "$ENV{TYVO_TARGET_ROOT}/usr/lib/aarch64-linux-gnu")
    message(FATAL_ERROR "TYVO_TARGET_ARCH=aarch64 needs TYVO_TARGET_ROOT, an arm64 Debian root "
                        "(bash scripts/arm64-pythons.sh make X.Y); got '$ENV{TYVO_TARGET_ARCH}' and '$ENV{TYVO_TARGET_ROOT}'")
  endif()
  set(tyvo_root $ENV{TYVO_TARGET_ROOT})
  # Marks the build as a cross build: nothing built here is run here.
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR aarch64)
endif()
set(tyvo_zig_target ${tyvo_arch}-linux-gnu.2.17)
# One directory per target and root: builds for several of them may run at once.
set(tyvo_zig_wrappers ${CMAKE_CURRENT_LIST_DIR}/../build/zig-wrappers-${tyvo_arch})
if(tyvo_root)
  get_filename_component(tyvo_root_name ${tyvo_root} NAME)
  string(APPEND tyvo_zig_wrappers -${tyvo_root_name})
endif()
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
# (/usr/include/<arch>-linux-gnu/python3.X), which zig, compiling against its own glibc headers,
# never searches. A directory holding only a link to it resolves that one include, last of all,
# without putting the build machine's (or the arm64 root's) other headers in reach.
if(IS_DIRECTORY ${tyvo_root}/usr/include/${tyvo_arch}-linux-gnu)
  file(MAKE_DIRECTORY ${tyvo_zig_wrappers}/multiarch)
  file(CREATE_LINK ${tyvo_root}/usr/include/${tyvo_arch}-linux-gnu ${tyvo_zig_wrappers}/multiarch/${tyvo_arch}-linux-gnu SYMBOLIC)
  string(APPEND CMAKE_CXX_FLAGS_INIT " -idirafter ${tyvo_zig_wrappers}/multiarch")
endif()
set(CMAKE_AR ${tyvo_zig_wrappers}/ar CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB ${tyvo_zig_wrappers}/ranlib CACHE FILEPATH "" FORCE)

# Unwinding goes through the platform's libgcc_s, not through the copy of LLVM's unwinder zig would
# link in: pthread_exit() unwinds a thread with libgcc_s, which then calls our personality routine,
# and that must read libgcc_s's frames with libgcc_s's own functions or the process crashes. Linked
# against this machine's copy (or the arm64 root's), only its oldest symbol versions are needed
# (GCC_3.0 to GCC_4.2.0 on x86_64, GCC_3.0 on aarch64); the undefined references in the copy itself
# are its business where it runs.
if(tyvo_root)
  find_file(TYVO_LIBGCC_S libgcc_s.so.1 PATHS ${tyvo_root}/usr/lib/${tyvo_arch}-linux-gnu
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
else()
  find_file(TYVO_LIBGCC_S libgcc_s.so.1 PATHS /lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu /lib64 /usr/lib64
            NO_DEFAULT_PATH REQUIRED)
endif()
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "${TYVO_LIBGCC_S}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--allow-shlib-undefined")

# Each extension module carries its own copy of libc++. Exporting only the module's init function
# keeps those copies private: two modules loaded into one process (even with RTLD_GLOBAL) never
# bind to each other's C++ runtime, whatever versions of it they were built with.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/python-module.map")
