# The library as a package that other projects build on: install rules, the
# exported CMake package and the pkg-config file. The Debian packages are
# made from these install rules by debian/ (scripts/package).
#
# Every file spells the library's headers "pithorama/<folder>/<file>.h", the
# library's own headers too, so one include folder (include/ under the prefix)
# is enough and no header of a program's own can stand in for one of ours.
# The build tree offers the same spelling through
# build/include/pithorama/<folder>, links to the source folders.

# Libraries go to lib/ under every prefix; -DCMAKE_INSTALL_LIBDIR=... chooses
# another folder (the Debian packages: the multiarch one, lib/<triplet>).
# STRING, not PATH: a relative folder given on the command line stays relative.
set(CMAKE_INSTALL_LIBDIR lib CACHE STRING "Object code libraries (lib)")
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The libraries a program can link, lowest layer first. A new library joins
# the package (install, export, pkg-config) by adding its target name here.
set(PITHORAMA_PACKAGE_LIBRARIES platform engine gateways mail store)

# Folders whose headers the package ships: every *.h in them at install time,
# but the ones that only the library's own sources see: the platform back
# ends, the multipart decoder's pieces, the resident server's file formats
# and the ISAPI filter's raw-data walk. The test installed_headers compiles
# every shipped header on its own, so none of them can need a private one.
set(PITHORAMA_PACKAGE_HEADER_FOLDERS platform engine gateways mail store)
set(PITHORAMA_PRIVATE_HEADER_PATTERNS posix win32 multipart RequestFile.h AnswerCopy.h QueueEntry.h
    Liveness.h IsapiRawData.h)

set(PITHORAMA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/pithorama)

# The ABI version of the shared libraries, their soname's number
# (libpithorama-<layer>.so.<N>). It is raised, for all libraries at once,
# in every release that changes the ABI of one: an exported function or
# class removed or changed, a class's size or members, a virtual function
# added, an inline function whose old code would misbehave. It does not
# follow the project's version. See docs/PACKAGING.md.
set(PITHORAMA_SOVERSION 0)

# With shared libraries the same objects are also archived as static
# libraries (libpithorama-<layer>.a), for programs that link statically.
option(PITHORAMA_STATIC_TWINS "With BUILD_SHARED_LIBS, install static libraries as well" ${BUILD_SHARED_LIBS})

# Inside this build, find_package(pithorama) finds the library being built,
# so examples/hello is written exactly as a program outside the tree.
file(WRITE ${CMAKE_FIND_PACKAGE_REDIRECTS_DIR}/pithorama-config.cmake
     "# The library is part of this build; its pithorama:: targets are aliases.\n")
write_basic_package_version_file(${CMAKE_FIND_PACKAGE_REDIRECTS_DIR}/pithorama-config-version.cmake
                                 COMPATIBILITY SameMinorVersion)

file(MAKE_DIRECTORY ${pithorama_BINARY_DIR}/include/pithorama)
foreach(folder ${PITHORAMA_PACKAGE_HEADER_FOLDERS})
  file(CREATE_LINK ${pithorama_SOURCE_DIR}/${folder} ${pithorama_BINARY_DIR}/include/pithorama/${folder} SYMBOLIC)
endforeach()

