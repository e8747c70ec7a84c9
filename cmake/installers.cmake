# The installers: the kits zorv-pack builds them from, the packer, and the sample application.
#
# A kit is a folder holding everything zorv-pack needs for one platform, named relative to the
# folder, so that it works wherever it is installed (share/zorvana/ARCH beside the packer's bin/).
# A Windows tree stages its kit in kit/: the objects and static libraries of the installer program
# without its resources, libbzip2, the resource script, the default icon, and zorv-installer.kit,
# which names them, the programs to run (looked up on PATH, with the Debian package of each) and the
# link arguments in order. zorv-pack compiles one installer's resources and links them with these
# inputs (see tools/zorv_pack_installer.cpp). The host tree's kit holds the Linux installer program
# instead; the host tree lays itself out as an installation does (bin/zorv-pack beside
# share/zorvana), taking the Windows kits from the win32 and win64 trees.
# The sample application and the Windows helpers of the tests are built by the Windows trees too.

# Stages a kit into dir from a manifest that names its files by absolute path (see
# cmake/stage_kit.cmake); the remaining arguments are what the kit is made from.
function(zorv_stage_kit name dir manifest_content)
  set(manifest ${CMAKE_BINARY_DIR}/${name}.manifest)
  file(GENERATE OUTPUT ${manifest} CONTENT "${manifest_content}")
  add_custom_command(OUTPUT ${dir}/zorv-installer.kit
    COMMAND ${CMAKE_COMMAND} -DMANIFEST=${manifest} -DKIT_DIR=${dir} -P ${PROJECT_SOURCE_DIR}/cmake/stage_kit.cmake
    DEPENDS ${manifest} ${PROJECT_SOURCE_DIR}/cmake/stage_kit.cmake ${ARGN}
    COMMENT "Installer kit: ${dir}"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${dir}/zorv-installer.kit)
endfunction()

# What the installer's objects link, all the way down: every library target as its file (and in
# targets, for the build order), everything else as a -l option. Read from the targets' link
# properties, so that a library added to the installer's code or split off one reaches the kit
# without a change here.
function(zorv_link_closure start out_files out_system out_targets)
  set(files "")
  set(system "")
  set(targets "")
  set(seen_interfaces "")
  get_target_property(queue ${start} LINK_LIBRARIES)
  while(queue)
    list(POP_FRONT queue item)
    if(item MATCHES "^\\$<LINK_ONLY:(.+)>$")
      set(item ${CMAKE_MATCH_1})
    endif()
    if(TARGET ${item})
      get_target_property(aliased ${item} ALIASED_TARGET)
      if(aliased)
        set(item ${aliased})
      endif()
      get_target_property(type ${item} TYPE)
      if(type STREQUAL "INTERFACE_LIBRARY")
        # Headers only (the seam's): nothing to link, but what it links is linked.
        if(NOT ${item} IN_LIST seen_interfaces)
          list(APPEND seen_interfaces ${item})
          get_target_property(more ${item} INTERFACE_LINK_LIBRARIES)
          if(more)
            list(APPEND queue ${more})
          endif()
        endif()
      elseif(NOT "$<TARGET_FILE:${item}>" IN_LIST files)
        list(APPEND files "$<TARGET_FILE:${item}>")
        get_target_property(imported ${item} IMPORTED)
        if(NOT imported)
          list(APPEND targets ${item})
        endif()
        get_target_property(more ${item} INTERFACE_LINK_LIBRARIES)
        if(more)
          list(APPEND queue ${more})
        endif()
      endif()
    elseif(item MATCHES "[$<>]")
      message(FATAL_ERROR "the installer kit cannot carry the link item ${item}")
    elseif(item MATCHES "^-")
      list(APPEND system ${item})
    elseif(NOT "-l${item}" IN_LIST system)
      list(APPEND system -l${item})
    endif()
  endwhile()
  set(${out_files} ${files} PARENT_SCOPE)
  set(${out_system} ${system} PARENT_SCOPE)
  set(${out_targets} ${targets} PARENT_SCOPE)
endfunction()

