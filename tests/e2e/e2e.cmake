# The end-to-end driver: a console program run under Wine beside
# Purgato.exe that finds its windows, clicks, presses keys and reads texts.
add_executable(gui_driver ${CMAKE_SOURCE_DIR}/tests/e2e/gui_driver.cpp)
target_compile_definitions(gui_driver PRIVATE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0500 WINVER=0x0500)
target_link_libraries(gui_driver PRIVATE user32 psapi)
target_link_options(gui_driver PRIVATE -static-libgcc -static-libstdc++ -static)

# The scan options dialog in a console host of its own (the program does
# not offer it), with the program's templates; prints what the dialog set.
add_executable(options_host ${CMAKE_SOURCE_DIR}/tests/e2e/options_host.cpp ${PURGATO_RC})
target_link_libraries(options_host PRIVATE purgato_gui)
target_link_options(options_host PRIVATE -static-libgcc -static-libstdc++ -static
  -Wl,--subsystem,console:4.0 -Wl,--major-os-version,4 -Wl,--minor-os-version,0)
