# The runner with trigger wires in its configuration and `ctl` from another
# terminal: the wires and clocks a config sets, a config whose wires cannot be
# built, and how ctl finds its runner without QELOMSR_VBUS_CONTROL (the only
# one running, none, two). Each case has a runtime folder of its own, so that
# runners of other tests never count.
include(${CMAKE_CURRENT_LIST_DIR}/run_helpers.cmake)

function(expect what)
  if(NOT "${out}${err}" MATCHES "${what}")
    message(FATAL_ERROR "missing \"${what}\" (exit ${rc}) in:\n${out}\n${err}")
  endif()
endfunction()

set(env ${CMAKE_COMMAND} -E env --unset=QELOMSR_VBUS_CONTROL)
foreach(case one none two)
  file(REMOVE_RECURSE ${WORK_DIR}/xdg-${case})
  file(MAKE_DIRECTORY ${WORK_DIR}/xdg-${case})
endforeach()

# The only runner: ctl finds it with QELOMSR_VBUS_CONTROL unset.
run(${env} XDG_RUNTIME_DIR=${WORK_DIR}/xdg-one ${RUNNER} --config ${SOURCE_DIR}/sim/examples/wired.json
    -- sh -c "env -u QELOMSR_VBUS_CONTROL ${RUNNER} ctl wires && env -u QELOMSR_VBUS_CONTROL ${RUNNER} ctl state 1-2.1 | grep -x 'clockPpm -35'")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "wires and ctl under the runner (${rc})\n${out}\n${err}")
endif()
expect("1-3 1-2.1,1-2.4 drives=none carries=none\nok\n")

file(WRITE ${WORK_DIR}/self-wired.json [[
{"topology": [{"port": "1-3", "device": {}}], "wires": [{"from": "1-3", "to": "1-3"}]}
]])
run(${RUNNER} --config ${WORK_DIR}/self-wired.json -- true)
if(NOT rc EQUAL 125)
  message(FATAL_ERROR "a self-wired config: runner returned ${rc}\n${err}")
endif()
expect("self-wired.json: wire from 1-3: 1-3 is wired to itself")

# No runner: the error says what to set.
run(${env} XDG_RUNTIME_DIR=${WORK_DIR}/xdg-none ${RUNNER} ctl list)
if(NOT rc EQUAL 125)
  message(FATAL_ERROR "ctl without a runner returned ${rc}\n${out}\n${err}")
endif()
expect("no running qelomsr-vbus found in .*xdg-none/qelomsr-vbus: start one, or set QELOMSR_VBUS_CONTROL")

# Two runners (one runs the other): ctl lists both sockets instead of guessing.
run(${env} XDG_RUNTIME_DIR=${WORK_DIR}/xdg-two ${RUNNER} -- ${RUNNER} -- sh -c
    "env -u QELOMSR_VBUS_CONTROL ${RUNNER} ctl list")
if(NOT rc EQUAL 125)
  message(FATAL_ERROR "ctl with two runners returned ${rc}\n${out}\n${err}")
endif()
expect("2 runners are running: set QELOMSR_VBUS_CONTROL to the control socket of the one to drive:\n  [^\n]*/xdg-two/qelomsr-vbus/[0-9]+.sock\n  [^\n]*/xdg-two/qelomsr-vbus/[0-9]+.sock")
# Both cleaned up after themselves.
file(GLOB left ${WORK_DIR}/xdg-two/qelomsr-vbus/*)
if(left)
  message(FATAL_ERROR "sockets left behind: ${left}")
endif()