if(WIN32)
  find_program(ZORV_WINDRES ${ZORV_MINGW_TRIPLET}-windres REQUIRED)

  # WinMain and the entry point are objects of their own: libraries are searched only for what
  # is missing, and nothing but the runtime start-up, linked after them, refers to WinMain.
  add_library(zorv_installer_main OBJECT driver/installer.cpp driver/startup.cpp driver/entry_point.cpp)
  target_link_libraries(zorv_installer_main PRIVATE zorv_driver zorv_payload zorv_platform)

  # The entry point runs before the runtime start-up (driver/entry_point.cpp); i686 symbols carry
  # a leading underscore.
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
    set(ZORV_ENTRY _zorv_entry)
  else()
    set(ZORV_ENTRY zorv_entry)
  endif()

  # GUI subsystem; the C++ and gcc runtimes and libbzip2 linked in, so that the image imports
  # system libraries alone; no symbols and no time stamp, so that the same inputs give the same
  # bytes; warnings fatal, because a missing entry symbol is only a warning to the linker, which
  # then starts the image at the beginning of its code. The libraries form one group: their
  # order does not matter.
  zorv_link_closure(zorv_installer_main kit_libraries kit_system kit_targets)
  set(ZORV_INSTALLER_LINK
    -mwindows -static -s -Wl,--no-insert-timestamp -Wl,-e,${ZORV_ENTRY} -Wl,--fatal-warnings
    "$<JOIN:$<TARGET_OBJECTS:zorv_installer_main>,\nlink=>"
    -Wl,--start-group ${kit_libraries} ${kit_system} -Wl,--end-group)
  set(ZORV_KIT_LINK_LINES "")
  foreach(arg IN LISTS ZORV_INSTALLER_LINK)
    string(APPEND ZORV_KIT_LINK_LINES "link=${arg}\n")
  endforeach()
  # Programs by name, as zorv-pack finds them on PATH, each with the Debian package that has it.
  get_filename_component(windres_name ${ZORV_WINDRES} NAME)
  get_filename_component(cc_name ${CMAKE_C_COMPILER} NAME)
  get_filename_component(cxx_name ${CMAKE_CXX_COMPILER} NAME)
  zorv_stage_kit(zorv_installer_kit ${CMAKE_BINARY_DIR}/kit
"# The ${ZORV_MINGW_TRIPLET} installer kit, read by zorv-pack: one key=value a line; link lines in order.
# Programs are looked up on PATH (name, then the Debian package that has it); every other value
# that is not an option names a file of this folder.
windres=${windres_name} ${ZORV_MINGW_PACKAGE_BINUTILS}
cc=${cc_name} ${ZORV_MINGW_PACKAGE_GCC}
cxx=${cxx_name} ${ZORV_MINGW_PACKAGE_GXX}
rc=${PROJECT_SOURCE_DIR}/resources/installer.rc
icon=${PROJECT_SOURCE_DIR}/resources/zorv.ico
${ZORV_KIT_LINK_LINES}"
    zorv_installer_main "$<TARGET_OBJECTS:zorv_installer_main>" ${kit_targets} ${kit_libraries}
    ${PROJECT_SOURCE_DIR}/resources/installer.rc ${PROJECT_SOURCE_DIR}/resources/zorv.ico)

  # The sample application, and the Windows helpers of the tests: a sender of the close request
  # alone, a holder of a file (or a program that ignores the close request), a library to plant
  # beside the installer, and the archive reader over many archives (a console program, compared
  # with its Linux build in tests/installers.cmake).
  add_subdirectory(sample)
  add_executable(zorv-close-request WIN32 tests/wine/close_request.c)
  target_link_options(zorv-close-request PRIVATE -static -s)
  add_executable(zorv-hold-file tests/wine/hold_file.c)
  target_link_options(zorv-hold-file PRIVATE -static -s)
  add_library(zorv-planted SHARED tests/wine/planted_library.c)
  set_target_properties(zorv-planted PROPERTIES PREFIX "")
  target_link_options(zorv-planted PRIVATE -static -s)
  # The fault-injection walk as built for Windows, its payload a resource of its own image.
  include(${PROJECT_SOURCE_DIR}/cmake/fault_injection.cmake)
  file(WRITE ${CMAKE_BINARY_DIR}/fault/fault.rc "LANGUAGE 0x09, 0x01\n101 RCDATA_RAW \"app.star.bz2\"\n")
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/fault/fault_resources.o
    COMMAND ${ZORV_WINDRES} -i fault.rc -o fault_resources.o
    DEPENDS ${ZORV_FAULT_PAYLOAD} WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/fault VERBATIM)
  add_executable(zorv-fault-injection tests/fault_injection_test.cpp driver/installer.cpp
    ${CMAKE_BINARY_DIR}/fault/fault_resources.o)
  zorv_wrap_seam(zorv-fault-injection)
  target_link_options(zorv-fault-injection PRIVATE -static -s)
  add_executable(zorv-extract-all tests/wine/extract_all.cpp)
  target_link_libraries(zorv-extract-all PRIVATE zorv_archive zorv_platform)
  target_link_options(zorv-extract-all PRIVATE -static -s)
else()
  # Where the Windows presets build: the host tree takes their kits, the tests their samples.
  set(ZORV_WIN32_BUILD_DIR ${PROJECT_SOURCE_DIR}/build/win32 CACHE PATH "the win32 preset's build tree")
  set(ZORV_WIN64_BUILD_DIR ${PROJECT_SOURCE_DIR}/build/win64 CACHE PATH "the win64 preset's build tree")
  add_executable(zorv-pack tools/zorv_pack.cpp tools/zorv_pack_payload.cpp tools/zorv_pack_installer.cpp
    tools/zorv_pack_sign.cpp)
  target_include_directories(zorv-pack PRIVATE payload)
  target_link_libraries(zorv-pack PRIVATE zorv_tool_files zorv_resource_image zorv_bzip2)

  # Laid out as an installation is, so that the packer finds its kits here as it does there: the
  # Windows kits are links into their trees, and may be built after this one.
  set(ZORV_KITS_DIR ${CMAKE_BINARY_DIR}/share/zorvana)
  set_target_properties(zorv-pack PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  file(MAKE_DIRECTORY ${ZORV_KITS_DIR})
  file(CREATE_LINK ${ZORV_WIN32_BUILD_DIR}/kit ${ZORV_KITS_DIR}/i686 SYMBOLIC)
  file(CREATE_LINK ${ZORV_WIN64_BUILD_DIR}/kit ${ZORV_KITS_DIR}/x86_64 SYMBOLIC)
  # The Linux installer program as it is delivered: without symbols, which would only name this tree.
  set(stub ${CMAKE_BINARY_DIR}/zorv-installer-stub)
  add_custom_command(OUTPUT ${stub}
    COMMAND ${CMAKE_STRIP} -o ${stub} $<TARGET_FILE:zorv-installer-bare>
    DEPENDS zorv-installer-bare
    VERBATIM)
  zorv_stage_kit(zorv_linux_kit ${ZORV_KITS_DIR}/linux
"# The Linux installer kit, read by zorv-pack: the installer program, to which the payload is appended.
stub=${stub}
" ${stub})
endif()
