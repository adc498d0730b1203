# Writes a C++ source that defines PUBLIC_KEY: the key file zero-padded to 2048 bytes.
# Runs at configure time; the key file is a configure dependency, so editing it reconfigures.
function(sonavelle_embed_public_key key_file output)
    if(NOT EXISTS "${key_file}")
        message(FATAL_ERROR "SONAVELLE_PUBLIC_KEY: no such file: ${key_file}")
    endif()
    file(SIZE "${key_file}" size)
    if(size EQUAL 0 OR size GREATER 2048)
        message(FATAL_ERROR "SONAVELLE_PUBLIC_KEY: ${key_file} must hold 1 to 2048 bytes, not ${size}")
    endif()
    file(READ "${key_file}" hex HEX)
    if(NOT hex MATCHES "^30")
        message(FATAL_ERROR "SONAVELLE_PUBLIC_KEY: ${key_file} does not start with a DER SEQUENCE")
    endif()
    math(EXPR padding "2048 - ${size}")
    string(REPEAT "00" ${padding} zeros)
    string(APPEND hex "${zeros}")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
    file(CONFIGURE OUTPUT "${output}" CONTENT
"// Generated from ${key_file}; do not edit.
#include \"tomcryptutil.h\"

const unsigned char PUBLIC_KEY[PUBLIC_KEY_SIZE] = {
    ${bytes}
};
" @ONLY)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${key_file}")
endfunction()
