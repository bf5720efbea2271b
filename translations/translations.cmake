# davaz_translations(TARGET CATALOGUE DIRS...)
# The English catalogue translations/CATALOGUE_en.ts of the texts found in the
# source folders DIRS, compiled by lrelease and embedded in TARGET under
# :/i18n/CATALOGUE_en.qm. The .ts file is updated by hand with the
# `update_translations` target (lupdate); the build never rewrites it. The
# file list is kept in the build folder, where the translations test runs the
# same lupdate to find texts still untranslated.
find_package(Qt6 REQUIRED COMPONENTS LinguistTools)

function(davaz_translations target catalogue)
    set(sources "")
    foreach(dir ${ARGN})
        file(GLOB_RECURSE found CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cpp ${CMAKE_SOURCE_DIR}/${dir}/*.h
             ${CMAKE_SOURCE_DIR}/${dir}/*.ui)
        list(APPEND sources ${found})
    endforeach()
    list(SORT sources)
    set(ts ${CMAKE_SOURCE_DIR}/translations/${catalogue}_en.ts)
    set(list_file ${CMAKE_BINARY_DIR}/translations/${catalogue}.lst)
    string(REPLACE ";" "\n" lines "${sources}")
    file(WRITE ${list_file}.new "${lines}\n")
    file(COPY_FILE ${list_file}.new ${list_file} ONLY_IF_DIFFERENT)

    # Without source locations, a line moved in the code leaves the catalogue alone.
    add_custom_target(${catalogue}_lupdate
        COMMAND Qt6::lupdate -silent -locations none -no-obsolete @${list_file} -ts ${ts}
        COMMENT "lupdate ${ts}" VERBATIM)
    if(NOT TARGET update_translations)
        add_custom_target(update_translations)
    endif()
    add_dependencies(update_translations ${catalogue}_lupdate)

    qt_add_lrelease(${target} TS_FILES ${ts} QM_FILES_OUTPUT_VARIABLE qm NO_GLOBAL_TARGET)
    qt_add_resources(${target} ${catalogue}_translations PREFIX /i18n BASE ${CMAKE_CURRENT_BINARY_DIR} FILES ${qm})
    set_property(GLOBAL APPEND PROPERTY DAVAZ_CATALOGUES "${catalogue}|${ts}|${list_file}")
endfunction()
