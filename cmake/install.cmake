# cmake --install: the library with its SONAME links, both headers, the default host runtime, a
# pkg-config file and a CMake package (find_package(hdx) gives hdx::hdx and
# hdx::runtime).
include(CMakePackageConfigHelpers)

install(TARGETS hdx hdx_runtime EXPORT hdxTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The variants for the x86-64 levels, where the loader looks for them; the SONAME link only.
foreach(level IN LISTS HDX_LEVELS)
  string(REPLACE "-" "_" variant hdx_${level})
  install(TARGETS ${variant} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/glibc-hwcaps/${level}
                                     NAMELINK_SKIP)
endforeach()

set(HDX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/hdx)
install(EXPORT hdxTargets NAMESPACE hdx:: DESTINATION ${HDX_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/hdxConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/hdxConfig.cmake
                              INSTALL_DESTINATION ${HDX_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/hdxConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/hdxConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/hdxConfigVersion.cmake
        DESTINATION ${HDX_CMAKE_DIR})

# hdx: the library alone, for hosts that supply the T_ runtime themselves; hdx-runtime: the
# library and the default runtime, in the order the linker needs.
# The prefix is found relative to the .pc file, so `cmake --install --prefix` anywhere works.
file(RELATIVE_PATH HDX_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
foreach(pc hdx hdx-runtime)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
