# qsim_add_vbus_test(<target> [TIMEOUT <seconds>])
#
# Registers a GoogleTest executable that runs on the virtual USB bus with
# CTest, one CTest entry per test case. Link the target against
# qsim_vbus_gtest_main (or call qsim::vbustest::initProcess from your own
# main): the executable then re-executes itself under umockdev's preload,
# with the sanitizer runtime first in LD_PRELOAD for QELOMSR_SANITIZER
# builds, so it also runs correctly when started by hand.
function(qsim_add_vbus_test target)
  cmake_parse_arguments(ARG "" "TIMEOUT" "" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  gtest_discover_tests(${target}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS vbus)
endfunction()

# qsim_add_vbus_run_test(<name> COMMAND <program> [args...] [CONFIG <file>])
#
# Registers a test that runs any program under the runner qelomsr-vbus (the
# default topology unless CONFIG is given).
function(qsim_add_vbus_run_test name)
  cmake_parse_arguments(ARG "" "CONFIG;TIMEOUT" "COMMAND" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  set(config)
  if(ARG_CONFIG)
    set(config --config ${ARG_CONFIG})
  endif()
  add_test(NAME ${name} COMMAND $<TARGET_FILE:qelomsr-vbus> ${config} -- ${ARG_COMMAND})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS vbus)
endfunction()
