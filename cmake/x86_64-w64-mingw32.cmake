# The same sources for 64-bit Windows: only for running the tests and the demo on machines
# that cannot start 32-bit programs (tools/wine_build.py). Never published to players.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TARSIN_TRIPLE x86_64-w64-mingw32)
set(TARSIN_BUILD_KIND win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
