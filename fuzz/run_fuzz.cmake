# run_fuzz.cmake - runs a fuzz target for SECONDS on a fresh copy of its seed corpus; any
# finding (crash, sanitizer report, leak, time-out) fails the run and is kept in WORK.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/corpus)
file(COPY ${SEEDS}/ DESTINATION ${WORK}/corpus)
# Standard output is closed: the log echoes every error line there.
execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=10 -close_fd_mask=1 -dict=${DICT}
          -artifact_prefix=${WORK}/ ${WORK}/corpus
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${FUZZER} found a fault (exit ${rc}); see ${WORK}")
endif()
