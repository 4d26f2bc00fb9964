# Read by cpack before it builds a package: the Debian packages are made
# from a static build with the man pages, and belong in /usr with the
# library in Debian's multiarch folder.
if(CPACK_GENERATOR STREQUAL "DEB")
  if(NOT CPACK_PTSEG_STATIC)
    message(FATAL_ERROR "The Debian packages are made from the static library: "
                        "configure without -DBUILD_SHARED_LIBS=ON")
  endif()
  if(NOT CPACK_PTSEG_MAN_PAGES)
    message(FATAL_ERROR "The Debian packages need the man pages: install scdoc "
                        "(apt-get install scdoc) and configure again")
  endif()
  if(CPACK_PTSEG_MULTIARCH_LIBDIR AND
     NOT CPACK_PTSEG_LIBDIR STREQUAL CPACK_PTSEG_MULTIARCH_LIBDIR)
    message(WARNING "The library goes to /usr/${CPACK_PTSEG_LIBDIR}, not to "
                    "/usr/${CPACK_PTSEG_MULTIARCH_LIBDIR}: configure with "
                    "-DCMAKE_INSTALL_PREFIX=/usr to make Debian packages")
  endif()
endif()
