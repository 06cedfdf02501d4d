# Runs the libusb probe under qelomsr-vbus with the default topology and
# checks that it lists the three default devices with their ids.
execute_process(COMMAND ${RUNNER} -- ${PROBE} OUTPUT_VARIABLE out ERROR_VARIABLE err
                RESULT_VARIABLE rc TIMEOUT 50)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "runner exited with ${rc}\n${out}\n${err}")
endif()
foreach(line "USB:1-0-3 [0-9a-f]+:3201" "USB:1-0-2-1 [0-9a-f]+:3204" "USB:1-0-2-4 [0-9a-f]+:3202")
  if(NOT out MATCHES "${line}")
    message(FATAL_ERROR "missing \"${line}\" in:\n${out}\n${err}")
  endif()
endforeach()
# The child's exit status comes back through the runner.
execute_process(COMMAND ${RUNNER} -- sh -c "exit 7" RESULT_VARIABLE rc TIMEOUT 50)
if(NOT rc EQUAL 7)
  message(FATAL_ERROR "runner returned ${rc} for a child that exited with 7")
endif()
