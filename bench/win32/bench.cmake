# The Win32 floor walker of bench/wine_run.sh.
add_executable(win32_floor_walk ${CMAKE_SOURCE_DIR}/bench/win32/floor_walk.cpp)
target_link_options(win32_floor_walk PRIVATE -static-libgcc -static-libstdc++ -static)
