# The Dock as a system-tray icon (Qt Widgets over the desktop's tray).
add_library(portvane_platform_tray STATIC tray.cpp)
target_link_libraries(portvane_platform_tray PUBLIC portvane_platform_ui portvane_platform_icons)
add_library(Portvane::platform_tray ALIAS portvane_platform_tray)

# The demo's window onto its simulated switch; the program itself never links it.
add_library(portvane_demo_panel STATIC switch_front_panel.cpp)
target_link_libraries(portvane_demo_panel PUBLIC portvane_platform Qt6::Widgets)
