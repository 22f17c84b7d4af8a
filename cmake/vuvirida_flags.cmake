# Compiler settings shared by every target that evaluates waveforms.
# Results are compared bit for bit, so the compiler may neither contract a
# multiply and an add into one rounding nor reorder floating-point operations.
function(vuvirida_apply_flags target)
    set_target_properties(${target} PROPERTIES
        CXX_STANDARD 20
        CXX_STANDARD_REQUIRED ON
        CXX_EXTENSIONS OFF
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON
        POSITION_INDEPENDENT_CODE ON)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "^(GNU|Clang|AppleClang)$")
        message(FATAL_ERROR "${CMAKE_CXX_COMPILER_ID} is not a compiler whose floating-point "
            "settings this project pins; use GCC, Clang or Apple Clang")
    endif()
    target_compile_options(${target} PRIVATE
        -ffp-contract=off -fno-fast-math -fno-associative-math
        # A sin and a cos of one argument stay two calls: merged into sincos,
        # the library may answer otherwise (its sincos differs from sin
        # between 0.855 and 2.426).
        -fno-builtin-sin -fno-builtin-cos
        -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion)
    if(VUVIRIDA_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
    if(VUVIRIDA_SANITIZE)
        target_compile_options(${target} PRIVATE
            -fsanitize=address,undefined -fno-sanitize-recover=undefined
            -fno-omit-frame-pointer)
        target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    endif()
endfunction()
