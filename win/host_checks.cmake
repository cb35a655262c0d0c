# Tests of the Windows driver image, and of the host header against the
# platform's, for the host build's CTest. Included by the top-level
# CMakeLists.txt; does nothing when the mingw-w64 cross compiler is missing.
# The image is built by a nested build of win/ (its own project, with the
# cross toolchain) into <build>/win-image.
find_program(STILLSCSI_MINGW_CXX x86_64-w64-mingw32-g++)
find_package(Python3 COMPONENTS Interpreter)

if(NOT STILLSCSI_MINGW_CXX OR NOT Python3_Interpreter_FOUND)
  message(STATUS "Windows driver image: x86_64-w64-mingw32-g++ or python3 not found, its tests are skipped")
  return()
endif()

set(STILLSCSI_WIN_DIR "${CMAKE_CURRENT_LIST_DIR}")
set(STILLSCSI_WIN_TESTS "${CMAKE_CURRENT_LIST_DIR}/../tests/win")
set(STILLSCSI_WIN_OUT "${CMAKE_BINARY_DIR}/win-image")

add_test(NAME win_image_builds
  COMMAND sh "${STILLSCSI_WIN_DIR}/build.sh" --tests "${STILLSCSI_WIN_OUT}")
set_tests_properties(win_image_builds PROPERTIES FIXTURES_SETUP win_image TIMEOUT 900)

add_test(NAME win_image_passes_check
  COMMAND "${Python3_EXECUTABLE}" "${STILLSCSI_WIN_DIR}/check_image.py" "${STILLSCSI_WIN_OUT}/stillscsi.sys")
set_tests_properties(win_image_passes_check PROPERTIES FIXTURES_REQUIRED win_image)

add_test(NAME win_image_checker_refuses_faults
  COMMAND "${Python3_EXECUTABLE}" "${STILLSCSI_WIN_TESTS}/test_check_image.py" "${STILLSCSI_WIN_OUT}/build")
set_tests_properties(win_image_checker_refuses_faults PROPERTIES FIXTURES_REQUIRED win_image)

# The test signature: the signed image verifies against the test
# certificate, and differs from the unsigned one by the signature only.
find_program(STILLSCSI_OSSLSIGNCODE osslsigncode)
if(STILLSCSI_OSSLSIGNCODE)
  add_test(NAME win_image_signature_verifies
    COMMAND "${STILLSCSI_OSSLSIGNCODE}" verify -CAfile "${STILLSCSI_WIN_OUT}/test-signing/test-signing.pem"
            -in "${STILLSCSI_WIN_OUT}/stillscsi.sys")
  set_tests_properties(win_image_signature_verifies PROPERTIES
    FIXTURES_REQUIRED win_image PASS_REGULAR_EXPRESSION "Signature verification: ok")
  add_test(NAME win_signed_image_differs_by_its_signature_only
    COMMAND "${Python3_EXECUTABLE}" "${STILLSCSI_WIN_TESTS}/test_signed_image.py"
            "${STILLSCSI_WIN_OUT}/build/stillscsi.sys" "${STILLSCSI_WIN_OUT}/stillscsi.sys")
  set_tests_properties(win_signed_image_differs_by_its_signature_only PROPERTIES FIXTURES_REQUIRED win_image)
else()
  message(STATUS "Windows driver image: osslsigncode not found, the image is not signed and its signature not checked")
endif()

# The driver package's INF, and its checker's own test. Need no image.
add_test(NAME win_inf_passes_check
  COMMAND "${Python3_EXECUTABLE}" "${STILLSCSI_WIN_DIR}/check_inf.py" "${STILLSCSI_WIN_DIR}/stillscsi.inf")
add_test(NAME win_inf_checker_refuses_faults
  COMMAND "${Python3_EXECUTABLE}" "${STILLSCSI_WIN_TESTS}/test_check_inf.py")

# The host build's kernel declarations against the platform's: every record,
# field, type and constant platform/host_ddk.h declares, measured by the host
# compiler and by the cross compiler (win/layout/). Needs no image.
add_test(NAME win_host_layout_matches_platform
  COMMAND "${Python3_EXECUTABLE}" "${STILLSCSI_WIN_DIR}/layout/compare_layout.py"
          --host-cxx "${CMAKE_CXX_COMPILER}" --mingw-cxx "${STILLSCSI_MINGW_CXX}"
          --work "${CMAKE_BINARY_DIR}/layout")
set_tests_properties(win_host_layout_matches_platform PROPERTIES TIMEOUT 120)

