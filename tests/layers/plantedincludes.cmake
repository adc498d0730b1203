# Plants one include at a time into a copy of the source folders and runs the layer check on it:
# an include that runs up or sideways must fail the check with its exact line, a permitted one
# and the untouched tree must pass.
#   cmake -DSOURCE_DIR=<source tree> -DWORK_DIR=<scratch folder> -P plantedincludes.cmake
cmake_minimum_required(VERSION 3.25)

set(folders core tasks download replace engine ui startup tools)
# "file that gets the include|header included|expected violation, empty when permitted"
set(cases
    "|| "
    "core/configuration.cpp|updateengine.h|core/configuration.cpp includes engine/updateengine.h"
    "core/wholefile.h|taskspecification.h|core/wholefile.h includes tasks/taskspecification.h"
    "tasks/taskspecification.cpp|mirrors.h|tasks/taskspecification.cpp includes download/mirrors.h"
    "download/mirrors.cpp|filetransfertaskspecification.h|download/mirrors.cpp includes replace/filetransfertaskspecification.h"
    "replace/filerenametaskspecification.h|downloadtaskspecification.h|replace/filerenametaskspecification.h includes download/downloadtaskspecification.h"
    "engine/updateengine.cpp|mainwindow.h|engine/updateengine.cpp includes ui/mainwindow.h"
    "ui/newsbanner.cpp|processtools.h|ui/newsbanner.cpp includes startup/processtools.h"
    "tools/keytool/keytool.cpp|taskspecification.h|tools/keytool/keytool.cpp includes tasks/taskspecification.h"
    "tools/releasetool/releasetool.cpp|updateserver.h|tools/releasetool/releasetool.cpp includes tools/updateserver/updateserver.h"
    "download/mirrors.cpp|taskspecification.h| "
    "ui/newsbanner.cpp|updateengine.h| "
    "tools/releasetool/releasetool.cpp|wholefile.h| "
    "startup/main.cpp|wholefile.h| ")

set(failures 0)
foreach(case IN LISTS cases)
    string(REPLACE "|" ";" fields "${case}")
    list(GET fields 0 target)
    list(GET fields 1 header)
    list(GET fields 2 expected)
    string(STRIP "${expected}" expected)

    file(REMOVE_RECURSE "${WORK_DIR}")
    foreach(folder IN LISTS folders)
        file(COPY "${SOURCE_DIR}/${folder}" DESTINATION "${WORK_DIR}"
             FILES_MATCHING PATTERN "*.h" PATTERN "*.cpp")
    endforeach()
    if(target)
        if(NOT EXISTS "${WORK_DIR}/${target}")
            message(FATAL_ERROR "no file ${target} to plant an include in")
        endif()
        file(APPEND "${WORK_DIR}/${target}" "#include \"${header}\"\n")
    endif()

    execute_process(
        COMMAND ${CMAKE_COMMAND} -DSONAVELLE_CHECK_SOURCE_DIR=${WORK_DIR}
                -P ${SOURCE_DIR}/cmake/LayerCheck.cmake
        RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    string(REGEX REPLACE "[ \t\n]+" " " output "${output}")
    if(expected)
        if(result EQUAL 0)
            message(SEND_ERROR "${target} including ${header} passed the layer check")
            math(EXPR failures "${failures} + 1")
        elseif(NOT output MATCHES "An include runs against the layers"
               OR NOT output MATCHES " ${expected} ")
            message(SEND_ERROR "${target} including ${header}: expected \"${expected}\", got: ${output}")
            math(EXPR failures "${failures} + 1")
        endif()
    elseif(NOT result EQUAL 0)
        message(SEND_ERROR "'${target}' including '${header}' failed the layer check: ${output}")
        math(EXPR failures "${failures} + 1")
    endif()
endforeach()
file(REMOVE_RECURSE "${WORK_DIR}")
if(failures GREATER 0)
    message(FATAL_ERROR "${failures} layer check case(s) failed")
endif()
message(STATUS "layer check: all cases as expected")
