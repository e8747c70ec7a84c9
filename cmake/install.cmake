# What `cmake --install` lays out: a self-contained packer for application makers.
#
#   PREFIX/bin/zorv-pack, PREFIX/bin/star, their manual pages, and
#   PREFIX/share/zorvana/{i686,x86_64,linux}: one installer kit per platform.
#
# From the host tree; and from the win64 tree the packer built for Windows, PREFIX\bin\zorv-pack.exe
# with the same kits in PREFIX\share\zorvana. The Windows kits come from the win32 and win64 trees,
# the Linux kit from the host tree, which must be built first. Nothing installed names the build
# trees or the checkout: zorv-pack finds the kits beside itself, so the prefix can be moved,
# copied or packaged as it is.
if(CMAKE_CROSSCOMPILING AND NOT TARGET zorv-pack)
  return()
endif()
include(GNUInstallDirs)

function(zorv_install_kit arch dir preset)
  install(CODE "if(NOT EXISTS \"${dir}/zorv-installer.kit\")
  message(FATAL_ERROR \"${dir} holds no ${arch} installer kit: build the ${preset} preset first (scripts/build.sh)\")
endif()")
  install(DIRECTORY ${dir}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/zorvana/${arch})
endfunction()
zorv_install_kit(i686 ${ZORV_WIN32_BUILD_DIR}/kit win32)

if(CMAKE_CROSSCOMPILING)
  install(TARGETS zorv-pack RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  zorv_install_kit(x86_64 ${CMAKE_BINARY_DIR}/kit win64)
  zorv_install_kit(linux ${ZORV_HOST_BUILD_DIR}/share/zorvana/linux host)
  return()
endif()

install(TARGETS zorv-pack star RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
zorv_install_kit(x86_64 ${ZORV_WIN64_BUILD_DIR}/kit win64)
zorv_install_kit(linux ${ZORV_KITS_DIR}/linux host)

foreach(page zorv-pack star)
  configure_file(docs/man/${page}.1.in ${CMAKE_BINARY_DIR}/man/${page}.1 @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/man/${page}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
