# The folders are layers. A file may include headers of its own folder and of the folders below
# it, never of a folder above it or beside it. The check runs at configure time, on every build
# (target "layer_check") and in script mode:
#   cmake -DSONAVELLE_CHECK_SOURCE_DIR=<source tree> -P cmake/LayerCheck.cmake

if(CMAKE_SCRIPT_MODE_FILE)
    cmake_minimum_required(VERSION 3.25)
endif()

# "folder:folders it may include", lowest layer first.
set(SONAVELLE_LAYERS
    "core:"
    "tasks:core"
    "download:tasks core"
    "replace:tasks core"
    "engine:download replace tasks core"
    "ui:engine download replace tasks core"
    "startup:ui engine download replace tasks core"
    "tools:core")

function(_sonavelle_layer_folders out)
    set(folders)
    foreach(layer IN LISTS SONAVELLE_LAYERS)
        string(REGEX REPLACE ":.*" "" folder "${layer}")
        list(APPEND folders ${folder})
    endforeach()
    set(${out} ${folders} PARENT_SCOPE)
endfunction()

function(_sonavelle_allowed_folders folder out)
    foreach(layer IN LISTS SONAVELLE_LAYERS)
        if(layer MATCHES "^${folder}:(.*)$")
            string(REPLACE " " ";" below "${CMAKE_MATCH_1}")
            set(${out} ${folder} ${below} PARENT_SCOPE)
            return()
        endif()
    endforeach()
endfunction()

function(sonavelle_check_includes source_dir)
    _sonavelle_layer_folders(folders)
    # Which folder each project header lives in.
    foreach(folder IN LISTS folders)
        file(GLOB_RECURSE headers RELATIVE "${source_dir}/${folder}" "${source_dir}/${folder}/*.h")
        foreach(path IN LISTS headers)
            # tools/ holds a folder per program, and a program includes only its own headers.
            get_filename_component(header "${path}" NAME)
            get_filename_component(subfolder "${folder}/${path}" DIRECTORY)
            if(DEFINED _home_${header})
                message(FATAL_ERROR "Header ${header} exists in both ${_home_${header}}/ and ${subfolder}/; "
                                    "includes must name one folder")
            endif()
            set(_home_${header} ${subfolder})
        endforeach()
    endforeach()

    set(violations)
    foreach(folder IN LISTS folders)
        _sonavelle_allowed_folders(${folder} allowed)
        file(GLOB_RECURSE sources RELATIVE "${source_dir}" "${source_dir}/${folder}/*.h"
                                                   "${source_dir}/${folder}/*.cpp")
        foreach(source IN LISTS sources)
            get_filename_component(own "${source}" DIRECTORY)
            file(STRINGS "${source_dir}/${source}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
            foreach(line IN LISTS lines)
                string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" header "${line}")
                get_filename_component(header "${header}" NAME)
                if(NOT DEFINED _home_${header})
                    continue() # a generated header or one of a library
                endif()
                set(home ${_home_${header}})
                if(NOT home IN_LIST allowed AND NOT home STREQUAL own)
                    list(APPEND violations "${source} includes ${home}/${header}")
                endif()
            endforeach()
        endforeach()
    endforeach()

    if(violations)
        list(JOIN violations "\n  " listed)
        message(FATAL_ERROR "An include runs against the layers (core, tasks; download, replace; "
                            "engine; ui; startup; tools use core only):\n  ${listed}")
    endif()
endfunction()

# Static libraries may depend on each other in a circle without CMake complaining. The subsystems
# must form layers, so a circle among the project's libraries stops the configuration here.
function(_sonavelle_visit target path)
    if(target IN_LIST path)
        list(APPEND path ${target})
        string(REPLACE ";" " -> " circle "${path}")
        message(FATAL_ERROR "Subsystem libraries depend on each other in a circle: ${circle}")
    endif()
    list(APPEND path ${target})
    get_target_property(deps ${target} LINK_LIBRARIES)
    foreach(dep IN LISTS deps)
        if(dep MATCHES "^sonavelle_" AND TARGET ${dep})
            _sonavelle_visit(${dep} "${path}")
        endif()
    endforeach()
endfunction()

function(sonavelle_check_layers)
    foreach(target IN LISTS ARGN)
        _sonavelle_visit(${target} "")
    endforeach()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND DEFINED SONAVELLE_CHECK_SOURCE_DIR)
    sonavelle_check_includes("${SONAVELLE_CHECK_SOURCE_DIR}")
endif()
