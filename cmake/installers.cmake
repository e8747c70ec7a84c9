# The installers: the kits zorv-pack builds them from, the packer, and the sample application.
#
# A kit is a folder holding everything zorv-pack needs for one platform, named relative to the
# folder, so that it works wherever it is installed (share/zorvana/ARCH beside the packer's bin/).
# A Windows tree stages its kit in kit/: the installer program, linked here without resources,
# the default icon, and zorv-installer.kit, which names them. zorv-pack writes one installer's
# resources into a copy of that program itself (see tools/windows_image.cpp), so packing needs no
# compiler. The host tree's kit holds the Linux installer program instead; the host tree lays
# itself out as an installation does (bin/zorv-pack beside share/zorvana), taking the Windows kits
# from the win32 and win64 trees, and so does the win64 tree for the packer built for Windows.
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

# zorv-pack, one code for Linux and Windows, in bin/ of its tree, with the kits in share/zorvana.
function(zorv_packer)
  add_executable(zorv-pack tools/zorv_pack.cpp tools/packer.cpp tools/kit.cpp tools/icon.cpp tools/signing.cpp
    tools/code_pages.cpp)
  target_include_directories(zorv-pack PRIVATE payload)
  target_link_libraries(zorv-pack PRIVATE zorv_tool_files zorv_resource_image zorv_pack_compress zorv_bzip2)
  set_target_properties(zorv-pack PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
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

  # The installer program of the kit, linked here once and for all without resources. GUI
  # subsystem; the C++ and gcc runtimes and libbzip2 linked in, so that the image imports system
  # libraries alone; no symbols and no time stamp, so that the same inputs give the same bytes;
  # warnings fatal, because a missing entry symbol is only a warning to the linker, which then
  # starts the image at the beginning of its code. The libraries form one group: their order does
  # not matter.
  zorv_link_closure(zorv_installer_main kit_libraries kit_system kit_targets)
  # The installer's own code is plain functions over plain data, and is built so that the program
  # carries no more than it runs: no exceptions and no RTTI, so that nothing of the C++ runtime is
  # linked in, and no guards around the first run of a function's statics, which only the thread
  # of the seam's calls meets (the decoding workers only compute; the guards are the C++
  # runtime's); each function in a section of its own, and no unwind tables, since the linker keeps
  # every function that an unwind table names, so that the link drops what nothing calls. (Not each
  # datum: mingw-w64's compiler then places zero-filled buffers among the initialised data, where
  # they take room in the file.) The tools that link the same libraries keep the C++ library as they
  # use it.
  foreach(target zorv_installer_main ${kit_targets})
    target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti -fno-threadsafe-statics
      -fno-asynchronous-unwind-tables -ffunction-sections)
  endforeach()
  set(ZORV_INSTALLER_LINK
    -mwindows -static -s -Wl,--gc-sections -Wl,--no-insert-timestamp -Wl,-e,${ZORV_ENTRY} -Wl,--fatal-warnings
    $<TARGET_OBJECTS:zorv_installer_main> -Wl,--start-group ${kit_libraries} ${kit_system} -Wl,--end-group)
  set(ZORV_BARE_INSTALLER ${CMAKE_BINARY_DIR}/installer/zorv-installer.exe)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/installer)
  add_custom_command(OUTPUT ${ZORV_BARE_INSTALLER}
    COMMAND ${CMAKE_CXX_COMPILER} ${ZORV_INSTALLER_LINK} -o ${ZORV_BARE_INSTALLER}
    DEPENDS zorv_installer_main "$<TARGET_OBJECTS:zorv_installer_main>" ${kit_targets} ${kit_libraries}
    COMMENT "The installer program without resources: ${ZORV_BARE_INSTALLER}"
    COMMAND_EXPAND_LISTS VERBATIM)
  zorv_stage_kit(zorv_installer_kit ${CMAKE_BINARY_DIR}/kit
"# The ${ZORV_MINGW_TRIPLET} installer kit, read by zorv-pack: one key=value a line, each value a
# file of this folder. The installer program has no resources: zorv-pack adds a section with the
# payload, the settings and the icon (the default one, unless it is given another).
program=${ZORV_BARE_INSTALLER}
icon=${PROJECT_SOURCE_DIR}/resources/zorv.ico
" ${ZORV_BARE_INSTALLER} ${PROJECT_SOURCE_DIR}/resources/zorv.ico)

  # For the tests: the installer linked with its resources compiled from resources/installer.rc,
  # as installers were made before the packer wrote resources itself. Run in a folder holding
  # payload.bz2, icon.ico and (with -DZORV_WITH_SETTINGS) settings.txt, it writes linked.exe there.
  get_filename_component(cc_name ${CMAKE_C_COMPILER} NAME)
  set(windres_line "'${ZORV_WINDRES}' --preprocessor=${cc_name} --preprocessor-arg=-E --preprocessor-arg=-xc")
  string(APPEND windres_line [[ --preprocessor-arg=-DRC_INVOKED -J rc -O coff -i installer.rc -o resources.o "$@"]])
  set(link_line "'${CMAKE_CXX_COMPILER}'")
  foreach(arg IN LISTS ZORV_INSTALLER_LINK)
    if(arg MATCHES "^\\$<TARGET_OBJECTS:")
      string(APPEND link_line " '$<JOIN:${arg},' '>'")
    else()
      string(APPEND link_line " '${arg}'")
    endif()
  endforeach()
  string(APPEND link_line " resources.o -o linked.exe")
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/link-with-resources.sh
    CONTENT "#!/bin/sh\nset -e\ncp '${PROJECT_SOURCE_DIR}/resources/installer.rc' installer.rc\n${windres_line}\n${link_line}\n"
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

  # The packer built for Windows, a console program with everything linked in. Beside it, as an
  # installation lays them out, the kits: links to this tree's, the win32 tree's and the host's.
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    zorv_packer()
    target_link_options(zorv-pack PRIVATE -static -s)
    set(ZORV_HOST_BUILD_DIR ${PROJECT_SOURCE_DIR}/build/host CACHE PATH "the host preset's build tree")
    set(ZORV_WIN32_BUILD_DIR ${PROJECT_SOURCE_DIR}/build/win32 CACHE PATH "the win32 preset's build tree")
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/share/zorvana)
    file(CREATE_LINK ${ZORV_WIN32_BUILD_DIR}/kit ${CMAKE_BINARY_DIR}/share/zorvana/i686 SYMBOLIC)
    file(CREATE_LINK ${CMAKE_BINARY_DIR}/kit ${CMAKE_BINARY_DIR}/share/zorvana/x86_64 SYMBOLIC)
    file(CREATE_LINK ${ZORV_HOST_BUILD_DIR}/share/zorvana/linux ${CMAKE_BINARY_DIR}/share/zorvana/linux SYMBOLIC)
  endif()

  # The sample application, and the Windows helpers of the tests: a sender of the close request
  # alone, a holder of a file (or a program that ignores the close request), a stand-in for the
  # signer that records its arguments, a library to plant beside the installer, and the archive
  # reader over many archives (a console program, compared with its Linux build in
  # tests/installers.cmake).
  add_subdirectory(sample)
  add_executable(zorv-close-request WIN32 tests/wine/close_request.c)
  target_link_options(zorv-close-request PRIVATE -static -s)
  add_executable(zorv-hold-file tests/wine/hold_file.c)
  target_link_options(zorv-hold-file PRIVATE -static -s)
  add_executable(zorv-fake-signer tests/wine/fake_signer.c)
  target_link_options(zorv-fake-signer PRIVATE -static -s)
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
  zorv_packer()

  # Laid out as an installation is, so that the packer finds its kits here as it does there: the
  # Windows kits are links into their trees, and may be built after this one.
  set(ZORV_KITS_DIR ${CMAKE_BINARY_DIR}/share/zorvana)
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
program=${stub}
" ${stub})
endif()
