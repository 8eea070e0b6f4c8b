# The body both MinGW-w64 toolchain files share: they set CMAKE_SYSTEM_PROCESSOR and
# include this. The -posix compilers are used because googletest needs std::mutex,
# which the win32 thread model lacks.
set(CMAKE_SYSTEM_NAME Windows)
set(QELSETUP_TRIPLET ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)
set(CMAKE_C_COMPILER   ${QELSETUP_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QELSETUP_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER  ${QELSETUP_TRIPLET}-windres)
set(CMAKE_OBJDUMP      ${QELSETUP_TRIPLET}-objdump)
set(CMAKE_FIND_ROOT_PATH /usr/${QELSETUP_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
