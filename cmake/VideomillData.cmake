# Copies data/ next to the executables at build time (re-run when a file changes).
file(GLOB_RECURSE VM_DATA_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/data/*)
set(VM_DATA_STAMP ${CMAKE_BINARY_DIR}/data.stamp)
add_custom_command(
  OUTPUT ${VM_DATA_STAMP}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${VM_BIN_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${CMAKE_SOURCE_DIR}/data ${VM_BIN_DIR}
  COMMAND ${CMAKE_COMMAND} -E touch ${VM_DATA_STAMP}
  DEPENDS ${VM_DATA_FILES}
  COMMENT "Copying data/ next to the executables")
add_custom_target(vm_data ALL DEPENDS ${VM_DATA_STAMP})
