# Windows tests, run under Wine. They share one prefix (its registry and
# service manager), so they run one at a time, between the set-up that makes
# the prefix and starts a persistent wineserver and the clean-up that stops it.
set(WINE_SCRIPTS ${PROJECT_SOURCE_DIR}/scripts)
add_test(NAME wine.prefix COMMAND /usr/bin/env DURUVUDE_BUILD=${CMAKE_BINARY_DIR} ${WINE_SCRIPTS}/wine-prefix.sh --start)
set_tests_properties(wine.prefix PROPERTIES FIXTURES_SETUP wine RESOURCE_LOCK wineprefix TIMEOUT 120)
add_test(NAME wine.shutdown COMMAND /usr/bin/env DURUVUDE_BUILD=${CMAKE_BINARY_DIR} ${WINE_SCRIPTS}/wine-prefix.sh --stop)
set_tests_properties(wine.shutdown PROPERTIES FIXTURES_CLEANUP wine RESOURCE_LOCK wineprefix)

# The fixture driver and its variants.
set(FIXTURE_DIR ${CMAKE_BINARY_DIR}/fixture)
set(DDK_INCLUDE /usr/${MINGW_TRIPLET}/include/ddk)
set(FIXTURE_DRIVERS)
foreach(variant "KTRX.SYS;" "KTRX-REFUSE.SYS;-DKTRX_REFUSE_OPEN" "KTRX-NOUNLOAD.SYS;-DKTRX_NO_UNLOAD")
  list(GET variant 0 file)
  list(GET variant 1 define)
  add_custom_command(
    OUTPUT ${FIXTURE_DIR}/${file}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${FIXTURE_DIR}
    COMMAND ${CMAKE_C_COMPILER} -O2 -Wall -Wextra -Werror ${define} -I${DDK_INCLUDE}
            -shared -nostdlib -Wl,--subsystem,native -Wl,--entry,DriverEntry -Wl,--image-base,0x10000
            ${CMAKE_CURRENT_SOURCE_DIR}/fixture/ktrx.c -o ${FIXTURE_DIR}/${file} -lntoskrnl -lhal
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/fixture/ktrx.c
    VERBATIM)
  list(APPEND FIXTURE_DRIVERS ${FIXTURE_DIR}/${file})
endforeach()
# A USER32.dll to plant beside the EXE.
add_custom_command(
  OUTPUT ${FIXTURE_DIR}/planted/USER32.dll
  COMMAND ${CMAKE_COMMAND} -E make_directory ${FIXTURE_DIR}/planted
  COMMAND ${CMAKE_C_COMPILER} -O2 -Wall -Wextra -Werror -shared ${CMAKE_CURRENT_SOURCE_DIR}/fixture/planted.c
          -o ${FIXTURE_DIR}/planted/USER32.dll
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/fixture/planted.c
  VERBATIM)
list(APPEND FIXTURE_DRIVERS ${FIXTURE_DIR}/planted/USER32.dll)
add_custom_target(fixture_drivers ALL DEPENDS ${FIXTURE_DRIVERS})

add_library(runner_lib STATIC fixture/runner.cpp)
target_include_directories(runner_lib PUBLIC fixture)
target_link_libraries(runner_lib PUBLIC user32 PRIVATE project_options)

add_executable(runner fixture/runner_main.cpp)
target_link_libraries(runner PRIVATE runner_lib project_options)
target_link_options(runner PRIVATE -static)

add_executable(runner_probe fixture/runner_probe.cpp)
target_link_libraries(runner_probe PRIVATE user32 project_options)
target_link_options(runner_probe PRIVATE -static)

add_executable(contract_tests ${CONTRACT_TESTS})
target_link_libraries(contract_tests PRIVATE platform project_options GTest::gtest_main)
target_link_options(contract_tests PRIVATE -static)

add_executable(unit_tests ${UNIT_TESTS})
target_link_libraries(unit_tests PRIVATE tool project_options GTest::gtest_main)
target_link_options(unit_tests PRIVATE -static)

add_executable(wine_tests
  wine/wine_support.cpp
  wine/bed_test.cpp
  wine/frontend_e2e_test.cpp
  wine/eventlog_wine_test.cpp
  wine/install_e2e_test.cpp
  wine/remove_e2e_test.cpp
  wine/unattended_e2e_test.cpp)
target_link_libraries(wine_tests PRIVATE tool runner_lib version project_options GTest::gtest_main)
target_link_options(wine_tests PRIVATE -static)
add_dependencies(wine_tests duruvude runner_probe fixture_drivers)

function(to_wine_path out path)
  set(${out} "Z:${path}" PARENT_SCOPE)
endfunction()
to_wine_path(EXE_PATH $<TARGET_FILE:duruvude>)
to_wine_path(PROBE_PATH $<TARGET_FILE:runner_probe>)
to_wine_path(FIXTURE_PATH ${FIXTURE_DIR})

add_test(NAME windows.contract COMMAND contract_tests)
add_test(NAME windows.unit COMMAND unit_tests)
add_test(NAME windows.e2e COMMAND wine_tests --gtest_filter=-NoUnloadDriver.*)
# A driver that cannot be unloaded stays loaded until the wineserver ends:
# its test runs between two fresh wineservers, so no other test sees it.
add_test(NAME windows.e2e-nounload
  COMMAND /usr/bin/env DURUVUDE_BUILD=${CMAKE_BINARY_DIR} ${WINE_SCRIPTS}/wine-isolated.sh $<TARGET_FILE:wine_tests>
  --gtest_filter=NoUnloadDriver.*)
# A test that hangs (a box nobody answers) fails after a few minutes.
set_tests_properties(windows.contract windows.unit windows.e2e windows.e2e-nounload PROPERTIES
  TIMEOUT 300
  FIXTURES_REQUIRED wine
  RESOURCE_LOCK wineprefix
  ENVIRONMENT "DURUVUDE_EXE=${EXE_PATH};DURUVUDE_PROBE=${PROBE_PATH};DURUVUDE_FIXTURES=${FIXTURE_PATH}")

# The 32-bit EXE through the install, configure and uninstall cycle, as a
# 32-bit program on the 64-bit system with the same 64-bit fixture driver.
if(TARGET duruvude_x86)
  add_dependencies(wine_tests duruvude_x86)
  to_wine_path(EXE_X86_PATH ${CMAKE_BINARY_DIR}/x86/DURUVUDE.EXE)
  add_test(NAME windows.e2e-x86
    COMMAND /usr/bin/env DURUVUDE_BUILD=${CMAKE_BINARY_DIR} ${WINE_SCRIPTS}/wine32-test.sh $<TARGET_FILE:wine_tests>
    --gtest_filter=*AFreshInstall*:*UninstallStops*:*TheTimeoutAloneIsWritten*:*TwentyFullCycles*:VersionResource.*)
  set_tests_properties(windows.e2e-x86 PROPERTIES
    SKIP_RETURN_CODE 77
    FIXTURES_REQUIRED wine
    RESOURCE_LOCK wineprefix
    ENVIRONMENT "DURUVUDE_EXE=${EXE_X86_PATH};DURUVUDE_PROBE=${PROBE_PATH};DURUVUDE_FIXTURES=${FIXTURE_PATH}")
endif()
