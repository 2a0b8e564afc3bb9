# What `cmake --install` puts in place: the host library and its header, the
# command-line tools, a CMake package (find_package(orv) -> orv::orv) and a
# pkg-config file (orv.pc). Both packages are relocatable: they find the
# prefix from their own location.
include(CMakePackageConfigHelpers)

set(ORV_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/orv)

install(TARGETS orv EXPORT orvTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/orv/orv.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/orv)

foreach(tool orv-render orv-hrtf-convert)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

install(EXPORT orvTargets NAMESPACE orv:: DESTINATION ${ORV_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/orvConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/orvConfig.cmake
  INSTALL_DESTINATION ${ORV_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/orvConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/orvConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/orvConfigVersion.cmake
  DESTINATION ${ORV_INSTALL_CMAKEDIR})

# orv.pc finds the prefix from its own folder (pkg-config's ${pcfiledir}).
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(ORV_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  # One ".." for every folder between the prefix and the .pc file.
  string(REPLACE "/" ";" orvPcFolders "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
  set(ORV_PC_PREFIX "\${pcfiledir}")
  foreach(folder IN LISTS orvPcFolders)
    if(folder)
      string(APPEND ORV_PC_PREFIX "/..")
    endif()
  endforeach()
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/orv.pc.in ${CMAKE_CURRENT_BINARY_DIR}/orv.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/orv.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
