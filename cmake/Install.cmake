# Installation and the Debian package: the two programs, the desktop entry, its icons,
# the manual pages and the package's documents, in the usual places. `cpack -G DEB` in
# the build folder makes the package; scripts/package does it all.
include(GNUInstallDirs)

set(VYT_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)

# The programs answer --version with the project's version.
target_compile_definitions(vyt_core INTERFACE VYT_VERSION="${PROJECT_VERSION}")
if(TARGET vyt-controller-sim)
  target_compile_definitions(vyt-controller-sim PRIVATE VYT_VERSION="${PROJECT_VERSION}")
endif()

install(TARGETS vyt-pump-controller RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET vyt-controller-sim)
  install(TARGETS vyt-controller-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(FILES ${VYT_PACKAGING_DIR}/vyt-pump-controller.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
foreach(size 16 32 48 64 128 256)
  install(FILES ${VYT_PACKAGING_DIR}/icons/${size}x${size}/vyt-pump-controller.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES ${VYT_PACKAGING_DIR}/icons/scalable/vyt-pump-controller.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# The service for a pump without a display, vyt-pump@N for COM N. Only the administrator
# enables an instance; the package starts nothing. Units live in lib/systemd/system
# below the prefix, not in the architecture's library folder.
install(FILES ${VYT_PACKAGING_DIR}/vyt-pump@.service DESTINATION lib/systemd/system)

# Manual pages and the changelog go compressed, as Debian wants them; uncompressed where
# gzip is missing. -n keeps the time stamp out, so that the package is reproducible.
find_program(VYT_GZIP gzip)
function(vyt_compressed source name out_var)
  if(VYT_GZIP)
    set(gz ${CMAKE_CURRENT_BINARY_DIR}/compressed/${name}.gz)
    add_custom_command(
      OUTPUT ${gz}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/compressed
      COMMAND ${VYT_GZIP} -9 -n -c ${source} > ${gz}
      DEPENDS ${source}
      COMMENT "Compressing ${name}")
    set(${out_var} ${gz} PARENT_SCOPE)
  else()
    set(${out_var} ${source} PARENT_SCOPE)
  endif()
endfunction()

foreach(page vyt-pump-controller.1 vyt-controller-sim.1)
  vyt_compressed(${VYT_PACKAGING_DIR}/${page} ${page} gz)
  list(APPEND vyt_man_pages ${gz})
endforeach()
vyt_compressed(${VYT_PACKAGING_DIR}/changelog changelog.Debian vyt_changelog)
add_custom_target(vyt_man_pages ALL DEPENDS ${vyt_man_pages})
add_custom_target(vyt_package_docs ALL DEPENDS ${vyt_changelog})
install(FILES ${vyt_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(VYT_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/vyt-pump-controller)
install(FILES ${VYT_PACKAGING_DIR}/copyright DESTINATION ${VYT_DOC_DIR})
# The remote-control example, for scripts of the lab's own.
install(FILES ${CMAKE_SOURCE_DIR}/examples/remote_dose.py ${CMAKE_SOURCE_DIR}/examples/sila_dose.py
        DESTINATION ${VYT_DOC_DIR}/examples)
# What a SiLA 2 client is built from: the protocol files and the feature definitions.
file(GLOB vyt_sila_protos ${CMAKE_SOURCE_DIR}/src/sila/proto/*.proto)
file(GLOB vyt_sila_features ${CMAKE_SOURCE_DIR}/src/sila/features/*.sila.xml)
install(FILES ${vyt_sila_protos} DESTINATION ${CMAKE_INSTALL_DATADIR}/vyt-pump-controller/sila/proto)
install(FILES ${vyt_sila_features} DESTINATION ${CMAKE_INSTALL_DATADIR}/vyt-pump-controller/sila/features)
if(VYT_GZIP)
  install(FILES ${vyt_changelog} DESTINATION ${VYT_DOC_DIR})
else()
  install(FILES ${vyt_changelog} DESTINATION ${VYT_DOC_DIR} RENAME changelog.Debian)
endif()
# What lintian must not count against the package, each with its reason in the file.
install(FILES ${VYT_PACKAGING_DIR}/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME vyt-pump-controller)

# ---- Debian package ----
set(vyt_default_maintainer "vyt developers <vyt-developers@example.org>")
set(VYT_PACKAGE_MAINTAINER ${vyt_default_maintainer}
    CACHE STRING "Maintainer field of the Debian package: Name <address>")
# Build folders made before still hold the earlier default, an address on localhost.
if(VYT_PACKAGE_MAINTAINER MATCHES "@localhost>$")
  set(VYT_PACKAGE_MAINTAINER ${vyt_default_maintainer}
      CACHE STRING "Maintainer field of the Debian package: Name <address>" FORCE)
endif()
if(NOT VYT_PACKAGE_MAINTAINER MATCHES "^[^<>]+ <[^<>@ ]+@[^<>@ ]+\\.[^<>@ ]+>$")
  message(FATAL_ERROR "VYT_PACKAGE_MAINTAINER must read \"Name <user@domain>\", "
                      "not \"${VYT_PACKAGE_MAINTAINER}\"")
endif()

set(CPACK_PACKAGE_NAME vyt-pump-controller)
set(CPACK_PACKAGE_VENDOR "vyt")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${VYT_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Controller for micro annular gear pumps")
set(CPACK_PACKAGE_DESCRIPTION
    "vyt-Pump controller runs micro annular gear pumps through a motion controller\n"
    "on one serial port: choose the pump type, the drive and the medium, then dose\n"
    "exact quantities or hold a flow rate. A console gives direct access to the\n"
    "controller.\n"
    "\n"
    "The package also holds vyt-controller-sim, a simulated controller on a\n"
    "pseudo-terminal for trying the program without hardware.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGE_INSTALL_DIRECTORY ${CPACK_PACKAGE_NAME})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VYT_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
# The newest changelog entry must be this very package; a new version needs its entry.
file(STRINGS ${VYT_PACKAGING_DIR}/changelog vyt_changelog_top LIMIT_COUNT 1)
if(NOT vyt_changelog_top MATCHES "\\(${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}\\)")
  message(WARNING "packaging/changelog has no entry for "
                  "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE} at the top")
endif()
# The libraries (Qt Charts for the console's live plot among them) come from
# dpkg-shlibdeps; the platform plugins are loaded at run time, so no library lookup
# finds them: without qt6-qpa-plugins the program cannot show a window at all.
find_program(VYT_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(VYT_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "libqt6widgets6 (>= 6.4), libqt6serialport6 (>= 6.4), libqt6charts6 (>= 6.4), libqt6httpserver6 (>= 6.4), libqt6websockets6 (>= 6.4), libqt6network6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6core6 (>= 6.4), libqt6concurrent6 (>= 6.4), libqt6dbus6 (>= 6.4), libgrpc++1.51, libgrpc29, libprotobuf32, libssl3, libavahi-client3, qt6-qpa-plugins, libc6, libstdc++6")
endif()
# The avahi daemon announces the SiLA 2 server; without it the server runs unannounced.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "hicolor-icon-theme, avahi-daemon")

set(CPACK_GENERATOR DEB)
include(CPack)