add_test(NAME win_layout_comparison_reports_drift
  COMMAND "${Python3_EXECUTABLE}" "${STILLSCSI_WIN_TESTS}/test_compare_layout.py"
          --host-cxx "${CMAKE_CXX_COMPILER}" --mingw-cxx "${STILLSCSI_MINGW_CXX}")
set_tests_properties(win_layout_comparison_reports_drift PROPERTIES TIMEOUT 300)

# The guard's exception handling, exercised for real: only where wine can run
# the user-mode test program.
find_program(STILLSCSI_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(STILLSCSI_WINE)
  add_test(NAME win_guarded_probe_catches_under_wine
    COMMAND "${STILLSCSI_WINE}" "${STILLSCSI_WIN_OUT}/build/guarded_probe_wine.exe")
  set_tests_properties(win_guarded_probe_catches_under_wine PROPERTIES
    FIXTURES_REQUIRED win_image
    TIMEOUT 300
    ENVIRONMENT "WINEPREFIX=${STILLSCSI_WIN_OUT}/wineprefix;WINEDEBUG=-all;WINEDLLOVERRIDES=mscoree,mshtml=")
  # The image on Wine's kernel: installed from its INF over the test bus,
  # used through its interface and its CreateFileName, removed again.
  add_test(NAME win_image_runs_on_wine_kernel
    COMMAND sh "${STILLSCSI_WIN_DIR}/testbus/run_wine_test.sh" "${STILLSCSI_WINE}"
            "${STILLSCSI_WIN_OUT}/stillscsi.sys" "${STILLSCSI_WIN_OUT}/build/testbus.sys"
            "${STILLSCSI_WIN_OUT}/build/wine_test.exe" "${STILLSCSI_WIN_OUT}/wine-kernel")
  set_tests_properties(win_image_runs_on_wine_kernel PROPERTIES FIXTURES_REQUIRED win_image TIMEOUT 600)
  # Another program's run beside scanner_host.exe, as run_wine_program.sh
  # gives it: the test program's pass-through probe, which keeps to the
  # sense section's contract from its environment.
  add_test(NAME win_program_runs_on_wine_beside_scanner_host
    COMMAND sh "${STILLSCSI_WIN_DIR}/testbus/run_wine_program.sh" "${STILLSCSI_WINE}"
            "${STILLSCSI_WIN_OUT}/stillscsi.sys" "${STILLSCSI_WIN_OUT}/build/testbus.sys"
            "${STILLSCSI_WIN_OUT}/build/wine_test.exe" "${STILLSCSI_WIN_OUT}/build/scanner_host.exe"
            "${STILLSCSI_WIN_OUT}/wine-program" --warm-up 0 -- "${STILLSCSI_WIN_OUT}/build/wine_test.exe" probe)
  set_tests_properties(win_program_runs_on_wine_beside_scanner_host PROPERTIES FIXTURES_REQUIRED win_image TIMEOUT 600)
else()
  message(STATUS "Windows driver image: wine not found, the guarded probe is checked statically only "
                 "and the image's run on Wine's kernel is skipped")
endif()

# The tools as Windows programs: built from the tools' own sources over the
# platform's device, self-contained (system DLLs only), and run under wine
# where it is installed.
add_test(NAME win_tools_build COMMAND sh "${STILLSCSI_WIN_DIR}/build_tools.sh" "${CMAKE_BINARY_DIR}/win-tools")
set_tests_properties(win_tools_build PROPERTIES FIXTURES_SETUP win_tools TIMEOUT 900)
set(STILLSCSI_WIN_TOOLS "${CMAKE_BINARY_DIR}/win-tools")
add_test(NAME win_tools_need_only_system_dlls
  COMMAND "${Python3_EXECUTABLE}" "${STILLSCSI_WIN_DIR}/check_program.py" "${STILLSCSI_WIN_TOOLS}/stillscsi_scan.exe"
          "${STILLSCSI_WIN_TOOLS}/stillscsi_cmd.exe" "${STILLSCSI_WIN_TOOLS}/stillscsi_errorlog.exe")
set_tests_properties(win_tools_need_only_system_dlls PROPERTIES FIXTURES_REQUIRED win_tools)
# The program checker itself: the driver image is no console program, and
# imports from the kernel.
add_test(NAME win_program_checker_refuses_a_driver
  COMMAND sh "${CMAKE_CURRENT_LIST_DIR}/../tests/tools/expect.sh" 1
          "imports ntoskrnl.exe, which is not part of the system"
          "${Python3_EXECUTABLE}" "${STILLSCSI_WIN_DIR}/check_program.py" "${STILLSCSI_WIN_OUT}/build/stillscsi.sys")
set_tests_properties(win_program_checker_refuses_a_driver PROPERTIES FIXTURES_REQUIRED win_image)
if(STILLSCSI_WINE)
  set(STILLSCSI_WINE_TOOLS_ENV
    "WINEPREFIX=${STILLSCSI_WIN_TOOLS}/wineprefix;WINEDEBUG=-all;WINEDLLOVERRIDES=mscoree,mshtml=")
  add_test(NAME win_tools_errorlog_reads_a_log_under_wine
    COMMAND sh "${CMAKE_CURRENT_LIST_DIR}/../tests/tools/expect.sh" 0
            "entry 2: cut short: 2 bytes, an entry has at least 40"
            "${STILLSCSI_WINE}" "${STILLSCSI_WIN_TOOLS}/stillscsi_errorlog.exe"
            "${CMAKE_CURRENT_LIST_DIR}/../tests/tools/malformed_log.json")
  add_test(NAME win_tools_scan_says_when_no_device_is_present
    COMMAND sh "${CMAKE_CURRENT_LIST_DIR}/../tests/tools/expect.sh" 35 "FAILED: no still-image device is present"
            "${STILLSCSI_WINE}" "${STILLSCSI_WIN_TOOLS}/stillscsi_scan.exe" --quiet --output nowhere.png)
  set_tests_properties(win_tools_errorlog_reads_a_log_under_wine win_tools_scan_says_when_no_device_is_present
    PROPERTIES FIXTURES_REQUIRED win_tools TIMEOUT 300 RESOURCE_LOCK win_tools_prefix
               ENVIRONMENT "${STILLSCSI_WINE_TOOLS_ENV}")
  # The main job on Wine's kernel, small: the shipped image over the test bus
  # with the scanner simulation behind it, and the scan program built for
  # Windows reading a small area through the pass-through, in the bus's
  # 16 KiB chunks, pixel for pixel the chart's.
  add_test(NAME win_main_job_scans_on_wine_kernel
    COMMAND sh "${CMAKE_CURRENT_LIST_DIR}/../tests/tools/expect.sh" 0 "^pixels identical to the instrument's page: yes"
            -e "^chunks: +4 SRBs at the port" -e "^requests: +2 READ pass-throughs of up to 20000 bytes"
            -e "^TEST UNIT READY: not ready yet"
            sh "${STILLSCSI_WIN_DIR}/testbus/run_wine_program.sh" "${STILLSCSI_WINE}"
            "${STILLSCSI_WIN_OUT}/stillscsi.sys" "${STILLSCSI_WIN_OUT}/build/testbus.sys"
            "${STILLSCSI_WIN_OUT}/build/wine_test.exe" "${STILLSCSI_WIN_OUT}/build/scanner_host.exe"
            "${STILLSCSI_WIN_TOOLS}/wine-scan" --warm-up 200
            -- "${STILLSCSI_WIN_TOOLS}/stillscsi_scan.exe" --resolution 100 --mode grey --area 20 30 60 40
            --request-bytes 20000 --output "${STILLSCSI_WIN_TOOLS}/wine-scan.png")
  set_tests_properties(win_main_job_scans_on_wine_kernel PROPERTIES FIXTURES_REQUIRED "win_image;win_tools" TIMEOUT 600)
  # The raw-command tool's session on Wine's kernel: the commands in order
  # to one scanner, the SCSI status as the pass-through alone implies it.
  add_test(NAME win_cmd_session_on_wine_kernel
    COMMAND sh "${CMAKE_CURRENT_LIST_DIR}/../tests/tools/expect.sh" 5
            "^  SCSI status: CHECK CONDITION \\(from the sense; the pass-through does not return the status\\)$"
            -e "^0000  70 00 05 00 00 00 00 0a 00 00 00 00 20 00 00 00  p" -e "^  bytes:       10000 in$"
            sh "${STILLSCSI_WIN_DIR}/testbus/run_wine_program.sh" "${STILLSCSI_WINE}"
            "${STILLSCSI_WIN_OUT}/stillscsi.sys" "${STILLSCSI_WIN_OUT}/build/testbus.sys"
            "${STILLSCSI_WIN_OUT}/build/wine_test.exe" "${STILLSCSI_WIN_OUT}/build/scanner_host.exe"
            "${STILLSCSI_WIN_TOOLS}/wine-cmd" --warm-up 0
            -- "${STILLSCSI_WIN_TOOLS}/stillscsi_cmd.exe" --script cmd_session.txt)
  set_tests_properties(win_cmd_session_on_wine_kernel PROPERTIES FIXTURES_REQUIRED "win_image;win_tools" TIMEOUT 600
    WORKING_DIRECTORY "${CMAKE_CURRENT_LIST_DIR}/../tests/tools")
endif()
