# Included by the top CMakeLists.txt: the man pages, the documents of /usr/share/doc/yuvtools
# and the Debian package that cpack makes of the installed files.

# Man pages: every page in man/ is installed, so a page added there needs nothing here. Each
# is copied into build/man by configure_file(@ONLY), which puts the project version in place
# of "@PROJECT_VERSION@" (write that in the page's .TH line), then compressed there with
# gzip -9n, as Debian wants installed pages (-n leaves out the name and time stamp, so the
# same source gives the same bytes). `man -l build/man/NAME.1` shows a page as installed.
find_program(GZIP_PROGRAM gzip)
if(NOT GZIP_PROGRAM)
  message(FATAL_ERROR "gzip not found: it compresses the man pages and the changelog")
endif()
file(GLOB manPages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/man/*.1)
set(compressedDocs)
foreach(page IN LISTS manPages)
  get_filename_component(pageName ${page} NAME)
  configure_file(${page} ${PROJECT_BINARY_DIR}/man/${pageName} @ONLY)
  list(APPEND compressedDocs ${PROJECT_BINARY_DIR}/man/${pageName}.gz)
endforeach()

# /usr/share/doc/yuvtools: the copyright in Debian's machine-readable format, made from
# LICENSE so that the licence text stays in one place, and the changelog, compressed. The
# changelog's latest entry must name the version above: the package would contradict itself.
set(CPACK_PACKAGE_CONTACT "yuvtools developers <yuvtools@example.org>")
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licenseText)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" licenseCopyrightLine "${licenseText}")
set(LICENSE_COPYRIGHT "${CMAKE_MATCH_1}")
string(REGEX REPLACE "^.*Copyright \\(c\\) [^\n]*\n\n" "" licenseBody "${licenseText}")
string(STRIP "${licenseBody}" licenseBody)
string(REPLACE "\n\n" "\n.\n" licenseBody "${licenseBody}")
string(REPLACE "\n" "\n " licenseBody "${licenseBody}")
set(LICENSE_TEXT " ${licenseBody}")
configure_file(packaging/copyright.in ${PROJECT_BINARY_DIR}/doc/copyright @ONLY)
file(STRINGS packaging/changelog changelogTop LIMIT_COUNT 1)
if(NOT changelogTop MATCHES "^yuvtools \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog: the latest entry is not version ${PROJECT_VERSION}: ${changelogTop}")
endif()
configure_file(packaging/changelog ${PROJECT_BINARY_DIR}/doc/changelog COPYONLY)
list(APPEND compressedDocs ${PROJECT_BINARY_DIR}/doc/changelog.gz)

foreach(compressed IN LISTS compressedDocs)
  string(REGEX REPLACE "\\.gz$" "" plain ${compressed})
  add_custom_command(OUTPUT ${compressed} COMMAND ${GZIP_PROGRAM} -9nkf ${plain} DEPENDS ${plain} VERBATIM)
endforeach()
add_custom_target(compressed-docs ALL DEPENDS ${compressedDocs})
list(FILTER compressedDocs INCLUDE REGEX "/man/")
install(FILES ${compressedDocs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_BINARY_DIR}/doc/copyright ${PROJECT_BINARY_DIR}/doc/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# cpack -G DEB, from the build directory, makes a Debian package of the installed files,
# with every program stripped and directories 0755 whatever the umask.
set(CPACK_PACKAGE_NAME yuvtools)
set(CPACK_PACKAGE_VENDOR "the yuvtools developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "bus traces to raw YUV frames, planar to packed YUV")
set(CPACK_PACKAGE_DESCRIPTION_FILE ${PROJECT_SOURCE_DIR}/packaging/description)
set(CPACK_STRIP_FILES ON)
set(directoryPermissions OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${directoryPermissions})
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${directoryPermissions})
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
# dpkg-shlibdeps (package dpkg-dev) finds the exact library dependencies of every program;
# without it the package names those of a C++ program linked with the standard library only.
find_program(DPKG_SHLIBDEPS_PROGRAM dpkg-shlibdeps)
if(DPKG_SHLIBDEPS_PROGRAM)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
  if(PNG_FOUND)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libpng16-16")
  endif()
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_GENERATOR DEB)
include(CPack)
