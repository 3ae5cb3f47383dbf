# Cross build for Windows with Debian's mingw-w64 toolchain; the toolchain file
# of each architecture names its target triple and processor first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${KOVRA_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KOVRA_MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${KOVRA_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KOVRA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
