# wxWidgets from the Debian packages, as two interface targets: wx_base (wxBase only: the headless
# parts of the application and its tests) and wx_gui (GTK 3 window, with the web view when
# LUMO_BUILD_GUI is on).
find_package(wxWidgets REQUIRED COMPONENTS base)
add_library(wx_base INTERFACE)
target_include_directories(wx_base SYSTEM INTERFACE ${wxWidgets_INCLUDE_DIRS})
target_compile_definitions(wx_base INTERFACE ${wxWidgets_DEFINITIONS})
target_compile_options(wx_base INTERFACE ${wxWidgets_CXX_FLAGS})
target_link_libraries(wx_base INTERFACE ${wxWidgets_LIBRARIES})

if(LUMO_BUILD_GUI)
  unset(wxWidgets_LIBRARIES)
  unset(wxWidgets_INCLUDE_DIRS)
  find_package(wxWidgets REQUIRED COMPONENTS webview core base)
  add_library(wx_gui INTERFACE)
  target_include_directories(wx_gui SYSTEM INTERFACE ${wxWidgets_INCLUDE_DIRS})
  target_compile_definitions(wx_gui INTERFACE ${wxWidgets_DEFINITIONS})
  target_compile_options(wx_gui INTERFACE ${wxWidgets_CXX_FLAGS})
  target_link_libraries(wx_gui INTERFACE ${wxWidgets_LIBRARIES})
endif()
