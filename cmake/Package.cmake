# The Debian package of the PC-side programs, pellorin-tools: `cpack` in the release build
# (scripts/package). Only the "tools" install component goes into it, so nothing of the
# board side, the tests or the key files can slip in through another install() rule.
include(GNUInstallDirs)

# Installing builds only what it installs (scripts/package builds the three programs, not
# the benchmarks of the release preset).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(VL_PACKAGE_MAINTAINER "The Pellorin network installer developers <maintainers@pellorin.example>"
    CACHE STRING "Maintainer field of the Debian package")

# Debian wants manual pages compressed with gzip -9n (no name, no time stamp: reproducible).
find_program(VL_GZIP gzip REQUIRED)
# Everything the package holds; scripts/package builds this target.
add_custom_target(vl_package_contents)

# A PC-side program and its section-1 manual page (kept next to its source).
function(vl_install_program target page)
  set(source ${CMAKE_CURRENT_SOURCE_DIR}/${page})
  set(compressed ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${VL_GZIP} -9nc ${source} > ${compressed}
    DEPENDS ${source} VERBATIM)
  add_custom_target(${target}_man DEPENDS ${compressed})
  add_dependencies(vl_package_contents ${target} ${target}_man)
  # The programs read package files from anywhere: the usual Debian hardening.
  target_compile_definitions(${target} PRIVATE $<$<CONFIG:Release>:_FORTIFY_SOURCE=2>)
  target_link_options(${target} PRIVATE -Wl,-z,relro,-z,now)
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endfunction()

# The documentation directory: copyright (from LICENSE), the changelog a native package
# carries, and the note on what a signature covers.
function(vl_package_documents)
  set(doc ${CMAKE_BINARY_DIR}/package-doc)
  set(docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_PACKAGE_NAME})
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
  file(WRITE ${doc}/copyright
       "pellorin-tools: tarnwick, pellpkg and pellkey of the Pellorin network installer.\n\n"
       "${license}")
  # SOURCE_DATE_EPOCH (scripts/package sets it from the last commit) keeps the date stable.
  string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  file(WRITE ${doc}/changelog
       "${CPACK_PACKAGE_NAME} (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
       "  * Release ${PROJECT_VERSION} of tarnwick, pellpkg and pellkey.\n\n"
       " -- ${VL_PACKAGE_MAINTAINER}  ${date}\n")
  add_custom_command(OUTPUT ${doc}/changelog.gz
    COMMAND ${VL_GZIP} -9nc ${doc}/changelog > ${doc}/changelog.gz
    DEPENDS ${doc}/changelog VERBATIM)
  add_custom_target(vl_changelog DEPENDS ${doc}/changelog.gz)
  add_dependencies(vl_package_contents vl_changelog)
  install(FILES ${doc}/copyright ${doc}/changelog.gz
                ${PROJECT_SOURCE_DIR}/docs/package-signatures.md
          DESTINATION ${docdir} COMPONENT tools)
endfunction()

set(CPACK_PACKAGE_NAME pellorin-tools)
set(CPACK_PACKAGE_VENDOR "The Pellorin network installer developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "install server and package tools for Pellorin routers")
set(CPACK_PACKAGE_DESCRIPTION
    "The PC side of the Pellorin network installer: tarnwick, the install server\n\
that boards booted into the network installer find on the local Ethernet\n\
segment, which sends them configuration scripts and package files; pellpkg,\n\
which builds, inspects and verifies package files; and pellkey, which makes\n\
and uses package-signing key sets.")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};tools;/")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/package)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VL_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
vl_package_documents()
include(CPack)
