# Tests of the installers: the packer's command line, the Windows images, the installer under Wine.
#
# They read what the win32 and win64 presets build (kits, sample applications, test helpers), so
# the README's test command builds every preset before it runs them. The installers are packed
# once per run (fixture "installers") with a fixed SOURCE_DATE_EPOCH; the Wine tests share one
# prefix template per run (fixture "wine") and each copies it for itself.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(ZORV_TEST_EPOCH 1215625293)
set(installers_dir ${CMAKE_CURRENT_BINARY_DIR}/installers)
file(MAKE_DIRECTORY ${installers_dir})
set(app_i686 ${ZORV_WIN32_BUILD_DIR}/sample/app)
set(app_x86_64 ${ZORV_WIN64_BUILD_DIR}/sample/app)

foreach(arch i686 x86_64)
  add_test(NAME installers.pack_${arch}
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${ZORV_TEST_EPOCH}
            $<TARGET_FILE:zorv-pack> ${app_${arch}} -o ${installers_dir}/zorv-setup-${arch}.exe --arch ${arch})
  set_tests_properties(installers.pack_${arch} PROPERTIES FIXTURES_SETUP installers)
endforeach()

add_test(NAME installers.zorv_pack COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/pack/zorv_pack_test.sh
         $<TARGET_FILE:zorv-pack> ${app_x86_64} i686 x86_64 linux)
set_tests_properties(installers.zorv_pack PROPERTIES FIXTURES_SETUP made_signed ENVIRONMENT ZORV_PACK_OUT=${installers_dir})

add_test(NAME installers.pe_image COMMAND ${Python3_EXECUTABLE} -m unittest -v installer_pe_test
         WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/pe)
set_tests_properties(installers.pe_image PROPERTIES FIXTURES_REQUIRED installers ENVIRONMENT
  "SOURCE_DATE_EPOCH=${ZORV_TEST_EPOCH};ZORV_PACK=$<TARGET_FILE:zorv-pack>;ZORV_STAR=$<TARGET_FILE:star>;ZORV_RESIMAGE=$<TARGET_FILE:zorv-resimage>;ZORV_ICON=${PROJECT_SOURCE_DIR}/resources/zorv.ico;ZORV_INSTALLER_I686=${installers_dir}/zorv-setup-i686.exe;ZORV_INSTALLER_X86_64=${installers_dir}/zorv-setup-x86_64.exe;ZORV_APP_DIR_I686=${app_i686};ZORV_APP_DIR_X86_64=${app_x86_64};ZORV_WIN_DIR_I686=${ZORV_WIN32_BUILD_DIR};ZORV_WIN_DIR_X86_64=${ZORV_WIN64_BUILD_DIR}")

# Under the sanitizers the Wine runs would only repeat themselves: no code of ours runs in them
# that the sanitizers could watch.
if(ZORV_SANITIZE)
  return()
endif()

set(wine_dir ${CMAKE_CURRENT_BINARY_DIR}/wine)
add_test(NAME wine.template COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/wine/harness.py
         template ${wine_dir}/template ${wine_dir}/template-logs)
set_tests_properties(wine.template PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
add_test(NAME wine.remove_template COMMAND ${CMAKE_COMMAND} -E rm -rf ${wine_dir}/template)
set_tests_properties(wine.remove_template PROPERTIES FIXTURES_CLEANUP wine)

# The archive reader's Linux build, compared under Wine with its Windows builds.
add_executable(zorv-extract-all ${PROJECT_SOURCE_DIR}/tests/wine/extract_all.cpp)
target_link_libraries(zorv-extract-all PRIVATE zorv_archive zorv_platform)

# zorv-pack installed away from the checkout, by cmake --install into a prefix and from its Debian
# package; each packs with the checkout and the build trees out of reach.
foreach(mode prefix package)
  add_test(NAME installers.installed_${mode} COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/pack/installed_tool_test.sh ${mode}
           ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR} ${installers_dir} ${app_i686} ${app_x86_64}
           ${ZORV_WIN32_BUILD_DIR} ${ZORV_WIN64_BUILD_DIR})
  set_tests_properties(installers.installed_${mode} PROPERTIES FIXTURES_SETUP made_${mode})
endforeach()

