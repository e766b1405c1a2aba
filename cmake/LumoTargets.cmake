# Helpers that turn a folder into a target, so adding a source file never needs a CMake edit.

set(LUMO_OWN_LIBRARIES platform lumo lumo_net kiln sollex patch app_core app_run webview app)

# lumo_library(NAME FOLDER...): a static library of each FOLDER/*.cpp (not recursive), so a
# library may group its families in subfolders. Nothing is created while the folders hold no .cpp.
function(lumo_library name)
  set(_sources "")
  foreach(folder IN LISTS ARGN)
    file(GLOB _found CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.cpp)
    list(APPEND _sources ${_found})
  endforeach()
  if(NOT _sources)
    return()
  endif()
  add_library(${name} STATIC ${_sources})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
endfunction()

# lumo_link(NAME DEPS...): links NAME to DEPS, skipping our own libraries whose folder holds no code
# yet. Called once every library target exists, so two libraries may use each other (CMake repeats
# such static libraries).
function(lumo_link name)
  if(NOT TARGET ${name})
    return()
  endif()
  set(_deps "")
  foreach(dep IN LISTS ARGN)
    if(TARGET ${dep} OR NOT dep IN_LIST LUMO_OWN_LIBRARIES)
      list(APPEND _deps ${dep})
    endif()
  endforeach()
  target_link_libraries(${name} PUBLIC ${_deps})
endfunction()

# The libraries that exist so far, in link order (top first). The GUI libraries (app, webview) are
# left out: only the GUI test binaries and the product executable link them, by name.
function(lumo_existing_libraries out)
  set(_libs "")
  foreach(lib app_run app_core sollex kiln patch lumo_net lumo platform)
    if(TARGET ${lib})
      list(APPEND _libs ${lib})
    endif()
  endforeach()
  set(${out} ${_libs} PARENT_SCOPE)
endfunction()

# lumo_tools(FOLDER): every FOLDER/*.cpp is one executable in build/bin, named after the file
# with "_" turned into "-" (container_tool.cpp -> container-tool).
function(lumo_tools folder)
  file(GLOB _sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.cpp)
  lumo_existing_libraries(_libs)
  foreach(src IN LISTS _sources)
    get_filename_component(_stem ${src} NAME_WE)
    string(REPLACE "_" "-" _exe ${_stem})
    add_executable(${_exe} ${src})
    target_link_libraries(${_exe} PRIVATE ${_libs})
    set_property(GLOBAL APPEND PROPERTY LUMO_DRIVERS ${_exe})
  endforeach()
endfunction()

# lumo_test_binary(NAME FOLDER LABEL...): one GoogleTest binary from tests/FOLDER/*.cpp.
function(lumo_test_binary name folder)
  file(GLOB _sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/${folder}/*.cpp)
  if(NOT _sources)
    return()
  endif()
  lumo_existing_libraries(_libs)
  add_executable(${name} ${_sources})
  set(_fixtures "")
  if(TARGET fixtures)
    set(_fixtures fixtures)
  endif()
  target_link_libraries(${name} PRIVATE ${_fixtures} ${_libs} GTest::gtest GTest::gmock GTest::gtest_main)
  set(_labels ${ARGN})
  if(NOT _labels)
    set(_labels unit)
  endif()
  # Tests run the drivers and the stand-ins for outside programs: build them with the tests.
  get_property(_drivers GLOBAL PROPERTY LUMO_DRIVERS)
  if(_drivers)
    add_dependencies(${name} ${_drivers})
  endif()
  # Window tests share one virtual display and read pixels off its screen: one at a time, so that
  # no other test's window lies over theirs.
  set(_lock "")
  if("gui" IN_LIST _labels)
    set(_lock RESOURCE_LOCK shared_display)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS "${_labels}" ENVIRONMENT "LUMO_TEST_MODE=1" ${_lock})
endfunction()
