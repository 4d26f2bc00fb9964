# Installation rules and packages.
include(GNUInstallDirs)
install(TARGETS ptseg RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