# Called once every folder has defined its targets.
function(pithorama_package)
  set(libraries "")
  foreach(lib ${PITHORAMA_PACKAGE_LIBRARIES})
    if(TARGET ${lib})
      list(APPEND libraries ${lib})
    endif()
  endforeach()
  foreach(lib ${libraries})
    pithorama_package_library(${lib})
    if(BUILD_SHARED_LIBS AND PITHORAMA_STATIC_TWINS)
      pithorama_static_twin(${lib})
    endif()
  endforeach()
  pithorama_install_headers()
  pithorama_install_cmake_package("${libraries}")
  pithorama_install_pkg_config("${libraries}")
  if(BUILD_SHARED_LIBS)
    pithorama_program_rpath(mkquotes ${CMAKE_INSTALL_BINDIR})
    pithorama_program_rpath(quote ${CMAKE_INSTALL_BINDIR})
    pithorama_program_rpath(isapi-host ${CMAKE_INSTALL_BINDIR})
    pithorama_program_rpath(pithorama ${PITHORAMA_CGI_DIR})
  endif()
  install(FILES ${pithorama_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  if(WIN32)
    pithorama_install_windows_folder()
  else()
    pithorama_install_hosts()
  endif()
endfunction()

# The stand-in hosts beside the quote tools. nsapi-host's server library is a
# private one, in lib/pithorama/, found through the host's run path.
function(pithorama_install_hosts)
  if(TARGET isapi-host)
    install(TARGETS isapi-host)
  endif()
  if(TARGET nsapi-host)
    set(private ${CMAKE_INSTALL_LIBDIR}/pithorama)
    install(TARGETS nsapiserver LIBRARY DESTINATION ${private})
    if(IS_ABSOLUTE ${CMAKE_INSTALL_LIBDIR})
      set_target_properties(nsapi-host PROPERTIES INSTALL_RPATH ${private})
    else()
      set_target_properties(nsapi-host PROPERTIES INSTALL_RPATH ${CMAKE_INSTALL_PREFIX}/${private})
    endif()
    install(TARGETS nsapi-host)
  endif()
endfunction()

# lib<name>.a from the objects of the shared library <name>: compiled once,
# position-independent either way.
function(pithorama_static_twin lib)
  add_library(${lib}_static STATIC $<TARGET_OBJECTS:${lib}>)
  set_target_properties(${lib}_static PROPERTIES OUTPUT_NAME pithorama-${lib})
  install(TARGETS ${lib}_static ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
endfunction()

# What a Windows install adds, so that the folder can be copied to a Windows
# machine as it is: the library build of pithorama beside the program and its
# data, the stand-in hosts with the stand-in NSAPI server library in bin\, and
# the example programs and libraries in examples\. Everything links its
# runtime statically; no other DLL is needed.
function(pithorama_install_windows_folder)
  # A DLL's import library (lib*.dll.a) is for linking against it, which no
  # user of these does.
  set(no_import_library ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT import_libraries
                        EXCLUDE_FROM_ALL)
  if(TARGET pithorama_library)
    install(TARGETS pithorama_library RUNTIME DESTINATION ${PITHORAMA_CGI_DIR} ${no_import_library})
  endif()
  foreach(host isapi-host nsapi-host nsapiserver)
    if(TARGET ${host})
      install(TARGETS ${host} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} ${no_import_library})
    endif()
  endforeach()
  foreach(example echo echo_library resident_echo resident_echo_threads upload)
    if(TARGET ${example})
      install(TARGETS ${example} RUNTIME DESTINATION examples ${no_import_library})
    endif()
  endforeach()
endfunction()

# The installed file is libpithorama-<name>: plain names like libmail.a
# would clash with other packages in a shared lib/ folder.
function(pithorama_package_library lib)
  add_library(pithorama::${lib} ALIAS ${lib})
  set_target_properties(${lib} PROPERTIES OUTPUT_NAME pithorama-${lib} EXPORT_NAME ${lib}
                                          VERSION ${PROJECT_VERSION} SOVERSION ${PITHORAMA_SOVERSION})
  target_compile_features(${lib} PUBLIC cxx_std_20)
  target_include_directories(${lib} PUBLIC $<BUILD_INTERFACE:${pithorama_BINARY_DIR}/include>)
  install(TARGETS ${lib} EXPORT pithoramaTargets
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endfunction()

# An installed program finds the package's shared libraries relative to its
# own folder, so any prefix works without the loader's configuration. Not
# where the loader looks anyway (/usr/lib/<triplet>): a package must not set
# a run path there.
function(pithorama_program_rpath program folder)
  if(CMAKE_INSTALL_FULL_LIBDIR IN_LIST CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES)
    return()
  endif()
  if(TARGET ${program} AND NOT IS_ABSOLUTE ${folder})
    file(RELATIVE_PATH libdir /${folder} /${CMAKE_INSTALL_LIBDIR})
    set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/${libdir}")
  endif()
endfunction()

function(pithorama_install_headers)
  set(private_patterns "")
  foreach(pattern ${PITHORAMA_PRIVATE_HEADER_PATTERNS})
    list(APPEND private_patterns PATTERN ${pattern} EXCLUDE)
  endforeach()
  foreach(folder ${PITHORAMA_PACKAGE_HEADER_FOLDERS})
    if(IS_DIRECTORY ${pithorama_SOURCE_DIR}/${folder})
      install(DIRECTORY ${pithorama_SOURCE_DIR}/${folder}/
              DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/pithorama/${folder}
              FILES_MATCHING PATTERN "*.h" ${private_patterns})
    endif()
  endforeach()
endfunction()

function(pithorama_install_cmake_package libraries)
  install(EXPORT pithoramaTargets NAMESPACE pithorama:: DESTINATION ${PITHORAMA_CMAKE_DIR})
  configure_package_config_file(${pithorama_SOURCE_DIR}/cmake/pithoramaConfig.cmake.in
                                ${pithorama_BINARY_DIR}/package/pithoramaConfig.cmake
                                INSTALL_DESTINATION ${PITHORAMA_CMAKE_DIR})
  write_basic_package_version_file(${pithorama_BINARY_DIR}/package/pithoramaConfigVersion.cmake
                                   COMPATIBILITY SameMinorVersion)
  install(FILES ${pithorama_BINARY_DIR}/package/pithoramaConfig.cmake
                ${pithorama_BINARY_DIR}/package/pithoramaConfigVersion.cmake
          DESTINATION ${PITHORAMA_CMAKE_DIR})
endfunction()

# One pkg-config module for the whole library; static archives need every
# library, the ones that use others first.
function(pithorama_install_pkg_config libraries)
  set(PITHORAMA_PC_LIBS "")
  foreach(lib ${libraries})
    get_target_property(type ${lib} TYPE)
    if(type STREQUAL "STATIC_LIBRARY" OR type STREQUAL "SHARED_LIBRARY")
      string(PREPEND PITHORAMA_PC_LIBS "-lpithorama-${lib} ")
    endif()
  endforeach()
  # The file finds its prefix from where it lies, so a package unpacked into
  # another root still works.
  set(pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  file(RELATIVE_PATH PITHORAMA_PC_PREFIX /${pc_dir} /)
  string(REGEX REPLACE "/$" "" PITHORAMA_PC_PREFIX "\${pcfiledir}/${PITHORAMA_PC_PREFIX}")
  configure_file(${pithorama_SOURCE_DIR}/cmake/pithorama.pc.in ${pithorama_BINARY_DIR}/package/pithorama.pc @ONLY)
  install(FILES ${pithorama_BINARY_DIR}/package/pithorama.pc DESTINATION ${pc_dir})
endfunction()
