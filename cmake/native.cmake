# Native build: the POSIX side of the seam, the console scanner, unit
# tests, fuzz target and benchmark helpers.
file(GLOB PURGATO_POSIX_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/os/posix/*.cpp)
add_library(purgato_os_posix STATIC ${PURGATO_POSIX_SOURCES})
target_link_libraries(purgato_os_posix PUBLIC purgato_core)
# The offline registry of a mounted NT volume reads and writes its hive
# files through hivex (Debian's libhivex-dev).
find_package(PkgConfig REQUIRED)
pkg_check_modules(HIVEX REQUIRED IMPORTED_TARGET hivex)
target_link_libraries(purgato_os_posix PUBLIC PkgConfig::HIVEX)

file(GLOB PURGATO_CLI_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/cli/*.cpp)
if(PURGATO_CLI_SOURCES)
  add_executable(purgato-scan ${PURGATO_CLI_SOURCES})
  target_link_libraries(purgato-scan PRIVATE purgato_os_posix)
endif()

file(GLOB PURGATO_SUPPORT_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/support/*.cpp)
add_library(purgato_test_support STATIC ${PURGATO_SUPPORT_SOURCES})
target_link_libraries(purgato_test_support PUBLIC purgato_os_posix)
target_include_directories(purgato_test_support PUBLIC ${CMAKE_SOURCE_DIR})

# Builds the demo and benchmark sample sets from the same builder the tests use.
file(GLOB PURGATO_SAMPLES_TOOL CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/tools/*.cpp)
foreach(tool ${PURGATO_SAMPLES_TOOL})
  get_filename_component(tool_name ${tool} NAME_WE)
  add_executable(${tool_name} ${tool})
  target_link_libraries(${tool_name} PRIVATE purgato_test_support)
endforeach()

if(PURGATO_FUZZ)
  file(GLOB PURGATO_FUZZ_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/fuzz_*.cpp)
  foreach(src ${PURGATO_FUZZ_SOURCES})
    get_filename_component(fuzz_name ${src} NAME_WE)
    add_executable(${fuzz_name} ${src})
    target_compile_options(${fuzz_name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${fuzz_name} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${fuzz_name} PRIVATE purgato_test_support)
  endforeach()
  # Coverage feedback from the code under test, not only from the target.
  foreach(lib purgato_core purgato_os_posix purgato_test_support)
    target_compile_options(${lib} PRIVATE -fsanitize=fuzzer-no-link)
  endforeach()
elseif(PURGATO_TESTS)
  find_package(GTest REQUIRED)
  enable_testing()
  include(GoogleTest)
  # One executable per test file, so a file being written breaks only itself.
  file(GLOB PURGATO_UNIT_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/unit/*_test.cpp)
  foreach(src ${PURGATO_UNIT_SOURCES})
    get_filename_component(test_name ${src} NAME_WE)
    add_executable(${test_name} ${src})
    target_link_libraries(${test_name} PRIVATE purgato_test_support GTest::gmock GTest::gtest_main)
    gtest_discover_tests(${test_name} DISCOVERY_TIMEOUT 60)
  endforeach()
  # The console scanner's tests run the built program.
  if(TARGET cli_test AND TARGET purgato-scan)
    target_compile_definitions(cli_test PRIVATE PURGATO_SCAN_PATH="$<TARGET_FILE:purgato-scan>")
    add_dependencies(cli_test purgato-scan)
  endif()
  # ... over the demo volume and a benchmark tree, as make_samples builds them.
  if(TARGET cli_test AND TARGET make_samples)
    target_compile_definitions(cli_test PRIVATE PURGATO_MAKE_SAMPLES_PATH="$<TARGET_FILE:make_samples>"
                               PURGATO_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
    add_dependencies(cli_test make_samples)
  endif()
  # The scan options dialog's logic is portable; its test builds it natively.
  if(TARGET scan_options_test)
    target_sources(scan_options_test PRIVATE ${CMAKE_SOURCE_DIR}/app/scan_options_logic.cpp)
  endif()
  # So is the progress dialog's scan run, over the test double.
  if(TARGET scan_progress_test)
    target_sources(scan_progress_test PRIVATE ${CMAKE_SOURCE_DIR}/app/scan_progress_logic.cpp)
  endif()
  # The console scanners' one option parser, with the set of each build.
  if(TARGET cli_options_test)
    target_sources(cli_options_test PRIVATE ${CMAKE_SOURCE_DIR}/cli/options.cpp ${CMAKE_SOURCE_DIR}/cli/exit_status.cpp)
    target_compile_definitions(cli_options_test PRIVATE PURGATO_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  endif()
  # The dry run's layer is tested on its own, over the test double.
  # The records of the findings, and the exit status worked out from them.
  if(TARGET finding_test)
    target_sources(finding_test PRIVATE ${CMAKE_SOURCE_DIR}/cli/exit_status.cpp)
  endif()
  if(TARGET keeping_os_test)
    target_sources(keeping_os_test PRIVATE ${CMAKE_SOURCE_DIR}/cli/keeping_os.cpp ${CMAKE_SOURCE_DIR}/cli/sha256.cpp)
  endif()
  # The run's account, over the test double and the keeping layer.
  if(TARGET journal_test)
    target_sources(journal_test PRIVATE ${CMAKE_SOURCE_DIR}/cli/journal.cpp ${CMAKE_SOURCE_DIR}/cli/keeping_os.cpp
                   ${CMAKE_SOURCE_DIR}/cli/sha256.cpp ${CMAKE_SOURCE_DIR}/cli/exit_status.cpp
                   ${CMAKE_SOURCE_DIR}/cli/messages.cpp)
    target_compile_definitions(journal_test PRIVATE PURGATO_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  endif()
  if(TARGET dry_run_test)
    target_sources(dry_run_test PRIVATE ${CMAKE_SOURCE_DIR}/cli/dry_run_os.cpp)
  endif()
  # The console's quit and the offline registry's write-back, in one process.
  if(TARGET second_signal_test)
    set(PURGATO_CLI_PARTS ${PURGATO_CLI_SOURCES})
    list(FILTER PURGATO_CLI_PARTS EXCLUDE REGEX "/main\\.cpp$")
    target_sources(second_signal_test PRIVATE ${PURGATO_CLI_PARTS})
  endif()
  if(TARGET offline_scan_test AND TARGET purgato-scan)
    target_compile_definitions(offline_scan_test PRIVATE PURGATO_SCAN_PATH="$<TARGET_FILE:purgato-scan>")
    add_dependencies(offline_scan_test purgato-scan)
  endif()
endif()

file(GLOB PURGATO_BENCH_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/*.cpp)
if(PURGATO_BENCH AND PURGATO_BENCH_SOURCES)
  foreach(src ${PURGATO_BENCH_SOURCES})
    get_filename_component(bench_name ${src} NAME_WE)
    add_executable(${bench_name} ${src})
    target_link_libraries(${bench_name} PRIVATE purgato_os_posix)
  endforeach()
endif()

# Installing purgato-scan, its manual page, the README and the licence, and
# the Debian package of them (cpack -G DEB in a Release tree). The licence
# goes in as Debian's machine-readable copyright file, which holds its full
# text; the Debian changelog goes in gzipped as Debian packages carry it.
if(TARGET purgato-scan)
  include(GNUInstallDirs)
  find_program(GZIP_PROGRAM gzip REQUIRED)
  set(PURGATO_MAN_GZ ${CMAKE_BINARY_DIR}/purgato-scan.1.gz)
  set(PURGATO_CHANGELOG_GZ ${CMAKE_BINARY_DIR}/changelog.Debian.gz)
  add_custom_command(OUTPUT ${PURGATO_MAN_GZ}
    COMMAND ${GZIP_PROGRAM} -9 -n -c ${CMAKE_SOURCE_DIR}/docs/purgato-scan.1 > ${PURGATO_MAN_GZ}
    DEPENDS ${CMAKE_SOURCE_DIR}/docs/purgato-scan.1
    COMMENT "Compressing the manual page")
  add_custom_command(OUTPUT ${PURGATO_CHANGELOG_GZ}
    COMMAND ${GZIP_PROGRAM} -9 -n -c ${CMAKE_SOURCE_DIR}/packaging/debian/changelog > ${PURGATO_CHANGELOG_GZ}
    DEPENDS ${CMAKE_SOURCE_DIR}/packaging/debian/changelog
    COMMENT "Compressing the Debian changelog")
  add_custom_target(purgato_man ALL DEPENDS ${PURGATO_MAN_GZ} ${PURGATO_CHANGELOG_GZ})
  set(PURGATO_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/purgato-scan)
  install(TARGETS purgato-scan RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PURGATO_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/packaging/debian/copyright
    ${PURGATO_CHANGELOG_GZ} DESTINATION ${PURGATO_DOC_DIR})
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/debian/lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME purgato-scan)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME purgato-scan)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_VENDOR Corvanel)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "removes the W32/Opaserv.Worm family from a mounted Windows volume")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Scans folders that stand for the drives of a Windows computer, such as a\n partition mounted from a rescue system, for the W32/Opaserv.Worm family\n (the family build and the variants A, B, D, E, H and K), deletes the\n worm's files, cuts its entries off win.ini and autoexec files and cleans\n the registry hives of an NT-family volume. --dry-run shows what it would do.")
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Corvanel <support@corvanel.example>")
  # The Debian revision: the changelog's latest entry is 1.5-1.
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_STRIP_FILES ON)
  include(CPack)
endif()
