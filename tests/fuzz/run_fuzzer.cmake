# Builds the SDDL fuzzer with clang (incrementally) and runs it for a bounded time.
# cmake -DSOURCE=<tests/fuzz> -DBINARY=<build dir> -DCLANG=<clang++> -DSECONDS=<n> -P run_fuzzer.cmake
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${BINARY} -DCMAKE_CXX_COMPILER=${CLANG}
                        -DCMAKE_BUILD_TYPE=
                RESULT_VARIABLE result OUTPUT_QUIET)
if(result)
    message(FATAL_ERROR "configuring the fuzzer failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY} -j 2 RESULT_VARIABLE result OUTPUT_QUIET)
if(result)
    message(FATAL_ERROR "building the fuzzer failed")
endif()
file(MAKE_DIRECTORY ${BINARY}/corpus)
execute_process(COMMAND ${BINARY}/sddl_fuzzer -max_total_time=${SECONDS} -seed=1 -rss_limit_mb=2048
                        -dict=${SOURCE}/sddl.dict -artifact_prefix=${BINARY}/ ${BINARY}/corpus ${SOURCE}/seeds
                RESULT_VARIABLE result)
if(result)
    message(FATAL_ERROR "the fuzzer found a fault (see above; the input is saved in ${BINARY})")
endif()
