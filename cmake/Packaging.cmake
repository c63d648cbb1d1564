# What `cmake --install` puts where, and the Debian package CPack makes of it
# (scripts/package.sh). The programs go into bin (hostcheck's parts into share/frameprobe),
# their manual pages into man1, the Wireshark
# dissector where Debian's Wireshark loads Lua plugins for every user, README, LICENSE and the
# Debian copyright file into the documentation directory.
include(GNUInstallDirs)

install(TARGETS frameprobe framegrab camsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS ${PROJECT_SOURCE_DIR}/hostcheck/hostcheck DESTINATION ${CMAKE_INSTALL_BINDIR})
# hostcheck looks for its parts in ../share/frameprobe/hostcheck from where it lies.
install(FILES ${PROJECT_SOURCE_DIR}/hostcheck/report.sh ${PROJECT_SOURCE_DIR}/hostcheck/firewall.sh
              ${PROJECT_SOURCE_DIR}/hostcheck/follow.awk ${PROJECT_SOURCE_DIR}/hostcheck/iptables.awk
        DESTINATION ${CMAKE_INSTALL_DATADIR}/frameprobe/hostcheck)

# Wireshark reads Lua plugins from <libdir>/wireshark/plugins (`tshark -G folders`, "Global Lua
# Plugins"); with the prefix /usr on Debian, GNUInstallDirs makes that the multiarch directory
# /usr/lib/x86_64-linux-gnu/wireshark/plugins, which is Debian's. Under another prefix Wireshark
# does not look there: load it with `-X lua_script:<that path>` instead.
set(FP_WIRESHARK_PLUGIN_DIR "${CMAKE_INSTALL_LIBDIR}/wireshark/plugins"
    CACHE STRING "Where the NUDP dissector is installed, relative to the prefix")
install(FILES ${PROJECT_SOURCE_DIR}/tools/wireshark/nudp.lua
        DESTINATION ${FP_WIRESHARK_PLUGIN_DIR})

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
              ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

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
install(FILES ${fp_man_files} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The package. Its version is the project's; its dependencies are what dpkg-shlibdeps finds the
# binaries linked against. hostcheck runs without its tools, saying what it left out, so they are
# recommended rather than required.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME frameprobe)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the frameprobe developers")
set(FP_PACKAGE_MAINTAINER "the frameprobe developers"
    CACHE STRING "The Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT "${FP_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "driver test tools for an Ethernet camera speaking NUDP over UDP")
# CPack puts the summary on the Description line and indents these lines below it.
set(CPACK_PACKAGE_DESCRIPTION "\
frameprobe takes one RAW image from a camera that speaks NUDP, a small
command/response protocol over UDP/IPv4, fetches again the packets that went
missing and logs the whole exchange to log.txt and log_err.txt.

framegrab takes many images and reports how they arrived (loss, recovery,
timing, JSON) and can save them as 16-bit PNG pictures. camsim is a simulated
camera on UDP with faults to order, hostcheck tells why a host loses a
camera's packets, and a Wireshark dissector decodes NUDP traffic.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "iproute2, ethtool, nftables")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "tshark | wireshark, iptables")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Only what the install rules name: no build tree, no sources.
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
