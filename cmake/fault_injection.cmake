# The fault-injection walk's build, the same on Linux and for Windows: its payload and its wraps.
#
# The payload is tests/data/fault/app.star compressed as the packer compresses (bzip2 -9); each
# build places it in the test program as its system places resources. Every seam operation that
# the walk fails or watches is wrapped at link time (-Wl,--wrap), so that the core's calls reach
# the test's wrappers and the wrappers reach the real operations.
find_program(ZORV_BZIP2_PROGRAM bzip2 REQUIRED)
set(ZORV_FAULT_PAYLOAD ${CMAKE_BINARY_DIR}/fault/app.star.bz2)
add_custom_command(OUTPUT ${ZORV_FAULT_PAYLOAD}
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/tests/data/fault/app.star ${CMAKE_BINARY_DIR}/fault/app.star
  COMMAND ${ZORV_BZIP2_PROGRAM} -9 -k -f ${CMAKE_BINARY_DIR}/fault/app.star
  DEPENDS ${PROJECT_SOURCE_DIR}/tests/data/fault/app.star VERBATIM)

set(ZORV_WRAPPED_SEAM os_find_resource os_load_resource os_lock_resource os_get_windows_directory os_mkdir
  os_open_dir os_open_dir_at os_close_dir os_kind_at os_mkdir_at os_rmdir_at os_in_use_at os_create_at
  os_setvbuf os_fread os_getc os_fgets os_ferror os_fwrite os_fflush os_fseek os_fclose os_remove_at os_rename_at
  os_hold_at os_remove_held os_ftruncate os_file_size os_fsync os_fsync_at os_fsync_dir os_free_space
  os_stored_name_at
  os_register_window_message os_broadcast_message os_reg_create_key os_reg_set_string os_exec os_message_box
  os_sleep os_milliseconds os_exit os_worker_start)

function(zorv_wrap_seam target)
  target_link_libraries(${target} PRIVATE zorv_driver zorv_payload zorv_platform)
  set(wraps ${ZORV_WRAPPED_SEAM})
  list(TRANSFORM wraps PREPEND "-Wl,--wrap=")
  target_link_options(${target} PRIVATE ${wraps})
endfunction()
