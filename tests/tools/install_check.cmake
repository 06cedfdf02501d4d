# Installs the build tree as `cmake --install` would to its configured prefix
# (staged under DESTDIR) and uses only the installed files: their layout, the
# SONAME, an out-of-tree C program built through find_package and through
# pkg-config, the tool and the Python package, imported by the system Python
# as it would find it under that prefix (e.g. /usr/local).
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DSOURCE_DIR=... -DPYTHON=... -DINSTALL_PREFIX=...
#         -P install_check.cmake
foreach(var BUILD_DIR WORK_DIR SOURCE_DIR PYTHON INSTALL_PREFIX)
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

file(REMOVE_RECURSE ${WORK_DIR})
set(destdir ${WORK_DIR}/root)
string(REGEX REPLACE "/$" "" install_prefix "${INSTALL_PREFIX}")
set(prefix ${destdir}${install_prefix})
run(${CMAKE_COMMAND} -E env DESTDIR=${destdir} ${CMAKE_COMMAND} --install ${BUILD_DIR})

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
          ${prefix}/share/man/man1/qelomsr.1)
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

# The Python package: where the system Python searches for the prefix, with
# no path of the build or source tree in it, importable with only the
# prefix's site directories (staged) and finding the staged library.
file(GLOB_RECURSE init_files ${prefix}/__init__.py)
list(FILTER init_files INCLUDE REGEX "/qelomsr/__init__\\.py$")
list(LENGTH init_files n)
if(NOT n EQUAL 1)
  message(FATAL_ERROR "expected one installed Python package, found: ${init_files}")
endif()
get_filename_component(package_dir ${init_files} DIRECTORY)
get_filename_component(site_dir ${package_dir} DIRECTORY)
file(GLOB package_files ${package_dir}/*.py)
foreach(f ${package_files})
  file(READ ${f} text)
  foreach(tree ${BUILD_DIR} ${SOURCE_DIR} ${destdir})
    string(FIND "${text}" "${tree}" at)
    if(NOT at EQUAL -1)
      message(FATAL_ERROR "${f} names the path ${tree}")
    endif()
  endforeach()
endforeach()
run(${CMAKE_COMMAND} -E env --unset=QELOMSR_LIBRARY --unset=PYTHONPATH --unset=LD_LIBRARY_PATH
    ${PYTHON} -S ${SOURCE_DIR}/tests/tools/python_import_check.py ${destdir} ${install_prefix}
    ${site_dir})
string(REPLACE "\n" ";" lines "${RUN_OUTPUT}")
list(GET lines 0 imported)
list(GET lines 1 loaded)
list(GET lines 2 version)
get_filename_component(real_libdir ${libdir} REALPATH)
if(NOT imported STREQUAL "${package_dir}/__init__.py" OR NOT loaded STREQUAL
   "${real_libdir}/libqelomsr.so.2.0.0.0" OR NOT version STREQUAL "2.0.0.0")
  message(FATAL_ERROR "the system Python did not import the installed package with the "
                      "installed library:\n${RUN_OUTPUT}")
endif()
message(STATUS "Python: ${site_dir}")
message(STATUS "install tree OK: ${prefix}")
