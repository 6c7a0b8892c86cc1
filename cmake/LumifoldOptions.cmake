# One interface target carries the language level, warnings and sanitizers for every target.
add_library(lumifold_options INTERFACE)
target_compile_features(lumifold_options INTERFACE cxx_std_20)
target_include_directories(lumifold_options INTERFACE ${PROJECT_SOURCE_DIR})
target_compile_options(lumifold_options INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
    -Woverloaded-virtual -Wconversion -Wsign-conversion -Wnull-dereference
    -Wimplicit-fallthrough -Wformat=2)
if(LUMIFOLD_WERROR)
    target_compile_options(lumifold_options INTERFACE -Werror)
endif()
if(LUMIFOLD_SANITIZE)
    target_compile_options(lumifold_options INTERFACE
        -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    target_link_options(lumifold_options INTERFACE -fsanitize=address,undefined)
endif()
