# The deployment test: the tool installed set-group-ID to a throwaway service
# group by tools/deploy.sh, in a private mount namespace, and run by ordinary
# throwaway users. It needs root and reports itself skipped without it.

# The deployed tools read the default site file and audit file, and zel-site
# finds zel-auth at its default path; a build configured for others gets
# programs of its own for the test, built for the defaults.
set(ZEL_DEPLOY_SITE_FILE "/opt/zel/etc/zel-site.conf")
set(ZEL_DEPLOY_AUDIT_FILE "/var/log/zel-auth/audit.log")
set(ZEL_DEPLOY_AUTH_PATH "/opt/zel/bin/zel-auth")
if(ZEL_SITE_FILE STREQUAL ZEL_DEPLOY_SITE_FILE AND ZEL_AUTH_PATH STREQUAL ZEL_DEPLOY_AUTH_PATH
   AND ZEL_AUDIT_FILE STREQUAL ZEL_DEPLOY_AUDIT_FILE)
  set(ZEL_DEPLOY_BINARY $<TARGET_FILE:zel-auth>)
  set(ZEL_DEPLOY_SITE_TOOL $<TARGET_FILE:zel-site>)
  set(ZEL_DEPLOY_INSTALL_FROM "${PROJECT_BINARY_DIR}")
else()
  add_executable(zel-auth-deploy ${PROJECT_SOURCE_DIR}/cli/main.cc)
  target_compile_definitions(zel-auth-deploy PRIVATE ZEL_SITE_FILE="${ZEL_DEPLOY_SITE_FILE}"
                             ZEL_AUDIT_FILE="${ZEL_DEPLOY_AUDIT_FILE}")
  target_link_libraries(zel-auth-deploy PRIVATE zel_cli)
  target_link_options(zel-auth-deploy PRIVATE ${ZEL_TOOL_LINK_OPTIONS})
  add_executable(zel-site-deploy ${PROJECT_SOURCE_DIR}/admin/main.cc)
  target_compile_definitions(zel-site-deploy PRIVATE ZEL_SITE_FILE="${ZEL_DEPLOY_SITE_FILE}"
                             ZEL_AUDIT_FILE="${ZEL_DEPLOY_AUDIT_FILE}" ZEL_SITE_RECORD="${ZEL_SITE_RECORD}"
                             ZEL_AUTH_PATH="${ZEL_DEPLOY_AUTH_PATH}" ZEL_VERSION="${ZEL_VERSION}")
  target_link_libraries(zel-site-deploy PRIVATE zel_admin)
  set(ZEL_DEPLOY_BINARY $<TARGET_FILE:zel-auth-deploy>)
  set(ZEL_DEPLOY_SITE_TOOL $<TARGET_FILE:zel-site-deploy>)
  set(ZEL_DEPLOY_INSTALL_FROM "")
endif()

# Which protections the binary must show: an unoptimized build has no
# fortified calls, and a sanitizer build is no deployable binary at all.
if(ZEL_SANITIZE)
  set(ZEL_DEPLOY_HARDENING none)
else()
  set(ZEL_DEPLOY_HARDENING $<IF:$<CONFIG:Debug>,basic,full>)
endif()

add_test(NAME deploy
         COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/run.sh
                 --source=${PROJECT_SOURCE_DIR}
                 --binary=${ZEL_DEPLOY_BINARY}
                 --site-tool=${ZEL_DEPLOY_SITE_TOOL}
                 --install-from=${ZEL_DEPLOY_INSTALL_FROM}
                 --cc=${CMAKE_C_COMPILER}
                 --hardening=${ZEL_DEPLOY_HARDENING})
set_tests_properties(deploy PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600)
