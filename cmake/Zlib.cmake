# zlib: the host's own library, or on the board target Debian's zlib source compiled
# with the cross toolchain (Debian has no big-endian MIPS port to link against).
set(VL_ZLIB_LINK ZLIB::ZLIB)
if(NOT CMAKE_CROSSCOMPILING)
  find_package(ZLIB REQUIRED)
  # Programs marked VL_STATIC (the host's installer and its sandboxed builds, static like
  # the boards' one) take the archive; everything else, the packaged tools among them,
  # the shared library.
  find_library(VL_ZLIB_ARCHIVE NAMES libz.a)
  if(VL_ZLIB_ARCHIVE)
    set(VL_ZLIB_LINK "$<IF:$<BOOL:$<TARGET_PROPERTY:VL_STATIC>>,${VL_ZLIB_ARCHIVE},ZLIB::ZLIB>")
  endif()
  return()
endif()

set(VL_ZLIB_SOURCE_DIR "${CMAKE_BINARY_DIR}/zlib-src" CACHE PATH "Unpacked zlib source")
if(NOT EXISTS "${VL_ZLIB_SOURCE_DIR}/zlib.h")
  message(STATUS "Fetching Debian's zlib source into ${VL_ZLIB_SOURCE_DIR}")
  execute_process(
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/fetch-zlib-source ${VL_ZLIB_SOURCE_DIR}
    RESULT_VARIABLE fetch_result)
  if(NOT fetch_result EQUAL 0)
    message(FATAL_ERROR "could not fetch the zlib source (${fetch_result})")
  endif()
endif()

set(zlib_sources adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback
    inffast inflate inftrees trees uncompr zutil)
list(TRANSFORM zlib_sources PREPEND "${VL_ZLIB_SOURCE_DIR}/")
list(TRANSFORM zlib_sources APPEND ".c")
add_library(vl_zlib STATIC ${zlib_sources})
target_include_directories(vl_zlib SYSTEM PUBLIC ${VL_ZLIB_SOURCE_DIR})
target_compile_definitions(vl_zlib PRIVATE HAVE_UNISTD_H HAVE_STDARG_H)
target_compile_options(vl_zlib PRIVATE -w)
add_library(ZLIB::ZLIB ALIAS vl_zlib)
