# Manual pages: zel-auth(1), the command, zel-site.conf(5), its site file, and
# zel-site(8), the administrator's tool for that file.
#
# Included by the top-level CMakeLists.txt, this installs the pages under
# ${CMAKE_INSTALL_MANDIR} (share/man below the prefix unless set otherwise) and
# registers the test "man-pages". Run as a script, it is that test:
#
#   cmake -DZEL_VERSION=1.1.0 -P doc/doc.cmake
#
# Every page in this directory must pass, without a single message,
#   groff -ww -z -man PAGE     (all of groff's warnings)
#   mandoc -Tlint -Wwarning PAGE
#   man --warnings -l PAGE     (the page as man renders it)
# and its title line must carry the project's version. Given ZEL_SITE_TOOL (the
# built zel-site), each trap of zel-site.conf(5)'s TRAPS section must be found by
# zel-site check as its example shows (doc/traps.sh).

if(CMAKE_SCRIPT_MODE_FILE)
  file(GLOB pages "${CMAKE_CURRENT_LIST_DIR}/*.[1-9]")
  if(NOT pages)
    message(FATAL_ERROR "No manual pages in ${CMAKE_CURRENT_LIST_DIR}")
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
# The Debian package (ZEL_DEBIAN_PACKAGE, set by tools/package.sh) installs the
# pages compressed with gzip -9n, as Debian's policy asks; an install from a
# build tree installs them as they are.
option(ZEL_DEBIAN_PACKAGE "Install files the way the Debian package ships them" OFF)

# zel_gzip(SOURCE OUTPUT): OUTPUT is SOURCE compressed, without a name or time stamp in it.
function(zel_gzip source output)
  cmake_path(GET output PARENT_PATH output_dir)
  file(MAKE_DIRECTORY "${output_dir}")
  add_custom_command(OUTPUT "${output}"
                     COMMAND sh -c "gzip -9n -c \"$0\" >\"$1\"" "${source}" "${output}"
                     DEPENDS "${source}" VERBATIM)
endfunction()

set(zel_compressed_pages)
foreach(page zel-auth.1 zel-site.conf.5 zel-site.8)
  string(REGEX REPLACE ".*\\." "" section "${page}")
  if(ZEL_DEBIAN_PACKAGE)
    zel_gzip("${CMAKE_CURRENT_LIST_DIR}/${page}" "${PROJECT_BINARY_DIR}/doc/${page}.gz")
    list(APPEND zel_compressed_pages "${PROJECT_BINARY_DIR}/doc/${page}.gz")
    install(FILES "${PROJECT_BINARY_DIR}/doc/${page}.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man${section}")
  else()
    install(FILES "${CMAKE_CURRENT_LIST_DIR}/${page}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man${section}")
  endif()
endforeach()
if(zel_compressed_pages)
  add_custom_target(zel_man_pages ALL DEPENDS ${zel_compressed_pages})
endif()

if(ZEL_BUILD_TESTS)
  add_test(NAME man-pages
           COMMAND "${CMAKE_COMMAND}" -DZEL_VERSION=${PROJECT_VERSION} -DZEL_SITE_TOOL=$<TARGET_FILE:zel-site>
                   -P "${CMAKE_CURRENT_LIST_FILE}")
endif()
