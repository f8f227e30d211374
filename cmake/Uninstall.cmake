# Removes what `cmake --install` put in place, as listed in the build
# directory's install_manifest.txt (one installed file a line), and then the
# program's own directories when that leaves them empty. Run by the
# `uninstall` target: cmake --build <build> --target uninstall. Honours
# DESTDIR as the install did. The database and the agent directories were
# never installed, so they stay.
set(_manifest "${CMAKE_CURRENT_BINARY_DIR}/install_manifest.txt")
if(NOT EXISTS "${_manifest}")
  message(FATAL_ERROR "No ${_manifest}: nothing was installed from this build directory "
                      "(or it was uninstalled already).")
endif()
file(STRINGS "${_manifest}" _files)
set(_own_directories "")
foreach(_file IN LISTS _files)
  set(_path "$ENV{DESTDIR}${_file}")
  if(IS_SYMLINK "${_path}" OR EXISTS "${_path}")
    message(STATUS "Removing ${_path}")
    file(REMOVE "${_path}")
  else()
    message(STATUS "Already gone: ${_path}")
  endif()
  # The directories named after the program (its doc directory and the
  # examples in it), deepest first; shared ones such as bin/ stay.
  get_filename_component(_directory "${_path}" DIRECTORY)
  while(_directory MATCHES "/kovix-mcp-server(/|$)")
    list(APPEND _own_directories "${_directory}")
    get_filename_component(_directory "${_directory}" DIRECTORY)
  endwhile()
endforeach()
list(REMOVE_DUPLICATES _own_directories)
list(SORT _own_directories ORDER DESCENDING)
foreach(_directory IN LISTS _own_directories)
  file(GLOB _left LIST_DIRECTORIES true "${_directory}/*")
  if(IS_DIRECTORY "${_directory}" AND NOT _left)
    message(STATUS "Removing ${_directory}/")
    file(REMOVE_RECURSE "${_directory}")
  endif()
endforeach()
file(REMOVE "${_manifest}")
