# The Debian package, built by CPack from the install rules (scripts/package.sh drives it).

# Debian wants manual pages and the changelog compressed with the greatest compression and
# without the time stamp gzip stores by default, so that rebuilds give the same bytes.
find_program(GZIP_EXECUTABLE gzip REQUIRED)

# Installs SOURCE as SOURCE's name plus ".gz" into DESTINATION. The copy is made under the
# destination's path, as two manuals of one name go to two languages' folders.
function(folimbra_install_gzipped source destination)
    get_filename_component(name ${source} NAME)
    set(dir ${CMAKE_CURRENT_BINARY_DIR}/gzipped/${destination})
    set(copy ${dir}/${name})
    add_custom_command(OUTPUT ${copy}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
        COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
        COMMAND ${GZIP_EXECUTABLE} -9nf ${copy}
        DEPENDS ${source}
        VERBATIM)
    string(MAKE_C_IDENTIFIER ${destination}/${name} target)
    add_custom_target(gzip_${target} ALL DEPENDS ${copy}.gz)
    add_dependencies(package-contents gzip_${target})
    install(FILES ${copy}.gz DESTINATION ${destination})
endfunction()

# Everything the install rules take from the build; scripts/package.sh builds only this.
add_custom_target(package-contents)
add_dependencies(package-contents folimbra folimbra-index folimbra-video)

# Debian keeps libraries where the loader looks; a RUNPATH would only let a stray copy in.
set(CMAKE_SKIP_INSTALL_RPATH ON)

# Directories a umask of 002 would leave group-writable are 0755 in the package.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME folimbra)
set(CPACK_PACKAGE_VENDOR "Quorvel")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quorvel Folimbra maintainers <folimbra@quorvel.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "HTML index page of the files of a folder")
set(CPACK_PACKAGE_DESCRIPTION [[
Quorvel Folimbra writes into a folder an HTML page, Quorvel-Html_index.html,
that lists every file of the folder as a link with its date, time and size,
optionally with a picture under each image, and ends with the number of files
and their total size. The folder is picked in a small Qt window whose
interface is in Spanish.

The package also holds folimbra-index, which writes the same page from the
command line, without a window.]])
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
# The debug symbols go to a package of their own, folimbra-dbgsym, and out of the binaries.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_PACKAGE_INSTALL_DIRECTORY folimbra)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${PROJECT_HOMEPAGE_URL})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt finds the window system and the TIFF and WebP readers through plugins, which the scan of
# the binaries cannot see. libexif, which reads the dates photos were taken, and TagLib
# (--tags) the scan finds as well; they are named so the package says so even where it is off.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, qt6-image-formats-plugins, libexif12, libtag1v5")
# The bash completion is read only where bash-completion is installed.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS bash-completion)
# xdg-open is what hands the finished page to the browser outside a desktop session.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS xdg-utils)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
