# Installs the library into a staging prefix and builds and runs a separate consumer project
# against it with find_package(Tessaline), then builds the same program with pkg-config's flags.
set(prefix ${BINARY_DIR}/consumer-stage)
set(consumer_build ${BINARY_DIR}/consumer-build)
file(REMOVE_RECURSE ${prefix} ${consumer_build})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${prefix}
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "install failed")
endif()
if(EXISTS ${prefix}/include/tessaline/Tessaline/records/detail
   OR EXISTS ${prefix}/include/tessaline/platform/detail)
  message(FATAL_ERROR "internal detail headers were installed")
endif()

# The consumer is compiled and linked like the library: a sanitizer build needs the sanitizer's
# runtime in the program itself.
load_cache(${BINARY_DIR} READ_WITH_PREFIX parent_ CMAKE_CXX_COMPILER CMAKE_CXX_FLAGS
           CMAKE_EXE_LINKER_FLAGS)
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${consumer_build}
                        -G ${GENERATOR} -DCMAKE_PREFIX_PATH=${prefix}
                        -DCMAKE_CXX_COMPILER=${parent_CMAKE_CXX_COMPILER}
                        "-DCMAKE_CXX_FLAGS=${parent_CMAKE_CXX_FLAGS}"
                        "-DCMAKE_EXE_LINKER_FLAGS=${parent_CMAKE_EXE_LINKER_FLAGS}"
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "consumer configure failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${consumer_build} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "consumer build failed")
endif()
execute_process(COMMAND ${consumer_build}/consumer RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "consumer run failed")
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
execute_process(COMMAND ${parent_CMAKE_CXX_COMPILER} ${parent_cxx_flags}
                        ${SOURCE_DIR}/tests/consumer/main.cpp -o ${consumer_build}/consumer-pc
                        ${flags} ${parent_link_flags} -Wl,-rpath,${libdir}
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "consumer build with pkg-config flags failed")
endif()
execute_process(COMMAND ${consumer_build}/consumer-pc RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "consumer built with pkg-config flags failed to run")
endif()
