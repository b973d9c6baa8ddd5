# Installs the build into a fresh prefix and checks that the program, its menu entry
# and its icons land in their freedesktop places.
#   cmake -DBUILD_DIR=<build> -DPREFIX=<empty folder to install into> -P install_check.cmake
foreach(variable BUILD_DIR PREFIX)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "${variable} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${status}")
endif()

set(expected
  bin/klv
  share/applications/klv.desktop
  share/icons/hicolor/16x16/apps/klv.png
  share/icons/hicolor/32x32/apps/klv.png
  share/icons/hicolor/48x48/apps/klv.png
  share/icons/hicolor/scalable/apps/klv.svg
)
foreach(file ${expected})
  if(NOT EXISTS "${PREFIX}/${file}")
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
execute_process(COMMAND test -x "${PREFIX}/bin/klv" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "bin/klv is not executable")
endif()

file(STRINGS "${PREFIX}/share/applications/klv.desktop" exec REGEX "^Exec=")
if(NOT exec STREQUAL "Exec=\"${PREFIX}/bin/klv\"")
  message(FATAL_ERROR "the menu entry starts '${exec}', not the installed program")
endif()

find_program(validate desktop-file-validate)
if(validate)
  execute_process(COMMAND "${validate}" "${PREFIX}/share/applications/klv.desktop"
                  RESULT_VARIABLE status OUTPUT_VARIABLE report ERROR_VARIABLE report)
  if(NOT status EQUAL 0 OR report MATCHES "error")
    message(FATAL_ERROR "desktop-file-validate: ${report}")
  endif()
endif()
