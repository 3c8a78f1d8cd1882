# The Debian package of zel-auth, made with CPack's DEB generator.
#
# One command builds it: tools/package.sh, which configures a build of its own
# with
#   -DCMAKE_INSTALL_PREFIX=/opt/zel              the program in /opt/zel/bin
#   -DZEL_SITE_FILE=/opt/zel/etc/zel-site.conf   the site file it reads
#   -DCMAKE_INSTALL_MANDIR=/usr/share/man        where man finds the pages
#   -DCMAKE_INSTALL_DOCDIR=/usr/share/doc/zel-auth
# and runs cpack there. The package is named zel-auth_<version>_<arch>.deb
# after the project's version. It holds the program, the manual pages, the
# sample site file and request and an example caller under the documentation
# folder, and the empty directory of the site file; never a live site file.
# Its maintainer scripts (postinst, prerm, postrm beside this file, with the
# paths filled in here) create the system group "zel", which has no members,
# and make the program root's and set-group-ID to it; they convert a 1.0.0
# installation, whose program was set-user-ID to a service account, in place.
#
# cpack reads this file again (CPACK_PROJECT_CONFIG_FILE) to refuse a package
# whose program would read its site file outside the package's own prefix, or
# whose zel-site would look for zel-auth elsewhere than the package puts it.

if(DEFINED CPACK_ZEL_SITE_FILE)
  if(NOT CPACK_ZEL_SITE_FILE MATCHES "^${CPACK_PACKAGING_INSTALL_PREFIX}/")
    message(FATAL_ERROR
      "The program reads ${CPACK_ZEL_SITE_FILE}, outside the package's prefix "
      "${CPACK_PACKAGING_INSTALL_PREFIX}. Build the package with tools/package.sh.")
  endif()
  if(NOT CPACK_ZEL_AUTH_PATH STREQUAL "${CPACK_PACKAGING_INSTALL_PREFIX}/bin/zel-auth")
    message(FATAL_ERROR
      "zel-site looks for zel-auth at ${CPACK_ZEL_AUTH_PATH}, not where the package puts it "
      "(${CPACK_PACKAGING_INSTALL_PREFIX}/bin/zel-auth). Build the package with tools/package.sh.")
  endif()
  return()
endif()

include(GNUInstallDirs)

# The samples. They are examples only: the live site file is the
# administrator's to write. sign_request.py is an example caller.
install(FILES "${PROJECT_SOURCE_DIR}/examples/zel-site.conf" "${PROJECT_SOURCE_DIR}/examples/request.xml"
              "${PROJECT_SOURCE_DIR}/examples/sign_request.py"
        DESTINATION "${CMAKE_INSTALL_DOCDIR}/examples")

# What Debian asks of a package's documentation, shipped by the package only
# (ZEL_DEBIAN_PACKAGE, set by tools/package.sh): the copyright file, the
# changelog and the README, compressed with gzip -9n where Debian wants it, and
# the one lintian override the tool's fixed paths call for.
if(ZEL_DEBIAN_PACKAGE)
  configure_file("${CMAKE_CURRENT_LIST_DIR}/changelog.in" "${PROJECT_BINARY_DIR}/packaging/changelog" @ONLY)
  zel_gzip("${PROJECT_BINARY_DIR}/packaging/changelog" "${PROJECT_BINARY_DIR}/packaging/changelog.gz")
  zel_gzip("${PROJECT_SOURCE_DIR}/README.md" "${PROJECT_BINARY_DIR}/packaging/README.md.gz")
  add_custom_target(zel_package_docs ALL
                    DEPENDS "${PROJECT_BINARY_DIR}/packaging/changelog.gz"
                            "${PROJECT_BINARY_DIR}/packaging/README.md.gz")
  install(FILES "${CMAKE_CURRENT_LIST_DIR}/copyright" "${PROJECT_BINARY_DIR}/packaging/changelog.gz"
                "${PROJECT_BINARY_DIR}/packaging/README.md.gz"
          DESTINATION "${CMAKE_INSTALL_DOCDIR}")
  install(FILES "${CMAKE_CURRENT_LIST_DIR}/lintian-overrides" DESTINATION /usr/share/lintian/overrides
          RENAME zel-auth)
endif()

# The site file's directory, when it lies under the prefix (/opt/zel/etc under
# /opt/zel): it belongs to the package, root's and readable by all, while the
# file in it is root's and readable by group zel alone.
cmake_path(GET ZEL_SITE_FILE PARENT_PATH zel_site_dir)
cmake_path(IS_PREFIX CMAKE_INSTALL_PREFIX "${zel_site_dir}" NORMALIZE zel_site_dir_in_prefix)
if(zel_site_dir_in_prefix)
  cmake_path(RELATIVE_PATH zel_site_dir BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}"
             OUTPUT_VARIABLE zel_site_dir_relative)
  install(DIRECTORY DESTINATION "${zel_site_dir_relative}"
          DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
endif()

# The maintainer scripts, with the paths of this build.
set(ZEL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(ZEL_BINARY "${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/zel-auth")
set(ZEL_SITE_TOOL "${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}/zel-site")
set(zel_maintainer_scripts)
foreach(script postinst prerm postrm)
  configure_file("${CMAKE_CURRENT_LIST_DIR}/${script}" "${PROJECT_BINARY_DIR}/packaging/${script}"
                 @ONLY)
  list(APPEND zel_maintainer_scripts "${PROJECT_BINARY_DIR}/packaging/${script}")
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zel-auth)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION "\
zel-auth reads a request's message body on standard input and lists the
properties of a site, the SHA-1 digest of the body and its HMAC-SHA1
signature keyed with the site's token. It is root's and set-group-ID
to the system group zel, which has no members and alone reads the site
file ${ZEL_SITE_FILE} (root:zel, mode 0640).
Each user may sign requests of their own, and the account autobuild
those of anyone. An installation of 1.0.0, set-user-ID to the service
account zel, is converted in place and that account removed.
zel-site, the administrator's tool, checks the site file and its
deployment, shows what every user sees of it, and changes it only
checked, whole and under a lock.")
set(ZEL_DEBIAN_MAINTAINER "zel-auth developers <zel-auth@build.example.org>"
    CACHE STRING "The Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT "${ZEL_DEBIAN_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZEL_DEBIAN_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# libc6, at the version the program was linked against, comes from
# dpkg-shlibdeps. libssl3 is named here: the program loads libcrypto.so.3 only
# when it signs (sign/libcrypto.h), so dpkg-shlibdeps can't see it. adduser
# makes the group.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, libssl3 (>= 3.0.0)")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${zel_maintainer_scripts})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
# Everything, the absolute man and doc folders included, is staged below
# DESTDIR, never installed on the building machine.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_STRIP_FILES TRUE)
set(CPACK_ZEL_SITE_FILE "${ZEL_SITE_FILE}")
set(CPACK_ZEL_AUTH_PATH "${ZEL_AUTH_PATH}")
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_FILE}")
include(CPack)

# The test of the package: build, install, sign as an ordinary user, remove and
# purge, on this machine. It needs root and is skipped otherwise.
if(ZEL_BUILD_TESTS)
  add_test(NAME package
           COMMAND bash "${PROJECT_SOURCE_DIR}/tests/package/run.sh" "${PROJECT_SOURCE_DIR}"
                   "${PROJECT_BINARY_DIR}/package-test")
  set_tests_properties(package PROPERTIES SKIP_RETURN_CODE 77 RUN_SERIAL TRUE TIMEOUT 1500)
endif()
