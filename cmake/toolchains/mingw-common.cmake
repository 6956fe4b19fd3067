# What the MinGW-w64 toolchain files share; each sets CMAKE_SYSTEM_PROCESSOR and
# KELDRIN_MINGW_PREFIX first.
# The posix thread model is used so the standard library's threads and mutexes exist;
# everything, winpthreads included, is linked statically, so the programs import
# nothing but Windows system DLLs.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${KELDRIN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELDRIN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KELDRIN_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KELDRIN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# GCC 12 warns wrongly about overlapping copies inside std::string at -O3 (GCC bug 105329).
set(CMAKE_CXX_FLAGS_INIT "-Wno-restrict")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
