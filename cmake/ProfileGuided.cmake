# Profile-guided optimisation of the runtime and the module (GCC only).
#
# Configuring with ZELVO_PGO=ON first builds an instrumented copy of this
# project in <build>/pgo-training (same sources, same targets, so every
# object file sits at the same relative path as here), runs
# scripts/pgo_train.py against its module, and copies the profiles the run
# leaves next to that copy's object files to the same places in this build.
# Both libraries are then compiled with -fprofile-use. The training is
# repeated only when a source it covers has changed.
#
# Any failure on the way ends in a warning and a build without profiles:
# the same module, only slower. A profile that no longer matches a function
# (a source edited since the training) is ignored for that function.

if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  message(STATUS "Profile-guided build: skipped (needs GCC, not ${CMAKE_CXX_COMPILER_ID})")
  return()
endif()
if(NOT ZELVO_BUILD_MODULE OR ZELVO_SANITIZE)
  message(STATUS "Profile-guided build: skipped (needs the module, and no sanitizers)")
  return()
endif()
find_package(Python 3.11 COMPONENTS Interpreter Development.Module REQUIRED)

set(_pgo_dir "${CMAKE_BINARY_DIR}/pgo-training")
set(_pgo_trainer "${PROJECT_SOURCE_DIR}/scripts/pgo_train.py")

# What the profiles depend on: every source compiled into the module, the
# build files, and the training run with its inputs.
file(GLOB_RECURSE _pgo_inputs CONFIGURE_DEPENDS
     "${PROJECT_SOURCE_DIR}/zelvo-runtime/src/*" "${PROJECT_SOURCE_DIR}/binding/src/*"
     "${PROJECT_SOURCE_DIR}/examples/guard_*")
list(APPEND _pgo_inputs "${PROJECT_SOURCE_DIR}/CMakeLists.txt" "${PROJECT_SOURCE_DIR}/zelvo-runtime/CMakeLists.txt"
     "${PROJECT_SOURCE_DIR}/binding/CMakeLists.txt" "${CMAKE_CURRENT_LIST_FILE}" "${_pgo_trainer}")
list(SORT _pgo_inputs)
set(_pgo_key "${CMAKE_CXX_COMPILER_VERSION} ${CMAKE_BUILD_TYPE} ${CMAKE_CXX_FLAGS} ${Python_EXECUTABLE}")
foreach(_file IN LISTS _pgo_inputs)
  file(SHA256 "${_file}" _hash)
  string(APPEND _pgo_key " ${_hash}")
endforeach()
string(SHA256 _pgo_key "${_pgo_key}")

function(_pgo_step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _out)
  if(NOT _rc EQUAL 0)
    file(WRITE "${_pgo_dir}/failed.log" "${_out}")
    message(WARNING "Profile-guided build: ${what} failed (${_pgo_dir}/failed.log); building without profiles")
    set(_pgo_ok FALSE PARENT_SCOPE)
  endif()
endfunction()

set(_pgo_ok TRUE)
set(_pgo_stamp "${_pgo_dir}/profiles.key")
set(_pgo_previous "")
if(EXISTS "${_pgo_stamp}")
  file(READ "${_pgo_stamp}" _pgo_previous)
endif()
if(NOT _pgo_previous STREQUAL _pgo_key)
  message(STATUS "Profile-guided build: building the instrumented copy and training it")
  # From scratch: a copy configured by an earlier build may have been made
  # with another generator or build tool.
  file(REMOVE_RECURSE "${_pgo_dir}")
  set(_pgo_args -S "${PROJECT_SOURCE_DIR}" -B "${_pgo_dir}" -G "${CMAKE_GENERATOR}"
      "-DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}" "-DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER}"
      "-DCMAKE_CXX_FLAGS=${CMAKE_CXX_FLAGS}" "-DPython_EXECUTABLE=${Python_EXECUTABLE}"
      -DZELVO_PGO=OFF -DZELVO_PGO_INSTRUMENT=ON -DZELVO_BUILD_MODULE=ON -DZELVO_BUILD_TESTS=OFF
      -DZELVO_BUILD_BENCHMARKS=OFF -DZELVO_SANITIZE=OFF)
  if(CMAKE_MAKE_PROGRAM)
    list(APPEND _pgo_args "-DCMAKE_MAKE_PROGRAM=${CMAKE_MAKE_PROGRAM}")
  endif()
  _pgo_step("configuring the instrumented copy" "${CMAKE_COMMAND}" ${_pgo_args})
  if(_pgo_ok)
    cmake_host_system_information(RESULT _cores QUERY NUMBER_OF_LOGICAL_CORES)
    _pgo_step("building the instrumented copy" "${CMAKE_COMMAND}" --build "${_pgo_dir}" --parallel ${_cores})
  endif()
  if(_pgo_ok)
    _pgo_step("the training run" "${CMAKE_COMMAND}" -E env PYTHONDONTWRITEBYTECODE=1
              "${Python_EXECUTABLE}" "${_pgo_trainer}" "${_pgo_dir}/binding")
  endif()
  if(_pgo_ok)
    file(GLOB_RECURSE _old RELATIVE "${CMAKE_BINARY_DIR}" "${CMAKE_BINARY_DIR}/zelvo-runtime/*.gcda"
         "${CMAKE_BINARY_DIR}/binding/*.gcda")
    foreach(_file IN LISTS _old)
      file(REMOVE "${CMAKE_BINARY_DIR}/${_file}")
    endforeach()
    file(GLOB_RECURSE _profiles RELATIVE "${_pgo_dir}" "${_pgo_dir}/*.gcda")
    foreach(_file IN LISTS _profiles)
      get_filename_component(_where "${CMAKE_BINARY_DIR}/${_file}" DIRECTORY)
      file(COPY "${_pgo_dir}/${_file}" DESTINATION "${_where}")
    endforeach()
    list(LENGTH _profiles _count)
    if(_count EQUAL 0)
      message(WARNING "Profile-guided build: the training run left no profiles; building without them")
      set(_pgo_ok FALSE)
    else()
      file(WRITE "${_pgo_stamp}" "${_pgo_key}")
    endif()
  endif()
endif()

if(_pgo_ok)
  message(STATUS "Profile-guided build: compiling with the training run's profiles")
  foreach(_target IN ITEMS zelvo_runtime zelvo_host _korvanthel_core)
    target_compile_options(${_target} PRIVATE -fprofile-use -fprofile-partial-training -Wno-missing-profile
                                              -Wno-coverage-mismatch)
  endforeach()
endif()
