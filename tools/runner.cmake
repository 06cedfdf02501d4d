# Finds the target of the virtual USB bus runner (sim/), which hosts emulated
# devices and runs a program against them: QELOMSR_RUNNER is its target name,
# or empty when the emulator is not part of this build.
set(QELOMSR_RUNNER "")
foreach(_qelomsr_runner_target qelomsr-vbus qelomsr_vbus)
  if(TARGET ${_qelomsr_runner_target})
    set(QELOMSR_RUNNER ${_qelomsr_runner_target})
    break()
  endif()
endforeach()
