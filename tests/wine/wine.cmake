# Windows tests, run under Wine. They share one prefix (its registry and
# service manager), so they run one at a time, between the set-up that makes
# the prefix and starts a persistent wineserver and the clean-up that stops it.
set(WINE_SCRIPTS ${PROJECT_SOURCE_DIR}/scripts)
add_test(NAME wine.prefix COMMAND /usr/bin/env DURUVUDE_BUILD=${CMAKE_BINARY_DIR} ${WINE_SCRIPTS}/wine-prefix.sh --start)
set_tests_properties(wine.prefix PROPERTIES FIXTURES_SETUP wine RESOURCE_LOCK wineprefix TIMEOUT 120)
add_test(NAME wine.shutdown COMMAND /usr/bin/env DURUVUDE_BUILD=${CMAKE_BINARY_DIR} ${WINE_SCRIPTS}/wine-prefix.sh --stop)
set_tests_properties(wine.shutdown PROPERTIES FIXTURES_CLEANUP wine RESOURCE_LOCK wineprefix)

# The fixture driver and its variants: native-subsystem images with the
# entry DriverEntry and no DLL flag, as kernel drivers are linked. Wine's
# service manager picks the 64- or 32-bit winedevice by the image's type,
# and an image with the DLL flag has no type it knows, so it would follow
# the bitness of whoever created the service: a 64-bit driver registered by
# the 32-bit EXE would then fail to load (1114).
set(FIXTURE_DIR ${CMAKE_BINARY_DIR}/fixture)
set(DDK_INCLUDE /usr/${MINGW_TRIPLET}/include/ddk)
# Each carries a version resource, as a released driver does; the -V2
# images are the next version, told apart once loaded by a second device
# link (\\.\KTRX2).
set(FIXTURE_DRIVERS)
foreach(variant "KTRX.SYS;1,0,0,0" "KTRX-REFUSE.SYS;1,0,0,0;-DKTRX_REFUSE_OPEN"
                "KTRX-NOUNLOAD.SYS;1,0,0,0;-DKTRX_NO_UNLOAD" "KTRX-V2.SYS;1,0,1,0;-DKTRX_SECOND_LINK"
                "KTRX-NOUNLOAD-V2.SYS;1,0,1,0;-DKTRX_NO_UNLOAD;-DKTRX_SECOND_LINK")
  list(POP_FRONT variant file version)
  add_custom_command(
    OUTPUT ${FIXTURE_DIR}/${file}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${FIXTURE_DIR}
    COMMAND ${CMAKE_RC_COMPILER} -DKTRX_VERSION=${version} ${CMAKE_CURRENT_SOURCE_DIR}/fixture/ktrx.rc
            -o ${FIXTURE_DIR}/${file}.res.o
    COMMAND ${CMAKE_C_COMPILER} -O2 -Wall -Wextra -Werror ${variant} -I${DDK_INCLUDE}
            -nostdlib -Wl,--subsystem,native -Wl,--entry,DriverEntry -Wl,--image-base,0x10000
            ${CMAKE_CURRENT_SOURCE_DIR}/fixture/ktrx.c ${FIXTURE_DIR}/${file}.res.o -o ${FIXTURE_DIR}/${file}
            -lntoskrnl -lhal
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/fixture/ktrx.c ${CMAKE_CURRENT_SOURCE_DIR}/fixture/ktrx.rc
    VERBATIM)
  list(APPEND FIXTURE_DRIVERS ${FIXTURE_DIR}/${file})
endforeach()
# The fixture as another processor's image (its machine field changed):
# nothing here loads it, and what reads the field must tell it apart.
foreach(variant "KTRX-ARM64.SYS;0xAA64" "KTRX-X86.SYS;0x14C")
  list(GET variant 0 file)
  list(GET variant 1 machine)
  add_custom_command(
    OUTPUT ${FIXTURE_DIR}/${file}
    COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/fixture/set-machine.py ${FIXTURE_DIR}/KTRX.SYS ${FIXTURE_DIR}/${file}
            ${machine}
    DEPENDS ${FIXTURE_DIR}/KTRX.SYS ${CMAKE_CURRENT_SOURCE_DIR}/fixture/set-machine.py
    VERBATIM)
  list(APPEND FIXTURE_DRIVERS ${FIXTURE_DIR}/${file})
