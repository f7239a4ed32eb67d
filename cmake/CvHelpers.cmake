# Two helpers keep each folder's CMakeLists.txt to a few declarations.

# cv_library(<name> SOURCES <files...> [DEPS <targets...>])
# A static library of server code; tests link the same archives the DLL is made of.
function(cv_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR} ${CV_GEN})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  add_dependencies(${name} cv_idl)
endfunction()

# cv_test(<name> SOURCES <files...> [DEPS <targets...>] [LOCKS <resources...>] [REGISTERED] [CLEANUP] [SERIAL]
#         [TIMEOUT <seconds, 120>])
# A GoogleTest executable run under wine; every test case becomes one ctest test, but for suites
# named *Child, which only run in the child processes of other tests.
# REGISTERED: needs the server and the stand-ins registered in the private prefix.
# CLEANUP: changes the registration; runs after every REGISTERED test, holding the registration lock.
# SERIAL: runs alone (listening to the debugger output would stall other processes' output).
function(cv_test name)
  cmake_parse_arguments(ARG "REGISTERED;CLEANUP;SERIAL" "TIMEOUT" "SOURCES;DEPS;LOCKS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE cv_testsupport ${ARG_DEPS} GTest::gtest_main cv_started_marker)
  add_dependencies(${name} cv_runtime)
  set(props "")
  if(ARG_REGISTERED)
    list(APPEND props FIXTURES_REQUIRED registered)
  endif()
  if(ARG_SERIAL)
    list(APPEND props RUN_SERIAL TRUE)
  endif()
  if(ARG_CLEANUP)
    list(APPEND props FIXTURES_CLEANUP registered)
    list(APPEND ARG_LOCKS registration)
  endif()
  if(ARG_LOCKS)
    list(APPEND props RESOURCE_LOCK "${ARG_LOCKS}")
  endif()
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${CV_OUT}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    # Suites named *Child are the bodies of child processes that their parent tests start.
    TEST_FILTER "-*Child.*"
    PROPERTIES ${props} TIMEOUT ${ARG_TIMEOUT}
    # No module cache unless a test asks for it: a cache left by an earlier run would spare reads
    # that tests count on.
    ENVIRONMENT CVMMUPDATER_CACHE=0)
endfunction()

# cv_widl(<name> [TLB <file>] [DEPENDS ...]): idl/<name>.idl -> gen/<name>.tlb (or gen/<file>), .h, _i.c
# (one widl call per output).
function(cv_widl name)
  cmake_parse_arguments(ARG "" "TLB" "DEPENDS" ${ARGN})
  if(NOT ARG_TLB)
    set(ARG_TLB ${name}.tlb)
  endif()
  set(idl ${PROJECT_SOURCE_DIR}/idl/${name}.idl)
  set(W ${WIDL_EXECUTABLE} -m64 -I${PROJECT_SOURCE_DIR}/idl -I${WINE_IDL_DIR} -L${WINE_TLB_DIR} -L${CV_GEN})
  add_custom_command(
    OUTPUT ${CV_GEN}/${ARG_TLB} ${CV_GEN}/${name}.h ${CV_GEN}/${name}_i.c
    COMMAND ${W} -t -o ${CV_GEN}/${ARG_TLB} ${idl}
    COMMAND ${W} -h -o ${CV_GEN}/${name}.h ${idl}
    COMMAND ${W} -u -o ${CV_GEN}/${name}_i.c ${idl}
    DEPENDS ${idl} ${ARG_DEPENDS}
    COMMENT "widl ${name}.idl"
    VERBATIM)
endfunction()

# cv_version_resource(<target> <description>): the project's version as the target's version resource.
function(cv_version_resource target description)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    set(CV_RC_FILETYPE VFT_DLL)
    set(CV_RC_FILENAME ${target}.dll)
  else()
    set(CV_RC_FILETYPE VFT_APP)
    set(CV_RC_FILENAME ${target}.exe)
  endif()
  set(CV_RC_NAME ${target})
  set(CV_RC_DESCRIPTION "${description}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/VersionInfo.rc.in ${CV_GEN}/${target}.version.rc @ONLY)
  target_sources(${target} PRIVATE ${CV_GEN}/${target}.version.rc)
endfunction()
