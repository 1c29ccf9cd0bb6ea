# Desktop services: global hot keys (xcb), the login session (logind over
# D-Bus) and the front process.
pkg_check_modules(PORTVANE_XCB REQUIRED IMPORTED_TARGET xcb xcb-keysyms)
add_library(portvane_platform_desktop STATIC
  hot_keys.cpp
  session.cpp
  process.cpp
)
# The session watch receives D-Bus signals through a slot.
set_target_properties(portvane_platform_desktop PROPERTIES AUTOMOC ON)
target_link_libraries(portvane_platform_desktop PUBLIC portvane_platform_ui Qt6::DBus PkgConfig::PORTVANE_XCB)
add_library(Portvane::platform_desktop ALIAS portvane_platform_desktop)
