# Warnings on for everything we build; third-party headers come in as SYSTEM.
function(tessan_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
        -Wno-sign-conversion $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Wold-style-cast>)
    # GCC 12 at -O2 reports bogus array-bounds and maybe-uninitialized warnings inside libstdc++
    # containers and nlohmann-json; the library proper uses neither and keeps both warnings.
    if(NOT target STREQUAL "nli" AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        target_compile_options(${target} PRIVATE -Wno-array-bounds -Wno-maybe-uninitialized
            -Wno-stringop-overread -Wno-stringop-overflow)
    endif()
endfunction()

# One test executable per file tests/<layer>/<name>_test.cpp. The file's first line may carry
# "// labels: unit slow" to choose its CTest labels (default: integration).
function(tessan_add_tests layer)
    cmake_parse_arguments(T "" "" "LIBS" ${ARGN})
    file(GLOB test_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
    foreach(src ${test_sources})
        get_filename_component(name ${src} NAME_WE)
        set(exe ${layer}_${name})
        add_executable(${exe} ${src})
        tessan_warnings(${exe})
        target_link_libraries(${exe} PRIVATE ${T_LIBS} testsupport GTest::gtest GTest::gmock)
        file(STRINGS ${src} label_line LIMIT_COUNT 1 REGEX "^// labels:")
        set(labels integration)
        if(label_line)
            string(REPLACE "// labels:" "" label_line "${label_line}")
            string(STRIP "${label_line}" label_line)
            string(REPLACE " " ";" labels "${label_line}")
        endif()
        gtest_discover_tests(${exe} TEST_PREFIX "${layer}." PROPERTIES LABELS "${labels}"
            DISCOVERY_TIMEOUT 60)
    endforeach()
endfunction()
