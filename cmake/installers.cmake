# The installers: the kits zorv-pack builds them from, the packer, and the sample application.
#
# A Windows tree writes zorv-installer.kit: the resource compiler, the compilers, the resource
# script, the default icon and the link arguments of the installer program without its resources.
# zorv-pack compiles one installer's resources and links them with these inputs (see
# tools/zorv_pack_installer.cpp). The host tree's kit names the Linux installer program instead.
# The sample application and the Windows helpers of the tests are built by the Windows trees too.

if(WIN32)
  find_program(ZORV_WINDRES ${ZORV_MINGW_TRIPLET}-windres REQUIRED)

  # WinMain and the entry point are objects of their own: libraries are searched only for what
  # is missing, and nothing but the runtime start-up, linked after them, refers to WinMain.
  add_library(zorv_installer_main OBJECT driver/installer.cpp driver/startup.cpp driver/entry_point.cpp)
  target_link_libraries(zorv_installer_main PRIVATE zorv_driver zorv_payload)

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
  set(ZORV_INSTALLER_LINK
    -mwindows -static -s -Wl,--no-insert-timestamp -Wl,-e,${ZORV_ENTRY} -Wl,--fatal-warnings
    "$<JOIN:$<TARGET_OBJECTS:zorv_installer_main>,\nlink=>"
    -Wl,--start-group
    $<TARGET_FILE:zorv_driver> $<TARGET_FILE:zorv_payload> $<TARGET_FILE:zorv_archive>
    $<TARGET_FILE:zorv_star_rules> $<TARGET_FILE:zorv_platform> ${ZORV_BZIP2_DIR}/libbz2.a -luser32 -ladvapi32
    -Wl,--end-group)
  set(ZORV_KIT_LINK_LINES "")
  foreach(arg IN LISTS ZORV_INSTALLER_LINK)
    string(APPEND ZORV_KIT_LINK_LINES "link=${arg}\n")
  endforeach()
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/zorv-installer.kit CONTENT
"# The ${ZORV_MINGW_TRIPLET} installer kit, read by zorv-pack: one key=value a line; link lines in order.
windres=${ZORV_WINDRES}
cc=${CMAKE_C_COMPILER}
cxx=${CMAKE_CXX_COMPILER}
rc=${PROJECT_SOURCE_DIR}/resources/installer.rc
icon=${PROJECT_SOURCE_DIR}/resources/zorv.ico
${ZORV_KIT_LINK_LINES}")

  # The sample application, and three Windows helpers of the tests: a sender of the close request
  # alone, a library to plant beside the installer, and the archive reader over many archives (a
  # console program, compared with its Linux build in tests/installers.cmake).
  add_subdirectory(sample)
  add_executable(zorv-close-request WIN32 tests/wine/close_request.c)
  target_link_options(zorv-close-request PRIVATE -static -s)
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
  # Where the Windows presets build, so that the packer and the tests find their kits and samples.
  set(ZORV_WIN32_BUILD_DIR ${PROJECT_SOURCE_DIR}/build/win32 CACHE PATH "the win32 preset's build tree")
  set(ZORV_WIN64_BUILD_DIR ${PROJECT_SOURCE_DIR}/build/win64 CACHE PATH "the win64 preset's build tree")
  add_executable(zorv-pack tools/zorv_pack.cpp tools/zorv_pack_payload.cpp tools/zorv_pack_installer.cpp)
  target_include_directories(zorv-pack PRIVATE payload)
  target_link_libraries(zorv-pack PRIVATE zorv_tool_files zorv_resource_image zorv_bzip2)
  target_compile_definitions(zorv-pack PRIVATE
    ZORV_PACK_KIT_I686="${ZORV_WIN32_BUILD_DIR}/zorv-installer.kit"
    ZORV_PACK_KIT_X86_64="${ZORV_WIN64_BUILD_DIR}/zorv-installer.kit"
    ZORV_PACK_KIT_LINUX="${CMAKE_BINARY_DIR}/zorv-installer.kit")
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/zorv-installer.kit CONTENT
"# The Linux installer kit, read by zorv-pack.
stub=$<TARGET_FILE:zorv-installer-bare>
")
endif()
