# What `cmake --install <build> --prefix P` puts under P: the three programs,
# the plug library with its header and pkg-config file, and the man pages.
#
# The programs and the library are built by other folders that may not all
# exist yet, so each is installed only when its target is there.

# The library goes to P/lib on every host. GNUInstallDirs would choose a
# multiarch directory (lib/x86_64-linux-gnu) for a /usr prefix on Debian;
# users and the pkg-config file expect plain lib.
set(CMAKE_INSTALL_LIBDIR lib)
include(GNUInstallDirs)
set(CMAKE_INSTALL_LIBDIR lib)

foreach(program krix_vxlan krix_switch krix_plug)
  if(TARGET ${program})
    # The installed programs find the installed library under any prefix,
    # without ldconfig or LD_LIBRARY_PATH.
    set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

if(TARGET krixplug)
  # With SOVERSION set on the target this installs libkrixplug.so.3 and the
  # libkrixplug.so link that `-lkrixplug` needs.
  install(TARGETS krixplug LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  get_target_property(krixplug_soversion krixplug SOVERSION)
  if(NOT krixplug_soversion)
    message(WARNING "krixplug has no SOVERSION: libkrixplug.so.3 and the libkrixplug.so link will not be installed as such")
  endif()
  install(FILES ${CMAKE_SOURCE_DIR}/krixplug/krixplug.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

  # pkg-config reports the library's own version, not the project's.
  get_target_property(krixplug_version krixplug VERSION)
  if(NOT krixplug_version)
    set(krixplug_version ${PROJECT_VERSION})
  endif()

  # The prefix is only known for certain at install time (`--prefix` may
  # differ from the one configured), so krixplug.pc is written then. DESTDIR
  # stays out of the file: it stages an install, it does not move it.
  install(CODE "
    set(KRIXPLUG_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    set(KRIXPLUG_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(KRIXPLUG_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
    set(KRIXPLUG_VERSION \"${krixplug_version}\")
    set(krixplug_pc \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/krixplug.pc\")
    message(STATUS \"Installing: \${krixplug_pc}\")
    configure_file(\"${CMAKE_CURRENT_LIST_DIR}/krixplug.pc.in\" \"\${krixplug_pc}\" @ONLY)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${krixplug_pc}\")
  ")
endif()

foreach(page src/krix_vxlan.8 switch/krix_switch.8)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${page})
    install(FILES ${CMAKE_SOURCE_DIR}/${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
  endif()
endforeach()
