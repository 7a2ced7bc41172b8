# Builds a fuzz target with clang (incrementally) and runs it for a bounded time.
# cmake -DSOURCE=<tests/fuzz> -DBINARY=<build dir> -DCLANG=<clang++> -DTARGET=<name> -DSECONDS=<n>
#       [-DDICT=<dictionary file>] -P run_fuzzer.cmake
# Seeds, when there are any, are in <tests/fuzz>/seeds/<name without _fuzzer>.
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${BINARY} -DCMAKE_CXX_COMPILER=${CLANG}
                        -DCMAKE_BUILD_TYPE=
                RESULT_VARIABLE result OUTPUT_QUIET)
if(result)
    message(FATAL_ERROR "configuring the fuzzers failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY} -j 2 --target ${TARGET} RESULT_VARIABLE result OUTPUT_QUIET)
if(result)
    message(FATAL_ERROR "building ${TARGET} failed")
endif()
set(corpus ${BINARY}/corpus-${TARGET})
file(MAKE_DIRECTORY ${corpus})
set(arguments -max_total_time=${SECONDS} -seed=1 -rss_limit_mb=2048 -artifact_prefix=${BINARY}/${TARGET}-)
if(DICT)
    list(APPEND arguments -dict=${DICT})
endif()
string(REPLACE "_fuzzer" "" seeds ${TARGET})
set(seed_dir ${SOURCE}/seeds/${seeds})
if(NOT IS_DIRECTORY ${seed_dir})
    set(seed_dir)
endif()
execute_process(COMMAND ${BINARY}/${TARGET} ${arguments} ${corpus} ${seed_dir} RESULT_VARIABLE result)
if(result)
    message(FATAL_ERROR "${TARGET} found a fault (see above; the input is saved in ${BINARY})")
endif()
