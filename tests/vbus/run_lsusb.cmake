# Runs the standard USB tools under qelomsr-vbus: lsusb lists every device
# with its strings, lsusb -t draws the tree, lsusb -v reads strings, the hub
# descriptor and the port status; none of them stumbles on a missing sysfs
# attribute or descriptor.
function(run)
  execute_process(COMMAND ${RUNNER} -- ${ARGN} OUTPUT_VARIABLE out ERROR_VARIABLE err
                  RESULT_VARIABLE rc TIMEOUT 120)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN} under the runner exited with ${rc}\n${out}\n${err}")
  endif()
  if(err MATCHES "No such file|can't|cannot|rror")
    message(FATAL_ERROR "${ARGN} complained:\n${err}\n${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

function(expect)
  foreach(pattern ${ARGN})
    if(NOT out MATCHES "${pattern}")
      message(FATAL_ERROR "missing \"${pattern}\" in:\n${out}")
    endif()
  endforeach()
endfunction()

# Names come from the udev hardware database where there is one, else from
# the devices' sysfs strings.
run(${LSUSB})
expect("ID 1209:3201 [^\n]*[A-Za-z]" "ID 1209:3204 [^\n]*[A-Za-z]" "ID 1209:3202 [^\n]*[A-Za-z]"
       "ID 05e3:0608 [^\n]*[A-Za-z]" "ID 1d6b:0002 [^\n]*[A-Za-z]")

run(${LSUSB} -t)
expect("Bus 01.Port 1: Dev 1, Class=root_hub, Driver=vhci_hcd/15p, 480M"
       "\\|__ Port 2: Dev [0-9]+, If 0, Class=[^,]*, Driver=hub/15p, 480M"
       "\\|__ Port 1: Dev [0-9]+, If 0, Class=[^,]*, Driver=[^,]*, 480M"
       "\\|__ Port 4: Dev [0-9]+, If 0, Class=[^,]*, Driver=[^,]*, 480M"
       "\\|__ Port 3: Dev [0-9]+, If 0, Class=[^,]*, Driver=[^,]*, 480M")

run(${LSUSB} -v -d 1209:3201)
expect("iManufacturer +1 Qelo\n" "iProduct +2 QeloKa1x\n" "iSerial +3 KA1X-004711\n"
       "bInterfaceClass +255" "bNumEndpoints +2")

run(${LSUSB} -v -d 05e3:0608)
expect("Hub Descriptor:" "nNbrPorts +15" "Port 1: 0000.0503 highspeed power enable connect"
       "Port 2: 0000.0100 power\n" "Port 4: 0000.0503 highspeed power enable connect")
