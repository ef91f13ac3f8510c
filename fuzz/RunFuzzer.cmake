# Runs one fuzzer for SECONDS on a fresh copy of CORPUS in WORK; fails when
# the fuzzer finds a crash, leak or timeout (the reproducer is left in WORK).
# The targets' own output is discarded (-close_fd_mask); libFuzzer's and the
# sanitizers' reports still appear.
# cmake -DFUZZER=... -DCORPUS=... -DWORK=... -DSECONDS=... -DDICT=... -P RunFuzzer.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/corpus)
file(GLOB seeds ${CORPUS}/*)
file(COPY ${seeds} DESTINATION ${WORK}/corpus)
execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=10 -rss_limit_mb=2048
          -max_len=8192 -dict=${DICT} -close_fd_mask=3 -print_final_stats=1 -artifact_prefix=${WORK}/ ${WORK}/corpus
  WORKING_DIRECTORY ${WORK}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed (${status}); reproducer in ${WORK}")
endif()
