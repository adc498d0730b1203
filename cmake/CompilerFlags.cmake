# Warning and sanitizer flags shared by every target of the project.
add_compile_options(-Wall -Wextra)
if(SONAVELLE_WERROR)
    add_compile_options(-Werror)
endif()

if(SONAVELLE_SANITIZE)
    set(_sanitize -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    add_compile_options(${_sanitize})
    add_link_options(${_sanitize})
endif()

# Qt texts must be spelled out with QStringLiteral / u""_s or tr(); no silent conversions.
add_compile_definitions(QT_NO_CAST_FROM_ASCII QT_NO_CAST_TO_ASCII QT_NO_URL_CAST_FROM_STRING
                        QT_NO_CAST_FROM_BYTEARRAY QT_USE_QSTRINGBUILDER)
