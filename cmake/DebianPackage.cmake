# The Debian package: library, headers, CMake and pkg-config files, the tools
# and the pithorama CGI folder, in one package built by `cpack -G DEB`.

set(PITHORAMA_CGI_FOLDER /usr/${PITHORAMA_CGI_DIR})
if(IS_ABSOLUTE ${PITHORAMA_CGI_DIR})
  set(PITHORAMA_CGI_FOLDER ${PITHORAMA_CGI_DIR})
endif()
foreach(script postinst postrm)
  configure_file(${pithorama_SOURCE_DIR}/cmake/debian/${script}.in ${pithorama_BINARY_DIR}/package/debian/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                                  WORLD_EXECUTE)
endforeach()

set(CPACK_PACKAGE_NAME pithorama)
set(CPACK_PACKAGE_VENDOR "pithorama developers")
set(CPACK_PACKAGE_CONTACT "pithorama developers <pithorama@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "web gateway library in C++20 and the pithorama CGI program")
# The long text below the summary, in short lines as dpkg shows them.
string(JOIN "\n" CPACK_DEBIAN_PACKAGE_DESCRIPTION
       "The library gives a program one request model (request variables, form"
       "fields, an answer written as text with its HTTP header added by itself)"
       "and one event, whatever web-server interface started the program."
       ""
       "The package holds the static libraries, the headers, a CMake package"
       "(find_package(pithorama)) and a pkg-config module; the quote tools"
       "mkquotes and quote; and the CGI program pithorama with its data in"
       "${PITHORAMA_CGI_FOLDER}.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The programs carry their C++ runtime; a program built on the library needs
# a C++20 compiler, and pithorama needs a web server that runs CGI programs.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "httpd-cgi, g++ (>= 4:12), cmake (>= 3.25) | pkg-config")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${pithorama_BINARY_DIR}/package/debian/postinst
                                       ${pithorama_BINARY_DIR}/package/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
