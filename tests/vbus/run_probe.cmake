# Runs the libusb probe under qelomsr-vbus and checks what it sees: the
# default topology, a config file's topology, hotplug through the control
# socket, the child's exit status and the refusal of a bad config.
include(${CMAKE_CURRENT_LIST_DIR}/run_helpers.cmake)

function(expect_ids)
  foreach(line "USB:1-0-3 [0-9a-f]+:3201" "USB:1-0-2-1 [0-9a-f]+:3204" "USB:1-0-2-4 [0-9a-f]+:3202")
    if(NOT out MATCHES "${line}")
      message(FATAL_ERROR "missing \"${line}\" in:\n${out}\n${err}")
    endif()
  endforeach()
endfunction()

run(${RUNNER} -- ${PROBE})
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "runner exited with ${rc}\n${out}\n${err}")
endif()
expect_ids()

run(${RUNNER} --config ${SOURCE_DIR}/sim/examples/default.json -- ${PROBE} --hotplug 1-2.4 USB:1-0-2-4)
if(NOT rc EQUAL 0 OR NOT out MATCHES "hotplug ok")
  message(FATAL_ERROR "hotplug under the runner failed (${rc})\n${out}\n${err}")
endif()
expect_ids()

run(${RUNNER} -- sh -c "exit 7")
if(NOT rc EQUAL 7)
  message(FATAL_ERROR "runner returned ${rc} for a child that exited with 7")
endif()

file(WRITE ${WORK_DIR}/bad-topology.json "{\"topology\": [{\"port\": \"1-3\"}]}")
run(${RUNNER} --config ${WORK_DIR}/bad-topology.json -- ${PROBE})
if(NOT rc EQUAL 125 OR NOT err MATCHES "needs either a 'device'")
  message(FATAL_ERROR "bad config: runner returned ${rc}\n${err}")
endif()

# Faults by name through the control channel: known names pass, others fail.
run(${RUNNER} -- sh -c "${RUNNER} ctl fault 1-3 stall on && ${RUNNER} ctl fault 1-2.1 interfaceHeld on && ! ${RUNNER} ctl fault 1-3 nosuch on && ! ${RUNNER} ctl fault 1-2 stall on")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "fault switching through ctl failed (${rc})\n${out}\n${err}")
endif()

# A holder killed while its read waits leaves the device claimable.
run(${RUNNER} -- ${PROBE} --killed-holder USB:1-0-3)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "killed holder (${rc})\n${out}\n${err}")
endif()

# The devices' clock run by hand, a device's state, and a control socket at
# a path of the caller's choice.
run(${RUNNER} --manual-clock --control-socket ${WORK_DIR}/probe.sock -- sh -c
    "test \"$QELOMSR_VBUS_CONTROL\" = ${WORK_DIR}/probe.sock && ${RUNNER} ctl clock | grep -qx 'now 0' && ${RUNNER} ctl clock advance 1.5s >/dev/null && ${RUNNER} ctl clock | grep -qx 'now 1500000000' && ${RUNNER} ctl state 1-2.4 | grep -qx 'acquisition idle' && ! ${RUNNER} ctl state 1-2 && ${RUNNER} ctl clock steady && ! ${RUNNER} ctl clock advance 1s")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "clock and state through ctl failed (${rc})\n${out}\n${err}")
endif()
