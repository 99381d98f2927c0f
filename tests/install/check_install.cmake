# Installs the build into a fresh prefix and builds a small C program against it twice: with find_package(ryx)
# and with pkg-config. The program runs against the installed library, alone and against the installed ryx_sim.
# LIBDIR and DOCDIR are the build's folders below the prefix (a Debian build's LIBDIR is lib/<multiarch triplet>).
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "command failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
set(expected include/ryx.h ${LIBDIR}/pkgconfig/ryx.pc ${LIBDIR}/cmake/ryx/ryxConfig.cmake ${LIBDIR}/libryx.so.1
    bin/ryx_test bin/ryx_sim bin/ryx_spy share/man/man1/ryx_test.1 share/man/man1/ryx_sim.1 share/man/man1/ryx_spy.1
    share/man/man5/ryx-card.5 share/man/man3/ryx.3 share/man/man8/ifd_ryx.8
    ${DOCDIR}/examples/select_read_binary.txt ${DOCDIR}/examples/firmware_version.txt)
if(PCSC_DRIVER_DIR)
  list(APPEND expected ${PCSC_DRIVER_DIR}/libifd_ryx.so ${DOCDIR}/reader.conf.example)
endif()
foreach(f ${expected})
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()

# find_package(ryx) -> ryx::ryx
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/consumer -B ${WORK_DIR}/cmake-build -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_C_COMPILER=${C_COMPILER})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-build)
run(${WORK_DIR}/cmake-build/consumer)
run(${prefix}/bin/ryx_sim --run "${WORK_DIR}/cmake-build/consumer {port}")

# pkg-config
find_program(PKG_CONFIG pkg-config REQUIRED)
set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
execute_process(COMMAND ${PKG_CONFIG} --cflags --libs ryx OUTPUT_VARIABLE flags RESULT_VARIABLE rc
                OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know ryx")
endif()
separate_arguments(flags)
run(${C_COMPILER} -std=c99 -Wall -Werror ${SOURCE_DIR}/consumer/consumer.c ${flags}
    -Wl,-rpath,${prefix}/${LIBDIR} -o ${WORK_DIR}/consumer-pkg)
run(${WORK_DIR}/consumer-pkg)
