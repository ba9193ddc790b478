# What `cmake --install` puts where, and the files that let a host project
# find it:
#
#   bin/cont                          the command-line host
#   lib/contfs/contfs.so              the module (CONTFS_MODULE_INSTALL_DIR)
#   include/qlx/*.h                   the SDK headers
#   include/contfs/*.h                the host library's headers
#   lib/libcontfs_host.a              the host library
#   lib/cmake/contfs/                 find_package(contfs CONFIG)
#   lib/pkgconfig/contfs.pc           pkg-config contfs (the SDK)
#   lib/pkgconfig/contfs-host.pc      pkg-config contfs-host (the host library)
#   share/doc/contfs/*.md             the guides (docs/), and examples/ beside
#                                     them: the hosts they refer to
#
# Every target a host may use goes into the one export set contfsTargets
# and is named contfs::<part>; contfsConfig.cmake lists the parts as
# components, so a part added later is one more target and one more name
# there, and a host asking an older install for it is told it is missing.
include(CMakePackageConfigHelpers)

install(TARGETS contfs_sdk EXPORT contfsTargets)
install(TARGETS contfs_host_library EXPORT contfsTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/host/include/contfs DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
set_target_properties(contfs PROPERTIES EXPORT_NAME module)
install(TARGETS contfs EXPORT contfsTargets LIBRARY DESTINATION ${CONTFS_MODULE_INSTALL_DIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/qlx DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(CONTFS_PACKAGE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/contfs)
install(EXPORT contfsTargets NAMESPACE contfs:: DESTINATION ${CONTFS_PACKAGE_INSTALL_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/contfsConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package/contfsConfig.cmake
  INSTALL_DESTINATION ${CONTFS_PACKAGE_INSTALL_DIR}
  PATH_VARS CONTFS_MODULE_INSTALL_DIR)
# A host built for another word size cannot load the module: the version
# file refuses it.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/contfsConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/contfsConfig.cmake ${CMAKE_BINARY_DIR}/package/contfsConfigVersion.cmake
  DESTINATION ${CONTFS_PACKAGE_INSTALL_DIR})

# The .pc file names its prefix relative to where it lies, so it stays right
# under `cmake --install --prefix`, DESTDIR or a moved tree.
set(CONTFS_PC_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH CONTFS_PC_TO_PREFIX ${CMAKE_INSTALL_PREFIX}/${CONTFS_PC_INSTALL_DIR} ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" CONTFS_PC_TO_PREFIX "${CONTFS_PC_TO_PREFIX}")
set(CONTFS_PC_LIBS "")
foreach(library ${CMAKE_DL_LIBS})
  string(APPEND CONTFS_PC_LIBS " -l${library}")
endforeach()
string(STRIP "${CONTFS_PC_LIBS}" CONTFS_PC_LIBS)
foreach(pc contfs contfs-host)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in ${CMAKE_BINARY_DIR}/package/${pc}.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/package/${pc}.pc DESTINATION ${CONTFS_PC_INSTALL_DIR})
endforeach()

# The guides travel with the SDK, and with them the example hosts they point
# to, so that the relative links between them hold in the installed tree.
file(GLOB CONTFS_GUIDES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${CONTFS_GUIDES} DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/examples/read_entry.c ${PROJECT_SOURCE_DIR}/examples/pack_entries.cpp
              ${PROJECT_SOURCE_DIR}/examples/CMakeLists.txt
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
