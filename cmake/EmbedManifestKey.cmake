# Writes a C++ source that defines the array symbol: the PEM text of the Ed25519 public key that
# the cache variable names (release manifests are checked against SONAVELLE_MANIFEST_KEY, channel
# statements against SONAVELLE_CHANNEL_KEY), or an empty text for an updater built without one.
# Runs at configure time; the key file is a configure dependency, so editing it reconfigures.
function(sonavelle_embed_ed25519_key variable symbol key_file output)
    set(pem "")
    if(NOT key_file STREQUAL "")
        if(NOT EXISTS "${key_file}")
            message(FATAL_ERROR "${variable}: no such file: ${key_file}")
        endif()
        file(SIZE "${key_file}" size)
        if(size GREATER 4096)
            message(FATAL_ERROR "${variable}: ${key_file} is too large for a public key")
        endif()
        file(READ "${key_file}" pem)
        # Base64 between the markers, nothing a raw string literal could trip over.
        if(NOT pem MATCHES "^-----BEGIN PUBLIC KEY-----\r?\n[A-Za-z0-9+/=\r\n]+-----END PUBLIC KEY-----\r?\n?$")
            message(FATAL_ERROR
                "${variable}: ${key_file} is not a PEM public key (openssl pkey -pubout)")
        endif()
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${key_file}")
    endif()
    file(CONFIGURE OUTPUT "${output}" CONTENT
"// Generated from ${variable}; do not edit.
#include \"ed25519.h\"

const char ${symbol}[] = R\"pem(@pem@)pem\";
" @ONLY)
endfunction()
