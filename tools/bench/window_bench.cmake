# The window's time per paint (window_paint_bench.cpp); window_cpu.py runs the
# client itself.
if(WIN32)
  add_executable(window_paint_bench ${CMAKE_CURRENT_LIST_DIR}/window_paint_bench.cpp)
  target_link_libraries(window_paint_bench PRIVATE sovelin_win)
  set_target_properties(window_paint_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
endif()
