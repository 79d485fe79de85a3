# Cross build for 64-bit Windows with Debian's clang and lld, against the MinGW-w64 headers and
# import libraries and the C++ library of the MinGW-w64 GCC; tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(mingw_triple x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES clang REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES clang++ REQUIRED)
set(CMAKE_C_COMPILER_TARGET ${mingw_triple})
set(CMAKE_CXX_COMPILER_TARGET ${mingw_triple})
find_program(CMAKE_RC_COMPILER NAMES ${mingw_triple}-windres REQUIRED)
# Without a sysroot, clang would also search the host's /usr/include (seen with -v).
set(CMAKE_SYSROOT /usr/${mingw_triple})

# Debian's clang 14 does not find the C++ library of Debian's MinGW-w64 GCC by itself (<string> is
# not found): ask that GCC where its files are. The posix flavour, as in the GCC build.
find_program(mingw_gxx NAMES ${mingw_triple}-g++-posix ${mingw_triple}-g++ REQUIRED)
execute_process(COMMAND ${mingw_gxx} -print-libgcc-file-name OUTPUT_VARIABLE mingw_libgcc
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(mingw_gcc_dir ${mingw_libgcc} DIRECTORY)
set(mingw_cxx_include ${mingw_gcc_dir}/include/c++)
string(JOIN " " CMAKE_CXX_FLAGS_INIT -stdlib++-isystem ${mingw_cxx_include}
       -stdlib++-isystem ${mingw_cxx_include}/${mingw_triple}
       -stdlib++-isystem ${mingw_cxx_include}/backward)
# lld links for the MinGW target; -pthread brings winpthreads, on which that C++ library relies.
set(mingw_link_flags "-fuse-ld=lld -L${mingw_gcc_dir} -pthread")
set(CMAKE_EXE_LINKER_FLAGS_INIT ${mingw_link_flags})
set(CMAKE_SHARED_LINKER_FLAGS_INIT ${mingw_link_flags})
set(CMAKE_MODULE_LINKER_FLAGS_INIT ${mingw_link_flags})

include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-target-common.cmake)
