# CMake toolchain: the modules for 64-bit Arm Linux, built on this x86
# machine with Debian's cross compiler (g++-aarch64-linux-gnu) against the
# arm64 Debian root of tools/aarch64root.sh, named by KL_AARCH64_ROOT:
#
#     cmake -S . -B build/aarch64 -DCMAKE_TOOLCHAIN_FILE=tools/aarch64-linux-gnu.cmake \
#         -DKL_AARCH64_ROOT=$(tools/aarch64root.sh)
#
# (`make test-aarch64` does this and runs the suite under qemu-user.)
#
# The root is the sysroot: the CPython headers, OpenSSL and RapidJSON come
# from its /usr/include, libcrypto from its /usr/lib, and the compiler never
# searches this machine's own /usr/include or /usr/lib, whose x86 headers
# (OpenSSL's configuration, pyconfig.h) would compile but describe another
# machine.  The C library and the C++ runtime are the cross compiler's own;
# the root's newer ones run the result.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

# Passed on to the test projects CMake compiles while it configures.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KL_AARCH64_ROOT)
if(NOT KL_AARCH64_ROOT OR NOT EXISTS "${KL_AARCH64_ROOT}/usr/bin/python3.13")
  message(FATAL_ERROR " KL_AARCH64_ROOT must name the arm64 root that tools/aarch64root.sh "
                      "prints (it is \"${KL_AARCH64_ROOT}\").")
endif()

find_program(KL_CROSS_CXX aarch64-linux-gnu-g++)
if(NOT KL_CROSS_CXX)
  message(FATAL_ERROR " no aarch64-linux-gnu-g++: run tools/bootstrap.sh system g++-aarch64-linux-gnu")
endif()
set(CMAKE_CXX_COMPILER "${KL_CROSS_CXX}")

set(CMAKE_SYSROOT "${KL_AARCH64_ROOT}")
set(CMAKE_FIND_ROOT_PATH "${KL_AARCH64_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config (which FindOpenSSL asks first) reads the root's .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} "${KL_AARCH64_ROOT}/usr/lib/aarch64-linux-gnu/pkgconfig:${KL_AARCH64_ROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${KL_AARCH64_ROOT}")
set(ENV{PKG_CONFIG_PATH} "")

# The root's own interpreter, run under qemu-user, tells FindPython its
# version, include directory and extension suffix
# (cpython-313-aarch64-linux-gnu), as a native build asks the native one.
# FindPython runs it through the emulator (CMakeLists.txt sets CMP0190 for
# that).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L "${KL_AARCH64_ROOT}")
set(Python_EXECUTABLE "${KL_AARCH64_ROOT}/usr/bin/python3.13" CACHE FILEPATH
    "The arm64 interpreter, run under qemu-user")
