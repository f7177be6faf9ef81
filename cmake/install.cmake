# What `cmake --install` puts on a Linux system, and what the Debian package
# (debian/, built by dh with this build system) ships: the console, the image
# maker to try it on the simulated enclosures, their manual pages, the udev
# rule and the group it names, the bash completion and the README.
include(GNUInstallDirs)
set(TX_PACKAGE tx4077x-console)  # the Debian package's name, for its doc folder

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  install(TARGETS tx4077x-console tx4077x-make-image RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES src/console/tx4077x-console.1 src/sim/tx4077x-make-image.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # udev and sysusers read /usr/lib (not the multiarch library folder).
  install(FILES res/tx4077x.rules DESTINATION lib/udev/rules.d RENAME 70-tx4077x.rules)
  install(FILES res/tx4077x.sysusers DESTINATION lib/sysusers.d RENAME ${TX_PACKAGE}.conf)
  install(FILES res/tx4077x-console.bash-completion
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME tx4077x-console)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${TX_PACKAGE})
endif()

# The files that repeat what CMakeLists.txt states once must agree with it.
function(tx_check_states file pattern what)
  file(READ ${CMAKE_SOURCE_DIR}/${file} text)
  string(FIND "${text}" "${pattern}" at)
  if(at LESS 0)
    message(FATAL_ERROR "${file} does not state ${what} as CMakeLists.txt does: \"${pattern}\"")
  endif()
endfunction()
tx_check_states(LICENSE "\nCopyright (c) ${TX_COPYRIGHT}\n" "the copyright")
tx_check_states(debian/copyright "Copyright: ${TX_COPYRIGHT}" "the copyright")
tx_check_states(debian/control "\nMaintainer: ${TX_MAINTAINER}\n" "the maintainer")
tx_check_states(debian/control "\nPackage: ${TX_PACKAGE}\n" "the package")
# The newest changelog entry: this version, by the maintainer.
file(STRINGS ${CMAKE_SOURCE_DIR}/debian/changelog entry REGEX "^(tx4077x | -- )")
list(GET entry 0 first)
list(GET entry 1 signed)
if(NOT first MATCHES "^tx4077x \\(${PROJECT_VERSION}\\) " OR
   NOT signed MATCHES "^ -- ${TX_MAINTAINER}  ")
  message(FATAL_ERROR "debian/changelog's newest entry is not ${PROJECT_VERSION} by ${TX_MAINTAINER}")
endif()
