# Windows build: the core, the Win32 side of the seam, and Purgato.exe.
enable_language(RC)

file(GLOB PURGATO_WIN32_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/os/win32/*.cpp)
add_library(purgato_os_win32 STATIC ${PURGATO_WIN32_SOURCES})
target_link_libraries(purgato_os_win32 PUBLIC purgato_core)
target_compile_definitions(purgato_os_win32 PUBLIC WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0400 WINVER=0x0400)

# The dialogs and controls, shared by Purgato.exe and the dialog checks.
file(GLOB PURGATO_GUI_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/app/*.cpp
  ${CMAKE_SOURCE_DIR}/controls/*.cpp)
list(REMOVE_ITEM PURGATO_GUI_SOURCES ${CMAKE_SOURCE_DIR}/app/main.cpp)
add_library(purgato_gui STATIC ${PURGATO_GUI_SOURCES})
target_link_libraries(purgato_gui PUBLIC purgato_os_win32 comctl32 shell32 ole32 user32 gdi32 advapi32)

# The manifests name the image's processor: x86 for the product, amd64 for
# the 64-bit test build. windres finds them through the include path.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(PURGATO_MANIFEST_ARCH amd64)
else()
  set(PURGATO_MANIFEST_ARCH x86)
endif()
set(PURGATO_MANIFEST_DIR ${CMAKE_BINARY_DIR}/manifests)
configure_file(${CMAKE_SOURCE_DIR}/res/purgato.manifest.in ${PURGATO_MANIFEST_DIR}/purgato.manifest @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/cli/win32/purgato-scan.manifest.in ${PURGATO_MANIFEST_DIR}/purgato-scan.manifest
  @ONLY)
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -I ${PURGATO_MANIFEST_DIR}")

file(GLOB PURGATO_RC CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/res/*.rc)
# windres reads these files, but no dependency scan sees them.
set_source_files_properties(${PURGATO_RC} PROPERTIES OBJECT_DEPENDS
  "${CMAKE_SOURCE_DIR}/res/resource.h;${CMAKE_SOURCE_DIR}/res/purgato.ico;${PURGATO_MANIFEST_DIR}/purgato.manifest")
add_executable(Purgato WIN32 ${CMAKE_SOURCE_DIR}/app/main.cpp ${PURGATO_RC})
target_link_libraries(Purgato PRIVATE purgato_gui)
# Windows 95 and NT 4 refuse images whose subsystem version is above 4.0.
target_link_options(Purgato PRIVATE -static-libgcc -static-libstdc++ -static
  -Wl,--subsystem,windows:4.0 -Wl,--major-os-version,4 -Wl,--minor-os-version,0)
set_target_properties(Purgato PROPERTIES OUTPUT_NAME Purgato SUFFIX .exe)

# purgato-scan.exe: the console scanner over this computer. The pieces it
# shares with the Linux scanner (options, output, exit status, the guard and
# the dry run) are the same files; the console and main are its own.
add_executable(purgato-scan
  ${CMAKE_SOURCE_DIR}/cli/dry_run_os.cpp
  ${CMAKE_SOURCE_DIR}/cli/exit_status.cpp
  ${CMAKE_SOURCE_DIR}/cli/journal.cpp
  ${CMAKE_SOURCE_DIR}/cli/keeping_os.cpp
  ${CMAKE_SOURCE_DIR}/cli/messages.cpp
  ${CMAKE_SOURCE_DIR}/cli/options.cpp
  ${CMAKE_SOURCE_DIR}/cli/report.cpp
  ${CMAKE_SOURCE_DIR}/cli/scan_run.cpp
  ${CMAKE_SOURCE_DIR}/cli/sha256.cpp
  ${CMAKE_SOURCE_DIR}/cli/win32/console.cpp
  ${CMAKE_SOURCE_DIR}/cli/win32/main.cpp
  ${CMAKE_SOURCE_DIR}/cli/win32/unread_places_os.cpp
  ${CMAKE_SOURCE_DIR}/cli/win32/purgato-scan.rc)
target_link_libraries(purgato-scan PRIVATE purgato_os_win32 user32 advapi32)
# Windows 95 and NT 4 refuse images whose subsystem version is above 4.0.
target_link_options(purgato-scan PRIVATE -static-libgcc -static-libstdc++ -static
  -Wl,--subsystem,console:4.0 -Wl,--major-os-version,4 -Wl,--minor-os-version,0)
set_target_properties(purgato-scan PROPERTIES OUTPUT_NAME purgato-scan SUFFIX .exe)
set_source_files_properties(${CMAKE_SOURCE_DIR}/cli/win32/purgato-scan.rc PROPERTIES OBJECT_DEPENDS
  "${CMAKE_SOURCE_DIR}/res/purgato.ico;${PURGATO_MANIFEST_DIR}/purgato-scan.manifest")

# The dialogs driven from inside, with the same templates; run under Wine by
# tests/gui/run_gui_checks.sh.
add_executable(gui_checks ${CMAKE_SOURCE_DIR}/tests/gui/gui_checks.cpp ${PURGATO_RC})
target_link_libraries(gui_checks PRIVATE purgato_gui)
target_link_options(gui_checks PRIVATE -static-libgcc -static-libstdc++ -static)

# Console check of the Win32 seam, run under Wine by tests/e2e/run_seam_check.sh.
add_executable(win32_seam_check ${CMAKE_SOURCE_DIR}/tests/e2e/win32_seam_check.cpp)
target_link_libraries(win32_seam_check PRIVATE purgato_os_win32 user32 advapi32)
target_link_options(win32_seam_check PRIVATE -static-libgcc -static-libstdc++ -static)

# The end-to-end driver and helpers that run beside Purgato.exe under Wine.
include(${CMAKE_SOURCE_DIR}/tests/e2e/e2e.cmake OPTIONAL)
include(${CMAKE_SOURCE_DIR}/tests/e2e/cli_e2e.cmake OPTIONAL)

# The Win32 floor walker of the Wine benchmark.
include(${CMAKE_SOURCE_DIR}/bench/win32/bench.cmake OPTIONAL)

# The Windows zip (cpack -G ZIP): both programs, the logon script, the
# licence and a short README, the texts with CR LF line ends for Notepad.
# Only the 32-bit product is packaged; the 64-bit twin is a test build.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(PURGATO_ZIP_TEXT ${CMAKE_BINARY_DIR}/zip-text)
  configure_file(${CMAKE_SOURCE_DIR}/LICENSE ${PURGATO_ZIP_TEXT}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/win32/README.txt ${PURGATO_ZIP_TEXT}/README.txt @ONLY NEWLINE_STYLE CRLF)
  # command.com and cmd look for labels line by line: the logon script gets
  # CR LF whatever line ends the checkout gave it, and nothing in it is
  # substituted.
  file(READ ${CMAKE_SOURCE_DIR}/docs/purgato-logon.bat PURGATO_LOGON)
  string(REPLACE "\r\n" "\n" PURGATO_LOGON "${PURGATO_LOGON}")
  string(REPLACE "\n" "\r\n" PURGATO_LOGON "${PURGATO_LOGON}")
  file(WRITE ${PURGATO_ZIP_TEXT}/purgato-logon.bat "${PURGATO_LOGON}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/purgato-logon.bat)
  install(TARGETS Purgato purgato-scan RUNTIME DESTINATION .)
  install(FILES ${PURGATO_ZIP_TEXT}/purgato-logon.bat ${PURGATO_ZIP_TEXT}/LICENSE.txt
    ${PURGATO_ZIP_TEXT}/README.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME purgato)
  set(CPACK_PACKAGE_VENDOR Corvanel)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_FILE_NAME purgato-${PROJECT_VERSION}-win32)
  set(CPACK_STRIP_FILES ON)
  include(CPack)
endif()
