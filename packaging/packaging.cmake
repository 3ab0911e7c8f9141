# Installation and Debian packages.
#
#   cmake --install <build>                       everything, under the prefix (/usr)
#   cmake --install <build> --component proxmox   the orchestrators and the monitor
#   cmake --install <build> --component engine    the reference vlt_agent/vlt_restore
#   cpack -G DEB --config <build>/CPackConfig.cmake
#       vlt-proxmox_<version>_<arch>.deb and vlt-proxmox-engine_<version>_<arch>.deb
#
# The reference engine is a component (and a package) of its own: a host that
# runs the suite's own engine must not get ours installed over it.

# Installed where Debian keeps them unless another prefix is asked for.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install prefix" FORCE)
endif()

set(VLT_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(VLT_MAN_DIR ${CMAKE_SOURCE_DIR}/docs/man)
set(VLT_PACKAGE_NAME vlt-proxmox)
set(VLT_ENGINE_PACKAGE_NAME vlt-proxmox-engine)
# Debian sorts "~" before anything, so 1.0.2~alpha028 comes before 1.0.2.
string(REPLACE "-" "~" VLT_DEB_VERSION "${VLT_VERSION}")

# Files in /etc and the systemd units live outside the prefix.
set(VLT_SYSCONF_DIR /etc/vlt)
set(VLT_SYSTEMD_UNIT_DIR /lib/systemd/system)

# --- programs
install(TARGETS vlt_proxmox vlt_proxmox_restore
        RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT proxmox)
if(TARGET vlt_progress)
  install(TARGETS vlt_progress RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT proxmox)
endif()
set(VLT_HAVE_ENGINE OFF)
foreach(engine_tool vlt_agent vlt_restore)
  if(TARGET ${engine_tool})
    install(TARGETS ${engine_tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT engine)
    set(VLT_HAVE_ENGINE ON)
  endif()
endforeach()

# --- manual pages, compressed the way Debian ships them (no time stamp)
set(VLT_MAN_PAGES vlt_proxmox.8 vlt_proxmox_restore.8 vlt_proxmox.cfg.5 vlt_progress.1)
set(VLT_ENGINE_MAN_PAGES vlt_agent.1 vlt_restore.1)
set(VLT_MAN_OUTPUTS)
foreach(page ${VLT_MAN_PAGES} ${VLT_ENGINE_MAN_PAGES})
  set(gz ${CMAKE_BINARY_DIR}/packaging/man/${page}.gz)
  add_custom_command(OUTPUT ${gz}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging/man
      COMMAND gzip -9 -n -c ${VLT_MAN_DIR}/${page} > ${gz}
      DEPENDS ${VLT_MAN_DIR}/${page}
      VERBATIM)
  list(APPEND VLT_MAN_OUTPUTS ${gz})
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
  if(page IN_LIST VLT_ENGINE_MAN_PAGES)
    set(component engine)
  else()
    set(component proxmox)
  endif()
  install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endforeach()

# --- per-package documentation: copyright and a compressed changelog
set(VLT_DOC_OUTPUTS)
foreach(pkg ${VLT_PACKAGE_NAME} ${VLT_ENGINE_PACKAGE_NAME})
  set(PACKAGE ${pkg})
  set(DEB_VERSION ${VLT_DEB_VERSION})
  configure_file(${VLT_PACKAGING_DIR}/debian/changelog.in
                 ${CMAKE_BINARY_DIR}/packaging/${pkg}/changelog @ONLY)
  set(gz ${CMAKE_BINARY_DIR}/packaging/${pkg}/changelog.gz)
  add_custom_command(OUTPUT ${gz}
      COMMAND gzip -9 -n -c ${CMAKE_BINARY_DIR}/packaging/${pkg}/changelog > ${gz}
      DEPENDS ${CMAKE_BINARY_DIR}/packaging/${pkg}/changelog
      VERBATIM)
  list(APPEND VLT_DOC_OUTPUTS ${gz})
endforeach()
add_custom_target(vlt_packaging_files ALL DEPENDS ${VLT_MAN_OUTPUTS} ${VLT_DOC_OUTPUTS})

install(FILES ${VLT_PACKAGING_DIR}/debian/copyright
              ${CMAKE_BINARY_DIR}/packaging/${VLT_PACKAGE_NAME}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${VLT_PACKAGE_NAME} COMPONENT proxmox)
install(FILES ${VLT_PACKAGING_DIR}/debian/copyright
              ${CMAKE_BINARY_DIR}/packaging/${VLT_ENGINE_PACKAGE_NAME}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${VLT_ENGINE_PACKAGE_NAME} COMPONENT engine)

install(FILES ${VLT_PACKAGING_DIR}/debian/vlt-proxmox.lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
        RENAME ${VLT_PACKAGE_NAME} COMPONENT proxmox)

# --- the example configuration (a conffile: dpkg keeps local changes; it may
# come to hold an api-key, so only root reads it)
install(FILES ${VLT_PACKAGING_DIR}/vlt_proxmox.cfg
        DESTINATION ${VLT_SYSCONF_DIR} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ
        COMPONENT proxmox)

# --- scheduled backups
# The service names the program by its Debian path. It is written at install
# time so that it names the program where this install puts it, whatever
# prefix `cmake --install --prefix` or cpack uses.
install(FILES ${VLT_PACKAGING_DIR}/systemd/vlt-proxmox-backup@.timer
              ${VLT_PACKAGING_DIR}/systemd/vlt-proxmox-backup-failed@.service
        DESTINATION ${VLT_SYSTEMD_UNIT_DIR} COMPONENT proxmox)
install(CODE "
  set(unit \"\$ENV{DESTDIR}${VLT_SYSTEMD_UNIT_DIR}/vlt-proxmox-backup@.service\")
  file(READ \"${VLT_PACKAGING_DIR}/systemd/vlt-proxmox-backup@.service\" text)
  string(REPLACE \"/usr/sbin/vlt_proxmox\"
         \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}/vlt_proxmox\" text \"\${text}\")
  message(STATUS \"Installing: \${unit}\")
  file(WRITE \"\${unit}\" \"\${text}\")
  file(CHMOD \"\${unit}\" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${unit}\")
" COMPONENT proxmox)

# --- bash completion, one file per command so that bash-completion finds it
foreach(cmd vlt_proxmox vlt_proxmox_restore vlt_progress)
  install(FILES ${VLT_PACKAGING_DIR}/bash-completion/vlt_proxmox
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
          RENAME ${cmd} COMPONENT proxmox)
endforeach()

# --- CPack: two Debian packages
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${VLT_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "vlt-proxmox developers")
set(CPACK_PACKAGE_CONTACT "vlt-proxmox developers <vlt-proxmox@example.org>")
set(CPACK_PACKAGE_VERSION ${VLT_DEB_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)

set(CPACK_DEB_COMPONENT_INSTALL ON)
if(VLT_HAVE_ENGINE)
  set(CPACK_COMPONENTS_ALL proxmox engine)
else()
  set(CPACK_COMPONENTS_ALL proxmox)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_VERSION ${VLT_DEB_VERSION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "vlt-proxmox developers <vlt-proxmox@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_PROXMOX_PACKAGE_NAME ${VLT_PACKAGE_NAME})
set(CPACK_DEBIAN_PROXMOX_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PROXMOX_PACKAGE_SUGGESTS ${VLT_ENGINE_PACKAGE_NAME})
set(CPACK_DEBIAN_PROXMOX_PACKAGE_CONTROL_EXTRA ${VLT_PACKAGING_DIR}/debian/conffiles)
set(CPACK_DEBIAN_PROXMOX_DESCRIPTION
"consistent backup and restore of Proxmox VE VMs on LVM
vlt_proxmox backs up every disk of a Proxmox VE VM stored on LVM or
LVM-thin from one set of LVM snapshots taken while the guest file systems
are frozen, handing each snapshot to the vlt_agent backup engine.
vlt_proxmox_restore restores such a backup as a new, stopped VM.

The package also holds the progress monitor vlt_progress, bash
completion and a systemd timer for nightly backups of a profile.")

set(CPACK_DEBIAN_ENGINE_PACKAGE_NAME ${VLT_ENGINE_PACKAGE_NAME})
set(CPACK_DEBIAN_ENGINE_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_ENGINE_DESCRIPTION
"reference per-volume backup engine for vlt-proxmox
vlt_agent and vlt_restore store and restore the data of one volume for
the vlt_proxmox orchestrators. Hosts that run the suite's own engine do
not need this package.")

include(CPack)
