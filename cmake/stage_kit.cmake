# Stages an installer kit: copies the files its manifest names into one folder, named relative to it.
#
#   cmake -DMANIFEST=FILE -DKIT_DIR=DIR -P stage_kit.cmake
#
# The manifest is a kit file (see cmake/installers.cmake) whose files are named by absolute path
# in the build tree or the checkout. Each is copied into DIR under its own name and the kit file is
# written there naming it so; everything else is kept as it is. The kit file is written last, so
# that a failed staging leaves no kit that looks whole.
cmake_minimum_required(VERSION 3.25)
file(STRINGS ${MANIFEST} lines)
file(REMOVE_RECURSE ${KIT_DIR})
file(MAKE_DIRECTORY ${KIT_DIR})
set(kit "")
set(names "")
foreach(line IN LISTS lines)
  if(line MATCHES "^([a-z]+)=(/.+)$")
    set(key ${CMAKE_MATCH_1})
    set(path ${CMAKE_MATCH_2})
    get_filename_component(name ${path} NAME)
    # Objects of different folders may share a name; the kit has one folder.
    if(name IN_LIST names)
      message(FATAL_ERROR "${MANIFEST}: two files named ${name}; the kit cannot hold both")
    endif()
    list(APPEND names ${name})
    file(COPY_FILE ${path} ${KIT_DIR}/${name})
    string(APPEND kit "${key}=${name}\n")
  else()
    string(APPEND kit "${line}\n")
  endif()
endforeach()
file(WRITE ${KIT_DIR}/zorv-installer.kit "${kit}")
