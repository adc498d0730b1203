# A release build must name the real update host and the real signing keys.

# Fails when key_file is the development key dev_key of the source tree, or a copy of it.
function(sonavelle_refuse_development_key variable key_file dev_key)
    get_filename_component(_key "${key_file}" REALPATH)
    get_filename_component(_devkey "${CMAKE_SOURCE_DIR}/keys/${dev_key}" REALPATH)
    if(_key STREQUAL _devkey)
        message(FATAL_ERROR "SONAVELLE_RELEASE=ON but ${variable} is the development key")
    endif()
    if(EXISTS "${_devkey}" AND EXISTS "${_key}")
        file(SHA256 "${_key}" _keyhash)
        file(SHA256 "${_devkey}" _devkeyhash)
        if(_keyhash STREQUAL _devkeyhash)
            message(FATAL_ERROR "SONAVELLE_RELEASE=ON but ${variable} is a copy of the development key")
        endif()
    endif()
endfunction()

if(SONAVELLE_RELEASE)
    if(SONAVELLE_UPDATE_HOST MATCHES "^(127\\.|localhost$|::1$|\\[::1\\]$|0\\.0\\.0\\.0$)")
        message(FATAL_ERROR
            "SONAVELLE_RELEASE=ON but SONAVELLE_UPDATE_HOST (${SONAVELLE_UPDATE_HOST}) is a loopback address")
    endif()
    # Without a manifest key the updater falls back to RSA-1024 with SHA-1 and MD5 sums.
    if("${SONAVELLE_MANIFEST_KEY}" STREQUAL "")
        message(FATAL_ERROR
            "SONAVELLE_RELEASE=ON but SONAVELLE_MANIFEST_KEY is empty: a release build needs an "
            "Ed25519 manifest key. Make a key pair with\n"
            "  build/tools/sonavelle-keytool genkey-ed25519 manifest_private.pem manifest_public.pem\n"
            "sign releases with the private half (sonavelle-release --manifest-key) and configure "
            "with -DSONAVELLE_MANIFEST_KEY=<path>/manifest_public.pem")
    endif()
    sonavelle_refuse_development_key(SONAVELLE_MANIFEST_KEY "${SONAVELLE_MANIFEST_KEY}"
                                     development_manifest_public.pem)
    if(NOT "${SONAVELLE_CHANNEL_KEY}" STREQUAL "")
        sonavelle_refuse_development_key(SONAVELLE_CHANNEL_KEY "${SONAVELLE_CHANNEL_KEY}"
                                         development_channel_public.pem)
    endif()
    sonavelle_refuse_development_key(SONAVELLE_PUBLIC_KEY "${SONAVELLE_PUBLIC_KEY}"
                                     development_public.key)
endif()