endforeach()
# A USER32.dll to plant beside the EXE, one of each bitness: a DLL of the
# other bitness would not load whatever the search order.
foreach(variant "planted;${CMAKE_C_COMPILER}" "planted-x86;i686-w64-mingw32-gcc")
  list(GET variant 0 folder)
  list(GET variant 1 compiler)
  add_custom_command(
    OUTPUT ${FIXTURE_DIR}/${folder}/USER32.dll
    COMMAND ${CMAKE_COMMAND} -E make_directory ${FIXTURE_DIR}/${folder}
    COMMAND ${compiler} -O2 -Wall -Wextra -Werror -shared ${CMAKE_CURRENT_SOURCE_DIR}/fixture/planted.c
            -o ${FIXTURE_DIR}/${folder}/USER32.dll
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/fixture/planted.c
    VERBATIM)
  list(APPEND FIXTURE_DRIVERS ${FIXTURE_DIR}/${folder}/USER32.dll)
endforeach()
add_custom_target(fixture_drivers ALL DEPENDS ${FIXTURE_DRIVERS})

# Windows Installer packages with the fixture drivers, for the tests only:
# this version and the next (an upgrade, with the next driver), the same
# pair with the driver that cannot unload, and the x86 and Arm64 packages
# (with the fixture marked as an x86 and an ARM64 image).
set(MSI_TEST_DIR ${CMAKE_BINARY_DIR}/msi-test)
file(MAKE_DIRECTORY ${MSI_TEST_DIR}/nounload)
set(TEST_MSIS)
foreach(variant "DURUVUDE-1.0.0-x64.msi;x64;1.0.0;KTRX.SYS" "DURUVUDE-1.0.1-x64.msi;x64;1.0.1;KTRX-V2.SYS"
                "nounload/DURUVUDE-1.0.0-x64.msi;x64;1.0.0;KTRX-NOUNLOAD.SYS"
                "nounload/DURUVUDE-1.0.1-x64.msi;x64;1.0.1;KTRX-NOUNLOAD-V2.SYS")
  list(GET variant 0 file)
  list(GET variant 1 arch)
  list(GET variant 2 version)
  list(GET variant 3 driver)
  duruvude_msi(${MSI_TEST_DIR}/${file} ${arch} ${version} $<TARGET_FILE:duruvude> ${FIXTURE_DIR}/${driver}
               $<TARGET_FILE:duruvude_msi>)
  list(APPEND TEST_MSIS ${MSI_TEST_DIR}/${file})
endforeach()
if(TARGET duruvude_x86)
  duruvude_msi(${MSI_TEST_DIR}/DURUVUDE-1.0.0-x86.msi x86 1.0.0 ${CMAKE_BINARY_DIR}/x86/DURUVUDE.EXE
               ${FIXTURE_DIR}/KTRX-X86.SYS ${CMAKE_BINARY_DIR}/x86/DURUVUDEMSI.DLL)
  duruvude_msi(${MSI_TEST_DIR}/DURUVUDE-1.0.0-arm64.msi arm64 1.0.0 ${CMAKE_BINARY_DIR}/x86/DURUVUDE.EXE
               ${FIXTURE_DIR}/KTRX-ARM64.SYS ${CMAKE_BINARY_DIR}/x86/DURUVUDEMSI.DLL)
  list(APPEND TEST_MSIS ${MSI_TEST_DIR}/DURUVUDE-1.0.0-x86.msi ${MSI_TEST_DIR}/DURUVUDE-1.0.0-arm64.msi)
endif()
add_custom_target(test_msis ALL DEPENDS ${TEST_MSIS})
add_dependencies(test_msis fixture_drivers duruvude_msi)
if(TARGET duruvude_x86)
  add_dependencies(test_msis duruvude_x86)
endif()

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
  wine/guide_e2e_test.cpp
  wine/msi_e2e_test.cpp
  wine/remove_e2e_test.cpp
  wine/unattended_e2e_test.cpp)
