# What both cross toolchains share: Windows, posix threads, everything linked statically.
# The toolchain file that includes this sets TARSIN_TRIPLE and TARSIN_BUILD_KIND first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${TARSIN_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARSIN_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TARSIN_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TARSIN_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/wine-run.sh)
