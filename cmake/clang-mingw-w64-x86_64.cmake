# Cross-builds the same Windows target with clang, a second compiler over
# the sources: MinGW-w64's headers and runtime, and the posix-threads
# libstdc++ of Debian's MinGW-w64 GCC. Debian's clang does not find that GCC
# by itself (its version folder, "12-posix", is not a version to clang), so
# its folders are named here, as that GCC reports them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_SYSROOT /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

execute_process(COMMAND x86_64-w64-mingw32-g++-posix -print-libgcc-file-name
  OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
cmake_path(GET libgcc PARENT_PATH gcc)
set(CMAKE_CXX_FLAGS_INIT "-stdlib++-isystem ${gcc}/include/c++ \
-stdlib++-isystem ${gcc}/include/c++/x86_64-w64-mingw32 -stdlib++-isystem ${gcc}/include/c++/backward")
# libstdc++ and libgcc from there; -pthread brings winpthread, which they use.
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-L${gcc} -pthread")
endforeach()
# GNU ld says "duplicate section ... has different size" for a few typeinfo
# names of libstdc++ that clang's objects hold too: GCC pads them to 16 bytes
# and clang does not; the contents are the same and ld keeps one.
