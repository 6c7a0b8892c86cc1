# Every external package is found here, once.
find_package(ICU REQUIRED COMPONENTS uc i18n)
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
find_package(nlohmann_json 3.10 REQUIRED)
find_package(CLI11 REQUIRED)
find_package(tomlplusplus 3 REQUIRED)  # layout files
find_package(Threads REQUIRED)

# ICU and OpenSSL as the layers link them: shared libraries, except in a program whose property
# LUMIFOLD_STATIC_LIBRARIES is on (lumifold itself, with LUMIFOLD_STATIC_CLI), which takes their
# static archives. Binding the shared libraries' symbols at each start (OpenSSL's, and the C++
# library's that ICU brings) cost the program a millisecond, more than printing a whole store.
set(_lumifold_static_archives)
if(LUMIFOLD_STATIC_CLI AND LUMIFOLD_SANITIZE)
    message(STATUS "LUMIFOLD_STATIC_CLI is ignored with the sanitizers")
elseif(LUMIFOLD_STATIC_CLI)
    foreach(archive icui18n icuuc icudata crypto)
        find_library(LUMIFOLD_${archive}_ARCHIVE lib${archive}.a)
        if(NOT LUMIFOLD_${archive}_ARCHIVE)
            message(STATUS "lib${archive}.a not found: lumifold links its libraries dynamically")
            set(_lumifold_static_archives)
            break()
        endif()
        list(APPEND _lumifold_static_archives ${LUMIFOLD_${archive}_ARCHIVE})
    endforeach()
endif()
set(LUMIFOLD_STATIC_CLI_ACTIVE FALSE)
if(_lumifold_static_archives)
    set(LUMIFOLD_STATIC_CLI_ACTIVE TRUE)
endif()
set(_lumifold_static "$<BOOL:$<TARGET_PROPERTY:LUMIFOLD_STATIC_LIBRARIES>>")
add_library(lumifold_icu INTERFACE)
add_library(lumifold_crypto INTERFACE)
if(LUMIFOLD_STATIC_CLI_ACTIVE)
    list(FILTER _lumifold_static_archives INCLUDE REGEX "libicu")
    target_include_directories(lumifold_icu INTERFACE ${ICU_INCLUDE_DIRS})
    target_include_directories(lumifold_crypto INTERFACE ${OPENSSL_INCLUDE_DIR})
    target_link_libraries(lumifold_icu INTERFACE
        "$<${_lumifold_static}:${_lumifold_static_archives};${CMAKE_DL_LIBS};Threads::Threads>"
        "$<$<NOT:${_lumifold_static}>:ICU::uc;ICU::i18n>")
    target_link_libraries(lumifold_crypto INTERFACE
        "$<${_lumifold_static}:${LUMIFOLD_crypto_ARCHIVE};${CMAKE_DL_LIBS};Threads::Threads>"
        "$<$<NOT:${_lumifold_static}>:OpenSSL::Crypto>")
else()
    target_link_libraries(lumifold_icu INTERFACE ICU::uc ICU::i18n)
    target_link_libraries(lumifold_crypto INTERFACE OpenSSL::Crypto)
endif()
find_program(HELP2MAN help2man)  # optional: makes the man page
# The desktop app is skipped, with a message, where Qt 6 is missing; the rest still builds.
find_package(Qt6 COMPONENTS Widgets Concurrent Test QUIET)
if(NOT Qt6_FOUND)
    message(STATUS "Qt 6 (Widgets, Concurrent, Test) not found: the app Lumifold is not built")
endif()
if(LUMIFOLD_TESTS)
    find_package(GTest REQUIRED)
    find_package(Python3 REQUIRED COMPONENTS Interpreter)  # the layer check
    include(GoogleTest)
endif()
if(LUMIFOLD_BENCH)
    find_package(benchmark REQUIRED)
endif()
