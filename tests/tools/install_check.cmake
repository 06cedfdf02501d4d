# Installs the build tree into a fresh prefix and uses only the installed
# files: their layout, the SONAME, an out-of-tree C program built through
# find_package and through pkg-config, the tool and the Python package.
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DSOURCE_DIR=... -DPYTHON=... -P install_check.cmake
foreach(var BUILD_DIR WORK_DIR SOURCE_DIR PYTHON)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(RUN_OUTPUT "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# Where the files went: the libdir is read back from the pkg-config file.
file(GLOB_RECURSE pc_files ${prefix}/*/qelomsr.pc)
list(LENGTH pc_files n)
if(NOT n EQUAL 1)
  message(FATAL_ERROR "expected one installed qelomsr.pc, found: ${pc_files}")
endif()
get_filename_component(pcdir ${pc_files} DIRECTORY)
get_filename_component(libdir ${pcdir} DIRECTORY)
foreach(f ${libdir}/libqelomsr.so.2 ${libdir}/libqelomsr.so ${prefix}/include/qelomsr/qelomsr.h
          ${libdir}/cmake/qelomsr/qelomsrConfig.cmake
          ${libdir}/cmake/qelomsr/qelomsrConfigVersion.cmake
          ${prefix}/lib/udev/rules.d/60-qelomsr.rules ${prefix}/bin/qelomsr
          ${prefix}/share/man/man1/qelomsr.1
          ${prefix}/lib/python3/dist-packages/qelomsr/__init__.py
          ${prefix}/lib/python3/dist-packages/qelomsr/_installed.py)
  if(NOT EXISTS ${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
run(readelf -d ${libdir}/libqelomsr.so.2)
if(NOT RUN_OUTPUT MATCHES "SONAME[^\n]*\\[libqelomsr\\.so\\.2\\]")
  message(FATAL_ERROR "libqelomsr.so.2 lacks its SONAME:\n${RUN_OUTPUT}")
endif()
file(READ ${prefix}/lib/udev/rules.d/60-qelomsr.rules rules)
foreach(pid 3201 3202 3204)
  if(NOT rules MATCHES "ATTR{idProduct}==\"${pid}\"[^\n]*TAG\\+=\"uaccess\"")
    message(FATAL_ERROR "the udev rules miss product id ${pid}")
  endif()
endforeach()

# The consumer project, configured with the installed files only.
run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pcdir}
    ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/tools/consumer -B ${WORK_DIR}/consumer
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
foreach(exe consumer_cmake consumer_pkgconfig)
  run(${WORK_DIR}/consumer/${exe})
  message(STATUS "${exe}: ${RUN_OUTPUT}")
endforeach()

# The installed tool finds the installed library by its relative RPATH.
run(${prefix}/bin/qelomsr --version)
if(NOT RUN_OUTPUT MATCHES "2\\.0\\.0\\.0")
  message(FATAL_ERROR "qelomsr --version: ${RUN_OUTPUT}")
endif()

# The installed Python package finds the installed library by itself. (The
# code has no semicolons: they would split the argument into a CMake list.)
run(${CMAKE_COMMAND} -E env --unset=QELOMSR_LIBRARY
    PYTHONPATH=${prefix}/lib/python3/dist-packages
    ${PYTHON} -c "import qelomsr\nimport qelomsr._library as lib\nprint(qelomsr.api_version())\nprint(lib.lib()._name)")
if(NOT RUN_OUTPUT MATCHES "^2\\.0\\.0\\.0\n${prefix}")
  message(FATAL_ERROR "the installed Python package did not use the installed library:\n${RUN_OUTPUT}")
endif()
message(STATUS "install tree OK: ${prefix}")
