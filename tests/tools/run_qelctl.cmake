# cmake -DQELCTL=path [-DEMULATOR=...] -DARGS=a;b -DEXPECT_RC=n
#       -DEXPECT_OUT=regex -DEXPECT_ERR=regex -P run_qelctl.cmake
# Fails unless qelctl exits with EXPECT_RC and stdout/stderr match.
execute_process(COMMAND ${EMULATOR} ${QELCTL} ${ARGS}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 25)
set(ok TRUE)
if(NOT rc STREQUAL EXPECT_RC)
  message(SEND_ERROR "exit status ${rc}, expected ${EXPECT_RC}")
  set(ok FALSE)
endif()
if(NOT out MATCHES "${EXPECT_OUT}")
  message(SEND_ERROR "stdout does not match '${EXPECT_OUT}'")
  set(ok FALSE)
endif()
if(NOT err MATCHES "${EXPECT_ERR}")
  message(SEND_ERROR "stderr does not match '${EXPECT_ERR}'")
  set(ok FALSE)
endif()
if(NOT ok)
  message(FATAL_ERROR "qelctl ${ARGS}\n--- stdout ---\n${out}\n--- stderr ---\n${err}")
endif()
