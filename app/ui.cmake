# The windows (tavrix_ui) and the program tavrix-monitor. Only this layer links Qt.
find_package(Qt6 REQUIRED COMPONENTS Widgets)

file(GLOB _tavrix_form_sources CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_SOURCE_DIR}/Main_form*.cpp
  ${PROJECT_SOURCE_DIR}/discovery/Search_form.cpp
  ${PROJECT_SOURCE_DIR}/discovery/Searchip_form.cpp)

add_library(tavrix_ui STATIC
  ${_tavrix_form_sources}
  ${CMAKE_CURRENT_SOURCE_DIR}/Main_form.h
  ${CMAKE_CURRENT_SOURCE_DIR}/Aboutbox.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/Aboutbox.h
  ${CMAKE_CURRENT_SOURCE_DIR}/Settingform.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/Settingform.h
  ${CMAKE_CURRENT_SOURCE_DIR}/Closeform.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/Closeform.h
  ${CMAKE_CURRENT_SOURCE_DIR}/icons.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/forms.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/forms.h
  ${CMAKE_CURRENT_SOURCE_DIR}/msgbox.cpp
  ${PROJECT_SOURCE_DIR}/discovery/Search_form.h
  ${PROJECT_SOURCE_DIR}/discovery/Searchip_form.h)
set_target_properties(tavrix_ui PROPERTIES AUTOMOC ON)
target_include_directories(tavrix_ui PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(tavrix_ui PUBLIC tavrix_core Qt6::Widgets PRIVATE tavrix_flags)

add_executable(tavrix-monitor ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp)
target_link_libraries(tavrix-monitor PRIVATE tavrix_ui tavrix_flags)
install(TARGETS tavrix-monitor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The demo's scripted tour of the windows, run inside the lab by scripts/demo.
add_executable(tavrix-demo-tour ${CMAKE_CURRENT_SOURCE_DIR}/demo_tour.cpp)
target_link_libraries(tavrix-demo-tour PRIVATE tavrix_ui tavrix_flags)