target_link_libraries(wine_tests PRIVATE tool runner_lib version msi project_options GTest::gtest_main)
target_link_options(wine_tests PRIVATE -static)
add_dependencies(wine_tests duruvude ktrxhelp runner_probe fixture_drivers test_msis)

function(to_wine_path out path)
  set(${out} "Z:${path}" PARENT_SCOPE)
endfunction()
to_wine_path(EXE_PATH $<TARGET_FILE:duruvude>)
to_wine_path(PROBE_PATH $<TARGET_FILE:runner_probe>)
to_wine_path(FIXTURE_PATH ${FIXTURE_DIR})
to_wine_path(GUIDE_PATH ${PROJECT_SOURCE_DIR}/docs/ADMIN-GUIDE.txt)
to_wine_path(PACKAGE_FILES_PATH ${PROJECT_SOURCE_DIR}/package)
to_wine_path(MSI_TEST_PATH ${MSI_TEST_DIR})

add_test(NAME windows.contract COMMAND contract_tests)
add_test(NAME windows.unit COMMAND unit_tests)
set_tests_properties(windows.contract windows.unit PROPERTIES
  TIMEOUT 300
  FIXTURES_REQUIRED wine
  RESOURCE_LOCK wineprefix)

# The end-to-end suite, once with each EXE as the release package ships it:
# the 64-bit one, and the 32-bit one (x86/), which wine64 runs in its WoW64
# mode as a 32-bit program on the 64-bit system, with the same 64-bit
# fixture driver. A driver that cannot be unloaded stays loaded until the
# wineserver ends: its test runs between two fresh wineservers, so no other
# test sees it.
set(E2E_BUILDS windows)
set(E2E_EXE_windows $<TARGET_FILE:duruvude>)
set(E2E_HELPER_windows $<TARGET_FILE:ktrxhelp>)
if(TARGET duruvude_x86)
  add_dependencies(wine_tests duruvude_x86)
  list(APPEND E2E_BUILDS windows-x86)
  set(E2E_EXE_windows-x86 ${CMAKE_BINARY_DIR}/x86/DURUVUDE.EXE)
  set(E2E_HELPER_windows-x86 ${CMAKE_BINARY_DIR}/x86/KTRXHELP.EXE)
endif()
foreach(name ${E2E_BUILDS})
  to_wine_path(exe_path ${E2E_EXE_${name}})
  to_wine_path(helper_path ${E2E_HELPER_${name}})
  add_test(NAME ${name}.e2e
    COMMAND /usr/bin/env DURUVUDE_BUILD=${CMAKE_BINARY_DIR} ${WINE_SCRIPTS}/wine32-test.sh $<TARGET_FILE:wine_tests>
    --gtest_filter=-NoUnloadDriver.*)
  add_test(NAME ${name}.e2e-nounload
    COMMAND /usr/bin/env DURUVUDE_BUILD=${CMAKE_BINARY_DIR} ${WINE_SCRIPTS}/wine-isolated.sh $<TARGET_FILE:wine_tests>
    --gtest_filter=NoUnloadDriver.*)
  # A test that hangs (a box nobody answers) fails after a few minutes. The
  # 32-bit EXE's entries are skipped (77) where the CPU cannot run 32-bit
  # code (scripts/cpu32.sh), and only there.
  set(x86_entry 0)
  if(name STREQUAL "windows-x86")
    set(x86_entry 1)
    set_tests_properties(${name}.e2e ${name}.e2e-nounload PROPERTIES SKIP_RETURN_CODE 77)
  endif()
  set_tests_properties(${name}.e2e ${name}.e2e-nounload PROPERTIES
    TIMEOUT 600
    FIXTURES_REQUIRED wine
    RESOURCE_LOCK wineprefix
    ENVIRONMENT "DURUVUDE_EXE=${exe_path};DURUVUDE_HELPER=${helper_path};DURUVUDE_PROBE=${PROBE_PATH};DURUVUDE_FIXTURES=${FIXTURE_PATH};DURUVUDE_GUIDE=${GUIDE_PATH};DURUVUDE_PACKAGE_FILES=${PACKAGE_FILES_PATH};DURUVUDE_MSI=${MSI_TEST_PATH};DURUVUDE_X86_ENTRY=${x86_entry}")
endforeach()
