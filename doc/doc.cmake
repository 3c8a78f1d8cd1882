# Manual pages: zel-auth(1), the command, zel-site.conf(5), its site file, and
# zel-site(8), the administrator's tool for that file.
#
# Included by the top-level CMakeLists.txt, this installs the pages under
# ${CMAKE_INSTALL_MANDIR} (share/man below the prefix unless set otherwise) and
# registers the test "man-pages". Run as a script, it is that test:
#
#   cmake -DZEL_VERSION=1.2.0 [-DZEL_MAN_DIR=DIR] -P doc/doc.cmake
#
# Every page in this directory (or in DIR: the pages as a build installs them,
# their title lines carrying the version of debian/changelog) must pass,
# without a single message,
#   groff -ww -z -man PAGE     (all of groff's warnings)
#   mandoc -Tlint -Wwarning PAGE
#   man --warnings -l PAGE     (the page as man renders it)
# and its title line must carry the project's version; zel-site(8)'s Ansible
# example must be examples/ansible/zel-site.yml as it stands. Given ZEL_SITE_TOOL (the
# built zel-site), each trap of zel-site.conf(5)'s TRAPS section must be found by
# zel-site check as its example shows (doc/traps.sh).

if(CMAKE_SCRIPT_MODE_FILE)
  if(NOT ZEL_MAN_DIR)
    set(ZEL_MAN_DIR "${CMAKE_CURRENT_LIST_DIR}")
  endif()
  file(GLOB pages "${ZEL_MAN_DIR}/*.[1-9]")
  if(NOT pages)
    message(FATAL_ERROR "No manual pages in ${ZEL_MAN_DIR}")
  endif()
  set(tools groff mandoc man)
  foreach(tool IN LISTS tools)
    find_program(lint_${tool} ${tool} PATHS /usr/bin /bin NO_CACHE)
    if(NOT lint_${tool})
      message(FATAL_ERROR "${tool} not found: run tools/install-deps.sh as root")
    endif()
  endforeach()
  # A fixed locale and width, so that the result does not depend on the caller.
  set(ENV{LC_ALL} C.UTF-8)
  set(ENV{MANWIDTH} 80)
  set(failed 0)
  foreach(page IN LISTS pages)
    cmake_path(GET page FILENAME name)
    set(checks groff mandoc man)
    set(cmd_groff "${lint_groff}" -ww -z -man "${page}")
    set(cmd_mandoc "${lint_mandoc}" -Tlint -Wwarning "${page}")
    # Only what man writes to standard error matters; the rendered page must
    # simply not be empty.
    set(cmd_man "${lint_man}" --warnings -l "${page}")
    foreach(check IN LISTS checks)
      execute_process(COMMAND ${cmd_${check}} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                      ERROR_VARIABLE err)
      if(check STREQUAL "man")
        if(NOT out MATCHES "NAME")
          set(err "${err}(nothing rendered)\n")
        endif()
        set(out "")
      endif()
      if(NOT rc EQUAL 0 OR NOT out STREQUAL "" OR NOT err STREQUAL "")
        message(SEND_ERROR "${name}: ${check} (exit ${rc}):\n${out}${err}")
        set(failed 1)
      endif()
    endforeach()
    file(STRINGS "${page}" title REGEX "^\\.TH ")
    if(ZEL_VERSION AND NOT title MATCHES "\"zel-auth ${ZEL_VERSION}\"")
      message(SEND_ERROR "${name}: the .TH line does not name zel-auth ${ZEL_VERSION}: ${title}")
      set(failed 1)
    endif()
  endforeach()
  # zel-site(8)'s Ansible example (the .EX block of its EXAMPLES that holds
  # "hosts:") must be the playbook shipped in examples/ansible/, roff escapes undone.
  set(playbook "${CMAKE_CURRENT_LIST_DIR}/../examples/ansible/zel-site.yml")
  execute_process(
    COMMAND sh -c [=[
      awk '/^\.SH / { in_examples = ($0 == ".SH EXAMPLES"); next }
           in_examples && /^\.EX/ { block = 1; text = ""; next }
           block && /^\.EE/ { block = 0; if (text ~ /\nhosts: |\n *hosts: /) { printf "%s", text; n++ }; next }
           block { text = text $0 "\n" }
           END { exit n != 1 }' "$1" |
        sed -e 's/^\\&//' -e 's/\\(aq/'"'"'/g' -e 's/\\(dq/"/g' -e 's/\\-/-/g' -e 's/\\e/\\/g' |
        diff -u "$2" - >&2
    ]=] sh "${ZEL_MAN_DIR}/zel-site.8" "${playbook}"
    RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(SEND_ERROR "zel-site.8: the Ansible example differs from examples/ansible/zel-site.yml:\n${err}")
    set(failed 1)
  endif()
  if(ZEL_SITE_TOOL)
    execute_process(COMMAND sh "${CMAKE_CURRENT_LIST_DIR}/traps.sh" "${CMAKE_CURRENT_LIST_DIR}/zel-site.conf.5"
                            "${ZEL_SITE_TOOL}"
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
      message(SEND_ERROR "zel-site.conf.5: TRAPS and zel-site check disagree:\n${out}${err}")
      set(failed 1)
    else()
      message(STATUS "${out}")
    endif()
  endif()
  if(failed)
    message(FATAL_ERROR "Manual pages have warnings")
  endif()
  list(LENGTH pages count)
  message(STATUS "${count} manual pages lint clean")
  return()
endif()

include(GNUInstallDirs)
# The pages as installed: their title lines (.TH) carry the version of
# debian/changelog, whatever version the text in this directory names. Debian's
# packaging compresses them.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             "${CMAKE_CURRENT_LIST_DIR}/zel-auth.1" "${CMAKE_CURRENT_LIST_DIR}/zel-site.conf.5"
             "${CMAKE_CURRENT_LIST_DIR}/zel-site.8")
foreach(page zel-auth.1 zel-site.conf.5 zel-site.8)
  string(REGEX REPLACE ".*\\." "" section "${page}")
  file(READ "${CMAKE_CURRENT_LIST_DIR}/${page}" text)
  string(REGEX REPLACE "(\n\\.TH [^\n]*\")zel-auth [^\"]*\"" "\\1zel-auth ${ZEL_VERSION}\"" text "\n${text}")
  string(SUBSTRING "${text}" 1 -1 text)
  # Written only when it changes, so that an unchanged page is not installed anew.
  set(installed "")
  if(EXISTS "${PROJECT_BINARY_DIR}/doc/${page}")
    file(READ "${PROJECT_BINARY_DIR}/doc/${page}" installed)
  endif()
  if(NOT installed STREQUAL text)
    file(WRITE "${PROJECT_BINARY_DIR}/doc/${page}" "${text}")
  endif()
  install(FILES "${PROJECT_BINARY_DIR}/doc/${page}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man${section}")
endforeach()

if(ZEL_BUILD_TESTS)
  add_test(NAME man-pages
           COMMAND "${CMAKE_COMMAND}" -DZEL_VERSION=${ZEL_VERSION} -DZEL_MAN_DIR=${PROJECT_BINARY_DIR}/doc
                   -DZEL_SITE_TOOL=$<TARGET_FILE:zel-site> -P "${CMAKE_CURRENT_LIST_FILE}")
endif()
