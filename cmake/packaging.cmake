# Manual pages and the Debian package: `cmake --install` puts the manual pages of update
# (also reached as aktualisieren), boxsim and padtool into section 1 and trace-diff (a Python
# script) beside the programs; `cpack -G DEB` packs the programs, the German name, trace-diff
# and the manual pages.
if(WIN32)
  return()
endif()
include(GNUInstallDirs)

install(PROGRAMS "${CMAKE_SOURCE_DIR}/scripts/trace-diff" DESTINATION "${CMAKE_INSTALL_BINDIR}")

set(man1_dir "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES "${CMAKE_SOURCE_DIR}/man/update.1" "${CMAKE_SOURCE_DIR}/man/boxsim.1"
              "${CMAKE_SOURCE_DIR}/man/padtool.1"
        DESTINATION "${man1_dir}")
# `man aktualisieren` shows the page of update, which covers both names.
install(CODE "execute_process(COMMAND \${CMAKE_COMMAND} -E create_symlink update.1
              \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${man1_dir}/aktualisieren.1\")")

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "update")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "update developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "serial software updater for digital satellite set-top boxes")
set(CPACK_PACKAGE_DESCRIPTION
    "update (German: aktualisieren) loads new software into set-top boxes over an RS-232 \
line. The package also holds boxsim, a simulated box for tests without hardware, and padtool, \
which checks and prepares PAD images.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "update developers")
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libbz2-1.0, libssl3, libc6, libstdc++6, libgcc-s1, python3")
set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")
include(CPack)
