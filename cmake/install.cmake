# Installation (programs, manual pages, bash completion, license) and the Debian packages that
# `cpack -G DEB` builds from it: `quonfetch` for the client, `quonfetch-relay` for the relay.
include(GNUInstallDirs)

install(TARGETS quonfetch RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT client)
set(quonfetch_components client)
# A build for another platform may leave the relay out.
if(TARGET quonfetch-relay)
  install(TARGETS quonfetch-relay RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT relay)
  list(APPEND quonfetch_components relay)
endif()

# Manual pages and bash completion are installed from their sources as they are, so that
# installing needs no tool of the build machine.
if(UNIX)
  set(completions_dir ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions)
  install(FILES man/quonfetch.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT client)
  install(FILES completions/quonfetch DESTINATION ${completions_dir} COMPONENT client)
  if(TARGET quonfetch-relay)
    install(FILES man/quonfetch-relay.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
            COMPONENT relay)
    install(FILES completions/quonfetch-relay DESTINATION ${completions_dir} COMPONENT relay)
  endif()
endif()

# The license and third-party notices, in each package's documentation folder.
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quonfetch COMPONENT client)
if(TARGET quonfetch-relay)
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quonfetch-relay
          COMPONENT relay)
endif()

# The packages carry the version both programs print, from project().
set(CPACK_PACKAGE_NAME quonfetch)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quonfetch maintainers <maintainers@quonfetch.invalid>")
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${quonfetch_components})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Library dependencies come from dpkg-shlibdeps, read off the binaries themselves.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME quonfetch)
set(CPACK_COMPONENT_CLIENT_DESCRIPTION "fetch files through a caching relay
quonfetch names each file by its SHA-1 (and optionally SHA-256), size and
origin URL, asks a relay for it, waits while the relay fetches it, and
downloads it from the relay's mirror. Every file it saves arrived whole and
matches its digest.")

set(CPACK_DEBIAN_RELAY_PACKAGE_NAME quonfetch-relay)
set(CPACK_COMPONENT_RELAY_DESCRIPTION "caching relay server for quonfetch
quonfetch-relay answers quonfetch's download requests, fetches each file once
from its origin into a content-addressed store, checks its size and digests,
and serves the store as a mirror over HTTP or HTTPS.")

include(CPack)
