# Installing the project's libraries, each as a CMake package (find_package
# gives an imported, namespaced target) and a pkg-config module, in the
# places GNUInstallDirs names.
#
# libVORBEL and D_vorbel.h go to the usual lib/ and include/. The stand-ins
# for the framework and the driver go to lib/vorbel-sim/ and
# include/vorbel-sim/, so that a simulated libntcan.so or ntcan.h never
# shadows the real driver's in the same prefix; the driver over socketcand
# to lib/vorbel-socketcand/ and include/vorbel-socketcand/.
include(CMakePackageConfigHelpers)

set(VORBEL_SIM_LIBDIR ${CMAKE_INSTALL_LIBDIR}/vorbel-sim)
set(VORBEL_SIM_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/vorbel-sim)
# The driver over socketcand is a libntcan.so as well: apart from both.
set(VORBEL_SOCKETCAND_LIBDIR ${CMAKE_INSTALL_LIBDIR}/vorbel-socketcand)
set(VORBEL_SOCKETCAND_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/vorbel-socketcand)

# vorbel_install_package(<target>
#   PACKAGE <name>                find_package(<name>) gives <name>::<target>
#   LIBDIR <dir> INCLUDEDIR <dir> destinations below the install prefix
#   HEADERS <files...>
#   DEPENDENCIES <packages...>    packages of this project that the package
#                                 config finds first (also beside itself)
#   SYSTEM_DEPENDENCIES <pkgs...> other packages it finds first (Threads)
#   CONFIG_FILES <files...>       CMake files installed beside the package
#                                 config and included by it, in order
#   PC_NAME <module>              pkg-config module <module>.pc
#   PC_DESCRIPTION <text>
#   PC_REQUIRES <modules...>      modules whose libraries a user links too
#   PC_REQUIRES_PRIVATE <modules...>  modules whose headers the package's
#                                 headers include, but whose libraries
#                                 only the package's own library links
#   PC_LIBS_PRIVATE <flags>)
function(vorbel_install_package target)
  cmake_parse_arguments(P "" "PACKAGE;LIBDIR;INCLUDEDIR;PC_NAME;PC_DESCRIPTION;PC_LIBS_PRIVATE"
                        "HEADERS;DEPENDENCIES;SYSTEM_DEPENDENCIES;CONFIG_FILES;PC_REQUIRES;PC_REQUIRES_PRIVATE" ${ARGN})
  set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/${P_PACKAGE})

  install(TARGETS ${target} EXPORT ${P_PACKAGE}Targets
    LIBRARY DESTINATION ${P_LIBDIR}
    ARCHIVE DESTINATION ${P_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${P_HEADERS} DESTINATION ${P_INCLUDEDIR})
  install(EXPORT ${P_PACKAGE}Targets NAMESPACE ${P_PACKAGE}:: DESTINATION ${config_dir})

  # The package config: dependencies first (looked for beside this package
  # too, so that <name>_DIR alone is enough), then the targets.
  set(PACKAGE_DEPENDENCIES "")
  foreach(dep IN LISTS P_SYSTEM_DEPENDENCIES)
    string(APPEND PACKAGE_DEPENDENCIES "find_dependency(${dep})\n")
  endforeach()
  foreach(dep IN LISTS P_DEPENDENCIES)
    string(APPEND PACKAGE_DEPENDENCIES "find_dependency(${dep} HINTS \"\${CMAKE_CURRENT_LIST_DIR}/..\")\n")
  endforeach()
  foreach(file IN LISTS P_CONFIG_FILES)
    get_filename_component(name ${file} NAME)
    string(APPEND PACKAGE_DEPENDENCIES "include(\"\${CMAKE_CURRENT_LIST_DIR}/${name}\")\n")
    install(FILES ${file} DESTINATION ${config_dir})
  endforeach()
  set(PACKAGE_TARGETS_FILE ${P_PACKAGE}Targets.cmake)
  set(PACKAGE_NAME ${P_PACKAGE})
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/PackageConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/${P_PACKAGE}Config.cmake
    INSTALL_DESTINATION ${config_dir})
  write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/${P_PACKAGE}ConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${P_PACKAGE}Config.cmake
                ${CMAKE_CURRENT_BINARY_DIR}/${P_PACKAGE}ConfigVersion.cmake
          DESTINATION ${config_dir})

  # The pkg-config module, relocatable: the prefix is found from the
  # module's own place.
  if(P_PC_NAME)
    file(RELATIVE_PATH PC_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
    string(REGEX REPLACE "/$" "" PC_PREFIX "${PC_PREFIX}")
    set(PC_NAME ${P_PC_NAME})
    set(PC_DESCRIPTION ${P_PC_DESCRIPTION})
    set(PC_LIBDIR ${P_LIBDIR})
    set(PC_INCLUDEDIR ${P_INCLUDEDIR})
    list(JOIN P_PC_REQUIRES " " PC_REQUIRES)
    list(JOIN P_PC_REQUIRES_PRIVATE " " PC_REQUIRES_PRIVATE)
    set(PC_LIBS_PRIVATE "${P_PC_LIBS_PRIVATE}")
    get_target_property(PC_LIB ${target} OUTPUT_NAME)
    if(NOT PC_LIB)
      set(PC_LIB ${target})
    endif()
    configure_file(${PROJECT_SOURCE_DIR}/cmake/package.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${P_PC_NAME}.pc @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${P_PC_NAME}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  endif()
endfunction()
