# Events, windows, controls, menus and interface files over Qt Widgets.
add_library(portvane_platform_ui STATIC
  carbon_events.cpp
  windows.cpp
  key_codes.cpp
  menus.cpp
  nibs.cpp
)
target_link_libraries(portvane_platform_ui PUBLIC portvane_platform Qt6::Widgets Qt6::UiTools)
add_library(Portvane::platform_ui ALIAS portvane_platform_ui)
