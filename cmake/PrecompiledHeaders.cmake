# Half of compiling a source is parsing the headers it includes: one precompiled header serves
# every library and program. Only the headers all of them can see, and none whose meaning
# depends on a module's macros (QT_WIDGETS_LIB, QT_TESTLIB_LIB), or GCC refuses the header for
# the targets defined otherwise. A force-included header hides a missing include, so the builds
# made while writing code leave this off.
add_library(folimbra_headers OBJECT cmake/precompiled.cpp)
set_target_properties(folimbra_headers PROPERTIES AUTOMOC OFF)
target_link_libraries(folimbra_headers PRIVATE Qt6::Core)
target_precompile_headers(folimbra_headers PRIVATE
    <algorithm> <atomic> <functional> <memory> <mutex> <optional> <string> <vector>
    <QByteArray> <QByteArrayList> <QDateTime> <QDir> <QElapsedTimer> <QFile> <QHash> <QList>
    <QLocale> <QObject> <QRegularExpression> <QSet> <QString> <QStringList> <QStringView>
    <QtEndian>)

function(folimbra_reuse_headers directory)
    get_property(targets DIRECTORY ${directory} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
        get_target_property(type ${target} TYPE)
        # Modules are loaded into other programs and built without Qt.
        if(type MATCHES "^(STATIC_LIBRARY|EXECUTABLE)$")
            target_precompile_headers(${target} REUSE_FROM folimbra_headers)
        endif()
    endforeach()
    get_property(subdirectories DIRECTORY ${directory} PROPERTY SUBDIRECTORIES)
    foreach(subdirectory IN LISTS subdirectories)
        folimbra_reuse_headers(${subdirectory})
    endforeach()
endfunction()
folimbra_reuse_headers(${PROJECT_SOURCE_DIR})
