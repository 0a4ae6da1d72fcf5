# cmake --install and cpack -G DEB: the programs, every library (the servers
# that activation loads included) in a folder of their own, the headers a
# client includes and nothing else, the sample configuration, the docs and
# the example, with a CMake package and a pkg-config file. The layout is the
# one platform/kernel/InstallLayout.h finds files in.
include(CMakePackageConfigHelpers)

set(TMS_VERSION 1.0.0)
set(TMS_INSTALL_LIBDIR lib/tmschannel)
set(TMS_INSTALL_INCLUDEDIR include/tmschannel)
set(TMS_INSTALL_DATADIR share/tmschannel)
set(TMS_INSTALL_DOCDIR share/doc/tmschannel)

# What a client's code includes: tmschannel.h and what it includes, and the
# activation and error-info calls. The example's build checks the list.
set(TMS_PUBLIC_HEADERS
  tmschannel/tmschannel.h
  platform/com/Bstr.h
  platform/com/CoCreateInstance.h
  platform/com/ComActivationCodes.h
  platform/com/ComError.h
  platform/com/ComPtr.h
  platform/com/ErrorInfo.h
  platform/com/Guid.h
  platform/com/HResult.h
  platform/com/IUnknown.h
  platform/com/Variant.h
  platform/kernel/WinTypes.h
  server/ipmclient/RtsStatusTypes.h
  server/timeline/ITmsContextBroker.h)

# Every shared library of ours, wherever it is declared.
function(tms_shared_libraries dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  set(found)
  foreach(t ${targets})
    get_target_property(type ${t} TYPE)
    if(type STREQUAL "SHARED_LIBRARY")
      list(APPEND found ${t})
    endif()
  endforeach()
  foreach(d ${subdirs})
    tms_shared_libraries(${d} sub)
    list(APPEND found ${sub})
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

set(TMS_INSTALLED_LIBS)
foreach(d platform server tmschannel tools)
  tms_shared_libraries(${PROJECT_SOURCE_DIR}/${d} libs)
  list(APPEND TMS_INSTALLED_LIBS ${libs})
endforeach()

# Libraries find each other beside themselves, programs in ../lib/tmschannel.
set_target_properties(${TMS_INSTALLED_LIBS} PROPERTIES INSTALL_RPATH "$ORIGIN")
set_target_properties(tmsctl tms-rtssim PROPERTIES INSTALL_RPATH "$ORIGIN/../${TMS_INSTALL_LIBDIR}")

install(TARGETS ${TMS_INSTALLED_LIBS} LIBRARY DESTINATION ${TMS_INSTALL_LIBDIR})
install(TARGETS tmsctl tms-rtssim RUNTIME DESTINATION bin)
foreach(h ${TMS_PUBLIC_HEADERS})
  get_filename_component(sub ${h} DIRECTORY)
  install(FILES ${h} DESTINATION ${TMS_INSTALL_INCLUDEDIR}/${sub})
endforeach()
install(FILES config/system.xml DESTINATION ${TMS_INSTALL_DATADIR})
install(FILES README.md docs/architecture.md docs/protocol.md docs/rtssim.md docs/status.md
        DESTINATION ${TMS_INSTALL_DOCDIR})
install(DIRECTORY examples/ DESTINATION ${TMS_INSTALL_DOCDIR}/examples)

configure_file(cmake/TmsChannelConfig.cmake.in ${PROJECT_BINARY_DIR}/TmsChannelConfig.cmake @ONLY)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TmsChannelConfigVersion.cmake
                                 VERSION ${TMS_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TmsChannelConfig.cmake
              ${PROJECT_BINARY_DIR}/TmsChannelConfigVersion.cmake
        DESTINATION lib/cmake/TmsChannel)
configure_file(cmake/tmschannel.pc.in ${PROJECT_BINARY_DIR}/tmschannel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tmschannel.pc DESTINATION lib/pkgconfig)

# cpack -G DEB: one package of all of it under /usr.
set(CPACK_PACKAGE_NAME tmschannel)
set(CPACK_PACKAGE_VERSION ${TMS_VERSION})
set(CPACK_PACKAGE_VENDOR "TmsChannel developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Channel control component of the video server, with tmsctl and the RTS simulator")
set(CPACK_PACKAGE_CONTACT "TmsChannel developers <tmschannel@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# The shared-library dependencies as dpkg-shlibdeps finds them; our own
# libraries are found in the package's private folder.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "usr/${TMS_INSTALL_LIBDIR}")
# What building a client against the package takes.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "g++, cmake, pkg-config")
include(CPack)