# Every Wine test runs twice: wine.i686.* with the delivered installer and the win32 helpers,
# wine.x86_64.* with its twin and the win64 ones; both copy the one prefix template. Where the
# machine does not run 32-bit programs (scripts/probe_32bit.sh; ZORV_NO_32BIT=1 makes it say so)
# the i686 tests skip themselves, and so they do where Wine's 32-bit side could not be installed;
# unittest then prints "skipped '<the reason>'" (in double quotes when the reason holds a quote),
# which CTest counts as a skip.
set(win_dir_i686 ${ZORV_WIN32_BUILD_DIR})
set(win_dir_x86_64 ${ZORV_WIN64_BUILD_DIR})
foreach(arch i686 x86_64)
  set(env "ZORV_WINE_ARCH=${arch};ZORV_WINE_TEMPLATE=${wine_dir}/template;ZORV_WIN_DIR=${win_dir_${arch}};ZORV_ARTIFACTS=${wine_dir}/artifacts/${arch}")
  set(arch_tests "")
  foreach(case
      sample_quits_on_close_request
      silent_install_into_folder_with_spaces
      consent_box
      close_request_ends_running_application
      damaged_installer
      failed_launch
      fault_injection
      upgrade_with_a_file_held_open
      names_that_cannot_stand_together
      upgrade_while_the_earlier_program_runs
      upgrade_on_a_full_disk
      upgrade_fills_the_disk_half_way
      upgrade_through_a_folder_that_links_to_another_drive
      second_installer_while_the_first_holds_the_target
      install_into_a_long_target
      library_beside_installer_is_not_loaded
      packed_by_the_windows_packer
      names_beyond_ascii_install_as_written
      windows_packer_signs_without_a_command_interpreter)
    add_test(NAME wine.${arch}.${case} COMMAND ${Python3_EXECUTABLE} -m unittest -v wine_e2e.InstallerUnderWine.test_${case}
             WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/wine)
    set_tests_properties(wine.${arch}.${case} PROPERTIES FIXTURES_REQUIRED "installers;wine" ENVIRONMENT
      "${env};ZORV_WINE_WORK=${wine_dir}/work/${arch};SOURCE_DATE_EPOCH=${ZORV_TEST_EPOCH};ZORV_INSTALLER=${installers_dir}/zorv-setup-${arch}.exe;ZORV_APP_DIR=${app_${arch}};ZORV_PACK=$<TARGET_FILE:zorv-pack>;ZORV_WINDOWS_PACK=${ZORV_WIN64_BUILD_DIR}/bin/zorv-pack.exe;ZORV_STAR=$<TARGET_FILE:star>;ZORV_RESIMAGE=$<TARGET_FILE:zorv-resimage>")
    list(APPEND arch_tests wine.${arch}.${case})
  endforeach()

  # The archive reader's Windows build against its Linux build, over the golden vectors and
  # generated archives; it needs no installer, only the prefix.
  add_test(NAME wine.${arch}.reader_matches_linux_build
           COMMAND ${Python3_EXECUTABLE} -m unittest -v reader_under_wine.ReaderUnderWine.test_windows_build_extracts_as_linux_build
           WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/wine)
  set_tests_properties(wine.${arch}.reader_matches_linux_build PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT
    "${env};ZORV_WINE_WORK=${wine_dir}/work/${arch};ZORV_STAR=$<TARGET_FILE:star>;ZORV_EXTRACT_ALL=$<TARGET_FILE:zorv-extract-all>;ZORV_STAR_DATA=${CMAKE_CURRENT_SOURCE_DIR}/data/star")
  list(APPEND arch_tests wine.${arch}.reader_matches_linux_build)

  # The silent installation again, with installers made otherwise: signed (by installers.zorv_pack,
  # from the x86_64 sample for both), and by the tool installed into a prefix.
  foreach(how signed prefix)
    set(app ${app_${arch}})
    if(how STREQUAL "signed")
      set(app ${app_x86_64})
    endif()
    add_test(NAME wine.${arch}.silent_install_${how}
             COMMAND ${Python3_EXECUTABLE} -m unittest -v wine_e2e.InstallerUnderWine.test_silent_install_into_folder_with_spaces
             WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/wine)
    set_tests_properties(wine.${arch}.silent_install_${how} PROPERTIES FIXTURES_REQUIRED "made_${how};wine" ENVIRONMENT
      "${env};ZORV_WINE_WORK=${wine_dir}/work/${arch}/${how};ZORV_INSTALLER=${installers_dir}/zorv-setup-${how}_${arch}.exe;ZORV_APP_DIR=${app}")
    list(APPEND arch_tests wine.${arch}.silent_install_${how})
  endforeach()

  set_tests_properties(${arch_tests} PROPERTIES TIMEOUT 300)
  if(arch STREQUAL "i686")
    set_tests_properties(${arch_tests} PROPERTIES SKIP_REGULAR_EXPRESSION "skipped ['\"]the i686 installer is not run: ")
  endif()
endforeach()
