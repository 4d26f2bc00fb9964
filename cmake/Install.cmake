# Installation: the programs, the library with its header, CMake package and
# pkg-config file, the man pages and the documents.  `cpack -G DEB` makes two
# Debian packages of them, one per component group:
#   ptseg         programs, man pages, README.md and LICENSE
#   libptseg-dev  header, static library, CMake package, pkg-config file
# Each package also gets the Debian copyright file and changelog, from
# components that a plain `cmake --install` leaves out.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Directories made on the way are 0755 whatever the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# Deterministic gzip (-9n: no file name, no time stamp), for the man pages
# and the Debian changelog.
find_program(GZIP gzip)
if(NOT GZIP)
  message(FATAL_ERROR "gzip not found: install it (apt-get install gzip)")
endif()
set(ptseg_compress ${PROJECT_SOURCE_DIR}/cmake/Compress.cmake)

get_target_property(ptseg_library_type libptseg TYPE)
if(ptseg_library_type STREQUAL "STATIC_LIBRARY")
  set(ptseg_static ON)
else()
  set(ptseg_static OFF)
endif()

# --- programs
set(ptseg_programs ptseg ptsplit)
install(TARGETS ${ptseg_programs}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
# With the shared library, installed programs find it relative to
# themselves, wherever the tree is installed; the system's own library
# folder needs no search path.
if(NOT ptseg_static)
  list(FIND CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES "${CMAKE_INSTALL_FULL_LIBDIR}" system_libdir)
  if(system_libdir EQUAL -1)
    file(RELATIVE_PATH bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
    set_target_properties(${ptseg_programs} PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
  endif()
endif()

# --- library and header (the library gives installed consumers
# CMAKE_INSTALL_INCLUDEDIR: see the top-level CMakeLists.txt)
install(TARGETS libptseg EXPORT ptsegTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT programs
                NAMELINK_COMPONENT development)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/ptseg ${PROJECT_BINARY_DIR}/include/ptseg
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development
        FILES_MATCHING PATTERN "*.h")

# The static library's code calls utf8proc and the decompression libraries
# (zlib, liblzma, libbz2, libzstd), so whoever links it must link them too.
# Installed consumers get them as ptseg::utf8proc, ptseg::z, ptseg::lzma,
# ptseg::bz2 and ptseg::zstd, which ptsegConfig.cmake finds; the shared
# library records them itself.
if(ptseg_static)
  foreach(dependency utf8proc z lzma bz2 zstd)
    target_link_libraries(libptseg INTERFACE
      "$<INSTALL_INTERFACE:$<LINK_ONLY:ptseg::${dependency}>>")
  endforeach()
endif()

# --- CMake package: find_package(ptseg) gives ptseg::ptseg
set(ptseg_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/ptseg)
install(EXPORT ptsegTargets NAMESPACE ptseg:: DESTINATION ${ptseg_cmake_dir}
        COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/ptsegConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/ptsegConfig.cmake
                              INSTALL_DESTINATION ${ptseg_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ptsegConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ptsegConfig.cmake
              ${PROJECT_BINARY_DIR}/ptsegConfigVersion.cmake
        DESTINATION ${ptseg_cmake_dir} COMPONENT development)

# --- pkg-config file.  It names the prefix it is installed under, which is
# only known at install time (cmake --install --prefix, or /usr for the
# Debian packages), so it is written then.  A static library's consumers
# link utf8proc and the decompression libraries themselves, so there they
# are plain requirements: the usual `pkg-config --libs ptseg` links.
# (libbz2 has no pkg-config file: it goes in as -lbz2.)
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(ptseg_pc_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(ptseg_pc_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(ptseg_pc_modules "libutf8proc zlib liblzma libzstd")
if(ptseg_static)
  set(ptseg_pc_requires "Requires: ${ptseg_pc_modules}")
  set(ptseg_pc_libs "-lbz2")
  set(ptseg_pc_libs_private "")
else()
  set(ptseg_pc_requires "Requires.private: ${ptseg_pc_modules}")
  set(ptseg_pc_libs "")
  set(ptseg_pc_libs_private "Libs.private: -lbz2")
endif()
install(CODE "
  set(ptseg_pc_prefix \"\${CMAKE_INSTALL_PREFIX}\")
  set(ptseg_pc_libdir [[${ptseg_pc_LIBDIR}]])
  set(ptseg_pc_includedir [[${ptseg_pc_INCLUDEDIR}]])
  set(ptseg_pc_requires [[${ptseg_pc_requires}]])
  set(ptseg_pc_libs [[${ptseg_pc_libs}]])
  set(ptseg_pc_libs_private [[${ptseg_pc_libs_private}]])
  set(ptseg_pc_version [[${PROJECT_VERSION}]])
  configure_file([[${PROJECT_SOURCE_DIR}/cmake/ptseg.pc.in]]
                 [[${PROJECT_BINARY_DIR}/ptseg.pc]] @ONLY)"
  COMPONENT development)
install(FILES ${PROJECT_BINARY_DIR}/ptseg.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# --- man pages and documents
add_subdirectory(${PROJECT_SOURCE_DIR}/man ${PROJECT_BINARY_DIR}/man)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT programs)

# --- Debian packages: copyright file and changelog in each package's
# documents folder, only when CPack asks for their components
set(ptseg_changelog ${PROJECT_BINARY_DIR}/changelog.Debian.gz)
add_custom_command(
  OUTPUT ${ptseg_changelog}
  COMMAND ${CMAKE_COMMAND} -DGZIP=${GZIP} -DIN=${PROJECT_SOURCE_DIR}/packaging/changelog
          -DOUT=${ptseg_changelog} -P ${ptseg_compress}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog ${ptseg_compress}
  COMMENT "Compressing the Debian changelog")
add_custom_target(ptseg_debian_changelog ALL DEPENDS ${ptseg_changelog})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${ptseg_changelog}
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/ptseg
        COMPONENT programs-debian EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${ptseg_changelog}
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libptseg-dev
        COMPONENT development-debian EXCLUDE_FROM_ALL)

# The version, 1.0.0-1, and the maintainer are those of the last entry of
# packaging/changelog: change them together.
set(CPACK_PACKAGE_NAME ptseg)
set(CPACK_PACKAGE_VENDOR "The ptseg developers")
set(CPACK_PACKAGE_CONTACT "The ptseg developers <ptseg@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL programs programs-debian development development-debian)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_COMPONENT_PROGRAMS_GROUP programs)
set(CPACK_COMPONENT_PROGRAMS-DEBIAN_GROUP programs)
set(CPACK_COMPONENT_DEVELOPMENT_GROUP development)
set(CPACK_COMPONENT_DEVELOPMENT-DEBIAN_GROUP development)

set(CPACK_DEBIAN_PACKAGE_SOURCE ptseg)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME ptseg)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION text)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PROGRAMS_DESCRIPTION
"sentence and paragraph segmenter for Portuguese text
ptseg finds where sentences and paragraphs start in Portuguese text. It
knows titles and other abbreviations, enumerations, dialogue dashes,
ellipses and omission marks, and never changes the text: it only adds
markup.
.
This package holds two programs. ptseg is a fixed filter: ISO-8859-1
text on standard input, the same bytes with <p> and <s> markup on
standard output. ptsplit reads UTF-8 or ISO-8859-1 files and writes
markup, one sentence per line, JSON lines or XML; it processes whole
corpora in parallel, and resumes where an interrupted run stopped.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libptseg-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
    "libutf8proc-dev, zlib1g-dev, liblzma-dev, libbz2-dev, libzstd-dev")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
"sentence and paragraph segmenter for Portuguese text (development files)
ptseg finds where sentences and paragraphs start in Portuguese text. It
knows titles and other abbreviations, enumerations, dialogue dashes,
ellipses and omission marks, and never changes the text: it only adds
markup.
.
This package holds the C++17 library as a static library, its header,
and the CMake package (find_package(ptseg), target ptseg::ptseg) and
pkg-config file (ptseg) to build against it.")

# What cpack checks (cmake/CPackChecks.cmake) before it builds the Debian
# packages.
set(CPACK_PTSEG_MAN_PAGES ${PTSEG_MAN_PAGES})
set(CPACK_PTSEG_STATIC ${ptseg_static})
set(CPACK_PTSEG_LIBDIR ${CMAKE_INSTALL_LIBDIR})
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(CPACK_PTSEG_MULTIARCH_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/CPackChecks.cmake)

# A source package would otherwise take in build folders and Git's data.
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/bench/out/" "__pycache__")
include(CPack)

# --- tests of the installed tree and the packages
include(CTest)
if(BUILD_TESTING)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/install ${PROJECT_BINARY_DIR}/tests/install)
endif()
