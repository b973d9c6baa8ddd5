# Builds the Debian package into a scratch folder, unpacks it into a scratch root as
# dpkg would install it, and checks what lands where.
#   cmake -DCPACK=<cpack> -DBUILD_DIR=<build> -DSCRATCH=<folder> -DVERSION=<x.y.z.w> -P package_check.cmake
file(REMOVE_RECURSE "${SCRATCH}")
execute_process(COMMAND "${CPACK}" -G DEB -B "${SCRATCH}" --config "${BUILD_DIR}/CPackConfig.cmake"
                RESULT_VARIABLE status OUTPUT_VARIABLE log ERROR_VARIABLE log)
set(deb "${SCRATCH}/klv_${VERSION}_amd64.deb")
if(NOT status EQUAL 0 OR NOT EXISTS "${deb}")
  message(FATAL_ERROR "cpack made no ${deb}: ${log}")
endif()
execute_process(COMMAND dpkg-deb -f "${deb}" Depends OUTPUT_VARIABLE depends)
foreach(library libqt6widgets6 libcurl4 libc6)
  if(NOT depends MATCHES "${library}")
    message(FATAL_ERROR "Depends lacks ${library}: ${depends}")
  endif()
endforeach()

set(root "${SCRATCH}/root")
execute_process(COMMAND dpkg -x "${deb}" "${root}" RESULT_VARIABLE status)
foreach(file usr/bin/klv usr/share/applications/klv.desktop
        usr/share/icons/hicolor/48x48/apps/klv.png usr/share/icons/hicolor/scalable/apps/klv.svg
        usr/share/metainfo/example.kolvane.klv.metainfo.xml)
  if(NOT EXISTS "${root}/${file}")
    message(FATAL_ERROR "not in the package: ${file}")
  endif()
endforeach()
file(STRINGS "${root}/usr/share/applications/klv.desktop" exec REGEX "^Exec=")
if(NOT exec STREQUAL "Exec=\"/usr/bin/klv\"")
  message(FATAL_ERROR "the menu entry runs '${exec}', not /usr/bin/klv")
endif()
execute_process(COMMAND appstreamcli validate --no-net
                        "${root}/usr/share/metainfo/example.kolvane.klv.metainfo.xml"
                RESULT_VARIABLE status OUTPUT_VARIABLE report ERROR_VARIABLE report)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "appstreamcli validate: ${report}")
endif()
