# The deployment test: the tool installed set-user-ID to a throwaway service
# account by tools/deploy.sh, in a private mount namespace, and run by ordinary
# throwaway users. It needs root and reports itself skipped without it.

# The deployed tool reads the default site file; a build configured for another
# one gets a binary of its own for the test, built for the default.
set(ZEL_DEPLOY_SITE_FILE "/opt/zel/etc/zel-site.conf")
if(ZEL_SITE_FILE STREQUAL ZEL_DEPLOY_SITE_FILE)
  set(ZEL_DEPLOY_BINARY $<TARGET_FILE:zel-auth>)
  set(ZEL_DEPLOY_INSTALL_FROM "${PROJECT_BINARY_DIR}")
else()
  add_executable(zel-auth-deploy ${PROJECT_SOURCE_DIR}/cli/main.cc)
  target_compile_definitions(zel-auth-deploy PRIVATE ZEL_SITE_FILE="${ZEL_DEPLOY_SITE_FILE}")
  target_link_libraries(zel-auth-deploy PRIVATE zel_core)
  target_link_options(zel-auth-deploy PRIVATE ${ZEL_TOOL_LINK_OPTIONS})
  set(ZEL_DEPLOY_BINARY $<TARGET_FILE:zel-auth-deploy>)
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
                 --install-from=${ZEL_DEPLOY_INSTALL_FROM}
                 --cc=${CMAKE_C_COMPILER}
                 --hardening=${ZEL_DEPLOY_HARDENING})
set_tests_properties(deploy PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
