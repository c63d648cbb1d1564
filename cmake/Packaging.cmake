# What `cmake --install` puts where, and the Debian packages CPack makes of it
# (scripts/package.sh), one per install component:
#   programs  frameprobe       the programs in bin (hostcheck's parts in share/frameprobe), their
#                              manual pages in man1, the Wireshark dissector where Debian's
#                              Wireshark loads Lua plugins for every user, README, LICENSE and
#                              the Debian copyright file
#   runtime   libframeprobe1   the shared library (api/CMakeLists.txt)
#   dev       libframeprobe-dev  its link, headers, CMake package and pkg-config file
#   python    python3-frameprobe the Python module (python/CMakeLists.txt)
# The programs link the driver statically and need none of the other three.
include(GNUInstallDirs)

install(TARGETS frameprobe framegrab camsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT programs)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/hostcheck/hostcheck DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT programs)
# hostcheck looks for its parts in ../share/frameprobe/hostcheck from where it lies.
install(FILES ${PROJECT_SOURCE_DIR}/hostcheck/report.sh ${PROJECT_SOURCE_DIR}/hostcheck/firewall.sh
              ${PROJECT_SOURCE_DIR}/hostcheck/follow.awk ${PROJECT_SOURCE_DIR}/hostcheck/iptables.awk
        DESTINATION ${CMAKE_INSTALL_DATADIR}/frameprobe/hostcheck COMPONENT programs)

# Wireshark reads Lua plugins from <libdir>/wireshark/plugins (`tshark -G folders`, "Global Lua
# Plugins"); with the prefix /usr on Debian that is the multiarch directory
# /usr/lib/x86_64-linux-gnu/wireshark/plugins, which is Debian's. Under another prefix Wireshark
# does not look there: load it with `-X lua_script:<that path>` instead. It follows the library
# directory wherever that is (CMakeLists.txt), so it is no cache entry of its own.
set(FP_WIRESHARK_PLUGIN_DIR "${CMAKE_INSTALL_LIBDIR}/wireshark/plugins")
install(FILES ${PROJECT_SOURCE_DIR}/tools/wireshark/nudp.lua
        DESTINATION ${FP_WIRESHARK_PLUGIN_DIR} COMPONENT programs)

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
              ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT programs)
# Every Debian package carries the copyright file in a documentation directory of its name.
set(fp_library_packages runtime libframeprobe1 dev libframeprobe-dev)
if(TARGET frameprobe_python)
  list(APPEND fp_library_packages python python3-frameprobe)
endif()
set(fp_components programs)
while(fp_library_packages)
  list(POP_FRONT fp_library_packages component package)
  list(APPEND fp_components ${component})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endwhile()

# Manual pages, compressed the way Debian ships them (gzip -9n: no name, no time stamp, so that
# the same page gives the same file).
set(fp_man_pages frameprobe framegrab camsim hostcheck)
set(fp_man_files "")
foreach(page IN LISTS fp_man_pages)
  set(source ${PROJECT_SOURCE_DIR}/man/${page}.1)
  set(packed ${PROJECT_BINARY_DIR}/man/${page}.1.gz)
  add_custom_command(OUTPUT ${packed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND gzip -9n -c ${source} > ${packed}
    DEPENDS ${source}
    COMMENT "Compressing the manual page ${page}(1)"
    VERBATIM)
  list(APPEND fp_man_files ${packed})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${fp_man_files})
install(FILES ${fp_man_files} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT programs)

# The packages. Their version is the project's; their dependencies are what dpkg-shlibdeps finds
# the binaries linked against, and for the -dev and Python packages what they need besides.
# hostcheck runs without its tools, saying what it left out, so they are recommended rather than
# required.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${fp_components})
set(CPACK_PACKAGE_NAME frameprobe)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the frameprobe developers")
set(FP_PACKAGE_MAINTAINER "the frameprobe developers"
    CACHE STRING "The Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT "${FP_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "driver test tools for an Ethernet camera speaking NUDP over UDP")
# The first line is the summary on the Description line; CPack indents the others below it.
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME frameprobe)
set(CPACK_DEBIAN_PROGRAMS_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}
frameprobe takes one RAW image from a camera that speaks NUDP, a small
command/response protocol over UDP/IPv4, fetches again the packets that went
missing and logs the whole exchange to log.txt and log_err.txt.

framegrab takes many images and reports how they arrived (loss, recovery,
timing, JSON) and can save them as 16-bit PNG pictures. camsim is a simulated
camera on UDP with faults to order, hostcheck tells why a host loses a
camera's packets, and a Wireshark dissector decodes NUDP traffic.")
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_RECOMMENDS "iproute2, ethtool, nftables")
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SUGGESTS "tshark | wireshark, iptables")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libframeprobe${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "driver library for Ethernet cameras speaking NUDP over UDP
libframeprobe connects to a camera that speaks NUDP, a small command/response
protocol over UDP/IPv4, takes RAW images into a program's own memory, fetches
again the packets that went missing and names those it could not fetch.")
# A shlibs file, so that dpkg-shlibdeps finds this package for programs linked against it.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The ABI holds within a major version: a program built against 1.0.0 runs with any later 1.x.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The dynamic loader's cache is renewed once the library is installed or removed.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/libframeprobe1/triggers)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libframeprobe-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libframeprobe${PROJECT_VERSION_MAJOR} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "cmake, pkg-config")
set(CPACK_DEBIAN_DEV_DESCRIPTION "driver library for NUDP cameras (development files)
The headers, the link, the CMake package (find_package(frameprobe CONFIG),
target frameprobe::frameprobe) and the pkg-config file of libframeprobe.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-frameprobe)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "${FP_PYTHON_PACKAGE_DEPENDS}")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "python3-tifffile")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Python module for NUDP cameras: images into numpy arrays
frameprobe takes images from a camera that speaks NUDP over UDP/IPv4 straight
into numpy arrays, with the packets that went missing fetched again.")

set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Only what the install rules name: no build tree, no sources.
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
