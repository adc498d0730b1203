# The release tools run on build and mirror hosts without a display: none of them may link
# QtWidgets or QtGui.
#   cmake -DTOOLS="<tool>;<tool>..." -P toolswithoutgui.cmake
cmake_minimum_required(VERSION 3.25)

find_program(READELF readelf REQUIRED)
set(failures 0)
foreach(tool IN LISTS TOOLS)
    execute_process(COMMAND ${READELF} --dynamic "${tool}"
                    RESULT_VARIABLE result OUTPUT_VARIABLE dynamic ERROR_VARIABLE dynamic)
    if(NOT result EQUAL 0 OR NOT dynamic MATCHES "\\(NEEDED\\)")
        message(SEND_ERROR "cannot read the linked libraries of ${tool}: ${dynamic}")
        math(EXPR failures "${failures} + 1")
        continue()
    endif()
    string(REGEX MATCHALL "Shared library: \\[[^]]+\\]" needed "${dynamic}")
    foreach(library IN LISTS needed)
        if(library MATCHES "libQt6(Widgets|Gui)")
            message(SEND_ERROR "${tool} links ${library}")
            math(EXPR failures "${failures} + 1")
        endif()
    endforeach()
endforeach()
if(failures GREATER 0)
    message(FATAL_ERROR "a tool links the GUI libraries")
endif()
message(STATUS "tools without GUI libraries: ${TOOLS}")
