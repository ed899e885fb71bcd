# The MSVC build, written from Microsoft's documentation and never built:
# only the MinGW-w64 builds, with GCC and with clang, are verified.

# The C and C++ runtimes linked in (/MT): the DLL runtime (vcruntime140,
# msvcp140) would be resolved by the loader before main, before the exe can
# restrict its DLL search to System32.
set(CMAKE_MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
# Warnings are errors, as with GCC; Control Flow Guard checks in the code
# (the linker marks the image); no time or path stamped into the objects.
# The sources are UTF-8, read as the standard reads them: strict
# conformance, and the standard preprocessor (the tests pass raw strings
# through GoogleTest's macros).
add_compile_options(
  "$<$<COMPILE_LANGUAGE:CXX>:/W4;/WX;/guard:cf;/Brepro;/utf-8;/permissive-;/Zc:preprocessor>")
