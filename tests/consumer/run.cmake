# Installs the library into a staging prefix and builds and runs a separate consumer project
# against it with find_package(Tessaline), then builds the same program with pkg-config's flags.
# Where Qt 6 is there, the Qt example window is built against the installed Qt adapter too.
set(prefix ${BINARY_DIR}/consumer-stage)
set(consumer_build ${BINARY_DIR}/consumer-build)
file(REMOVE_RECURSE ${prefix} ${consumer_build})

# Runs a command; the test fails with `what` when it does not succeed.
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed")
  endif()
endfunction()

run("install" ${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${prefix})
if(EXISTS ${prefix}/include/tessaline/Tessaline/records/detail
   OR EXISTS ${prefix}/include/tessaline/platform/detail)
  message(FATAL_ERROR "internal detail headers were installed")
endif()

# The consumer is compiled and linked like the library: a sanitizer build needs the sanitizer's
# runtime in the program itself.
load_cache(${BINARY_DIR} READ_WITH_PREFIX parent_ CMAKE_CXX_COMPILER CMAKE_CXX_FLAGS
           CMAKE_EXE_LINKER_FLAGS)
run("consumer configure" ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${consumer_build}
    -G ${GENERATOR} -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${parent_CMAKE_CXX_COMPILER}
    "-DCMAKE_CXX_FLAGS=${parent_CMAKE_CXX_FLAGS}"
    "-DCMAKE_EXE_LINKER_FLAGS=${parent_CMAKE_EXE_LINKER_FLAGS}")
run("consumer build" ${CMAKE_COMMAND} --build ${consumer_build})
run("consumer run" ${consumer_build}/consumer)

# Where the library was built with Qt, the example window builds on the installed Qt adapter.
file(GLOB qt_targets ${prefix}/lib*/cmake/Tessaline/TessalineQtTargets.cmake
     ${prefix}/lib/*/cmake/Tessaline/TessalineQtTargets.cmake)
if(qt_targets)
  run("Qt example configure" ${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/qt-feedback
      -B ${consumer_build}/qt -G ${GENERATOR} -DCMAKE_PREFIX_PATH=${prefix}
      -DCMAKE_CXX_COMPILER=${parent_CMAKE_CXX_COMPILER} "-DCMAKE_CXX_FLAGS=${parent_CMAKE_CXX_FLAGS}"
      "-DCMAKE_EXE_LINKER_FLAGS=${parent_CMAKE_EXE_LINKER_FLAGS}")
  run("Qt example build" ${CMAKE_COMMAND} --build ${consumer_build}/qt)
endif()

file(GLOB pc_dir LIST_DIRECTORIES true ${prefix}/lib*/pkgconfig ${prefix}/lib/*/pkgconfig)
# The file finds its prefix relative to where it lies, so the staged copy works as installed.
execute_process(COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pc_dir}
                        pkg-config --cflags --libs tessaline
                RESULT_VARIABLE rc OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0 OR NOT flags MATCHES "-ltessaline")
  message(FATAL_ERROR "pkg-config does not find tessaline: ${flags}")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
separate_arguments(parent_cxx_flags UNIX_COMMAND "${parent_CMAKE_CXX_FLAGS}")
separate_arguments(parent_link_flags UNIX_COMMAND "${parent_CMAKE_EXE_LINKER_FLAGS}")
get_filename_component(libdir ${pc_dir} DIRECTORY)
run("consumer build with pkg-config flags" ${parent_CMAKE_CXX_COMPILER} ${parent_cxx_flags}
    ${SOURCE_DIR}/tests/consumer/main.cpp -o ${consumer_build}/consumer-pc ${flags}
    ${parent_link_flags} -Wl,-rpath,${libdir})
run("consumer built with pkg-config flags" ${consumer_build}/consumer-pc)
