# tq5sim_core: the model and its servers (a static library that tests and
# tools embed); tq5sim: the daemon; tq5simctl: its control client.
add_library(tq5sim_core STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/scene.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/imaging.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/device.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/virtual_scanner.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/control.cpp)
target_include_directories(tq5sim_core PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(tq5sim_core PUBLIC tq5platform)

add_executable(tq5sim ${CMAKE_CURRENT_SOURCE_DIR}/tq5sim_main.cpp)
target_link_libraries(tq5sim PRIVATE tq5sim_core)

add_executable(tq5simctl ${CMAKE_CURRENT_SOURCE_DIR}/tq5simctl_main.cpp)
target_link_libraries(tq5simctl PRIVATE tq5sim_core)

# The pixel pipeline's passes are written to vectorise; at -O2 GCC's cheap
# cost model leaves them scalar.
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/imaging.cpp PROPERTIES
  COMPILE_OPTIONS "$<$<AND:$<CXX_COMPILER_ID:GNU,Clang>,$<NOT:$<CONFIG:Debug>>>:-O3>")
