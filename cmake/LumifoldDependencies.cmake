# Every external package is found here, once.
find_package(ICU REQUIRED COMPONENTS uc i18n)
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
find_package(nlohmann_json 3.10 REQUIRED)
find_package(CLI11 REQUIRED)
find_package(tomlplusplus 3 REQUIRED)  # layout files
find_package(Threads REQUIRED)
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
