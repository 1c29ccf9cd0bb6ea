# The tray standing for the Dock, and the demo's front panel.
portvane_test(tray_test SOURCES tray_test.cpp LIBS portvane_platform_tray portvane_demo_panel)
